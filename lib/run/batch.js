// Batch conversion: many recordings and device sets converted in parallel worker threads, with
// a concurrency limit, a progress callback and arguments checked before any work starts.
'use strict';
const path = require('node:path');
const { WorkerPool, defaultSize } = require('./pool.js');
const { isPath, PATH_WANTED, outputPathIn, outputOverInput } = require('../paths.js');
const { FORMATS, isFormat } = require('../formats.js');
const { ORIENTATIONS } = require('../contract.js');
const { checkTimeZone } = require('../data/table-time.js');

// Most conversions running at once that a caller may ask for: each is a thread with its own
// buffers, and more than this only costs memory on any machine this runs on.
const MAX_CONCURRENCY = 256;

// Short description of a value for argument messages.
function describe(v) {
  if (v === null) return 'null';
  if (Array.isArray(v)) return 'an array';
  if (typeof v === 'string') return v.length > 60 ? `a string "${v.slice(0, 57)}..."` : `a string ${JSON.stringify(v)}`;
  if (typeof v === 'object') return 'an object';
  if (typeof v === 'function') return 'a function';
  return `${typeof v} ${String(v)}`;
}

// Codes of the errors batch throws before any work starts; callers tell them apart by code.
const CODES = {
  BAD_ARGUMENT: 'KX_BAD_ARGUMENT', // a task or an option is not what it must be
  OUTPUT_CLASH: 'KX_OUTPUT_CLASH', // two tasks would write the same file
  OUTPUT_IS_INPUT: 'KX_OUTPUT_IS_INPUT', // a task would write over a recording of a task
};

const withCode = (err, code) => Object.assign(err, { code });

function argError(Type, what, expected, got) {
  return withCode(new Type(`batch: ${what} must be ${expected}, got ${describe(got)}`), CODES.BAD_ARGUMENT);
}

function checkOptions(options) {
  if (options === undefined) options = {};
  if (options === null || typeof options !== 'object' || Array.isArray(options)) {
    throw argError(TypeError, 'options', 'an object', options);
  }
  const { concurrency = defaultSize(), onProgress, outDir, signal, format = 'csv', orientation, timezone, maxRows } = options;
  if (orientation !== undefined && !ORIENTATIONS.includes(orientation)) {
    throw argError(TypeError, 'options.orientation', `one of ${ORIENTATIONS.join(', ')}`, orientation);
  }
  if (maxRows !== undefined && !(Number.isSafeInteger(maxRows) && maxRows >= 1)) {
    throw argError(TypeError, 'options.maxRows', 'a positive integer', maxRows);
  }
  if (!isFormat(format)) throw argError(TypeError, 'options.format', `one of ${Object.keys(FORMATS).join(', ')}`, format);
  if (typeof concurrency !== 'number' || !Number.isInteger(concurrency)) {
    throw argError(TypeError, 'options.concurrency', 'an integer', concurrency);
  }
  if (concurrency < 1) throw argError(RangeError, 'options.concurrency', 'at least 1', concurrency);
  if (concurrency > MAX_CONCURRENCY) throw argError(RangeError, 'options.concurrency', `at most ${MAX_CONCURRENCY}`, concurrency);
  if (onProgress !== undefined && typeof onProgress !== 'function') {
    throw argError(TypeError, 'options.onProgress', 'a function (done, total, path, answer)', onProgress);
  }
  if (outDir !== undefined && !isPath(outDir)) throw argError(TypeError, 'options.outDir', PATH_WANTED, outDir);
  if (signal !== undefined && (signal === null || typeof signal !== 'object' || typeof signal.aborted !== 'boolean')) {
    throw argError(TypeError, 'options.signal', 'an AbortSignal', signal);
  }
  if (timezone !== undefined) checkTimeZone(timezone, 'batch: options.timezone');
  return { concurrency, onProgress, outDir, signal, format, orientation, timezone, maxRows };
}

// The options object every task's call takes after its paths: the filter and the row limit
// when asked for, and for Parquet the zone (the CSV has no place for it); none when empty.
function callOptions({ format, orientation, maxRows, timezone }) {
  const out = {};
  if (orientation !== undefined) out.orientation = orientation;
  if (maxRows !== undefined) out.maxRows = maxRows;
  if (timezone !== undefined && format === 'parquet') out.timezone = timezone;
  return Object.keys(out).length === 0 ? [] : [out];
}

// One task in the form the workers run: { kind, fn, args, path, outputs, files }. A read task
// names its output by its format: { recording, csv } or { recording, parquet }. `extra`: the
// calls' options argument, if any (see callOptions).
function checkTask(task, i, outDir, format = 'csv', extra = []) {
  const where = `tasks[${i}]`;
  const key = format;
  if (typeof task === 'string') {
    if (!isPath(task)) throw argError(TypeError, where, PATH_WANTED, task);
    if (outDir === undefined) {
      throw withCode(new TypeError(`batch: ${where} is a bare recording path, which needs options.outDir for its ${FORMATS[format].title} file`), CODES.BAD_ARGUMENT);
    }
    task = { recording: task, [key]: outputPathIn(outDir, task, format) };
  }
  if (task === null || typeof task !== 'object' || Array.isArray(task)) {
    throw argError(TypeError, where, 'a recording path, { recording, csv } or { recordings, outDir }', task);
  }
  if ('recording' in task) {
    if (!isPath(task.recording)) throw argError(TypeError, `${where}.recording`, PATH_WANTED, task.recording);
    let out = task[key];
    if (out === undefined && outDir !== undefined) out = outputPathIn(outDir, task.recording, format);
    if (!isPath(out)) throw argError(TypeError, `${where}.${key}`, `${PATH_WANTED} (or give options.outDir)`, task[key]);
    return {
      kind: 'read', fn: FORMATS[format].read, args: [task.recording, out, ...extra], path: task.recording, inputs: [task.recording], outputs: [out],
      files: { recording: task.recording, [key]: out },
    };
  }
  if ('recordings' in task) {
    const list = task.recordings;
    if (!Array.isArray(list)) throw argError(TypeError, `${where}.recordings`, 'an array of recording paths', list);
    list.forEach((p, k) => {
      if (!isPath(p)) throw argError(TypeError, `${where}.recordings[${k}]`, PATH_WANTED, p);
    });
    const dir = task.outDir === undefined ? outDir : task.outDir;
    if (!isPath(dir)) throw argError(TypeError, `${where}.outDir`, `${PATH_WANTED} (or give options.outDir)`, task.outDir);
    return {
      kind: 'sync', fn: FORMATS[format].sync, args: [[...list], dir, ...extra], path: dir, inputs: [...list],
      outputs: list.map((p) => outputPathIn(dir, p, format)),
      files: { recordings: [...list], outDir: dir },
    };
  }
  throw withCode(new TypeError(`batch: ${where} must have a "recording" or a "recordings" member`), CODES.BAD_ARGUMENT);
}

