// The commands of the tool: each runner takes (ctx, { values, positionals }) and answers the
// exit code, or throws a CliError whose code is the exit code.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { PROGRAM, EXIT, CliError, usageError } = require('./errors.js');
const { readFailure, syncFailure, recordingProblem, directoryProblem, writeConfigFailure, taskFailure } = require('./diagnose.js');
const { outputPathIn, fileBasename, outputOverInput } = require('../paths.js');
const { MAX_CONCURRENCY } = require('../run/batch.js');
const { FORMATS } = require('../formats.js');
const { REFUSED_BY_BATCH, formatOf, orientationOf, orientationOptions, limitOf, makeOutputFolder, tasksOf, checkTasks, refuseFileAsOutDir } = require('./tasks.js');
const { RUN_QUEUE } = require('./queue-commands.js');
const { parseShard, shardFromEnv, inShard, upToDate, Manifest, manifestRecord } = require('../run/shards.js');
const { checkTimeZone } = require('../data/table-time.js');
const { STDOUT, outputFormat, isStandardOutput } = require('./formats.js');

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
    throw usageError(`${command}: ${clash.output.path} is the recording ${clash.input.path}; writing the ${FORMATS[format].title} file would lose the recording`);
  }
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
  const options = orientationOptions(orientationOf(values, 'read'));
  const [recording, given] = positionals;
  const format = outputFormat('read', Object.keys(FORMATS), values.format, given);
  // The output file names standard output by a name of the descriptor, which Windows lacks.
  if (given === STDOUT && process.platform === 'win32') throw usageError('read: - (standard output) is not available on Windows yet; name an output file');
  const file = given === STDOUT ? '/dev/stdout' : given !== undefined ? given : `${fileBasename(recording)}.${format}`;
  // Standard output holds the table alone, the summary goes to standard error; it is written
  // in place, so there is no unfinished file to remove on a signal.
  const toStdout = isStandardOutput(file);
  refuseOutputOverInput('read', [file], [recording], format);
  if (!toStdout) ctx.writes([file]);
  const show = (json, lines) => {
    const text = ctx.json ? JSON.stringify(json) : lines.join('\n');
    if (toStdout) ctx.stderr.write(`${text}\n`);
    else ctx.print(text);
  };
  const shown = given !== undefined ? given : file;
  const limits = limitOf(values, 'read');
  if (format === 'parquet') {
    let summary;
    try {
      summary = JSON.parse(await ctx.addon.promises.writeParquet(recording, file, { ...options, ...timezoneOf(values), ...limits }));
    } catch (err) {
      throw err && err.code === 'KX_TOO_MANY_ROWS' ? readFailure(ctx.addon, recording, file, limits) : parquetFailure(err);
    }
    show({ recording, parquet: shown, summary }, [`${recording} -> ${shown}`, ...summaryLines(summary)]);
    return EXIT.OK;
  }
  const answer = await ctx.addon.promises.read(recording, file, { ...options, ...limits });
  const parsed = JSON.parse(answer);
  if ('error' in parsed) {
    const failure = readFailure(ctx.addon, recording, file, limits);
    if (toStdout && failure.code === EXIT.OUTPUT) throw new CliError(EXIT.OUTPUT, 'standard output: the CSV could not be written in full (closed before the end?)');
    throw failure;
  }
  show({ recording, csv: shown, summary: parsed }, [`${recording} -> ${toStdout ? 'standard output' : shown}`, ...summaryLines(parsed)]);
  return EXIT.OK;
}

