// The queue commands: `enqueue` adds the tasks batch would run as jobs of a Redis queue,
// `worker` runs such jobs until it is stopped.
'use strict';
const { PROGRAM, EXIT, CliError, usageError } = require('./errors.js');
const { MAX_CONCURRENCY } = require('../run/batch.js');
const { taskFailure } = require('./diagnose.js');
const { formatOf, orientationOf, LIMIT_OPTION, limitOf, tasksOf, checkTasks, refuseFileAsOutDir } = require('./tasks.js');
const { formatOption } = require('./formats.js');
const { FORMATS } = require('../formats.js');

function loadQueue(command) {
  const queue = require('../queue/index.js');
  return {
    ...queue,
    // A missing optional package or an unusable option: the command line is what needs mending.
    async call(fn, ...args) {
      try {
        return await queue[fn](...args);
      } catch (err) {
        if (err && (err.code === 'KX_NO_QUEUE_PACKAGE' || err.code === 'KX_BAD_ARGUMENT')) throw usageError(`${command}: ${err.message}`);
        if (err && err.code === 'KX_NO_REDIS') throw new CliError(EXIT.UNAVAILABLE, `${command}: ${err.message}`);
        throw err;
      }
    },
  };
}

function queueName(values) {
  return values.queue === undefined ? require('../queue/index.js').DEFAULT_QUEUE : values.queue;
}

function resultLine(r) {
  const target = r.kind === 'read' ? `${r.recording} -> ${r.csv !== undefined ? r.csv : r.parquet}` : `${r.recordings.join(', ')} -> ${r.outDir}`;
  if (r.ok) return `${target} (${r.host}, ${r.seconds.toFixed(2)} s)`;
  return `${target}: failed: ${r.error ? r.error.message : r.answer}`;
}

function jsonResult(r) {
  const { error, answer, summary, ...rest } = r;
  const item = { ...rest, answer: summary || answer };
  if (error) item.error = error.message;
  return item;
}

async function cmdEnqueue(ctx, { values, positionals }) {
  const format = formatOf(values, 'enqueue');
  const orientation = orientationOf(values, 'enqueue');
  const limits = limitOf(values, 'enqueue');
  if (values.redis === undefined) throw usageError('enqueue: --redis <url> is required');
  const { outDir, tasks, setDirs } = tasksOf(values, positionals, format);
  if (tasks.length === 0) throw usageError('enqueue: nothing to convert (give recordings or --sets)');
  checkTasks(tasks, { format, orientation, ...limits });
  if (setDirs.length > 0) refuseFileAsOutDir(outDir, 'enqueue');
  const q = loadQueue('enqueue');
  const name = queueName(values);
  const root = values.root === undefined ? process.cwd() : values.root;
  let timeoutMs;
  if (values.timeout !== undefined) {
    const s = Number(values.timeout);
    if (!values.wait || !(s > 0 && s <= 30 * 24 * 3600)) throw usageError(`enqueue: --timeout takes seconds, from over 0 to 30 days, and needs --wait; got "${values.timeout}"`);
    timeoutMs = Math.ceil(s * 1000);
  }
  if (!values.wait) {
    const ids = await q.call('enqueue', tasks, { redis: values.redis, queue: name, format, root, orientation, ...limits });
    if (ctx.json) ctx.out({ queue: name, jobs: ids });
    else ctx.print(`queued ${ids.length} job${ids.length === 1 ? '' : 's'} on ${name}`);
    return EXIT.OK;
  }
  const results = await q.call('enqueue', tasks, {
    redis: values.redis,
    queue: name,
    format,
    orientation,
    ...limits,
    root,
    timeoutMs,
    wait: true,
    onResult: (r) => {
      if (ctx.json) ctx.out(jsonResult(r));
      else if (r.ok) ctx.print(resultLine(r));
      else ctx.stderr.write(`${PROGRAM}: ${r.error ? resultLine(r) : taskFailure(ctx.addon, r, limits)}\n`);
    },
  });
  const failed = results.filter((r) => !r.ok).length;
  const lost = results.filter((r) => r.error && r.error.code === 'KX_JOB_LOST').length;
  if (!ctx.json) ctx.print(`${results.length - failed} of ${results.length} converted${failed ? `; ${failed} failed` : ''}${lost ? ` (${lost} lost)` : ''}`);
  return failed ? EXIT.SOME_FAILED : EXIT.OK;
}