// Two tasks running at once must never write the same file, and no task may write over a
// recording (its own or another task's): that recording would be lost.
function checkOutputs(jobs) {
  const owner = new Map();
  jobs.forEach((job, i) => {
    for (const file of new Set(job.outputs.map((f) => path.resolve(f)))) {
      if (owner.has(file)) {
        const j = owner.get(file);
        throw withCode(new Error(`batch: tasks[${j}] (${jobs[j].path}) and tasks[${i}] (${job.path}) would both write ${file}`), CODES.OUTPUT_CLASH);
      }
      owner.set(file, i);
    }
  });
  const clash = outputOverInput(
    jobs.flatMap((job, i) => job.outputs.map((f) => ({ path: f, owner: i }))),
    jobs.flatMap((job, i) => job.inputs.map((f) => ({ path: f, owner: i }))),
  );
  if (clash !== null) {
    const { output, input } = clash;
    const whose = input.owner === output.owner ? 'its own' : 'the';
    const of = input.owner === output.owner ? '' : ` of tasks[${input.owner}]`;
    throw withCode(new TypeError(`batch: tasks[${output.owner}] would write ${output.path} over ${whose} recording ${input.path}${of}`), CODES.OUTPUT_IS_INPUT);
  }
}

// Checks the task list and options as batch does, without converting anything; answers the
// tasks in the form the workers run and the checked options. Throws what batch would reject with.
function checkBatch(tasks, options) {
  if (!Array.isArray(tasks)) throw argError(TypeError, 'tasks', 'an array of tasks', tasks);
  const checked = checkOptions(options);
  const extra = callOptions(checked);
  const jobs = tasks.map((t, i) => checkTask(t, i, checked.outDir, checked.format, extra));
  checkOutputs(jobs);
  return { jobs, ...checked };
}

// The summary a read task answered, parsed; null for a failed task (or a sync task).
function summaryOf(kind, answer) {
  if (kind !== 'read' || typeof answer !== 'string') return null;
  try {
    const parsed = JSON.parse(answer);
    return parsed !== null && typeof parsed === 'object' && !('error' in parsed) ? parsed : null;
  } catch {
    return null;
  }
}

function succeeded(kind, answer) {
  return kind === 'sync' ? answer === 'OK' : summaryOf(kind, answer) !== null;
}

function abortError(signal) {
  if (signal.reason !== undefined) return signal.reason;
  const e = new Error('The operation was aborted');
  e.name = 'AbortError';
  return e;
}

function makeBatch(addonPath) {
  // Converts every task; resolves with one result per task, in task order:
  // { kind: 'read', recording, csv (or parquet), answer, summary, ok, seconds } or { kind: 'sync',
  // recordings, outDir, answer, ok, seconds },
  // with `error` instead of an answer when the worker itself failed.
  return async function batch(tasks, options) {
    const { jobs, concurrency, onProgress, signal } = checkBatch(tasks, options);
    if (signal && signal.aborted) throw abortError(signal);

    const results = new Array(jobs.length);
    if (jobs.length === 0) return results;
    // One pool for the whole list: its threads are reused from task to task.
    const pool = new WorkerPool({ size: Math.min(concurrency, jobs.length), addonPath });
    let next = 0;
    let done = 0;
    let failure = null;
    const runner = async () => {
      for (;;) {
        if (failure !== null || (signal && signal.aborted) || next >= jobs.length) return;
        const i = next++;
        const job = jobs[i];
        const result = { kind: job.kind, ...job.files, answer: null, ...(job.kind === 'read' ? { summary: null } : {}), ok: false, seconds: 0 };
        const started = process.hrtime.bigint();
        try {
          result.answer = await pool.run(job.fn, job.args);
          if (job.kind === 'read') result.summary = summaryOf(job.kind, result.answer);
          result.ok = succeeded(job.kind, result.answer);
        } catch (err) {
          result.error = err;
        }
        result.seconds = Number(process.hrtime.bigint() - started) / 1e9;
        results[i] = result;
        done += 1;
        if (onProgress) {
          try {
            onProgress(done, jobs.length, job.path, result.answer, result);
          } catch (err) {
            if (failure === null) failure = err; // no new task starts; running ones finish
          }
        }
      }
    };
    try {
      await Promise.all(Array.from({ length: pool.size }, runner));
    } finally {
      await pool.close();
    }
    if (failure !== null) throw failure;
    if (signal && signal.aborted && done < jobs.length) throw abortError(signal);
    return results;
  };
}

module.exports = { makeBatch, checkBatch, succeeded, summaryOf, CODES, MAX_CONCURRENCY, FORMATS };