async function cmdSync(ctx, { values, positionals }) {
  const format = formatOf(values, 'sync');
  const orientation = orientationOf(values, 'sync');
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
    const [result] = await ctx.batch([{ recordings: positionals, outDir }], { format, concurrency: 1, orientation, ...timezoneOf(values), ...limitOf(values, 'sync') });
    if (result.error) throw parquetFailure(result.error);
    status = result.answer;
  } else {
    status = await ctx.addon.promises.readAndSync2(positionals, outDir, { ...orientationOptions(orientation), ...limitOf(values, 'sync') });
  }
  if (status !== 'OK') throw syncFailure(ctx.addon, status, positionals, outDir, limitOf(values, 'sync'));
  if (ctx.json) ctx.out({ status, files });
  else ctx.print(files.map((f, i) => `${positionals[i]} -> ${f}`).join('\n'));
  return EXIT.OK;
}

// Longest default page name, in bytes, made by joining the recordings' names.
const MAX_JOINED_NAME = 100;
// Longest file name most file systems take, in bytes.
const NAME_MAX = 255;

// The page's default name: the recordings' names joined by "+", or, when that would be long,
// the first name and how many more.
function defaultPageName(recordings) {
  const names = recordings.map(fileBasename);
  const joined = `${names.join('+')}.html`;
  if (Buffer.byteLength(joined) <= MAX_JOINED_NAME) return joined;
  const more = names.length > 1 ? `+${names.length - 1}-more` : '';
  let first = names[0];
  while (Buffer.byteLength(`${first}${more}.html`) > MAX_JOINED_NAME) first = first.slice(0, -1);
  return `${first}${more}.html`;
}

// "h:mm:ss.s", "m:ss" or seconds as seconds, or NaN.
function timeArgument(text) {
  if (!/^\d+(:\d{1,2}){0,2}(\.\d+)?$/.test(text)) return NaN;
  return text.split(':').reduce((acc, part) => acc * 60 + Number(part), 0);
}

// The window of view's --from and --to: { from, to } in seconds, either may be absent.
function viewWindow(values) {
  const window = {};
  for (const key of ['from', 'to']) {
    if (values[key] === undefined) continue;
    window[key] = timeArgument(values[key]);
    if (Number.isNaN(window[key])) throw usageError(`view: --${key} ${values[key]}: expected h:mm:ss, m:ss or seconds`);
  }
  if (window.from !== undefined && window.to !== undefined && !(window.to > window.from)) throw usageError('view: --to must come after --from');
  return window;
}

// Serves the page until the process is interrupted (Ctrl-C ends it with 130).
async function serveView(ctx, positionals, options) {
  let served;
  try {
    served = await require('../report/serve.js').servePage(require('../addon.js').addon, positionals, options);
  } catch (err) {
    throw viewFailure(ctx, err, positionals, '.', options);
  }
  if (ctx.json) ctx.out({ recordings: positionals, url: served.url });
  else ctx.print(served.url);
  return new Promise(() => {});
}

// Why the page of `positionals` could not be made: the recordings' failures as read and sync
// name them.
function viewFailure(ctx, err, positionals, dir, limits) {
  if (err && err.code === 'KX_SYNC') return syncFailure(ctx.addon, err.status, positionals, dir, limits);
  // The recording at fault: the one of a table over the limit (of a set too), or the only one.
  const file = err && err.code === 'KX_TOO_MANY_ROWS' && err.path ? err.path : positionals.length === 1 ? positionals[0] : null;
  if (file !== null) {
    const problem = recordingProblem(ctx.addon, file, limits);
    if (problem) return new CliError(EXIT.INPUT, `${file}: ${problem}`);
  }
  return new CliError(EXIT.INPUT, err && err.message ? err.message : String(err));
}

