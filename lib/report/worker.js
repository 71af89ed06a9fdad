// Worker thread of promises.report: makes one page and answers once.
'use strict';
const { parentPort, workerData } = require('node:worker_threads');
const { report } = require('./index.js');
const { guarded } = require('../run/gate.js');

const { addonPath, recordingPaths, pagePath, options, gate } = workerData;
try {
  parentPort.postMessage({ answer: report(guarded(require(addonPath), gate), recordingPaths, pagePath, options) });
} catch (err) {
  const e = err || {};
  parentPort.postMessage({
    error: { name: e.name, message: e.message, code: e.code, status: e.status, errno: e.errno, syscall: e.syscall, path: e.path, rows: e.rows },
  });
}
