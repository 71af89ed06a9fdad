// The Redis job queue as users run it: a Redis server on this machine, worker processes of the
// command-line tool, jobs added with `enqueue`; a worker killed mid-job loses nothing.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');

const kx = require('../../index.js');
const { writeLongRecording } = require('../support/long-recording.js');

const BIN = path.join(__dirname, '..', '..', 'bin', 'kx-binreader.js');
const REDIS = ['/usr/bin/redis-server', '/usr/local/bin/redis-server'].find((f) => fs.existsSync(f));
// Silence after which a killed worker's job goes to another worker: short, so the test is
// quick, yet long enough that a busy machine never takes a live worker's job.
const STALL_MS = '3000';

const children = new Set();
// Children are killed whatever happens to the test process.
process.on('exit', () => { for (const c of children) c.kill('SIGKILL'); });

function track(child) {
  children.add(child);
  child.exited = new Promise((resolve) => child.on('exit', (code, signal) => { children.delete(child); resolve({ code, signal }); }));
  return child;
}

// Resolves when `child` exits, or kills it and rejects after `ms`.
async function exitOf(child, ms) {
  let timer;
  const late = new Promise((_, reject) => {
    timer = setTimeout(() => { child.kill('SIGKILL'); reject(new Error(`process ${child.pid} still running after ${ms} ms`)); }, ms);
  });
  try {
    return await Promise.race([child.exited, late]);
  } finally {
    clearTimeout(timer);
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// The server is not ours to check: runtimes preloaded into this suite (sanitizers) stay out.
const serverEnv = Object.fromEntries(Object.entries(process.env).filter(([k]) => k !== 'LD_PRELOAD'));

// A Redis server on 127.0.0.1 that keeps nothing on disk; resolves with it, or with the reason
// it could not start.
async function startRedis(where) {
  if (REDIS === undefined) return { reason: 'redis-server is not installed' };
  const port = await freePort();
  const child = track(spawn(REDIS, ['--bind', '127.0.0.1', '--port', String(port), '--save', '', '--appendonly', 'no', '--dir', where],
    { stdio: ['ignore', 'pipe', 'pipe'], env: serverEnv }));
  let log = '';
  const ready = await new Promise((resolve) => {
    const timer = setTimeout(() => resolve(false), 10000);
    child.stdout.on('data', (d) => {
      log += d;
      if (/Ready to accept connections/.test(log)) { clearTimeout(timer); resolve(true); }
    });
    child.on('exit', () => { clearTimeout(timer); resolve(false); });
  });
  if (!ready) {
    child.kill('SIGKILL');
    return { reason: `redis-server did not start: ${log.trim().split('\n').pop()}` };
  }
  return { child, url: `redis://127.0.0.1:${port}` };
}

// A worker process; `lines` collects what it prints, `waitFor(re)` resolves with the first line matching.
function startWorker(url, queue, root = dir, extra = []) {
  const child = track(spawn(process.execPath, [BIN, 'worker', '--json', '--redis', url, '--queue', queue, '-j', '1', '--stall-ms', STALL_MS, '--root', root, ...extra],
    { stdio: ['ignore', 'pipe', 'pipe'] }));
  child.lines = [];
  child.err = '';
  const waiting = [];
  let rest = '';
  child.stdout.on('data', (d) => {
    rest += d;
    const parts = rest.split('\n');
    rest = parts.pop();
    for (const l of parts) {
      const line = JSON.parse(l);
      child.lines.push(line);
      for (const w of waiting.filter((x) => x.match(line))) {
        waiting.splice(waiting.indexOf(w), 1);
        w.resolve(line);
      }
    }
  });
  child.stderr.on('data', (d) => { child.err += d; });
  child.waitFor = (match) => new Promise((resolve) => {
    const seen = child.lines.find(match);
    if (seen) resolve(seen);
    else waiting.push({ match, resolve });
  });
  return child;
}

function runTool(args) {
  const child = track(spawn(process.execPath, [BIN, ...args], { stdio: ['ignore', 'pipe', 'pipe'] }));
  let out = '';
  let err = '';
  child.stdout.on('data', (d) => { out += d; });
  child.stderr.on('data', (d) => { err += d; });
  return { child, output: () => ({ out, err }) };
}

let dir;
let redis;
before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-queue-'));
  redis = await startRedis(dir);
  if (redis.reason) console.log(`# queue tests skipped: ${redis.reason}`);
});
after(async () => {
  for (const c of [...children]) c.kill('SIGKILL');
  await Promise.all([...children].map((c) => c.exited));
  fs.rmSync(dir, { recursive: true, force: true });
});

const skipUnlessRedis = () => (redis && redis.reason ? redis.reason : false);

