// The gate between worker threads and the addon. A thread torn down while it is inside a native
// call aborts the whole process, so a process about to exit on a signal first closes the gate
// and waits until no worker thread is inside the addon; the calls still running end at their
// next write or block read, once the addon was told to stop.
'use strict';

const INSIDE = 0; // how many addon functions the worker's threads run (a worker's helper thread shares its gate)
const CLOSED = 1; // 1 once the process is exiting: no addon call starts any more

// Gates of the live workers of this thread (the main thread's registry).
const open = new Set();

// A new gate for a worker about to start: pass it in its workerData, forget it at its exit.
function newGate() {
  const gate = new Int32Array(new SharedArrayBuffer(8));
  open.add(gate);
  return gate;
}

const forget = (gate) => open.delete(gate);

// The addon as a worker uses it: every function goes through its gate.
function guarded(addon, gate) {
  if (!gate) return addon;
  const stopped = () => Object.assign(new Error('the process is exiting'), { code: 'KX_STOPPED' });
  const call = (fn) => function gatedCall(...args) {
    Atomics.add(gate, INSIDE, 1);
    try {
      // Checked after entering: a closer either sees this call inside, or this call sees it closed.
      if (Atomics.load(gate, CLOSED) === 1) throw stopped();
      return fn.apply(addon, args);
    } finally {
      if (Atomics.sub(gate, INSIDE, 1) === 1) Atomics.notify(gate, INSIDE);
    }
  };
  const out = {};
  for (const name of Object.getOwnPropertyNames(addon)) out[name] = typeof addon[name] === 'function' ? call(addon[name]) : addon[name];
  return out;
}

// Closes every gate and waits, at most `ms` milliseconds in all, until no worker of this thread
// is inside the addon. Answers whether none is.
function closeAll(ms = 5000) {
  const deadline = Date.now() + ms;
  for (const gate of open) Atomics.store(gate, CLOSED, 1);
  for (const gate of open) {
    for (let inside = Atomics.load(gate, INSIDE); inside !== 0; inside = Atomics.load(gate, INSIDE)) {
      const left = deadline - Date.now();
      if (left <= 0) return false;
      Atomics.wait(gate, INSIDE, inside, left);
    }
  }
  return true;
}

module.exports = { newGate, forget, guarded, closeAll };
