// The commands of the tool: each runner takes (ctx, { values, positionals }) and answers the
// exit code, or throws a CliError whose code is the exit code.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { PROGRAM, EXIT, CliError, usageError } = require('./errors.js');
const { readFailure, syncFailure, recordingProblem, directoryProblem, writeConfigFailure, taskFailure } = require('./diagnose.js');
const { outputPathIn, fileBasename, outputOverInput } = require('../paths.js');
const { CODES: BATCH_CODES, MAX_CONCURRENCY, checkBatch } = require('../batch.js');
const { RUN_QUEUE } = require('./queue-commands.js');
const { parseShard, shardFromEnv, inShard, upToDate, Manifest, manifestRecord } = require('../shards.js');
const { checkTimeZone } = require('../table-time.js');

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
function refuseOutputOverInput(command, outputs, recordings, format = 'csv') {
  const clash = outputOverInput(outputs.map((f) => ({ path: f })), recordings.map((r) => ({ path: r })));
  if (clash !== null) {
    throw usageError(`${command}: ${clash.output.path} is the recording ${clash.input.path}; writing the ${format === 'csv' ? 'CSV' : 'Parquet'} file would lose the recording`);
  }
}

// The output format a command was given: csv (the default) or parquet.
function formatOf(values, command) {
  const format = values.format === undefined ? 'csv' : values.format;
  if (format !== 'csv' && format !== 'parquet') throw usageError(`${command}: --format must be csv or parquet, got "${format}"`);
  return format;
}

// The exit code and message of a failed Parquet conversion: the error names the file and why.
function parquetFailure(err) {
  if (!err || typeof err.code !== 'string') return err;
  const message = String(err.message).replace(/^(writeParquet|readData): /, '');
  if (err.code === 'KX_NO_PARQUET_WRITER' || err.code === 'KX_OUTPUT_IS_INPUT') return usageError(message);
  if (err.code === 'KX_OPEN_FAILED' || err.code === 'KX_WRITE_FAILED') return new CliError(EXIT.OUTPUT, message);
  return new CliError(EXIT.INPUT, message);
}

// { timezone } from --timezone, checked before any work (a name that is no zone is a usage error).
function timezoneOf(values) {
  if (values.timezone === undefined) return {};
  try {
    return { timezone: checkTimeZone(values.timezone, '--timezone') };
  } catch (err) {
    throw usageError(err.message);
  }
}

// The conversions run in a worker thread, so that a signal is handled while they run.
async function cmdRead(ctx, { values, positionals }) {
  const format = formatOf(values, 'read');
  const [recording, given] = positionals;
  const csv = given !== undefined ? given : `${fileBasename(recording)}.${format}`;
  refuseOutputOverInput('read', [csv], [recording], format);
  ctx.writes([csv]);
  if (format === 'parquet') {
    let summary;
    try {
      summary = JSON.parse(await ctx.addon.promises.writeParquet(recording, csv, timezoneOf(values)));
    } catch (err) {
      throw parquetFailure(err);
    }
    if (ctx.json) ctx.out({ recording, parquet: csv, summary });
    else ctx.print([`${recording} -> ${csv}`, ...summaryLines(summary)].join('\n'));
    return EXIT.OK;
  }
  const answer = await ctx.addon.promises.read(recording, csv);
  const parsed = JSON.parse(answer);
  if ('error' in parsed) throw readFailure(ctx.addon, recording, csv);
  if (ctx.json) ctx.out({ recording, csv, summary: parsed });
  else ctx.print([`${recording} -> ${csv}`, ...summaryLines(parsed)].join('\n'));
  return EXIT.OK;
}

async function cmdSync(ctx, { values, positionals }) {
  const format = formatOf(values, 'sync');
  const outDir = values['out-dir'] !== undefined ? values['out-dir'] : '.';
  // Recordings with one file name would write one file, the later over the earlier.
  const seen = new Map();
  for (const r of positionals) {
    const csv = `${fileBasename(r)}.${format}`;
    if (seen.has(csv)) throw usageError(`${seen.get(csv)} and ${r} would both be written to ${path.join(outDir, csv)}`);
    seen.set(csv, r);
  }
  const files = positionals.map((r) => outputPathIn(outDir, r, format));
  refuseOutputOverInput('sync', files, positionals, format);
  ctx.writes(files);
  let status;
  if (format === 'parquet') {
    // The same synchronised set, written as Parquet files, in a worker thread of the batch.
    const [result] = await ctx.batch([{ recordings: positionals, outDir }], { format, concurrency: 1, ...timezoneOf(values) });
    if (result.error) throw parquetFailure(result.error);
    status = result.answer;
  } else {
    status = await ctx.addon.promises.readAndSync2(positionals, outDir);
  }
  if (status !== 'OK') throw syncFailure(ctx.addon, status, positionals, outDir);
  if (ctx.json) ctx.out({ status, files });
  else ctx.print(files.map((f, i) => `${positionals[i]} -> ${f}`).join('\n'));
  return EXIT.OK;
}

