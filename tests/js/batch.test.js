// The batch converter: many recordings and device sets in parallel, progress, argument checks,
// failures reported per task, and stopping early.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const kx = require('../../index.js');
const { WorkerPool } = require('../../lib/run/pool.js');
const { simulate, writeSet } = require('../../tools/sim/simulate.js');
const { frames, records, Recording } = require('../support/recording.js');

let dir;
let recordings; // four single recordings
let pairs; // two device sets of two recordings each
before(() => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-batch-'));
  recordings = [1, 2, 3, 4].map((seed) => {
    const file = path.join(dir, `walk-${seed}.bin`);
    fs.writeFileSync(file, simulate({ seconds: 15, seed, truth: false }).devices[0].bytes);
    return file;
  });
  pairs = ['marks', 'radio-frame'].map((method) => {
    const where = path.join(dir, method);
    const set = writeSet(where, simulate({ seconds: 15, devices: 2, method, truth: false }));
    return set.devices.map((d) => path.join(where, d.recording));
  });
});
after(() => fs.rmSync(dir, { recursive: true, force: true }));

const fresh = (name) => fs.mkdtempSync(path.join(dir, `${name}-`));

describe('conversion', () => {
  test('recordings and device sets give the files and answers of the synchronous calls', async () => {
    const out = fresh('out');
    const expectedDir = fresh('expected');
    const setDirs = pairs.map((_, i) => fs.mkdirSync(path.join(out, `set-${i}`)) || path.join(out, `set-${i}`));
    const tasks = [
      { recording: recordings[0], csv: path.join(out, 'first.csv') },
      ...pairs.map((p, i) => ({ recordings: p, outDir: setDirs[i] })),
      { recording: recordings[1], csv: path.join(out, 'second.csv') },
    ];
    const progress = [];
    const results = await kx.batch(tasks, {
      concurrency: 2,
      onProgress: (done, total, current, answer, result) => progress.push({ done, total, current, answer, result }),
    });

    assert.deepEqual(results.map((r) => r.kind), ['read', 'sync', 'sync', 'read']);
    assert.ok(results.every((r) => r.ok), JSON.stringify(results));
    // Progress: once per task, counting up, naming the recording (read) or the output directory (sync).
    assert.deepEqual(progress.map((p) => p.done), [1, 2, 3, 4]);
    assert.ok(progress.every((p) => p.total === 4));
    assert.deepEqual(progress.map((p) => p.current).sort(), [recordings[0], recordings[1], ...setDirs].sort());
    for (const p of progress) assert.equal(p.answer, p.result.answer);

    for (const [i, t] of [[0, tasks[0]], [3, tasks[3]]]) {
      const expected = path.join(expectedDir, `${i}.csv`);
      assert.equal(results[i].answer, kx.read(t.recording, expected));
      assert.ok(fs.readFileSync(t.csv).equals(fs.readFileSync(expected)), t.csv);
    }
    pairs.forEach((p, i) => {
      const expected = fresh(`expected-set-${i}`);
      assert.equal(kx.readAndSync2(p, expected), 'OK');
      for (const name of fs.readdirSync(expected)) {
        assert.ok(fs.readFileSync(path.join(setDirs[i], name)).equals(fs.readFileSync(path.join(expected, name))), name);
      }
      assert.equal(fs.readdirSync(setDirs[i]).length, 2);
    });
  });

  test('bare paths go to options.outDir under their file names; concurrency 1 gives the same', async () => {
    const one = fresh('one');
    const many = fresh('many');
    // Threads are reused from task to task: never more than the concurrency or the tasks.
    const spawn = WorkerPool.prototype.spawn;
    let threads = 0;
    WorkerPool.prototype.spawn = function counted() { threads += 1; return spawn.call(this); };
    let a;
    let b;
    try {
      a = await kx.batch(recordings, { outDir: one, concurrency: 1 });
      assert.equal(threads, 1);
      b = await kx.batch(recordings, { outDir: many, concurrency: 3 });
      assert.equal(threads, 1 + 3);
      await kx.batch(recordings.slice(0, 2), { outDir: fresh('two'), concurrency: 256 });
      assert.equal(threads, 1 + 3 + 2);
    } finally {
      WorkerPool.prototype.spawn = spawn;
    }
    assert.deepEqual(a.map((r) => r.answer), b.map((r) => r.answer));
    assert.deepEqual(a.map((r) => r.csv), recordings.map((r) => path.join(one, `${path.basename(r, '.bin')}.csv`)));
    for (const r of a) assert.ok(fs.readFileSync(r.csv).equals(fs.readFileSync(r.csv.replace(one, many))));
    // As Parquet: <name>.parquet, the answers of read, the bytes writeParquet writes.
    const pq = await kx.batch(recordings, { outDir: fresh('parquet'), format: 'parquet', concurrency: 2 });
    assert.deepEqual(pq.map((r) => r.answer), a.map((r) => r.answer));
    const single = path.join(fresh('single'), 'one.parquet');
    kx.writeParquet(recordings[0], single);
    assert.deepEqual(pq.map((r) => path.basename(r.parquet)), recordings.map((r) => `${path.basename(r, '.bin')}.parquet`));
    assert.ok(fs.readFileSync(pq[0].parquet).equals(fs.readFileSync(single)));
  });

  test('a failed task is reported in its result while the others are converted', async () => {
    const out = fresh('fail');
    const results = await kx.batch([
      { recording: path.join(dir, 'missing.bin'), csv: path.join(out, 'missing.csv') },
      { recording: recordings[2], csv: path.join(out, 'fine.csv') },
      { recordings: [pairs[0][0], path.join(dir, 'absent.bin')], outDir: out },
      { recording: recordings[3], csv: path.join(out, 'no', 'dir.csv') },
    ]);
    assert.deepEqual(results.map((r) => [r.ok, r.answer, r.summary]), [
      [false, '{"error":"Error during data loading."}', null],
      [true, results[1].answer, JSON.parse(results[1].answer)],
      [false, '-10', undefined],
      [false, '{"error":"Error during data loading."}', null],
    ]);
    assert.equal(results[1].summary.frequency, 100);
    assert.deepEqual(fs.readdirSync(out), ['fine.csv']);
    // A table over options.maxRows fails its task as the synchronous calls refuse it, whatever
    // the format; nothing is written.
    const limited = fresh('limited');
    for (const format of ['csv', 'parquet']) {
      const [one, set] = await kx.batch([recordings[0], { recordings: pairs[0], outDir: limited }], { outDir: limited, format, maxRows: 100 });
      if (format === 'csv') assert.equal(one.answer, '{"error":"Error during data loading."}');
      else assert.equal(one.error.code, 'KX_TOO_MANY_ROWS');
      assert.deepEqual([one.ok, set.ok, set.answer], [false, false, '-10'], format);
    }
    assert.deepEqual(fs.readdirSync(limited), []);
    // A megabyte of 1 Hz samples on a 65535 Hz base claims a table of 8.5 billion rows: refused
    // at the default limit, in either format, and the thread goes on to the next task.
    const hostile = path.join(dir, 'hostile.bin');
    new Recording().frames(frames.baseFrequency(65535), frames.inertial(2, 0x21, 1, 1))
      .samples(Array.from({ length: 2048 * 63 }, (_, tick) => ({ tick, record: (o) => records.xyz(0x21, o, 1, 2, 3) }))).write(hostile);
    for (const format of ['csv', 'parquet']) {
      const [bad, good] = await kx.batch([hostile, recordings[1]], { outDir: fresh(`hostile-${format}`), format, concurrency: 1 });
      assert.deepEqual([bad.ok, good.ok], [false, true], format);
      if (format === 'parquet') assert.deepEqual([bad.error.code, bad.error.path, bad.error.rows], ['KX_TOO_MANY_ROWS', hostile, 2048 * 63 * 65535 - 65534]);
    }
  });

  test('an empty task list resolves at once with no results', async () => {
    assert.deepEqual(await kx.batch([]), []);
  });
});

