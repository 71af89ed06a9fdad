// Worker thread of the pool: loads the addon and answers one call per message. readData's
// arrays are moved to the caller (transferred, not copied); errors keep their code, path and rows.
// Started with `blocking`, it answers that one call through a port while its caller waits.
'use strict';
const { parentPort, workerData } = require('node:worker_threads');
const { makeData, transferList, dataOptions } = require('../data/index.js');
const { guarded } = require('./gate.js');

const addon = guarded(require(workerData.addonPath), workerData.gate);
// A thread this one starts for a call (the Parquet writer's filler) shares its gate.
const data = makeData(addon, workerData.addonPath, workerData.gate);

// Calls built in JavaScript over the addon's internal functions; the rest are the addon's own.
const CALLS = {
  readData: (recordingPath, options) => {
    const answer = data.decode(recordingPath, dataOptions('readData', options));
    return { answer, transfer: transferList(answer) };
  },
  writeParquet: async (...args) => ({ answer: await data.writeParquetAsync(...args), transfer: [] }),
  syncParquet: async (...args) => ({ answer: await data.syncParquet(...args), transfer: [] }),
};

async function call(fn, args) {
  try {
    if (Object.hasOwn(CALLS, fn)) return await CALLS[fn](...args);
    return { answer: addon[fn](...args), transfer: [] };
  } catch (err) {
    return { error: { name: err && err.name, message: err && err.message, code: err && err.code, path: err && err.path, rows: err && err.rows }, transfer: [] };
  }
}

if (workerData.blocking) {
  // One call at a time from a caller that waits on the flag; it is raised however this
  // thread ends, so the caller never waits for a thread that is gone.
  const { flag, port } = workerData.blocking;
  const wake = () => {
    Atomics.store(flag, 0, 1);
    Atomics.notify(flag, 0);
  };
  process.on('exit', () => {
    port.postMessage({ ended: true });
    wake();
  });
  port.on('message', async ({ fn, args }) => {
    const { answer, error, transfer } = await call(fn, args);
    port.postMessage(error === undefined ? { answer } : { error }, transfer);
    wake();
  });
} else {
  parentPort.on('message', async ({ id, fn, args }) => {
    const { answer, error, transfer } = await call(fn, args);
    parentPort.postMessage(error === undefined ? { id, answer } : { id, error }, transfer);
  });
}
