// The commands of the tool: each runner takes (ctx, { values, positionals }) and answers the
// exit code, or throws a CliError whose code is the exit code.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { PROGRAM, EXIT, CliError, usageError } = require('./errors.js');
const { readFailure, syncFailure, recordingProblem, writeConfigFailure, taskFailure } = require('./diagnose.js');
const { csvPathIn, fileBasename, outputOverInput } = require('../paths.js');
const { CODES: BATCH_CODES, MAX_CONCURRENCY, checkBatch } = require('../batch.js');

// Errors batch throws for a task list it refuses before starting: a wrong command line here.
const REFUSED_BY_BATCH = new Set(Object.values(BATCH_CODES));

function summaryLines(s) {
  return [
    `  created    ${s.createdAt}`,
    `  ended      ${s.endDate}`,
    `  frequency  ${s.frequency} Hz`,
    `  firmware   ${s.version}.${s.majorVersion}.${s.minorVersion}`,
    `  measure    ${s.measureId}`,
  ];
}

// Refuses, before anything is opened for writing, an output that is one of the recordings.
function refuseOutputOverInput(command, outputs, recordings) {
  const clash = outputOverInput(outputs.map((f) => ({ path: f })), recordings.map((r) => ({ path: r })));
  if (clash !== null) {
    throw usageError(`${command}: ${clash.output.path} is the recording ${clash.input.path}; writing the CSV file would lose the recording`);
  }
}

// The conversions run in a worker thread, so that a signal is handled while they run.
async function cmdRead(ctx, { positionals }) {
  const [recording, given] = positionals;
  const csv = given !== undefined ? given : `${fileBasename(recording)}.csv`;
  refuseOutputOverInput('read', [csv], [recording]);
  ctx.writes([csv]);
  const answer = await ctx.addon.promises.read(recording, csv);
  const parsed = JSON.parse(answer);
  if ('error' in parsed) throw readFailure(ctx.addon, recording, csv);
  if (ctx.json) ctx.out({ recording, csv, summary: parsed });
  else ctx.print([`${recording} -> ${csv}`, ...summaryLines(parsed)].join('\n'));
  return EXIT.OK;
}

async function cmdSync(ctx, { values, positionals }) {
  const outDir = values['out-dir'] !== undefined ? values['out-dir'] : '.';
  // Recordings with one file name would write one CSV file, the later over the earlier.
  const seen = new Map();
  for (const r of positionals) {
    const csv = `${fileBasename(r)}.csv`;
    if (seen.has(csv)) throw usageError(`${seen.get(csv)} and ${r} would both be written to ${path.join(outDir, csv)}`);
    seen.set(csv, r);
  }
  const files = positionals.map((r) => csvPathIn(outDir, r));
  refuseOutputOverInput('sync', files, positionals);
  ctx.writes(files);
  const status = await ctx.addon.promises.readAndSync2(positionals, outDir);
  if (status !== 'OK') throw syncFailure(ctx.addon, status, positionals, outDir);
  if (ctx.json) ctx.out({ status, files });
  else ctx.print(files.map((f, i) => `${positionals[i]} -> ${f}`).join('\n'));
  return EXIT.OK;
}

function configAnswer(ctx, file, fn) {
  const text = ctx.addon[fn](file);
  if (text === '') throw new CliError(EXIT.INPUT, `${file}: ${recordingProblem(ctx.addon, file) || 'not a recording'}`);
  return JSON.parse(text);
}

function cmdConfig(ctx, { positionals }) {
  const c = configAnswer(ctx, positionals[0], 'readConfig');
  if (ctx.json) {
    ctx.out(c);
    return EXIT.OK;
  }
  const lines = [];
  for (const [k, v] of Object.entries(c)) {
    if (v !== null && typeof v === 'object') {
      lines.push(`${k}:`);
      for (const [kk, vv] of Object.entries(v)) lines.push(`  ${kk.padEnd(10)} ${vv}`);
    } else {
      lines.push(`${k.padEnd(14)} ${v === '' ? '(none)' : v}`);
    }
  }
  ctx.print(lines.join('\n'));
  return EXIT.OK;
}

function cmdDeviceId(ctx, { positionals }) {
  const c = configAnswer(ctx, positionals[0], 'readConfigDeviceId');
  if (ctx.json) ctx.out(c);
  else ctx.print(String(c.deviceId));
  return EXIT.OK;
}

function cmdWriteConfig(ctx, { positionals }) {
  const [file, text] = positionals;
  if (ctx.addon.writeConfig(file, text) !== 'OK') throw writeConfigFailure(file, text);
  const bytes = fs.statSync(file).size;
  if (ctx.json) ctx.out({ file, bytes });
  else ctx.print(`wrote ${file} (${bytes} bytes)`);
  return EXIT.OK;
}

// --- batch ---

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

