// report(recordingPaths, pagePath): one self-contained HTML page to look at recordings, one
// recording as it was recorded or several synchronised onto their common time base.
'use strict';
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const gates = require('../run/gate.js');
const { writeFiles } = require('../data/outputs.js');
const { isPath, PATH_WANTED, outputOverInput } = require('../paths.js');
const { writeReason } = require('../reasons.js');
const { orientationOptions, checkMaxRows } = require('../contract.js');
const { pageHtml } = require('./page.js');
const { streamedPage } = require('./stream.js');

function checkArguments(recordingPaths, pagePath, options = {}) {
  if (!Array.isArray(recordingPaths) || recordingPaths.length === 0 || !recordingPaths.every(isPath)) {
    throw new TypeError(`recordingPaths: expected a non-empty array of recording paths, each ${PATH_WANTED}`);
  }
  if (!isPath(pagePath)) throw new TypeError(`pagePath: expected ${PATH_WANTED}`);
  if (options === null || typeof options !== 'object') throw new TypeError('options: expected an object ({ from, to })');
  for (const key of ['from', 'to']) {
    if (options[key] !== undefined && !(typeof options[key] === 'number' && Number.isFinite(options[key]))) {
      throw new TypeError(`options.${key}: expected seconds (a finite number)`);
    }
  }
  if (options.from !== undefined && options.to !== undefined && !(options.to > options.from)) {
    throw new TypeError('options.to: expected a time after options.from');
  }
  orientationOptions('report', options);
  checkMaxRows('report', options.maxRows);
}

// What the recordings are opened with: { orientation, maxRows } as given.
const sourceOptions = ({ orientation, maxRows } = {}) => ({ ...(orientation === undefined ? {} : { orientation }), ...(maxRows === undefined ? {} : { maxRows }) });

// The page model of `recordingPaths` in one pass over the rows of the recording or of the set's
// members (bounded memory). options: { from, to } (seconds on the recording's or the set's time
// axis) and { orientation, maxRows }.
function modelOf(addon, recordingPaths, options = {}) {
  const page = streamedPage(addon, recordingPaths, options);
  page.close();
  return page.model;
}

// Writes the page through the addon's output file: a temporary file beside the target,
// renamed over it once complete, so a failure or an interruption leaves an earlier page as it
// was; a page that is one of the recordings is refused. Throws an Error whose code says what
// failed.
function writePage(addon, pagePath, html, recordingPaths) {
  const { code: status } = writeFiles(addon, [pagePath], [Buffer.from(html, 'utf8')], recordingPaths);
  if (status === 'OK') return;
  let why;
  if (status === 'KX_OUTPUT_IS_INPUT') {
    const clash = outputOverInput([{ path: pagePath }], recordingPaths.map((r) => ({ path: r })));
    why = `is the recording ${clash ? clash.input.path : pagePath}; writing the page would lose the recording`;
  } else {
    why = writeReason(status);
  }
  throw Object.assign(new Error(`report: ${pagePath}: ${why}`), { code: status, path: pagePath });
}

// The page's title: the file names of its recordings.
const titleOf = (recordingPaths) => `${recordingPaths.map((p) => path.basename(p)).join(' + ')}: kx-binreader report`;

// Makes the page of `recordingPaths` (of the window options.from..options.to, seconds, when
// given) and writes it to `pagePath`; answers { page, bytes,
// devices, synchronised }. Argument errors are TypeErrors; unreadable recordings (readData's
// errors), a failed synchronisation (code KX_SYNC) and a failed write are Errors. options.orientation
// chooses the orientation filter.
function report(addon, recordingPaths, pagePath, options = {}) {
  checkArguments(recordingPaths, pagePath, options);
  const model = modelOf(addon, recordingPaths, options);
  const html = pageHtml(model, titleOf(recordingPaths));
  writePage(addon, pagePath, html, recordingPaths);
  return { page: pagePath, bytes: Buffer.byteLength(html), devices: recordingPaths.length, synchronised: model.synchronised };
}

// The same in a worker thread of its own, so that the event loop stays free while a day-long
// recording is decoded; rejects with the Error or TypeError report would throw, its code and
// status kept.
function reportInWorker(addonPath, recordingPaths, pagePath, options = {}) {
  return new Promise((resolve, reject) => {
    try {
      checkArguments(recordingPaths, pagePath, options);
    } catch (err) {
      reject(err);
      return;
    }
    const gate = gates.newGate();
    const worker = new Worker(path.join(__dirname, 'worker.js'), {
      workerData: { addonPath, recordingPaths: [...recordingPaths], pagePath, options: { from: options.from, to: options.to, ...sourceOptions(options) }, gate },
    });
    worker.once('exit', () => gates.forget(gate));
    let settled = false;
    worker.once('message', (m) => {
      settled = true;
      if (m.error) {
        const err = m.error.name === 'TypeError' ? new TypeError(m.error.message) : new Error(m.error.message);
        for (const key of ['code', 'status', 'errno', 'syscall', 'path', 'rows']) if (m.error[key] !== undefined) err[key] = m.error[key];
        reject(err);
      } else {
        resolve(m.answer);
      }
    });
    worker.once('error', (err) => {
      settled = true;
      reject(err);
    });
    worker.once('exit', (code) => {
      if (!settled) reject(new Error(`the report worker stopped (exit code ${code}) before answering`));
    });
  });
}

module.exports = { report, reportInWorker, checkArguments, sourceOptions, modelOf, titleOf };
