// A pool of worker threads that run the addon's functions off the JavaScript thread. Workers
// start on demand, hold the process open only while they work, and are replaced when one dies.
'use strict';
const os = require('node:os');
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const gates = require('./gate.js');

const WORKER_FILE = path.join(__dirname, 'worker.js');

const defaultSize = () => (os.availableParallelism ? os.availableParallelism() : os.cpus().length);

class WorkerPool {
  // size: most workers running at once; addonPath: the addon file every worker loads.
  constructor({ size = defaultSize(), addonPath }) {
    if (!Number.isInteger(size) || size < 1) throw new RangeError(`pool size must be a positive integer, got ${size}`);
    this.size = size;
    this.addonPath = addonPath;
    this.workers = new Set();
    this.idle = [];
    this.queue = [];
    this.nextId = 1;
    this.closed = false;
  }

  // Runs addon[fn](...args) in a worker; resolves with its answer, rejects with its error.
  run(fn, args) {
    if (this.closed) return Promise.reject(new Error('the worker pool is closed'));
    return new Promise((resolve, reject) => {
      this.queue.push({ id: this.nextId++, fn, args, resolve, reject });
      this.dispatch();
    });
  }

  dispatch() {
    while (this.queue.length > 0) {
      let w = this.idle.pop();
      if (w === undefined) {
        if (this.workers.size >= this.size) return;
        w = this.spawn();
      }
      const task = this.queue.shift();
      w.task = task;
      w.ref(); // a pending answer keeps the process alive
      w.postMessage({ id: task.id, fn: task.fn, args: task.args });
    }
  }

  spawn() {
    const gate = gates.newGate();
    const w = new Worker(WORKER_FILE, { workerData: { addonPath: this.addonPath, gate } });
    w.task = null;
    w.once('exit', () => gates.forget(gate));
    w.on('message', (m) => {
      const task = w.task;
      if (task === null || m.id !== task.id) return;
      w.task = null;
      if (m.error) {
        const ErrorType = m.error.name === 'TypeError' ? TypeError : Error;
        const err = Object.assign(new ErrorType(m.error.message), m.error.name === 'TypeError' ? {} : { name: m.error.name });
        if (m.error.code !== undefined) err.code = m.error.code;
        if (m.error.path !== undefined) err.path = m.error.path;
        if (m.error.rows !== undefined) err.rows = m.error.rows;
        task.reject(err);
      } else {
        task.resolve(m.answer);
      }
      this.release(w);
    });
    w.on('error', (err) => this.fail(w, err));
    w.on('exit', (code) => this.fail(w, new Error(`worker thread stopped with exit code ${code}`)));
    this.workers.add(w);
    return w;
  }

  release(w) {
    if (this.queue.length > 0) {
      this.idle.push(w);
      this.dispatch();
      return;
    }
    w.unref(); // idle workers never keep the process alive
    this.idle.push(w);
  }

  // A worker died: its task fails, it leaves the pool, and waiting tasks go to the others.
  fail(w, err) {
    if (!this.workers.has(w)) return;
    this.workers.delete(w);
    this.idle = this.idle.filter((x) => x !== w);
    const task = w.task;
    w.task = null;
    if (task !== null) {
      const e = new Error(`${task.fn} failed in its worker thread: ${err.message}`);
      e.cause = err;
      task.reject(e);
    }
    if (!this.closed) this.dispatch();
  }

  // Stops every worker; tasks still waiting are rejected.
  async close() {
    this.closed = true;
    for (const task of this.queue.splice(0)) task.reject(new Error('the worker pool was closed'));
    const all = [...this.workers];
    await Promise.all(all.map((w) => w.terminate()));
  }
}

module.exports = { WorkerPool, defaultSize };
