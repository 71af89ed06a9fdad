// Worker thread of the pool: loads the addon and answers one call per message. readData's
// arrays are moved to the caller (transferred, not copied); errors keep their code and path.
'use strict';
const { parentPort, workerData } = require('node:worker_threads');
const { makeData, transferList } = require('../data/index.js');
const { guarded } = require('./gate.js');

const addon = guarded(require(workerData.addonPath), workerData.gate);
const data = makeData(addon);

// Calls built in JavaScript over the addon's internal functions; the rest are the addon's own.
const CALLS = {
  readData: (recordingPath, orientation) => {
    const answer = data.decode(recordingPath, true, orientation);
    return { answer, transfer: transferList(answer) };
  },
  writeParquet: (...args) => ({ answer: data.writeParquet(...args), transfer: [] }),
  syncParquet: (...args) => ({ answer: data.syncParquet(...args), transfer: [] }),
};

parentPort.on('message', ({ id, fn, args }) => {
  try {
    if (Object.hasOwn(CALLS, fn)) {
      const { answer, transfer } = CALLS[fn](...args);
      parentPort.postMessage({ id, answer }, transfer);
    } else {
      parentPort.postMessage({ id, answer: addon[fn](...args) });
    }
  } catch (err) {
    parentPort.postMessage({ id, error: { name: err && err.name, message: err && err.message, code: err && err.code, path: err && err.path } });
  }
});