describe('arguments are checked before any work starts', () => {
  const cases = [
    [['a.bin'], undefined, TypeError, /tasks\[0\] is a bare recording path, which needs options.outDir/],
    ['a.bin', undefined, TypeError, /batch: tasks must be an array of tasks, got a string "a.bin"/],
    [[42], {}, TypeError, /tasks\[0\] must be a recording path, \{ recording, csv \} or \{ recordings, outDir \}, got number 42/],
    [[{ recording: 'a.bin' }], {}, TypeError, /tasks\[0\]\.csv must be .* \(or give options.outDir\), got undefined/],
    [[{ recording: 'a\0b', csv: 'x.csv' }], {}, TypeError, /tasks\[0\]\.recording must be a non-empty path string without NUL/],
    [[{ recordings: 'a.bin', outDir: '.' }], {}, TypeError, /tasks\[0\]\.recordings must be an array of recording paths, got a string/],
    [[{ recordings: ['a.bin', 3], outDir: '.' }], {}, TypeError, /tasks\[0\]\.recordings\[1\] must be a non-empty path string/],
    [[{ file: 'a.bin' }], {}, TypeError, /tasks\[0\] must have a "recording" or a "recordings" member/],
    [[], { concurrency: 0 }, RangeError, /options.concurrency must be at least 1, got number 0/],
    [[], { concurrency: 257 }, RangeError, /options.concurrency must be at most 256, got number 257/],
    [[], { concurrency: 1.5 }, TypeError, /options.concurrency must be an integer, got number 1.5/],
    [[], { concurrency: '2' }, TypeError, /options.concurrency must be an integer, got a string "2"/],
    [[], { onProgress: 'yes' }, TypeError, /options.onProgress must be a function/],
    [[], null, TypeError, /options must be an object, got null/],
    [[], { outDir: '' }, TypeError, /options.outDir must be a non-empty path string/],
    [[], { signal: {} }, TypeError, /options.signal must be an AbortSignal/],
    [[], { format: 'xlsx' }, TypeError, /options.format must be one of csv, parquet, got a string "xlsx"/],
    [[], { maxRows: 0 }, TypeError, /options.maxRows must be a positive integer, got number 0/],
    [[], { maxRows: '100' }, TypeError, /options.maxRows must be a positive integer, got a string "100"/],
    [[{ recording: 'a.bin', csv: 'a.csv' }], { format: 'parquet' }, TypeError, /tasks\[0\]\.parquet must be .* \(or give options.outDir\), got undefined/],
    [['x/a.bin', 'y/a.bin'], { outDir: 'out', format: 'parquet' }, Error, /would both write .*out\/a.parquet/],
    [['x/a.bin', 'y/a.bin'], { outDir: 'out' }, Error, /tasks\[0\] \(x\/a.bin\) and tasks\[1\] \(y\/a.bin\) would both write .*out\/a.csv/],
  ];
  test('each bad argument is named with what was expected', async () => {
    for (const [tasks, options, Type, message] of cases) {
      await assert.rejects(kx.batch(tasks, options), (err) => {
        assert.ok(err instanceof Type, `${err.name}: ${err.message}`);
        assert.match(err.message, message);
        return true;
      });
    }
  });

  test('tasks that would write the same file, or over a recording, are refused and nothing is written', async () => {
    const out = fresh('clash');
    const link = path.join(out, 'link.csv');
    fs.symlinkSync(recordings[1], link);
    const before = recordings.map((r) => fs.readFileSync(r));
    const table = [
      [[{ recording: recordings[0], csv: path.join(out, 'x.csv') },
        { recordings: [pairs[0][0], path.join(dir, 'elsewhere', 'x.bin')], outDir: out }],
      Error, 'KX_OUTPUT_CLASH', /would both write/],
      [[{ recording: recordings[0], csv: recordings[0] }],
        TypeError, 'KX_OUTPUT_IS_INPUT', /tasks\[0\] would write .*walk-1.bin over its own recording .*walk-1.bin$/],
      [[{ recording: recordings[1], csv: path.join(out, 'a.csv') }, { recording: recordings[2], csv: link }],
        TypeError, 'KX_OUTPUT_IS_INPUT', /tasks\[1\] would write .*link.csv over the recording .*walk-2.bin of tasks\[0\]/],
      [[{ recordings: [recordings[1], recordings[2]], outDir: out }, { recording: recordings[3], csv: `${dir}/./walk-2.bin` }],
        TypeError, 'KX_OUTPUT_IS_INPUT', /tasks\[1\] would write .*walk-2.bin over the recording .*walk-2.bin of tasks\[0\]/],
    ];
    for (const [tasks, Type, code, message] of table) {
      await assert.rejects(kx.batch(tasks), (err) => {
        assert.ok(err instanceof Type, err.message);
        assert.equal(err.code, code);
        assert.match(err.message, message);
        return true;
      });
    }
    assert.deepEqual(fs.readdirSync(out), ['link.csv']);
    recordings.forEach((r, i) => assert.ok(fs.readFileSync(r).equals(before[i])));
  });
});

describe('stopping early', () => {
  test('a throwing progress callback stops new tasks and rejects with its error', async () => {
    const out = fresh('throw');
    const boom = new Error('enough');
    await assert.rejects(kx.batch(recordings, {
      outDir: out,
      concurrency: 1,
      onProgress: () => { throw boom; },
    }), (err) => err === boom);
    assert.equal(fs.readdirSync(out).length, 1);
  });

  test('an abort signal stops new tasks; running ones finish; an aborted signal starts none', async () => {
    const out = fresh('abort');
    const controller = new AbortController();
    await assert.rejects(kx.batch(recordings, {
      outDir: out,
      concurrency: 1,
      signal: controller.signal,
      onProgress: (done) => { if (done === 2) controller.abort(new Error('stop')); },
    }), /stop/);
    assert.equal(fs.readdirSync(out).length, 2);

    const none = fresh('aborted');
    await assert.rejects(kx.batch(recordings, { outDir: none, signal: AbortSignal.abort() }), { name: 'AbortError' });
    assert.deepEqual(fs.readdirSync(none), []);
  });
});