function progressBar(stream) {
  let last = '';
  return {
    update(done, total, current) {
      const width = Math.max(10, Math.min(40, (stream.columns || 80) - 40));
      const filled = Math.round((done / total) * width);
      const name = path.basename(current);
      const line = `[${'#'.repeat(filled)}${'-'.repeat(width - filled)}] ${done}/${total} ${String(Math.floor((100 * done) / total)).padStart(3)}% ${name}`;
      const cut = line.slice(0, Math.max(0, (stream.columns || 80) - 1));
      stream.write(`\r${cut}${' '.repeat(Math.max(0, last.length - cut.length))}`);
      last = cut;
    },
    end() {
      if (last !== '') stream.write(`\r${' '.repeat(last.length)}\r`);
    },
  };
}

// A folder for the CSV files of a device set, made only once every argument was checked.
function makeSetFolder(dir) {
  try {
    fs.mkdirSync(dir, { recursive: true });
  } catch (err) {
    throw new CliError(EXIT.OUTPUT, `${dir}: cannot create the directory (${err.code || err.message})`);
  }
}

async function cmdBatch(ctx, { values, positionals }) {
  const outDir = values['out-dir'] !== undefined ? values['out-dir'] : '.';
  let concurrency;
  if (values.jobs !== undefined) {
    concurrency = Number(values.jobs);
    if (!Number.isInteger(concurrency) || concurrency < 1 || concurrency > MAX_CONCURRENCY) {
      throw usageError(`--jobs must be an integer from 1 to ${MAX_CONCURRENCY}, got "${values.jobs}"`);
    }
  }
  const tasks = positionals.map((r) => ({ recording: r, csv: csvPathIn(outDir, r) }));
  const setDirs = [];
  if (values.sets !== undefined) {
    for (const s of readSets(values.sets)) {
      const dir = path.join(outDir, s.name);
      setDirs.push(dir);
      tasks.push({ recordings: s.recordings, outDir: dir });
    }
  }
  if (tasks.length === 0) throw usageError('batch: nothing to convert (give recordings or --sets)');
  // Everything is checked before the first folder is made or the first file written.
  let jobs;
  try {
    ({ jobs } = checkBatch(tasks, { concurrency }));
  } catch (err) {
    if (err && REFUSED_BY_BATCH.has(err.code)) throw usageError(err.message);
    throw err;
  }
  if (setDirs.length > 0) {
    let st = null;
    try {
      st = fs.statSync(outDir);
    } catch {
      // made below with the set folders
    }
    if (st !== null && !st.isDirectory()) throw usageError(`batch: -o ${outDir} is not a directory`);
  }
  setDirs.forEach(makeSetFolder);
  ctx.writes(jobs.flatMap((job) => job.outputs));

  const showProgress = values['no-progress'] ? false : values.progress || Boolean(ctx.stderr.isTTY);
  const bar = showProgress ? progressBar(ctx.stderr) : null;
  const controller = new AbortController();
  ctx.onFirstInterrupt(() => {
    controller.abort();
    if (bar) bar.end();
    ctx.stderr.write(`${PROGRAM}: interrupted; finishing the conversions already running\n`);
  });
  const started = process.hrtime.bigint();
  let results;
  try {
    results = await ctx.batch(tasks, {
      concurrency,
      signal: controller.signal,
      onProgress: (done, total, current) => { if (bar) bar.update(done, total, current); },
    });
  } catch (err) {
    if (controller.signal.aborted) {
      ctx.stderr.write(`${PROGRAM}: batch interrupted\n`);
      return EXIT.INTERRUPTED;
    }
    if (err && REFUSED_BY_BATCH.has(err.code)) throw usageError(err.message);
    throw err;
  } finally {
    if (bar) bar.end();
  }
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  const failed = results.filter((r) => !r.ok);
  for (const r of failed) ctx.stderr.write(`${PROGRAM}: ${taskFailure(ctx.addon, r)}\n`);
  if (ctx.json) {
    ctx.out({
      seconds: Number(seconds.toFixed(3)),
      converted: results.length - failed.length,
      failed: failed.length,
      results: results.map((r) => {
        const { error, answer, ...rest } = r;
        const item = { ...rest, answer };
        if (r.kind === 'read' && r.ok) item.answer = JSON.parse(answer);
        if (error) item.error = error.message;
        else if (!r.ok) item.error = taskFailure(ctx.addon, r);
        return item;
      }),
    });
  } else {
    ctx.print(`${results.length - failed.length} of ${results.length} converted in ${seconds.toFixed(2)} s${failed.length ? `; ${failed.length} failed` : ''}`);
  }
  return failed.length ? EXIT.SOME_FAILED : EXIT.OK;
}

// Runner of every command named in help.js's COMMANDS.
const RUN = { read: cmdRead, sync: cmdSync, config: cmdConfig, 'device-id': cmdDeviceId, 'write-config': cmdWriteConfig, batch: cmdBatch };

module.exports = { RUN, readSets, summaryLines };