async function cmdWorker(ctx, { values }) {
  if (values.redis === undefined) throw usageError('worker: --redis <url> is required');
  const number = (text, what, max) => {
    if (text === undefined) return undefined;
    const n = Number(text);
    if (!Number.isInteger(n) || n < 1 || n > max) throw usageError(`worker: ${what} must be an integer from 1 to ${max}, got "${text}"`);
    return n;
  };
  const concurrency = number(values.jobs, '--jobs', MAX_CONCURRENCY);
  const stallMs = number(values['stall-ms'], '--stall-ms', 24 * 3600 * 1000);
  const stallLimit = number(values['stall-limit'], '--stall-limit', 1000);
  const limits = limitOf(values, 'worker');
  const q = loadQueue('worker');
  const controller = new AbortController();
  const stop = (why) => () => {
    controller.abort();
    ctx.stderr.write(`${PROGRAM}: worker: ${why}; finishing the jobs already running\n`);
  };
  ctx.onFirstInterrupt(stop('interrupted'));
  ctx.onFirstTerm(stop('terminated'));
  const say = (line) => (ctx.json ? ctx.out(line) : ctx.print(Object.values(line).join(' ')));
  const ran = await q.call('work', {
    redis: values.redis,
    queue: queueName(values),
    concurrency,
    stallMs,
    stallLimit,
    ...limits,
    root: values.root,
    signal: controller.signal,
    // The folders a job writes to are where an unfinished file of a stop at once is removed.
    onStart: (job, id) => {
      ctx.writes(job.outputs);
      say({ event: 'start', job: id, path: job.path });
    },
    onResult: (r, id) => say({ event: r.ok ? 'done' : 'failed', job: id, path: r.kind === 'read' ? r.recording : r.outDir }),
    onError: (err) => ctx.stderr.write(`${PROGRAM}: worker: ${err.message}\n`),
  });
  if (!ctx.json) ctx.print(`worker stopped after ${ran} job${ran === 1 ? '' : 's'}`);
  return EXIT.OK;
}

const queueOptions = {
  redis: { type: 'string', arg: 'url', help: 'the Redis server, as redis://host:port[/db] or rediss://...' },
  queue: { type: 'string', arg: 'name', help: 'the queue\'s name (default: kx-binreader)' },
  root: { type: 'string', arg: 'dir', help: 'folder every recording and output must be inside, links resolved (default: .)' },
};

// Commands of the queue, in the form of help.js's COMMANDS.
const QUEUE_COMMANDS = {
  enqueue: {
    usage: 'enqueue --redis <url> [--queue <name>] [--root <dir>] [-o <dir>] [-f csv|parquet] [--wait [--timeout <s>]] [--sets <file>] [<recording>...]',
    summary: 'add conversions to a Redis job queue for workers on other machines',
    details: [
      'Adds one job per task, the tasks batch would run: every <recording> into <dir>/<name>.csv,',
      'and every device set of --sets into <dir>/<set name>. Paths are made absolute and must',
      'name the same files on the workers (a shared file system), inside the workers\' --root.',
      'Every recording and output must be inside --root (links resolved), as workers check.',
      'With --wait, prints each',
      'result as it comes and exits as batch would: 0, or 1 when some jobs failed. Jobs the',
      'server no longer has (a restart without persistence) are reported lost, and count as',
      'failed, as do those not finished after --timeout seconds.',
      'Needs the packages bullmq and ioredis (npm install bullmq ioredis).',
    ].join('\n'),
    options: {
      ...queueOptions,
      'out-dir': { type: 'string', short: 'o', arg: 'dir', help: 'directory of the output files (default: .)' },
      format: formatOption(Object.keys(FORMATS)),
      orientation: { type: 'string', arg: 'filter', help: 'orientation filter: specified (default) or bias-corrected' },
      'max-rows': LIMIT_OPTION,
      sets: { type: 'string', arg: 'file', help: 'JSON file listing device sets to synchronise' },
      wait: { type: 'boolean', help: 'wait for the jobs, print their results and exit as batch would' },
      timeout: { type: 'string', arg: 's', help: 'with --wait: seconds after which the jobs not yet finished count as failed' },
    },
    positionals: [0, Infinity],
    exits: [0, 1, 2, 69, 130, 143],
  },
  worker: {
    usage: 'worker --redis <url> [--queue <name>] [--root <dir>] [-j <n>] [--stall-ms <ms>] [--stall-limit <n>]',
    summary: 'run conversions of a Redis job queue until stopped',
    details: [
      'Runs up to <n> jobs at once (default: the number of cores), printing a line as each one',
      'starts and ends; the folders of a job\'s outputs are made when missing. A job whose',
      'recordings or outputs are not inside --root (links resolved), or whose recordings are',
      'not regular files, or whose row limit (enqueue --max-rows) is above --max-rows, fails',
      'with its reason and nothing is touched. SIGTERM or Ctrl-C:',
      'the jobs already running finish, then the worker exits 0; a second signal stops at once.',
      'A worker that dies holding a job hands it to another worker after <ms> milliseconds',
      'without its heartbeat (default 30000); its output file is whole or absent, never cut.',
      'A job taken over more than --stall-limit times (default 3) fails for good.',
      'Needs the packages bullmq and ioredis (npm install bullmq ioredis).',
    ].join('\n'),
    options: {
      ...queueOptions,
      jobs: { type: 'string', short: 'j', arg: 'n', help: 'jobs running at once, 1 to 256 (default: the number of cores)' },
      'stall-ms': { type: 'string', arg: 'ms', help: 'silence after which a job is taken over by another worker (default: 30000)' },
      'stall-limit': { type: 'string', arg: 'n', help: 'times a job may be taken over before it fails for good, 1 to 1000 (default: 3)' },
      'max-rows': { type: 'string', arg: 'n', help: 'refuse a job whose --max-rows allows tables of more rows (default: any)' },
    },
    positionals: [0, 0],
    exits: [0, 2, 69, 130, 143],
  },
};

module.exports = { QUEUE_COMMANDS, RUN_QUEUE: { enqueue: cmdEnqueue, worker: cmdWorker } };
