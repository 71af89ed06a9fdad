// The Parquet writer's batches filled on a thread of their own: the thread opens the same source,
// fills each range of rows and builds its Arrow IPC bytes while the writer's thread encodes the
// batch before, so that filling overlaps encoding. At most `ahead` batches wait at a time.
'use strict';
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const gates = require('../run/gate.js');

// Batches built ahead of the writer: one being encoded, one waiting, one being filled.
const AHEAD = 2;

// Starts the thread for member m of the source opened from paths with `opening` (the gate: the
// calling worker's, or null): extra is the plan's options (the clock is member 0 of the same
// source), settings the writer's. Answers
// { next(): Promise of { ipc, last } or null at the end, stop() }.
function startFiller({ addonPath, paths, opening, gate: shared = null }, m, extra, settings) {
  // A worker's filler shares the worker's gate, which the process closes and waits on; on the
  // main thread the filler has a gate of its own.
  const gate = shared || gates.newGate();
  // The clock is member 0 of the thread's own source.
  const plain = { ...extra };
  delete plain.clock;
  const worker = new Worker(path.join(__dirname, 'fill-worker.js'), { workerData: { addonPath, gate, paths, opening, m, extra: plain, settings, ahead: AHEAD } });
  if (shared === null) worker.once('exit', () => gates.forget(gate));
  const queue = [];
  let waiting = null;
  let ended = null;
  const settle = () => {
    if (waiting === null || (queue.length === 0 && ended === null)) return;
    const { resolve, reject } = waiting;
    waiting = null;
    if (queue.length > 0) {
      resolve(queue.shift());
      worker.postMessage('more');
    } else if (ended.error) {
      reject(ended.error);
    } else {
      resolve(null);
    }
  };
  worker.on('message', (msg) => {
    if (msg.error !== undefined) ended = { error: Object.assign(new Error(msg.error.message), msg.error) };
    else if (msg.done) ended = {};
    else queue.push({ ipc: msg.ipc, last: msg.last });
    settle();
  });
  worker.on('error', (error) => {
    if (ended === null) ended = { error };
    settle();
  });
  worker.on('exit', () => {
    if (ended === null) ended = { error: new Error('writeParquet: the filling thread ended without its rows') };
    settle();
  });
  return {
    next() {
      return new Promise((resolve, reject) => {
        waiting = { resolve, reject };
        settle();
      });
    },
    // Asks the thread to stop after the batch it fills; it closes its source and ends.
    stop() {
      if (ended === null) worker.postMessage('stop');
    },
  };
}

module.exports = { startFiller };
