// The Promise API: the same answers, files and argument errors as the synchronous functions,
// with the work done off the JavaScript thread.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { MessageChannel } = require('node:worker_threads');

const kx = require('../../index.js');
const { WorkerPool } = require('../../lib/run/pool.js');
const { simulate, writeSet } = require('../../tools/sim/simulate.js');
const { writeLongRecording } = require('../support/long-recording.js');

let dir;
let set;
before(() => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-promises-'));
  set = writeSet(path.join(dir, 'set'), simulate({ seconds: 20, devices: 2, method: 'radio-sensor', truth: false }));
});
after(() => fs.rmSync(dir, { recursive: true, force: true }));

const rec = (i) => path.join(dir, 'set', set.devices[i].recording);

// The outcome of a call, as something comparable: its answer or its thrown error.
function syncOutcome(fn) {
  try {
    return { answer: fn() };
  } catch (err) {
    return { error: { name: err.name, message: err.message, isTypeError: err instanceof TypeError } };
  }
}
async function asyncOutcome(fn) {
  try {
    return { answer: await fn() };
  } catch (err) {
    return { error: { name: err.name, message: err.message, isTypeError: err instanceof TypeError } };
  }
}

describe('the argument contract: the functions throw and the promise functions reject alike', () => {
  const COUNT = { name: 'TypeError', message: 'Wrong number of arguments' };
  const ARGS = { name: 'TypeError', message: 'Wrong arguments' };
  const notStrings = [1, undefined, null, new String('x'), {}, ['x'], Symbol('x')];
  // Every output names a file in `guard`, which must stay empty: a refused call touches no file.
  let guard;
  const g = (name) => path.join(guard, name);
  // [function, arguments, expected: COUNT, ARGS or the answer]; counts are checked before
  // types, only string primitives pass, a NUL cuts no path short, extra arguments are ignored.
  const cases = () => {
    const cut = `${rec(0)}\0.other`; // cut at the NUL it would name a real recording
    return [
      ['read', [], COUNT],
      ['read', ['a'], COUNT],
      ['read', [1, 'b'], ARGS],
      ['read', ['a', {}], ARGS],
      ['read', ['x', 1], ARGS],
      ['read', [new String('x'), g('y.csv')], ARGS],
      ['read', [undefined, undefined], ARGS],
      ['read', [cut, g('a.csv')], ARGS],
      ['read', [rec(0), `${g('a.csv')}\0`], ARGS],
      ['read', [rec(0), g('no/such/dir.csv'), 'extra'], '{"error":"Error during data loading."}'],
      ['readAndSync2', [], COUNT],
      ['readAndSync2', [[]], COUNT],
      ['readAndSync2', [[rec(0)]], COUNT],
      ['readAndSync2', ['a.bin', guard], ARGS],
      ['readAndSync2', [[], new String(guard)], ARGS],
      ['readAndSync2', [[rec(0)], 1], ARGS],
      ['readAndSync2', [[rec(0), 7], guard], ARGS],
      ['readAndSync2', [[, rec(0)], guard], ARGS], // eslint-disable-line no-sparse-arrays
      ['readAndSync2', [new Proxy([], {}), guard], ARGS],
      ['readAndSync2', [['a.bin\0.csv'], guard], ARGS],
      ['readAndSync2', [[rec(0), cut], guard], ARGS],
      ['readAndSync2', [[], `${guard}\0x`], ARGS],
      ['readAndSync2', [[rec(0), rec(1)], `${guard}\0`], ARGS],
      // every element is checked before any recording is read
      ['readAndSync2', [[rec(0), rec(1), 42], guard], ARGS],
      ['readConfig', [], COUNT],
      ['readConfig', [cut], ARGS],
      ['readConfig', [`${g('nul.bin')}\0`], ARGS],
      ['readConfig', [g('missing.bin'), 42], ''],
      ['readConfigDeviceId', [], COUNT],
      ['readConfigDeviceId', [cut], ARGS],
      ['readConfigDeviceId', [`${rec(1)}\0`], ARGS],
      ['readConfigDeviceId', [rec(1), 'extra'], kx.readConfigDeviceId(rec(1))],
      ['writeConfig', [], COUNT],
      ['writeConfig', ['a'], COUNT],
      ['writeConfig', [1], COUNT],
      ['writeConfig', [1, 'baro,1'], ARGS],
      ['writeConfig', [g('w.bin'), 1], ARGS],
      ['writeConfig', [`${g('nul.bin')}\0.other`, 'baro,1'], ARGS],
      ['writeConfig', [g('w.bin'), 'baro,x'], 'ERROR'],
      ['readData', [], COUNT],
      ['readData', [cut], ARGS],
      ['readData', [`${rec(0)}\0`], ARGS],
      ['writeParquet', [], COUNT],
      ['writeParquet', [rec(0)], COUNT],
      ['writeParquet', [cut, g('a.parquet')], ARGS],
      ['writeParquet', [rec(0), `${g('a.parquet')}\0`], ARGS],
      ...notStrings.flatMap((bad) => [
        ['readData', [bad], ARGS],
        ['writeParquet', [bad, g('b.parquet')], ARGS],
        ['writeParquet', [rec(0), bad], ARGS],
        ['read', [bad, g('b.csv')], ARGS],
        ['readConfig', [bad], ARGS],
        ['readConfigDeviceId', [bad], ARGS],
        ['writeConfig', [bad, ''], ARGS],
        ['writeConfig', [g('x'), bad], ARGS],
      ]),
    ];
  };

  test('each call throws or answers as listed, rejects or resolves alike, and writes nothing', async () => {
    guard = fs.mkdtempSync(path.join(dir, 'contract-'));
    for (const [name, args, expected] of cases()) {
      const label = `${name} with ${args.length} arguments: ${args.map((a) => typeof a).join(', ')}`;
      const sync = syncOutcome(() => kx[name](...args));
      if (typeof expected === 'string') assert.deepEqual(sync, { answer: expected }, label);
      else assert.deepEqual(sync, { error: { ...expected, isTypeError: true } }, label);
      assert.deepEqual(await asyncOutcome(() => kx.promises[name](...args)), sync, label);
    }
    assert.deepEqual(fs.readdirSync(guard), []);
    for (const name of Object.keys(kx.promises)) {
      assert.equal(kx.promises[name].name, name);
      assert.equal(kx[name].name, name);
    }
  });
});

