// Package entry: the addon's five synchronous functions, unchanged, readData and writeParquet,
// plus the Promise API and the batch converter, which run the same functions in worker threads.
'use strict';
const { addon, addonPath } = require('./lib/addon.js');
const { WorkerPool } = require('./lib/run/pool.js');
const { makePromises } = require('./lib/run/promises.js');
const { makeBatch } = require('./lib/run/batch.js');
const { enqueue, work } = require('./lib/queue/index.js'); // loads BullMQ only when called
const { makeData } = require('./lib/data/index.js'); // loads the Parquet writer only when called
const { report: makeReport, reportInWorker } = require('./lib/report/index.js');

let shared = null;
// One pool for the Promise API, made on first use; its idle workers never hold the process.
const sharedPool = () => {
  if (shared === null) shared = new WorkerPool({ addonPath });
  return shared;
};

const api = {};
// Names beginning with "_" are the addon's helpers for lib/, not part of the API.
for (const name of Object.getOwnPropertyNames(addon)) if (!name.startsWith('_')) api[name] = addon[name];
const { readData, readChunks, writeParquet } = makeData(addon, addonPath);
api.readData = readData;
api.readChunks = readChunks;
api.writeParquet = writeParquet;
api.promises = makePromises(sharedPool);
// The report page: made on the calling thread, or by the promise twin in a worker of its own.
api.report = function report(recordingPaths, pagePath, options) {
  return makeReport(addon, recordingPaths, pagePath, options);
};
api.promises = Object.freeze({
  ...api.promises,
  report: function report(recordingPaths, pagePath, options) {
    return reportInWorker(addonPath, recordingPaths, pagePath, options);
  },
});
api.batch = makeBatch(addonPath);
api.queue = { enqueue, work };

module.exports = api;
