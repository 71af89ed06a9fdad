// Worker thread of promises.report: makes one page and answers once.
'use strict';
const { parentPort, workerData } = require('node:worker_threads');
const { report } = require('./index.js');

const { addonPath, recordingPaths, pagePath, options } = workerData;
try {
  parentPort.postMessage({ answer: report(require(addonPath), recordingPaths, pagePath, options) });
} catch (err) {
  const e = err || {};
  parentPort.postMessage({
    error: { name: e.name, message: e.message, code: e.code, status: e.status, errno: e.errno, syscall: e.syscall, path: e.path },
  });
}
