// The tasks of batch and enqueue, read from the command line alike: the output format, the
// recordings and device sets, and the checks batch makes before any work starts.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { EXIT, CliError, usageError } = require('./errors.js');
const { outputPathIn } = require('../paths.js');
const { CODES: BATCH_CODES, checkBatch } = require('../run/batch.js');
const { FORMATS } = require('../formats.js');
const { ORIENTATIONS } = require('../contract.js');
const { outputFormat } = require('./formats.js');

// Errors batch throws for a task list it refuses before starting: a wrong command line here.
const REFUSED_BY_BATCH = new Set(Object.values(BATCH_CODES));

// The output format a command was given: csv (the default) or parquet.
function formatOf(values, command) {
  return outputFormat(command, Object.keys(FORMATS), values.format);
}

// The orientation filter a command was given (--orientation), undefined for the default.
function orientationOf(values, command) {
  const o = values.orientation;
  if (o !== undefined && !ORIENTATIONS.includes(o)) throw usageError(`${command}: --orientation must be ${ORIENTATIONS.join(' or ')}, got "${o}"`);
  return o;
}

// The options object of the API calls for that filter.
const orientationOptions = (orientation) => (orientation === undefined ? undefined : { orientation });

// The --max-rows option of every command that converts or draws a recording.
const LIMIT_OPTION = { type: 'string', arg: 'n', help: 'refuse a table of more rows (default: 1024 a record of the recording, at least 65536)' };

// { maxRows } of --max-rows, the limit on a table's rows (see read's options); {} without it.
function limitOf(values, command) {
  const given = values['max-rows'];
  if (given === undefined) return {};
  if (!/^[1-9][0-9]*$/.test(given) || !Number.isSafeInteger(Number(given))) throw usageError(`${command}: --max-rows must be a positive integer, got "${given}"`);
  return { maxRows: Number(given) };
}

// The device sets of a --sets file, their recordings resolved against the file's folder.
function readSets(file) {
  let list;
  try {
    list = JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch (err) {
    throw usageError(`${file}: cannot read the sets file: ${err.message}`);
  }
  if (!Array.isArray(list)) throw usageError(`${file}: expected a JSON array of device sets`);
  const base = path.dirname(file);
  return list.map((entry, k) => {
    const recordings = Array.isArray(entry) ? entry : entry && entry.recordings;
    const name = !Array.isArray(entry) && entry && entry.name !== undefined ? entry.name : `set-${k + 1}`;
    if (!Array.isArray(recordings) || !recordings.every((r) => typeof r === 'string' && r !== '')) {
      throw usageError(`${file}: set ${k + 1} must be an array of recording paths or {"name", "recordings": [...]}`);
    }
    if (typeof name !== 'string' || name === '' || /[/\\\0]/.test(name) || name === '.' || name === '..') {
      throw usageError(`${file}: set ${k + 1} has an unusable name ${JSON.stringify(name)}`);
    }
    return { name, recordings: recordings.map((r) => path.resolve(base, r)) };
  });
}

// A folder for output files (-o, a device set's), made only once every argument was checked.
function makeOutputFolder(dir) {
  try {
    fs.mkdirSync(dir, { recursive: true });
  } catch (err) {
    throw new CliError(EXIT.OUTPUT, `${dir}: cannot create the directory (${err.code || err.message})`);
  }
}

// The tasks of the command line's recordings (then its --sets), in the order given; the
// folders of the sets, made only once every argument was checked.
function tasksOf(values, positionals, format = 'csv') {
  const outDir = values['out-dir'] !== undefined ? values['out-dir'] : '.';
  const tasks = positionals.map((r) => ({ recording: r, [format]: outputPathIn(outDir, r, format) }));
  const setDirs = [];
  if (values.sets !== undefined) {
    for (const s of readSets(values.sets)) {
      const dir = path.join(outDir, s.name);
      setDirs.push(dir);
      tasks.push({ recordings: s.recordings, outDir: dir });
    }
  }
  return { outDir, tasks, setDirs };
}

// Checks a task list as batch would, turning its refusals into a wrong command line.
function checkTasks(tasks, options) {
  try {
    return checkBatch(tasks, options).jobs;
  } catch (err) {
    if (err && REFUSED_BY_BATCH.has(err.code)) throw usageError(err.message);
    throw err;
  }
}

// Refuses an -o that names a file where the sets' folders would go.
function refuseFileAsOutDir(outDir, command) {
  let st = null;
  try {
    st = fs.statSync(outDir);
  } catch {
    // made later with the set folders
  }
  if (st !== null && !st.isDirectory()) throw usageError(`${command}: -o ${outDir} is not a directory`);
}

module.exports = {
  REFUSED_BY_BATCH, formatOf, orientationOf, orientationOptions, LIMIT_OPTION, limitOf, readSets, makeOutputFolder, tasksOf, checkTasks, refuseFileAsOutDir,
};
