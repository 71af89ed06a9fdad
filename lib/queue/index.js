// Conversions through a Redis job queue: `enqueue` adds one job per task from anywhere, `work`
// runs them on any number of machines. The queue is BullMQ's, loaded only when these run, so
// that a program that never uses a queue never loads it nor needs it installed.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { WorkerPool, defaultSize } = require('../run/pool.js');
const { checkBatch, succeeded, MAX_CONCURRENCY } = require('../run/batch.js');
const { FORMATS, isFormat } = require('../formats.js');

const DEFAULT_QUEUE = 'kx-binreader';

const queueError = (Type, message) => Object.assign(new Type(message), { code: 'KX_BAD_ARGUMENT' });

// BullMQ and the Redis client it drives, or an error saying how to install them.
function loadBullmq() {
  try {
    require.resolve('ioredis');
    return require('bullmq');
  } catch (err) {
    if (err && err.code === 'MODULE_NOT_FOUND') {
      throw Object.assign(new Error('the queue needs the packages bullmq and ioredis: npm install bullmq ioredis'), { code: 'KX_NO_QUEUE_PACKAGE' });
    }
    throw err;
  }
}

// A job's format picks the addon call that writes it, as in batch; a new format is a new entry
// of FORMATS, not another worker.
const formatNames = () => Object.keys(FORMATS).join(', ');

function checkCommon(options, what) {
  if (options === null || typeof options !== 'object' || Array.isArray(options)) {
    throw queueError(TypeError, `queue.${what}: options must be an object with at least { redis }`);
  }
  const { redis, queue = DEFAULT_QUEUE } = options;
  if (typeof redis !== 'string' || !/^rediss?:\/\/./.test(redis)) {
    throw queueError(TypeError, `queue.${what}: options.redis must be a redis:// or rediss:// URL, got ${JSON.stringify(redis)}`);
  }
  if (typeof queue !== 'string' || queue === '' || queue.includes(':')) {
    throw queueError(TypeError, `queue.${what}: options.queue must be a non-empty name without ":", got ${JSON.stringify(queue)}`);
  }
  // Workers wait on blocking commands: the client must retry them for as long as it takes.
  return { connection: { url: redis, maxRetriesPerRequest: null }, name: queue };
}

function positiveInteger(value, what, fallback, max = Infinity) {
  if (value === undefined) return fallback;
  if (!Number.isInteger(value) || value < 1 || value > max) {
    throw queueError(RangeError, `${what} must be an integer from 1${max === Infinity ? '' : ` to ${max}`}, got ${JSON.stringify(value)}`);
  }
  return value;
}

// The task of a job as the worker runs it, checked again here: a job's data comes from Redis,
// and only the conversions a batch may run are ever called.
function jobOf(data) {
  const { task, format, orientation } = data || {};
  if (!isFormat(format)) throw new Error(`unknown output format ${JSON.stringify(format)} (known: ${formatNames()})`);
  const [job] = checkBatch([task], { format, orientation }).jobs;
  return job;
}

// Resolves once every BullMQ object is connected; rejects at the first connection error before
// that, so that a command adding jobs fails at once instead of waiting for a server that is not
// there. Later errors are the client's to retry.
async function connected(url, ...parts) {
  let onError;
  const failed = new Promise((_, reject) => {
    onError = (err) => reject(Object.assign(new Error(`cannot reach Redis at ${url} (${err.code || err.message})`), { code: 'KX_NO_REDIS', cause: err }));
  });
  for (const p of parts) p.on('error', onError);
  try {
    await Promise.race([Promise.all(parts.map((p) => p.waitUntilReady())), failed]);
  } finally {
    for (const p of parts) p.off('error', onError);
  }
  failed.catch(() => {}); // an error after the race is settled is not this function's
}

// The result of a finished job, in the form batch answers a task.
function resultOf(job, value, error) {
  const base = { kind: job.kind, ...job.files };
  if (error !== undefined) return { ...base, answer: null, ok: false, seconds: 0, error };
  return { ...base, answer: value.answer, ok: value.ok, seconds: value.seconds, host: value.host };
}

