// report(recordingPaths, pagePath): one self-contained HTML page to look at recordings, one
// recording as it was recorded or several synchronised onto their common time base.
'use strict';
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const gates = require('../run/gate.js');
const { makeData } = require('../data/index.js');
const { writeFiles } = require('../data/outputs.js');
const { isPath, PATH_WANTED, outputOverInput } = require('../paths.js');
const { writeReason } = require('../reasons.js');
const { orientationOptions } = require('../contract.js');
const { pageModel } = require('./data.js');
const { pageHtml } = require('./page.js');
const { streamedPage } = require('./stream.js');

// Status texts of the synchronisation and what they mean, as readAndSync2 answers them.
const SYNC_STATUS = {
  '-10': 'a recording could not be read',
  '-11': 'the recordings could not be put on one time base',
  '-13': 'a recording has no orientation (no accelerometer and gyroscope at one rate)',
};

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
}

// The decoded devices of the page: readData's answer for one recording; for several, their
// synchronised streams. Throws an Error with code KX_SYNC and `status` when they cannot be
// synchronised.
function loadDevices(addon, recordingPaths, options) {
  if (recordingPaths.length === 1) {
    const file = recordingPaths[0];
    const { config, streams } = makeData(addon).readData(file, options);
    return { synchronised: false, devices: [{ file, config, streams, fullScale: addon._fullScale(file) }] };
  }
  const answer = addon._readSynced(recordingPaths, options);
  if (answer.status !== 'OK') {
    const err = new Error(`${recordingPaths.join(', ')}: cannot synchronise: ${SYNC_STATUS[answer.status] || `status ${answer.status}`}`);
    err.code = 'KX_SYNC';
    err.status = answer.status;
    throw err;
  }
  const devices = recordingPaths.map((file, i) => ({
    file,
    config: JSON.parse(addon.readConfig(file)),
    streams: answer.recordings[i].streams,
    fullScale: addon._fullScale(file),
  }));
  return { synchronised: true, devices };
}

// The page model of `recordingPaths` from their decoded streams. options: { from, to }
// (seconds on the recording's or the set's time axis) and { orientation }.
function wholeModelOf(addon, recordingPaths, options = {}) {
  const { synchronised, devices } = loadDevices(addon, recordingPaths, orientationOptions('report', options));
  return pageModel(devices, { synchronised, from: options.from, to: options.to });
}

// The same model; a single recording's in one pass over its rows (bounded memory), a set's
// still from its streams synchronised whole.
function modelOf(addon, recordingPaths, options = {}) {
  if (recordingPaths.length > 1) return wholeModelOf(addon, recordingPaths, options);
  const page = streamedPage(addon, recordingPaths[0], options);
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
      workerData: { addonPath, recordingPaths: [...recordingPaths], pagePath, options: { from: options.from, to: options.to, orientation: options.orientation }, gate },
    });
    worker.once('exit', () => gates.forget(gate));
    let settled = false;
    worker.once('message', (m) => {
      settled = true;
      if (m.error) {
        const err = m.error.name === 'TypeError' ? new TypeError(m.error.message) : new Error(m.error.message);
        for (const key of ['code', 'status', 'errno', 'syscall', 'path']) if (m.error[key] !== undefined) err[key] = m.error[key];
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

module.exports = { report, reportInWorker, checkArguments, loadDevices, modelOf, wholeModelOf, titleOf };
