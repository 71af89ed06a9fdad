// Worker thread of the pool: loads the addon and answers one call per message.
'use strict';
const { parentPort, workerData } = require('node:worker_threads');

const addon = require(workerData.addonPath);

parentPort.on('message', ({ id, fn, args }) => {
  try {
    parentPort.postMessage({ id, answer: addon[fn](...args) });
  } catch (err) {
    parentPort.postMessage({ id, error: { name: err && err.name, message: err && err.message } });
  }
});