describe('queue', () => {
  test('enqueue with no Redis server to reach says so at once (exit 69)', async () => {
    const closed = await freePort();
    fs.writeFileSync(path.join(dir, 'a.bin'), '');
    const { child, output } = runTool(['enqueue', '--redis', `redis://127.0.0.1:${closed}`, '--root', dir, '-o', dir, path.join(dir, 'a.bin')]);
    const { code } = await exitOf(child, 20000);
    assert.equal(code, 69, output().err);
    assert.match(output().err, new RegExp(`cannot reach Redis at redis://127.0.0.1:${closed} \\(ECONNREFUSED\\)\n$`));
  });

  test('three workers convert twelve recordings into the files read() writes for the filter asked for; a worker killed mid-job loses none', async (t) => {
    if (skipUnlessRedis()) return t.skip(skipUnlessRedis());
    const input = fs.mkdtempSync(path.join(dir, 'in-'));
    const out = path.join(dir, 'out-twelve');
    // Each of a different length, so that no output can pass for another's.
    const recs = Array.from({ length: 12 }, (_, i) => {
      const file = path.join(input, `subject-${i + 1}.bin`);
      writeLongRecording(file, 20 + i);
      return file;
    });
    const workers = [0, 1, 2].map(() => startWorker(redis.url, 'twelve'));
    try {
      // The jobs carry the orientation filter to the workers.
      const enqueue = runTool(['enqueue', '--json', '--wait', '--redis', redis.url, '--queue', 'twelve', '--root', dir, '--orientation', 'bias-corrected', '-o', out, ...recs]);
      // The first worker is killed as soon as it starts converting.
      const taken = await workers[0].waitFor((l) => l.event === 'start');
      workers[0].kill('SIGKILL');
      const { code } = await exitOf(enqueue.child, 120000);
      const { out: printed, err } = enqueue.output();
      assert.equal(code, 0, err);

      const results = printed.trim().split('\n').map((l) => JSON.parse(l));
      assert.deepEqual(results.map((r) => r.recording).sort(), [...recs].sort());
      assert.ok(results.every((r) => r.ok && r.host === os.hostname()), printed);
      // Every job ended once, the killed worker's among them, in one of the workers left.
      const done = workers.slice(1).flatMap((w) => w.lines.filter((l) => l.event === 'done').map((l) => l.job));
      assert.equal(done.length, 12, JSON.stringify(done));
      assert.equal(new Set(done).size, 12);
      assert.ok(done.includes(taken.job));
      assert.equal(workers[0].lines.filter((l) => l.event === 'done' && l.job === taken.job).length, 0, 'killed before it finished');

      const expected = path.join(dir, 'expected.csv');
      for (const r of results) {
        assert.deepEqual(r.answer, JSON.parse(kx.read(r.recording, expected, { orientation: 'bias-corrected' })));
        assert.ok(fs.readFileSync(r.csv).equals(fs.readFileSync(expected)), r.csv);
      }
      // The killed conversion's unfinished file was removed by a later write into the folder.
      assert.deepEqual(fs.readdirSync(out).filter((f) => !f.endsWith('.csv')), []);
    } finally {
      for (const w of workers) w.kill('SIGKILL');
    }
  });

  test('a worker converts only inside its --root and within its --max-rows; enqueue --root refuses the same before queueing', async (t) => {
    if (skipUnlessRedis()) return t.skip(skipUnlessRedis());
    const root = fs.mkdtempSync(path.join(dir, 'root-'));
    const elsewhere = fs.mkdtempSync(path.join(dir, 'elsewhere-'));
    const rec = path.join(root, 'in.bin');
    writeLongRecording(rec, 2);
    const outsider = path.join(elsewhere, 'out.bin');
    fs.copyFileSync(rec, outsider);
    const victim = path.join(elsewhere, 'important.txt');
    fs.writeFileSync(victim, 'keep me');
    fs.symlinkSync(elsewhere, path.join(root, 'away'));
    spawnSync('mkfifo', [path.join(root, 'pipe.bin')]);
    const table = [
      [{ recording: rec, csv: victim }, /important.txt is outside the root folder/],
      [{ recording: rec, csv: path.join(root, 'away', 'x.csv') }, /away\/x.csv is outside the root folder/],
      [{ recording: outsider, csv: path.join(root, 'o.csv') }, /out.bin is outside the root folder/],
      [{ recording: rec, csv: path.join(root, '..', path.basename(elsewhere), 'y.csv') }, /y.csv is outside the root folder/],
      [{ recording: path.join(root, 'pipe.bin'), csv: path.join(root, 'p.csv') }, /pipe.bin: is a FIFO/],
      [{ recordings: [rec, outsider], outDir: path.join(root, 'set') }, /out.bin is outside the root folder/],
      [{ recording: rec, csv: path.join(root, 'new', 'deep', 'x.csv') }, null],
    ];
    const worker = startWorker(redis.url, 'rooted', root, ['--max-rows', '100000']);
    try {
      const results = await kx.queue.enqueue(table.map(([task]) => task), { redis: redis.url, queue: 'rooted', wait: true, pollMs: 500 });
      results.forEach((r, i) => {
        const [, refused] = table[i];
        if (refused === null) assert.ok(r.ok, JSON.stringify(r));
        else assert.match(r.error && r.error.message, refused, JSON.stringify(r));
      });
      assert.equal(fs.readFileSync(victim, 'utf8'), 'keep me');
      assert.deepEqual(fs.readdirSync(elsewhere).sort(), ['important.txt', 'out.bin']);
      assert.deepEqual(fs.readdirSync(root).sort(), ['away', 'in.bin', 'new', 'pipe.bin']);
      assert.match(worker.err, /refused, nothing was touched/);
      // The row limit travels with the jobs; a worker refuses a job that allows more than its own.
      const limited = await Promise.all([10, 200000].map((maxRows) => kx.queue.enqueue([{ recording: rec, csv: path.join(root, `limit-${maxRows}.csv`) }],
        { redis: redis.url, queue: 'rooted', wait: true, pollMs: 500, maxRows })));
      assert.deepEqual(limited.map(([r]) => [r.ok, r.answer]), [[false, '{"error":"Error during data loading."}'], [false, null]]);
      assert.match(limited[1][0].error.message, /its row limit 200000 is above this worker's 100000/);
      assert.deepEqual(fs.readdirSync(root).filter((f) => f.startsWith('limit-')), []);
      // The same tasks are refused when queued with the root named; nothing is queued.
      const r = runTool(['enqueue', '--redis', redis.url, '--queue', 'rooted', '--root', root, '-o', elsewhere, rec]);
      const { code } = await exitOf(r.child, 20000);
      assert.equal(code, 2, r.output().err);
      assert.match(r.output().err, /is outside the root folder/);
    } finally {
      worker.kill('SIGKILL');
    }
  });

  test('enqueue --wait reports jobs the server lost, and those past --timeout, and exits 1', async (t) => {
    if (skipUnlessRedis()) return t.skip(skipUnlessRedis());
    const Redis = require('ioredis');
    const client = new Redis(redis.url);
    const recs = Array.from({ length: 12 }, (_, i) => path.join(dir, `lost-${i}.bin`));
    for (const r of recs) fs.writeFileSync(r, '');
    try {
      for (const [queue, extra, message] of [
        // No worker runs: the jobs wait until the server forgets them, as a restart without
        // persistence does.
        ['lost', [], /is lost: the Redis server no longer has it/],
        ['late', ['--timeout', '1'], /not finished after 1 s/],
      ]) {
        const r = runTool(['enqueue', '--wait', '--redis', redis.url, '--queue', queue, '--root', dir, '-o', dir, ...extra, ...recs]);
        if (queue === 'lost') {
          while (await client.llen(`bull:${queue}:wait`) < recs.length) await new Promise((resolve) => { setTimeout(resolve, 50); });
          await client.flushall();
        }
        const { code } = await exitOf(r.child, 30000);
        const { out, err } = r.output();
        assert.equal(code, 1, `${queue}: ${err}`);
        assert.equal(err.split('\n').filter((l) => message.test(l)).length, recs.length, `${queue}: ${err}`);
        assert.doesNotMatch(err, /MaxListenersExceededWarning/);
        assert.match(out, new RegExp(`0 of ${recs.length} converted; ${recs.length} failed${queue === 'lost' ? ` \\(${recs.length} lost\\)` : ''}`));
      }
    } finally {
      client.disconnect();
    }
  });

  test('on SIGTERM a worker finishes the job it holds, then exits 0', async (t) => {
    if (skipUnlessRedis()) return t.skip(skipUnlessRedis());
    const rec = path.join(dir, 'long-one.bin');
    writeLongRecording(rec, 60);
    const out = path.join(dir, 'out-term');
    const worker = startWorker(redis.url, 'term');
    try {
      const ids = await kx.queue.enqueue([rec], { redis: redis.url, queue: 'term', outDir: out });
      assert.equal(ids.length, 1);
      await worker.waitFor((l) => l.event === 'start');
      worker.kill('SIGTERM');
      const { code } = await exitOf(worker, 60000);
      assert.equal(code, 0, worker.err);
      assert.deepEqual(worker.lines.map((l) => l.event), ['start', 'done']);
      const expected = path.join(dir, 'expected-term.csv');
      kx.read(rec, expected);
      assert.ok(fs.readFileSync(path.join(out, 'long-one.csv')).equals(fs.readFileSync(expected)));
    } finally {
      worker.kill('SIGKILL');
    }
  });
});
