// Conversions through a Redis job queue: `enqueue` adds one job per task from anywhere, `work`
// runs them on any number of machines. The queue is BullMQ's, loaded only when these run, so
// that a program that never uses a queue never loads it nor needs it installed.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { WorkerPool, defaultSize } = require('../run/pool.js');
const { checkBatch, succeeded, summaryOf, MAX_CONCURRENCY } = require('../run/batch.js');
const { FORMATS, isFormat } = require('../formats.js');
const { outsideRoot } = require('../paths.js');

const DEFAULT_QUEUE = 'kx-binreader';
const DEFAULT_STALL_LIMIT = 3;

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
// whoever can write there can make workers convert. Only the conversions a batch may run are
// called, only on files inside the worker's root folder, and with no row limit above the
// worker's `maxRows`, if it has one.
function jobOf(data, root, maxRows) {
  const { task, format, orientation, maxRows: asked } = data || {};
  if (!isFormat(format)) throw new Error(`unknown output format ${JSON.stringify(format)} (known: ${formatNames()})`);
  const [job] = checkBatch([task], { format, orientation, maxRows: asked }).jobs;
  if (maxRows !== undefined && asked !== undefined && asked > maxRows) {
    throw new Error(`its row limit ${asked} is above this worker's ${maxRows}`);
  }
  const relative = [...job.inputs, ...job.outputs].find((f) => !path.isAbsolute(f));
  if (relative !== undefined) throw new Error(`${relative}: a job's paths must be absolute`);
  const outside = outsideRoot(root, job.inputs, job.outputs);
  if (outside !== null) throw new Error(outside);
  return job;
}

function checkRoot(root, what) {
  if (root !== undefined && (typeof root !== 'string' || root === '' || root.includes('\0'))) {
    throw queueError(TypeError, `queue.${what}: options.root must be a folder's path, got ${JSON.stringify(root)}`);
  }
  return root;
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
  const summary = job.kind === 'read' ? { summary: error === undefined ? summaryOf('read', value.answer) : null } : {};
  if (error !== undefined) return { ...base, answer: null, ...summary, ok: false, seconds: 0, error };
  return { ...base, answer: value.answer, ...summary, ok: value.ok, seconds: value.seconds, host: value.host };
}

const jobError = (message, code) => Object.assign(new Error(message), { code });

// Waits until every job in `added` has ended, calling settle(index, value) or settle(index,
// null, error) once for each. Endings come as events; every `pollMs` the jobs still waited for
// are also looked up, which finds endings whose event was missed (a lost connection) and jobs
// the server no longer has (restarted without persistence): those are lost, not waited for
// forever. After `timeoutMs` the jobs left end with a timeout error.
async function waitForJobs(queue, events, added, settle, { pollMs, timeoutMs }) {
  const pending = new Map(added.map((j, i) => [String(j.id), i]));
  const end = (id, value, error) => {
    if (!pending.has(id)) return;
    const i = pending.get(id);
    pending.delete(id);
    settle(i, value, error);
  };
  const onCompleted = ({ jobId, returnvalue }) => {
    let value = returnvalue;
    try {
      if (typeof value === 'string') value = JSON.parse(value);
    } catch {
      // kept as sent
    }
    end(String(jobId), value);
  };
  const onFailed = ({ jobId, failedReason }) => end(String(jobId), null, jobError(failedReason, 'KX_JOB_FAILED'));
  events.on('completed', onCompleted);
  events.on('failed', onFailed);
  const started = Date.now();
  try {
    while (pending.size > 0) {
      const left = timeoutMs - (Date.now() - started);
      if (left <= 0) {
        for (const id of [...pending.keys()]) end(id, null, jobError(`not finished after ${timeoutMs / 1000} s (job ${id} stays queued)`, 'KX_JOB_TIMEOUT'));
        break;
      }
      await new Promise((resolve) => { setTimeout(resolve, Math.min(pollMs, left)); });
      for (const id of [...pending.keys()]) {
        let state;
        try {
          state = await queue.getJobState(id);
        } catch {
          break; // the server is out of reach: asked again at the next look
        }
        if (state === 'unknown') {
          end(id, null, jobError(`job ${id} is lost: the Redis server no longer has it (restarted without persistence?)`, 'KX_JOB_LOST'));
        } else if (state === 'completed' || state === 'failed') {
          const job = await queue.getJob(id).catch(() => null);
          if (job && state === 'completed') end(id, job.returnvalue);
          else if (job) end(id, null, jobError(job.failedReason, 'KX_JOB_FAILED'));
        }
      }
    }
  } finally {
    events.off('completed', onCompleted);
    events.off('failed', onFailed);
  }
}