// The page of one or several recordings; several are synchronised first.
async function cmdView(ctx, { values, positionals }) {
  const window = viewWindow(values);
  const orientation = orientationOf(values, 'view');
  const limits = limitOf(values, 'view');
  if (values.serve) {
    if (values.out !== undefined || window.from !== undefined || window.to !== undefined) throw usageError('view: --serve takes no -o, --from or --to: the page shows every window on request');
    return serveView(ctx, positionals, { ...orientationOptions(orientation), ...limits });
  }
  const page = values.out !== undefined ? values.out : defaultPageName(positionals);
  const clash = outputOverInput([{ path: page }], positionals.map((r) => ({ path: r })));
  if (clash !== null) throw usageError(`view: ${page} is the recording ${clash.input.path}; writing the page would lose the recording`);
  outputFormat('view', ['html'], undefined, page);
  // Said before any recording is decoded, which may take long.
  const nameBytes = Buffer.byteLength(path.basename(page));
  const unwritable = nameBytes > NAME_MAX ? `file name too long (${nameBytes} bytes, at most ${NAME_MAX})` : directoryProblem(path.dirname(path.resolve(page)));
  if (unwritable) throw new CliError(EXIT.OUTPUT, `${page}: cannot write: ${unwritable}`);
  ctx.writes([page]);
  let answer;
  try {
    answer = await ctx.addon.promises.report(positionals, page, { ...window, ...orientationOptions(orientation), ...limits });
  } catch (err) {
    if (err && typeof err.code === 'string' && /^KX_(OPEN|WRITE)_FAILED$/.test(err.code)) {
      const out = directoryProblem(path.dirname(path.resolve(page)));
      throw new CliError(EXIT.OUTPUT, out ? `${page}: cannot write: ${out}` : err.message);
    }
    throw viewFailure(ctx, err, positionals, path.dirname(page), limits);
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

// What a batch run is to do: the whole checked task list, this shard's part of it, and which
// of those are up to date and skipped. Refuses a wrong command line before anything is written.
function planBatch(ctx, values, positionals) {
  let concurrency;
  if (values.jobs !== undefined) {
    concurrency = Number(values.jobs);
    if (!Number.isInteger(concurrency) || concurrency < 1 || concurrency > MAX_CONCURRENCY) {
      throw usageError(`--jobs must be an integer from 1 to ${MAX_CONCURRENCY}, got "${values.jobs}"`);
    }
  }
  const format = formatOf(values, 'batch');
  const orientation = orientationOf(values, 'batch');
  const limits = limitOf(values, 'batch');
  const { outDir, tasks: all, setDirs: allSetDirs } = tasksOf(values, positionals, format);
  if (all.length === 0) throw usageError('batch: nothing to convert (give recordings or --sets)');
  const shard = shardOf(values, ctx.env);
  // The whole list is checked, not only this shard's part, so that every shard of one list
  // refuses it alike: a clash between two shards' tasks would otherwise go unseen.
  const allJobs = checkTasks(all, { concurrency, format, orientation, ...limits });
  refuseFileAsOutDir(outDir, 'batch');
  if (values.manifest !== undefined) {
    // Appending to a recording would damage it; a manifest that is an output would be replaced.
    const files = (key) => allJobs.flatMap((j) => j[key].map((f) => ({ path: f })));
    for (const [key, what] of [['inputs', 'recording'], ['outputs', 'output']]) {
      const clash = outputOverInput([{ path: values.manifest }], files(key));
      if (clash !== null) throw usageError(`batch: the manifest ${values.manifest} is the ${what} ${clash.input.path}`);
    }
  }
  let positions = all.map((_, i) => i);
  if (shard !== null) positions = positions.filter((i) => inShard(i, shard));
  const skipped = values['skip-existing'] ? positions.filter((i) => upToDate(allJobs[i].inputs, allJobs[i].outputs)) : [];
  const skip = new Set(skipped);
  const run = positions.filter((i) => !skip.has(i));
  return {
    concurrency, format, orientation, limits, shard, outDir, all, allSetDirs, allJobs, positions, skipped,
    tasks: run.map((i) => all[i]),
    jobs: run.map((i) => allJobs[i]),
  };
}

// Runs the plan's tasks with a progress bar and the manifest's lines; answers { results,
// seconds }, or null when interrupted.
async function runBatch(ctx, values, plan, manifest) {
  const { concurrency, format, orientation, limits, shard, outDir, allSetDirs, allJobs, skipped, tasks, jobs } = plan;
  try {
    for (const i of skipped) manifest?.append(manifestRecord(allJobs[i], { answer: null, ok: true }, { shard, skipped: true }));
  } catch (err) {
    if (err && err.code === 'KX_MANIFEST_WRITE') throw new CliError(EXIT.OUTPUT, err.message);
    throw err;
  }
  const setDirs = new Set(jobs.filter((j) => j.kind === 'sync').map((j) => j.path));
  // Made once every argument was checked; shards starting together may make it at once,
  // which a recursive mkdir takes as done.
  if (jobs.some((j) => j.kind === 'read')) makeOutputFolder(outDir);
  allSetDirs.filter((d) => setDirs.has(d)).forEach(makeOutputFolder);
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
        orientation,
        ...limits,
        ...timezoneOf(values),
        signal: controller.signal,
        onProgress: (done, total, current, answer, result) => {
          if (bar) bar.update(done, total, current);
          if (manifest) {
            const reason = result.ok || result.error ? undefined : taskFailure(ctx.addon, result, limits);
            manifest.append(manifestRecord(byFiles.get(filesKey(result)), result, { shard, reason }));
          }
        },
      });
    }
  } catch (err) {
    if (controller.signal.aborted) {
      ctx.stderr.write(`${PROGRAM}: batch interrupted\n`);
      return null;
    }
    if (err && REFUSED_BY_BATCH.has(err.code)) throw usageError(err.message);
    if (err && err.code === 'KX_MANIFEST_WRITE') throw new CliError(EXIT.OUTPUT, err.message);
    throw err;
  } finally {
    if (bar) bar.end();
  }
  return { results, seconds: Number(process.hrtime.bigint() - started) / 1e9 };
}