// The page of one or several recordings; several are synchronised first.
async function cmdView(ctx, { values, positionals }) {
  const page = values.out !== undefined ? values.out : `${positionals.map(fileBasename).join('+')}.html`;
  const clash = outputOverInput([{ path: page }], positionals.map((r) => ({ path: r })));
  if (clash !== null) throw usageError(`view: ${page} is the recording ${clash.input.path}; writing the page would lose the recording`);
  ctx.writes([page]);
  let answer;
  try {
    answer = await ctx.addon.promises.report(positionals, page);
  } catch (err) {
    if (err && err.code === 'KX_SYNC') throw syncFailure(ctx.addon, err.status, positionals, path.dirname(page));
    if (positionals.length === 1) {
      const problem = recordingProblem(ctx.addon, positionals[0]);
      if (problem) throw new CliError(EXIT.INPUT, `${positionals[0]}: ${problem}`);
    }
    if (err && typeof err.code === 'string' && /^KX_(OPEN|WRITE)_FAILED$/.test(err.code)) {
      const out = directoryProblem(path.dirname(path.resolve(page)));
      throw new CliError(EXIT.OUTPUT, out ? `${page}: cannot write: ${out}` : err.message);
    }
    throw new CliError(EXIT.INPUT, err && err.message ? err.message : String(err));
  }
  if (ctx.json) ctx.out({ recordings: positionals, ...answer });
  else ctx.print(`${positionals.join(' + ')} -> ${page} (${(answer.bytes / 1e6).toFixed(2)} MB${answer.synchronised ? ', synchronised' : ''})`);
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

// The tasks of the command line's recordings (then its --sets), in the order given; the
// folders of the sets, made only once every argument was checked. Shared with enqueue.
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

function refuseFileAsOutDir(outDir, command) {
  let st = null;
  try {
    st = fs.statSync(outDir);
  } catch {
    // made later with the set folders
  }
  if (st !== null && !st.isDirectory()) throw usageError(`${command}: -o ${outDir} is not a directory`);
}

// The shard this run takes: --shard, else the scheduler's environment, else the whole list.
function shardOf(values, env) {
  try {
    if (values.shard !== undefined) {
      if (values.shards !== undefined) throw usageError('batch: give --shard K/N or --shards N, not both');
      return { ...parseShard(values.shard), from: '--shard' };
    }
    return shardFromEnv(env, values.shards);
  } catch (err) {
    if (err && err.code === 'KX_BAD_SHARD') throw usageError(`batch: ${err.message}`);
    throw err;
  }
}

async function cmdBatch(ctx, { values, positionals }) {
  let concurrency;
  if (values.jobs !== undefined) {
    concurrency = Number(values.jobs);
    if (!Number.isInteger(concurrency) || concurrency < 1 || concurrency > MAX_CONCURRENCY) {
      throw usageError(`--jobs must be an integer from 1 to ${MAX_CONCURRENCY}, got "${values.jobs}"`);
    }
  }
  const format = formatOf(values, 'batch');
  const { outDir, tasks: all, setDirs: allSetDirs } = tasksOf(values, positionals, format);
  if (all.length === 0) throw usageError('batch: nothing to convert (give recordings or --sets)');
  const shard = shardOf(values, ctx.env);
  // The whole list is checked, not only this shard's part, so that every shard of one list
  // refuses it alike: a clash between two shards' tasks would otherwise go unseen.
  const allJobs = checkTasks(all, { concurrency, format });
  if (allSetDirs.length > 0) refuseFileAsOutDir(outDir, 'batch');
  let positions = all.map((_, i) => i);
  if (shard !== null) positions = positions.filter((i) => inShard(i, shard));
  const skipped = values['skip-existing'] ? positions.filter((i) => upToDate(allJobs[i].inputs, allJobs[i].outputs)) : [];
  const skip = new Set(skipped);
  const run = positions.filter((i) => !skip.has(i));
  const tasks = run.map((i) => all[i]);
  const jobs = run.map((i) => allJobs[i]);

  let manifest = null;
  if (values.manifest !== undefined) {
    try {
      manifest = new Manifest(values.manifest);
    } catch (err) {
      throw new CliError(EXIT.OUTPUT, `${values.manifest}: cannot open the manifest (${err.code || err.message})`);
    }
  }
  try {
    try {
      for (const i of skipped) manifest?.append(manifestRecord(allJobs[i], { answer: null, ok: true }, { shard, skipped: true }));
    } catch (err) {
      if (err && err.code === 'KX_MANIFEST_WRITE') throw new CliError(EXIT.OUTPUT, err.message);
      throw err;
    }
    const setDirs = new Set(jobs.filter((j) => j.kind === 'sync').map((j) => j.path));
    allSetDirs.filter((d) => setDirs.has(d)).forEach(makeSetFolder);
    ctx.writes(jobs.flatMap((job) => job.outputs));

    const showProgress = values['no-progress'] ? false : values.progress || Boolean(ctx.stderr.isTTY);
    const bar = showProgress ? progressBar(ctx.stderr) : null;
    const controller = new AbortController();
    ctx.onFirstInterrupt(() => {
      controller.abort();
      if (bar) bar.end();
      ctx.stderr.write(`${PROGRAM}: interrupted; finishing the conversions already running\n`);
    });
    const byFiles = new Map(jobs.map((j) => [filesKey(j.files), j]));
    const started = process.hrtime.bigint();
    let results = [];
    try {
      // Each task's line is appended as soon as it ends, so a job cut short still has them.
      if (tasks.length > 0) {
        results = await ctx.batch(tasks, {
          concurrency,
          format,
          ...timezoneOf(values),
          signal: controller.signal,
          onProgress: (done, total, current, answer, result) => {
            if (bar) bar.update(done, total, current);
            if (manifest) manifest.append(manifestRecord(byFiles.get(filesKey(result)), result, { shard }));
          },
        });
      }
    } catch (err) {
      if (controller.signal.aborted) {
        ctx.stderr.write(`${PROGRAM}: batch interrupted\n`);
        return EXIT.INTERRUPTED;
      }
      if (err && REFUSED_BY_BATCH.has(err.code)) throw usageError(err.message);
      if (err && err.code === 'KX_MANIFEST_WRITE') throw new CliError(EXIT.OUTPUT, err.message);
      throw err;
    } finally {
      if (bar) bar.end();
    }
    const seconds = Number(process.hrtime.bigint() - started) / 1e9;
    const failed = results.filter((r) => !r.ok);
    for (const r of failed) ctx.stderr.write(`${PROGRAM}: ${taskFailure(ctx.addon, r)}\n`);
    const shardText = shard === null ? '' : ` (shard ${shard.index}/${shard.count}: ${positions.length} of ${all.length} tasks)`;
    if (ctx.json) {
      ctx.out({
        seconds: Number(seconds.toFixed(3)),
        converted: results.length - failed.length,
        failed: failed.length,
        skipped: skipped.length,
        shard: shard === null ? null : `${shard.index}/${shard.count}`,
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
      const skippedText = skipped.length ? `; ${skipped.length} up to date, skipped` : '';
      ctx.print(`${results.length - failed.length} of ${results.length} converted in ${seconds.toFixed(2)} s${failed.length ? `; ${failed.length} failed` : ''}${skippedText}${shardText}`);
    }
    return failed.length ? EXIT.SOME_FAILED : EXIT.OK;
  } finally {
    manifest?.close();
  }
}

// What tells the tasks of one checked list apart: their outputs, which no two tasks share.
const filesKey = (f) => {
  const out = f.csv !== undefined ? f.csv : f.parquet;
  return JSON.stringify(out !== undefined ? [out] : [f.outDir, f.recordings]);
};

// Runner of every command named in help.js's COMMANDS.
const RUN = {
  read: cmdRead, sync: cmdSync, view: cmdView, config: cmdConfig, 'device-id': cmdDeviceId, 'write-config': cmdWriteConfig, batch: cmdBatch, ...RUN_QUEUE,
};

module.exports = {
  RUN, readSets, summaryLines, tasksOf, checkTasks, refuseFileAsOutDir, makeSetFolder, progressBar, formatOf,
};