// Adds one job per task (the task forms of batch; paths are made absolute, since workers run
// elsewhere). Without `wait`, answers the job ids; with it, waits and answers one result per
// task, in task order, calling onResult(result, done, total) as each one ends.
async function enqueue(tasks, options) {
  const { connection, name } = checkCommon(options, 'enqueue');
  const { outDir, format = 'csv', wait = false, onResult, orientation, maxRows } = options;
  const root = checkRoot(options.root, 'enqueue');
  if (!isFormat(format)) {
    throw queueError(RangeError, `queue.enqueue: options.format must be one of ${formatNames()}, got ${JSON.stringify(format)}`);
  }
  if (onResult !== undefined && typeof onResult !== 'function') throw queueError(TypeError, 'queue.enqueue: options.onResult must be a function');
  const timeoutMs = positiveInteger(options.timeoutMs, 'queue.enqueue: options.timeoutMs', Infinity);
  const pollMs = positiveInteger(options.pollMs, 'queue.enqueue: options.pollMs', 5000);
  const { jobs } = checkBatch(tasks, { outDir, format, orientation, maxRows });
  const absolute = jobs.map((j) => (j.kind === 'read'
    ? { recording: path.resolve(j.files.recording), [format]: path.resolve(j.outputs[0]) }
    : { recordings: j.files.recordings.map((r) => path.resolve(r)), outDir: path.resolve(j.files.outDir) }));
  // The workers' check, made here too when the caller names the root, so that a mistake is
  // caught before it is queued.
  if (root !== undefined) {
    absolute.forEach((task, i) => {
      const job = checkBatch([task], { format }).jobs[0];
      const outside = outsideRoot(root, job.inputs, job.outputs);
      if (outside !== null) throw queueError(Error, `queue.enqueue: tasks[${i}]: ${outside}`);
    });
  }

  const { Queue, QueueEvents } = loadBullmq();
  const queue = new Queue(name, { connection });
  // Listening starts before the first job is added, so that no ending goes unseen.
  const events = wait ? new QueueEvents(name, { connection }) : null;
  const ignore = () => {}; // reported through the calls that fail
  queue.on('error', ignore);
  if (events) events.on('error', ignore);
  try {
    await connected(options.redis, ...[queue, events].filter(Boolean));
    // The filter and the row limit travel with each job, only when asked for.
    const extra = { ...(orientation === undefined ? {} : { orientation }), ...(maxRows === undefined ? {} : { maxRows }) };
    const added = await queue.addBulk(absolute.map((task, i) => ({ name: jobs[i].kind, data: { task, format, ...extra } })));
    if (!wait) return added.map((j) => j.id);
    const results = new Array(added.length);
    let done = 0;
    const settle = (i, value, error) => {
      if (results[i] !== undefined) return;
      const job = { ...jobs[i], files: jobs[i].kind === 'read' ? absolute[i] : { recordings: absolute[i].recordings, outDir: absolute[i].outDir } };
      results[i] = resultOf(job, value, error);
      done += 1;
      if (onResult) onResult(results[i], done, added.length);
    };
    await waitForJobs(queue, events, added, settle, { pollMs, timeoutMs });
    return results;
  } finally {
    if (events) await events.close();
    await queue.close();
  }
}

// Runs jobs of the queue until `signal` aborts; then finishes the jobs it holds and resolves
// with the number of jobs it ran. Jobs reading or writing outside the folder `root` (default:
// the current directory) fail without touching anything. A worker that dies holding a job stops renewing its lock;
// after `stallMs` another worker takes the job over, and the conversion's output is written
// whole or not at all, so the job simply runs again.
async function work(options) {
  const { connection, name } = checkCommon(options, 'work');
  const { signal, onStart, onResult, onError } = options;
  const concurrency = positiveInteger(options.concurrency, 'queue.work: options.concurrency', defaultSize(), MAX_CONCURRENCY);
  const stallMs = positiveInteger(options.stallMs, 'queue.work: options.stallMs', 30000);
  const root = checkRoot(options.root, 'work') ?? process.cwd();
  const maxRows = positiveInteger(options.maxRows, 'queue.work: options.maxRows', undefined, Number.MAX_SAFE_INTEGER);
  // Times a job may lose its worker (a crash, a kill) and still be taken over; one more and it
  // fails for good, since a job that keeps killing its workers would otherwise never leave.
  const stallLimit = positiveInteger(options.stallLimit, 'queue.work: options.stallLimit', DEFAULT_STALL_LIMIT, 1000);
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
      job = jobOf(bullJob.data, root, maxRows);
    } catch (err) {
      const refused = `job ${bullJob.id}: ${err.message}`;
      if (onError) onError(new Error(`${refused}; refused, nothing was touched`));
      throw new UnrecoverableError(refused); // no retry can mend its data
    }
    for (const f of job.outputs) fs.mkdirSync(path.dirname(f), { recursive: true });
    if (onStart) onStart(job, bullJob.id);
    const started = process.hrtime.bigint();
    const answer = await pool.run(job.fn, job.args);
    const value = {
      answer, ok: succeeded(job.kind, answer), seconds: Number(process.hrtime.bigint() - started) / 1e9, host: os.hostname(),
    };
    ran += 1;
    finished.set(bullJob, job);
    return value;
  };
  // A job is reported done only once the server has recorded it: a server that lost the job
  // (restarted without persistence) refuses its completion, and that is reported instead.
  const finished = new WeakMap();
  const worker = new Worker(name, processor, {
    connection, concurrency, lockDuration: stallMs, stalledInterval: stallMs, maxStalledCount: stallLimit, autorun: false,
  });
  worker.on('completed', (bullJob, value) => {
    const job = finished.get(bullJob);
    if (job && onResult) onResult(resultOf(job, value), bullJob.id);
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

module.exports = {
  enqueue, work, DEFAULT_QUEUE, DEFAULT_STALL_LIMIT, FORMATS,
};
