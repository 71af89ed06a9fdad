// Diagnosis: turning the reader's short answers into one-line messages that name the file,
// each with the exit code that says what failed.
'use strict';
const { addon: native } = require('../addon.js');
const fs = require('node:fs');
const path = require('node:path');
const { EXIT, CliError } = require('./errors.js');
const { configTextProblem } = require('../config-text.js');
const { REASONS, notRegular } = require('../reasons.js');

// Why a recording cannot be read, or null when it looks readable.
function recordingProblem(addon, file, limits = {}) {
  let st;
  try {
    st = fs.statSync(file);
  } catch (err) {
    return err.code === 'ENOENT' ? REASONS.ENOENT : `cannot open it (${err.code || err.message})`;
  }
  if (!st.isFile()) return notRegular(st);
  try {
    fs.accessSync(file, fs.constants.R_OK);
  } catch (err) {
    return `cannot open it (${err.code})`;
  }
  if (st.size < 512) return `only ${st.size} bytes, shorter than one 512-byte block`;
  if (addon.readConfig(file) === '') return REASONS.KX_NOT_A_RECORDING;
  const opened = native._sourceOpen([file], limits);
  const { code, rows } = JSON.parse(opened.description);
  if (opened.handle !== undefined) native._sourceClose(opened.handle);
  else if (code === 'KX_TOO_MANY_ROWS') return `its table would have ${rows} rows, implausibly many for the recording (--max-rows raises the limit)`;
  return null;
}

// Why a file cannot be written into `dir`, or null when nothing is visibly wrong.
function directoryProblem(dir) {
  let st;
  try {
    st = fs.statSync(dir);
  } catch {
    return `directory ${dir} does not exist`;
  }
  if (!st.isDirectory()) return `${dir} is not a directory`;
  try {
    fs.accessSync(dir, fs.constants.W_OK);
  } catch {
    return `no permission to write into ${dir}`;
  }
  return null;
}

// Why a recording gives no orientation: no accelerometer and gyroscope at one rate.
function orientationProblem(addon, file) {
  const text = addon.readConfig(file);
  if (text === '') return 'not a recording';
  const c = JSON.parse(text);
  if (!c.accel) return 'has no accelerometer';
  if (!c.gyro) return 'has no gyroscope';
  if (c.accel.frequency !== c.gyro.frequency) {
    return `its accelerometer (${c.accel.frequency} Hz) and gyroscope (${c.gyro.frequency} Hz) run at different rates`;
  }
  return null;
}

// Why read(recording, csv) answered its error object.
function readFailure(addon, recording, csv, limits) {
  const input = recordingProblem(addon, recording, limits);
  if (input) return new CliError(EXIT.INPUT, `${recording}: ${input}`);
  const out = directoryProblem(path.dirname(path.resolve(csv)));
  if (out) return new CliError(EXIT.OUTPUT, `${csv}: cannot write: ${out}`);
  if (fs.existsSync(csv) && fs.statSync(csv).isDirectory()) return new CliError(EXIT.OUTPUT, `${csv}: cannot write: is a directory`);
  return new CliError(EXIT.OUTPUT, `${csv}: could not be written completely from ${recording} (disk full, file-size limit or I/O error), or ${recording} could not be read in full`);
}

// Why readAndSync2(recordings, outDir) answered `status`.
function syncFailure(addon, status, recordings, outDir, limits) {
  switch (status) {
    case '-10': {
      const bad = recordings.map((r) => [r, recordingProblem(addon, r, limits)]).filter(([, p]) => p);
      const detail = bad.length ? bad.map(([r, p]) => `${r}: ${p}`).join('; ') : `one of ${recordings.join(', ')} could not be read in full`;
      return new CliError(EXIT.INPUT, detail);
    }
    case '-13': {
      const bad = recordings.map((r) => [r, orientationProblem(addon, r)]).filter(([, p]) => p);
      const detail = bad.length ? bad.map(([r, p]) => `${r}: ${p}`).join('; ') : `one of ${recordings.join(', ')} has no inertial samples`;
      return new CliError(EXIT.NO_ORIENTATION, `no orientation: ${detail}`);
    }
    case '-11':
      return new CliError(EXIT.NO_SYNC, recordings.length < 2
        ? `${recordings[0]}: synchronising needs at least two recordings`
        : `${recordings.join(', ')}: no common time base (no time marks, or not exactly one radio master on one channel, or no radio time samples)`);
    case '-12': {
      const problem = directoryProblem(outDir);
      return new CliError(EXIT.OUTPUT, problem ? `cannot write the files of the set: ${problem}` : `${outDir}: a file of the set could not be written completely`);
    }
    default:
      return new CliError(EXIT.INTERNAL, `unexpected answer "${status}"`);
  }
}

// Why writeConfig(file, text) answered ERROR: the text breaks a rule of the configuration
// text (checked without writing anything), or else the file could not be written.
function writeConfigFailure(file, text) {
  if (configTextProblem(text) !== null) {
    return new CliError(EXIT.BAD_CONFIG_TEXT, `${file}: configuration text refused (a known section with too few or non-numeric fields, a number outside 32 bits, or more than 512 bytes of frames); the file was not changed`);
  }
  const problem = directoryProblem(path.dirname(path.resolve(file)));
  return new CliError(EXIT.OUTPUT, `${file}: cannot write${problem ? `: ${problem}` : ' it completely'}; the file was not changed`);
}

// The message naming why one batch result failed; `limits`: the batch's { maxRows }, if any.
function taskFailure(addon, r, limits = {}) {
  // A table over the limit is named as the command line's limit, not the API's option.
  if (r.error && r.error.code === 'KX_TOO_MANY_ROWS' && r.error.path) {
    const problem = recordingProblem(addon, r.error.path, limits);
    if (problem) return `${r.error.path}: ${problem}`;
  }
  // Errors of the Parquet conversions name their file and why already.
  if (r.error && typeof r.error.code === 'string' && r.error.path) return String(r.error.message).replace(/^(writeParquet|readData): /, '');
  if (r.error) return `${r.kind === 'read' ? r.recording : r.outDir}: ${r.error.message}`;
  if (r.kind === 'read') return readFailure(addon, r.recording, r.csv !== undefined ? r.csv : r.parquet, limits).message;
  return syncFailure(addon, r.answer, r.recordings, r.outDir, limits).message;
}

module.exports = {
  recordingProblem, directoryProblem, orientationProblem, readFailure, syncFailure, writeConfigFailure, taskFailure,
};
