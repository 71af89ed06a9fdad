// The filling thread of the Parquet writer (see filler.js): opens the source, fills the
// member's ranges in order and posts each batch's Arrow IPC bytes, at most `ahead` unanswered.
'use strict';
const { parentPort, workerData } = require('node:worker_threads');
const { openSource } = require('./source.js');
const { makeBatches, plan } = require('./parquet.js');
const { guarded } = require('../run/gate.js');
const arrow = require('apache-arrow');
const { addonPath, gate, paths, opening, m, extra, settings, ahead } = workerData;
let source = null;
let credits = ahead;
let first = 0;
let stopped = false;
const finish = (message) => {
  if (source !== null) source.close();
  source = null;
  stopped = true;
  parentPort.postMessage(message);
  parentPort.close();
};
let rows = 0;
let next = null;
const pump = () => {
  if (stopped || credits === 0) return;
  try {
    if (first >= rows) {
      finish({ done: true });
      return;
    }
    const { batch, last } = next(first);
    const ipc = arrow.tableToIPC(new arrow.Table([batch]), 'stream');
    first = last;
    --credits;
    parentPort.postMessage({ ipc, last }, [ipc.buffer]);
  } catch (err) {
    finish({ error: { message: err && err.message, code: err && err.code, path: err && err.path } });
    return;
  }
  setImmediate(pump);
};
parentPort.on('message', (msg) => {
  if (msg === 'stop') {
    if (!stopped) finish({ done: true });
    return;
  }
  ++credits;
  if (credits === 1) setImmediate(pump);
});
try {
  source = openSource(guarded(require(addonPath), gate), paths, opening);
  const member = source.members[m];
  rows = member.rows;
  next = makeBatches(arrow, source, m, plan(member, { ...extra, clock: source.members[0] }), settings);
  pump();
} catch (err) {
  finish({ error: { message: err && err.message, code: err && err.code, path: err && err.path } });
}
