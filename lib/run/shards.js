// Runs over more than one machine: the share of a task list that one copy of a cluster job
// takes, the test that lets a re-run skip what is already converted, and the manifest that
// records every task, appended line by line by any number of processes.
'use strict';
const fs = require('node:fs');
const os = require('node:os');

// Largest shard count taken: more copies than this of one job is a typing error.
const MAX_SHARDS = 1000000;

const shardError = (message) => Object.assign(new RangeError(message), { code: 'KX_BAD_SHARD' });

// A decimal integer written the way a scheduler writes one; answers NaN for anything else.
const integerOf = (text) => (typeof text === 'string' && /^\s*[0-9]+\s*$/.test(text) ? Number(text) : NaN);

// "K/N" of --shard: shard K (from 1) of N. Answers { index, count }.
function parseShard(text) {
  const m = /^([0-9]+)\/([0-9]+)$/.exec(String(text));
  const index = m ? Number(m[1]) : NaN;
  const count = m ? Number(m[2]) : NaN;
  if (!(count >= 1 && count <= MAX_SHARDS && index >= 1 && index <= count)) {
    throw shardError(`--shard must be K/N with 1 <= K <= N <= ${MAX_SHARDS}, got "${text}"`);
  }
  return { index, count };
}

// The shard a cluster scheduler gave this process through its environment, or null when it
// gave none. `shards` is --shards N, needed with Kubernetes, whose index comes without a count.
//
// Slurm numbers array tasks as the job was submitted (--array=0-9, 1-10, 100-199:2...), so
// the position is (ID - MIN) / STEP, counted against SLURM_ARRAY_TASK_COUNT. An array whose ids
// are not one evenly spaced range (--array=1,4,9) has no position to derive and is refused:
// two copies taking the same share would each skip part of the list.
function shardFromEnv(env, shards) {
  if (shards !== undefined) {
    const count = integerOf(String(shards));
    if (!(count >= 1 && count <= MAX_SHARDS)) throw shardError(`--shards must be an integer from 1 to ${MAX_SHARDS}, got "${shards}"`);
    if (env.JOB_COMPLETION_INDEX === undefined) {
      throw shardError('--shards needs JOB_COMPLETION_INDEX, which an indexed Kubernetes Job sets; elsewhere give --shard K/N');
    }
    const at = integerOf(env.JOB_COMPLETION_INDEX);
    if (!(at >= 0 && at < count)) {
      throw shardError(`JOB_COMPLETION_INDEX must be an integer from 0 to ${count - 1} with --shards ${count}, got "${env.JOB_COMPLETION_INDEX}"`);
    }
    return { index: at + 1, count, from: 'JOB_COMPLETION_INDEX' };
  }
  if (env.SLURM_ARRAY_TASK_ID !== undefined) {
    const id = integerOf(env.SLURM_ARRAY_TASK_ID);
    const count = integerOf(env.SLURM_ARRAY_TASK_COUNT);
    const min = integerOf(env.SLURM_ARRAY_TASK_MIN);
    const max = integerOf(env.SLURM_ARRAY_TASK_MAX);
    const step = env.SLURM_ARRAY_TASK_STEP === undefined ? 1 : integerOf(env.SLURM_ARRAY_TASK_STEP);
    const shown = ['ID', 'COUNT', 'MIN', 'MAX', 'STEP'].map((k) => `${k}=${env[`SLURM_ARRAY_TASK_${k}`]}`).join(' ');
    if ([id, count, min, max, step].some(Number.isNaN) || count < 1 || count > MAX_SHARDS || step < 1) {
      throw shardError(`the Slurm array variables do not name one task of an array (SLURM_ARRAY_TASK_${shown}); give --shard K/N`);
    }
    const at = (id - min) / step;
    if (min + (count - 1) * step !== max || !Number.isInteger(at) || at < 0 || at >= count) {
      throw shardError(`the Slurm array is not one evenly spaced range of ids (SLURM_ARRAY_TASK_${shown}); give --shard K/N`);
    }
    return { index: at + 1, count, from: 'SLURM_ARRAY_TASK_ID' };
  }
  if (env.JOB_COMPLETION_INDEX !== undefined) {
    throw shardError('JOB_COMPLETION_INDEX is set but not the number of shards: give --shards N (the Job\'s completions)');
  }
  return null;
}

// Whether the task at `position` of the list belongs to shard { index, count }. Every position
// has exactly one shard, so the shards of one list are disjoint and together the whole list.
const inShard = (position, shard) => position % shard.count === shard.index - 1;

// Modification time in nanoseconds, or null for a file that is not there.
function mtimeNs(file) {
  try {
    return fs.statSync(file, { bigint: true }).mtimeNs;
  } catch {
    return null;
  }
}

// A task is up to date when every output exists and is newer than every one of its recordings.
// An output written in the same clock tick as a recording was changed is not trusted.
function upToDate(inputs, outputs) {
  let newest = null;
  for (const f of inputs) {
    const t = mtimeNs(f);
    if (t === null) return false; // a missing recording: let the conversion report it
    if (newest === null || t > newest) newest = t;
  }
  return outputs.length > 0 && outputs.every((f) => {
    const t = mtimeNs(f);
    return t !== null && t > newest;
  });
}

// A manifest open for appending. Each record goes out as one line in one write() on a file
// opened with O_APPEND, so lines of processes writing the same file never mix on a local file
// system or one that keeps O_APPEND atomic across machines (NFS does not: see the README).
class Manifest {
  constructor(file) {
    this.file = file;
    this.fd = fs.openSync(file, fs.constants.O_WRONLY | fs.constants.O_APPEND | fs.constants.O_CREAT, 0o666);
  }

  append(record) {
    const line = Buffer.from(`${JSON.stringify(record)}\n`);
    let written;
    try {
      written = fs.writeSync(this.fd, line);
    } catch (err) {
      throw Object.assign(new Error(`${this.file}: cannot append to the manifest (${err.code || err.message})`), { code: 'KX_MANIFEST_WRITE' });
    }
    // A short write (a full disk) leaves a cut line; say so rather than add its rest elsewhere.
    if (written !== line.length) {
      throw Object.assign(new Error(`${this.file}: only ${written} of ${line.length} bytes of a manifest line were written`), { code: 'KX_MANIFEST_WRITE' });
    }
  }

  close() {
    if (this.fd !== null) fs.closeSync(this.fd);
    this.fd = null;
  }
}

// The manifest record of one task: what went in and out, what the addon answered and how long
// it took, which shard and which machine ran it; a failed task's record says why (`reason`, when
// the result itself carries no error).
function manifestRecord(job, result, { shard = null, skipped = false, reason } = {}) {
  const record = {
    kind: job.kind,
    inputs: job.inputs,
    outputs: job.outputs,
    answer: result.answer,
    ok: result.ok,
    seconds: result.seconds === undefined ? 0 : Number(result.seconds.toFixed(3)),
    shard: shard === null ? null : `${shard.index}/${shard.count}`,
    host: os.hostname(),
    finished: new Date().toISOString(),
  };
  if (job.kind === 'read' && result.ok) record.answer = JSON.parse(result.answer);
  if (skipped) record.skipped = true;
  if (result.error) record.error = result.error.message || String(result.error);
  else if (!result.ok && reason !== undefined) record.error = reason;
  return record;
}

module.exports = { parseShard, shardFromEnv, inShard, upToDate, Manifest, manifestRecord, MAX_SHARDS };