// Names every failed task on standard error and prints the run's summary (or its JSON);
// answers the exit code.
function reportBatch(ctx, plan, { results, seconds }) {
  const { shard, all, positions, skipped, limits } = plan;
  const failed = results.filter((r) => !r.ok);
  for (const r of failed) ctx.stderr.write(`${PROGRAM}: ${taskFailure(ctx.addon, r, limits)}\n`);
  const shardText = shard === null ? '' : ` (shard ${shard.index}/${shard.count}: ${positions.length} of ${all.length} tasks)`;
  if (ctx.json) {
    ctx.out({
      seconds: Number(seconds.toFixed(3)),
      converted: results.length - failed.length,
      failed: failed.length,
      skipped: skipped.length,
      shard: shard === null ? null : `${shard.index}/${shard.count}`,
      results: results.map((r) => {
        // A converted recording's answer is printed parsed: its summary.
        const { error, answer, summary, ...rest } = r;
        const item = { ...rest, answer: summary || answer };
        if (error) item.error = error.message;
        else if (!r.ok) item.error = taskFailure(ctx.addon, r, limits);
        return item;
      }),
    });
  } else {
    const skippedText = skipped.length ? `; ${skipped.length} up to date, skipped` : '';
    ctx.print(`${results.length - failed.length} of ${results.length} converted in ${seconds.toFixed(2)} s${failed.length ? `; ${failed.length} failed` : ''}${skippedText}${shardText}`);
  }
  return failed.length ? EXIT.SOME_FAILED : EXIT.OK;
}

async function cmdBatch(ctx, { values, positionals }) {
  timezoneOf(values); // a zone that is none is refused before anything is planned
  const plan = planBatch(ctx, values, positionals);
  let manifest = null;
  if (values.manifest !== undefined) {
    try {
      manifest = new Manifest(values.manifest);
    } catch (err) {
      throw new CliError(EXIT.OUTPUT, `${values.manifest}: cannot open the manifest (${err.code || err.message})`);
    }
  }
  try {
    const ran = await runBatch(ctx, values, plan, manifest);
    return ran === null ? EXIT.INTERRUPTED : reportBatch(ctx, plan, ran);
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

module.exports = { RUN, summaryLines, progressBar };