describe('same answers and same files', () => {
  test('read, readAndSync2 and the configuration functions answer alike and write the same bytes', async () => {
    const text = 'accel,100,8,0,0,0,1,1,1:device,12,1,2\0ignored after the NUL';
    // [function, the answer, arguments given where the call writes, whether that is a folder]
    const cases = [
      ['read', /"frequency":100/, (out) => [rec(0), out], false],
      ['readAndSync2', /^OK$/, (out) => [[rec(0), rec(1)], out], true],
      ['readConfig', /^\{"unknownFrames"/, () => [rec(1)]],
      ['readConfigDeviceId', /^\{"deviceId":\d+\}$/, () => [rec(1)]],
      ['writeConfig', /^OK$/, (out) => [out, text], false],
    ];
    for (const [name, answer, args, folder] of cases) {
      const [a, b] = ['sync', 'async'].map((k) => path.join(dir, `${name}-${k}`));
      if (folder) [a, b].forEach((d) => fs.mkdirSync(d));
      const expected = kx[name](...args(a));
      assert.equal(await kx.promises[name](...args(b)), expected, name);
      assert.match(expected, answer, name);
      if (folder === undefined) continue;
      const names = folder ? fs.readdirSync(a).sort() : [''];
      if (folder) assert.deepEqual(names, fs.readdirSync(b).sort(), name);
      assert.equal(names.length, folder ? 2 : 1, name);
      for (const n of names) assert.ok(fs.readFileSync(path.join(a, n)).equals(fs.readFileSync(path.join(b, n))), `${name} ${n}`);
    }
  });

  test('readData resolves with the same streams, moved out of the worker rather than copied', async () => {
    const sync = kx.readData(rec(0));
    const moved = await kx.promises.readData(rec(0));
    assert.deepEqual(moved, sync);
    assert.ok(Object.keys(moved.streams).length >= 5);
    // What the worker posts: every array's buffer is in the transfer list, so that posting it
    // detaches the sender's arrays instead of copying them.
    const { makeData, transferList } = require('../../lib/data/index.js');
    const answer = makeData(require(require('../../lib/addon.js').addonPath)).decode(rec(0));
    const arrays = Object.values(answer.streams).flatMap((s) => Object.values(s).filter((v) => ArrayBuffer.isView(v)));
    const { port1, port2 } = new MessageChannel();
    const received = new Promise((resolve) => port2.once('message', resolve));
    port1.postMessage(answer, transferList(answer));
    const copy = await received;
    port1.close();
    assert.deepEqual(arrays.filter((a) => a.length !== 0), [], 'every array was detached by the transfer');
    assert.deepEqual(copy, sync);
  });

  test('many calls at once all get their own answers', async () => {
    const files = Array.from({ length: 12 }, (_, i) => (i % 3 === 2 ? path.join(dir, 'missing.bin') : rec(i % 2)));
    const answers = await Promise.all(files.map((f) => kx.promises.readConfigDeviceId(f)));
    assert.deepEqual(answers, files.map((f) => kx.readConfigDeviceId(f)));
  });
});

describe('off the JavaScript thread', () => {
  test('timers keep firing while a long read runs', async () => {
    const file = path.join(dir, 'long.bin');
    writeLongRecording(file, 300);
    const ticks = [];
    // Margins are wide so that a loaded machine does not fail the test: a read on the JavaScript
    // thread would stall the loop for the whole read, not for a few scheduling slices.
    const timer = setInterval(() => ticks.push(performance.now()), 20);
    const start = performance.now();
    const answer = await kx.promises.read(file, path.join(dir, 'long.csv'));
    const end = performance.now();
    clearInterval(timer);
    assert.equal(JSON.parse(answer).frequency, 100);
    const during = ticks.filter((t) => t > start && t < end);
    const gaps = [start, ...during, end].slice(1).map((t, i, all) => t - (i === 0 ? start : all[i - 1]));
    assert.ok(end - start > 250, `the read took ${(end - start).toFixed(0)} ms, too short to tell`);
    assert.ok(during.length >= 3, `${during.length} timer ticks during a ${(end - start).toFixed(0)} ms read`);
    assert.ok(Math.max(...gaps) < (end - start) / 2, `the event loop stalled for ${Math.max(...gaps).toFixed(0)} ms`);
  });

  test('an idle pool does not keep the process alive', () => {
    const script = `
      const kx = require(${JSON.stringify(require.resolve('../../index.js'))});
      kx.promises.readConfigDeviceId(${JSON.stringify(rec(0))}).then((a) => console.log(a));`;
    const r = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', timeout: 20000 });
    assert.equal(r.error, undefined, 'the process did not end by itself');
    assert.equal(r.status, 0, r.stderr);
    assert.equal(r.stdout.trim(), kx.readConfigDeviceId(rec(0)));
  });

  test('a worker that dies fails its own task only, and the pool carries on', async () => {
    const fake = path.join(dir, 'fake-addon.js');
    fs.writeFileSync(fake, `module.exports = {
      die() { process.exit(3); },
      echo(v) { return 'echo ' + v; },
    };`);
    const pool = new WorkerPool({ size: 1, addonPath: fake });
    try {
      const dying = pool.run('die', []);
      const after = pool.run('echo', ['x']); // queued behind the dying task
      await assert.rejects(dying, /die failed in its worker thread: worker thread stopped with exit code 3/);
      assert.equal(await after, 'echo x');
      assert.equal(await pool.run('echo', ['y']), 'echo y');
    } finally {
      await pool.close();
    }
    await assert.rejects(pool.run('echo', ['z']), /closed/);
  });
});