// Adds one job per task (the task forms of batch; paths are made absolute, since workers run
// elsewhere). Without `wait`, answers the job ids; with it, waits and answers one result per
// task, in task order, calling onResult(result, done, total) as each one ends.
async function enqueue(tasks, options) {
  const { connection, name } = checkCommon(options, 'enqueue');
  const { outDir, format = 'csv', wait = false, onResult, orientation } = options;
  if (!isFormat(format)) {
    throw queueError(RangeError, `queue.enqueue: options.format must be one of ${formatNames()}, got ${JSON.stringify(format)}`);
  }
  if (onResult !== undefined && typeof onResult !== 'function') throw queueError(TypeError, 'queue.enqueue: options.onResult must be a function');
  const { jobs } = checkBatch(tasks, { outDir, format, orientation });
  const absolute = jobs.map((j) => (j.kind === 'read'
    ? { recording: path.resolve(j.files.recording), [format]: path.resolve(j.outputs[0]) }
    : { recordings: j.files.recordings.map((r) => path.resolve(r)), outDir: path.resolve(j.files.outDir) }));

  const { Queue, QueueEvents } = loadBullmq();
  const queue = new Queue(name, { connection });
  // Listening starts before the first job is added, so that no ending goes unseen.
  const events = wait ? new QueueEvents(name, { connection }) : null;
  const ignore = () => {}; // reported through the calls that fail
  queue.on('error', ignore);
  if (events) events.on('error', ignore);
  try {
    await connected(options.redis, ...[queue, events].filter(Boolean));
    const added = await queue.addBulk(absolute.map((task, i) => ({ name: jobs[i].kind, data: orientation === undefined ? { task, format } : { task, format, orientation } })));
    if (!wait) return added.map((j) => j.id);
    events.setMaxListeners(0);
    const results = new Array(added.length);
    let done = 0;
    await Promise.all(added.map(async (bullJob, i) => {
      const job = { ...jobs[i], files: jobs[i].kind === 'read' ? absolute[i] : { recordings: absolute[i].recordings, outDir: absolute[i].outDir } };
      let result;
      try {
        result = resultOf(job, await bullJob.waitUntilFinished(events));
      } catch (err) {
        result = resultOf(job, null, err instanceof Error ? err : new Error(String(err)));
      }
      results[i] = result;
      done += 1;
      if (onResult) onResult(result, done, added.length);
    }));
    return results;
  } finally {
    if (events) await events.close();
    await queue.close();
  }
}

// Runs jobs of the queue until `signal` aborts; then finishes the jobs it holds and resolves
// with the number of jobs it ran. A worker that dies holding a job stops renewing its lock;
// after `stallMs` another worker takes the job over, and the conversion's output is written
// whole or not at all, so the job simply runs again.
async function work(options) {
  const { connection, name } = checkCommon(options, 'work');
  const { signal, onStart, onResult, onError } = options;
  const concurrency = positiveInteger(options.concurrency, 'queue.work: options.concurrency', defaultSize(), MAX_CONCURRENCY);
  const stallMs = positiveInteger(options.stallMs, 'queue.work: options.stallMs', 30000);
  if (signal !== undefined && (signal === null || typeof signal.aborted !== 'boolean')) {
    throw queueError(TypeError, 'queue.work: options.signal must be an AbortSignal');
  }
  const { Worker, UnrecoverableError } = loadBullmq();
  const { addonPath } = require('../addon.js');
  // Conversions run in threads, so the event loop stays free to renew the jobs' locks.
  const pool = new WorkerPool({ size: concurrency, addonPath });
  let ran = 0;
  const processor = async (bullJob) => {
    let job;
    try {
      job = jobOf(bullJob.data);
    } catch (err) {
      throw new UnrecoverableError(`job ${bullJob.id}: ${err.message}`); // no retry can mend its data
    }
    for (const f of job.outputs) fs.mkdirSync(path.dirname(f), { recursive: true });
    if (onStart) onStart(job, bullJob.id);
    const started = process.hrtime.bigint();
    const answer = await pool.run(job.fn, job.args);
    const value = {
      answer, ok: succeeded(job.kind, answer), seconds: Number(process.hrtime.bigint() - started) / 1e9, host: os.hostname(),
    };
    ran += 1;
    if (onResult) onResult(resultOf(job, value), bullJob.id);
    return value;
  };
  const worker = new Worker(name, processor, {
    connection, concurrency, lockDuration: stallMs, stalledInterval: stallMs, autorun: false,
  });
  // Lost connections are retried by the client; they are only reported.
  worker.on('error', (err) => { if (onError) onError(err); });
  const stopped = new Promise((resolve) => {
    const stop = () => resolve();
    if (signal) {
      if (signal.aborted) stop();
      else signal.addEventListener('abort', stop, { once: true });
    }
  });
  try {
    const running = worker.run();
    await Promise.race([stopped, running]);
  } finally {
    // close() lets the jobs this worker holds finish before it returns.
    await worker.close();
    await pool.close();
  }
  return ran;
}

module.exports = { enqueue, work, DEFAULT_QUEUE, FORMATS };
