// Orientation from "read": the quaternion convention (w, x, y, z, sensor to world, world z up)
// fixed by known rotations, and the accuracy check against simulated walking.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const kx = require('../../index.js');
const Q = require('../../tools/sim/quaternion.js');
const accuracy = require('../../tools/sim/accuracy.js');
const { parseExport, samples, QUATERNION_COLUMNS } = require('../../tools/sim/csv.js');
const { frames, records, Recording } = require('../support/recording.js');
const { simulate, writeSet } = require('../../tools/sim/simulate.js');
const { addon } = require('../../lib/addon.js');
const { openSource } = require('../../lib/data/source.js');

const DEG = Math.PI / 180;
const ACC = 0x21;
const GYR = 0x22;
let dir;
before(() => { dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-accuracy-')); });
after(() => fs.rmSync(dir, { recursive: true, force: true }));

// 2 s still, 1 s turning at 90 deg/s about one sensor axis, 1 s still; 100 Hz, accelerometer
// +-2 g, gyroscope +-500 deg/s. The accelerometer sees gravity turn with the sensor.
function turnRecording(file, axis) {
  const rec = new Recording().frames(frames.baseFrequency(100), frames.inertial(2, ACC, 100, 0), frames.inertial(3, GYR, 100, 1));
  const list = [];
  for (let i = 0; i < 400; i++) {
    const turning = i >= 200 && i < 300;
    const angle = Math.min(Math.max(i - 200, 0), 100) * 0.9 * DEG; // turned so far
    const up = Q.rotateInverse(Q.fromAxisAngle(axis, angle), [0, 0, 1]);
    const rate = axis.map((a) => (turning ? a * 90 : 0));
    list.push({ tick: i, record: (o) => records.xyz(ACC, o, ...up.map((v) => Math.round(v * 16384))) });
    list.push({ tick: i, record: (o) => records.xyz(GYR, o, ...rate.map((v) => Math.round((v * 32768) / 500))) });
  }
  rec.samples(list).write(file);
}

describe('quaternion convention', () => {
  // A turn by +90 deg about a sensor axis, starting level, ends at the rotation that takes sensor
  // vectors into the world: (cos 45, sin 45 * axis). Its conjugate would turn the other way.
  const table = [
    ['about z (heading)', [0, 0, 1], [Math.SQRT1_2, 0, 0, Math.SQRT1_2]],
    ['about x (tilt)', [1, 0, 0], [Math.SQRT1_2, Math.SQRT1_2, 0, 0]],
    ['about y (tilt)', [0, 1, 0], [Math.SQRT1_2, 0, Math.SQRT1_2, 0]],
  ];
  for (const [name, axis, expected] of table) {
    test(`a +90 degree turn ${name} ends at w = cos 45, vector part along +axis`, () => {
      const file = path.join(dir, 'turn.bin');
      const csv = path.join(dir, 'turn.csv');
      turnRecording(file, axis);
      assert.equal(JSON.parse(kx.read(file, csv)).frequency, 100);
      const q = samples(parseExport(fs.readFileSync(csv, 'utf8')), QUATERNION_COLUMNS);
      assert.deepEqual(q[0], [0, 0, 0, 0], 'zero until the filter has seen its still start');
      assert.ok(Q.angleBetween(q[150], [1, 0, 0, 0]) < 0.5 * DEG, `level while still: ${q[150]}`);
      const last = q[q.length - 1];
      assert.ok(Q.angleBetween(last, expected) < 2 * DEG, `ended at ${last}`);
      assert.ok(Q.angleBetween(last, Q.conj(expected)) > 80 * DEG);
    });
  }
});

describe('accuracy check', () => {
  test('compare turns the truth about the vertical once, never tilts it', () => {
    const truth = Array.from({ length: 50 }, (_, i) => Q.mul(Q.about.z(0.02 * i), Q.about.x(0.3 + 0.01 * i)));
    const zero = [[0, 0, 0, 0], [0, 0, 0, 0]];
    const turned = truth.slice(2).map((q) => Q.mul(Q.about.z(30 * DEG), q));
    const same = accuracy.compare([...zero, ...turned], truth);
    assert.equal(same.firstSample, 2);
    assert.ok(Math.max(...same.errors) < 1e-6);
    // A tilt error is counted in full; so is the wrong convention (the conjugate).
    const tilted = turned.map((q) => Q.mul(Q.about.x(5 * DEG), q));
    const t = accuracy.compare([...zero, ...tilted], truth);
    assert.ok(t.errors.every((e) => Math.abs(e - 5) < 1e-6), `${t.errors[0]}`);
    const conj = accuracy.compare([...zero, ...turned.map(Q.conj)], truth);
    assert.ok(accuracy.summarize(conj.errors).medianDeg > 20);
    assert.throws(() => accuracy.compare(zero, truth), /holds 2 quaternion samples, the truth 50/);
    assert.throws(() => accuracy.compare(zero, truth.slice(0, 2)), /never started/);
  });

  test('simulated walking: median below 1 degree and 95th percentile below 2 degrees', () => {
    const r = accuracy.run(kx.read, { seconds: 60, devices: 4, seed: 3 });
    assert.equal(r.devices.length, 4);
    for (const d of r.devices) {
      assert.ok(d.samples > 5500, `${d.name}: ${d.samples} samples`);
      assert.ok(d.medianDeg < 1 && d.p95Deg < 2, `${d.name}: median ${d.medianDeg}, p95 ${d.p95Deg}`);
    }
  });
});

describe('the orientation option', () => {
  // One recording with 1 deg/s of gyroscope bias, where the two filters differ plainly, and its
  // CSV quaternions from read() in each mode as the reference for every other output.
  let rec;
  let pair;
  const quats = {};
  const csvOf = (file) => samples(parseExport(fs.readFileSync(file, 'utf8')), QUATERNION_COLUMNS);
  const BIAS = { orientation: 'bias-corrected' };
  before(() => {
    const set = writeSet(path.join(dir, 'biased'), simulate({ seconds: 30, devices: 2, method: 'marks', gyroOffsetDps: 1, truth: false }));
    pair = set.devices.map((d) => path.join(dir, 'biased', d.recording));
    rec = pair[0];
    for (const [mode, options] of [['default', undefined], ['bias', BIAS]]) {
      const csv = path.join(dir, `ref-${mode}.csv`);
      kx.read(rec, csv, options);
      quats[mode] = csvOf(csv);
    }
  });
  const last = (q) => q[q.length - 1];
  // The quaternion cells of rows [first, last) of a source's member m, one [w, x, y, z] a row.
  const sourceQuats = (source, m, first, lastRow) => {
    const filled = source.fill(m, first, lastRow);
    const at = QUATERNION_COLUMNS.map((name) => source.members[m].columns.findIndex((c) => c.name === name));
    return Array.from({ length: lastRow - first }, (_, r) => at.map((k) => filled[k].values[r]));
  };
  const near = (a, b, what) => assert.ok(a.every((v, k) => Math.abs(v - b[k]) < 1e-5), `${what}: ${a} against ${b}`);

  test('read: the default, a non-object and { orientation: "specified" } write the same bytes', () => {
    const files = [undefined, 5, 'bias-corrected', null, { orientation: 'specified' }, {}].map((options, k) => {
      const csv = path.join(dir, `same-${k}.csv`);
      kx.read(rec, csv, options);
      return fs.readFileSync(csv);
    });
    for (const f of files.slice(1)) assert.ok(f.equals(files[0]));
    assert.ok(Q.angleBetween(last(quats.default), last(quats.bias)) > 5 * DEG, 'the bias-corrected filter turns out otherwise');
  });

  test('every API hands the option on and refuses an unknown filter', async () => {
    const { readAndSync2 } = kx;
    const table = [
      ['readData', () => { const s = kx.readData(rec, BIAS).streams.quaternion; const n = s.w.length - 1; return [s.w[n], s.x[n], s.y[n], s.z[n]]; }],
      ['promises.readData', async () => { const s = (await kx.promises.readData(rec, BIAS)).streams.quaternion; const n = s.w.length - 1; return [s.w[n], s.x[n], s.y[n], s.z[n]]; }],
      ['promises.read', async () => { const csv = path.join(dir, 'p.csv'); await kx.promises.read(rec, csv, BIAS); return last(csvOf(csv)); }],
      ['batch', async () => {
        const csv = path.join(dir, 'b.csv');
        const [r] = await kx.batch([{ recording: rec, csv }], { orientation: 'bias-corrected', concurrency: 1 });
        assert.ok(r.ok, JSON.stringify(r));
        return last(csvOf(csv));
      }],
      ['readChunks', async () => {
        let q;
        for await (const w of kx.readChunks(rec, { ...BIAS, rows: 1000 })) {
          const s = w.streams.quaternion;
          const n = s ? s.w.length - 1 : -1;
          if (n >= 0) q = [s.w[n], s.x[n], s.y[n], s.z[n]];
        }
        return q;
      }],
      ['openSource', () => {
        const source = openSource(addon, [rec], BIAS);
        const { rows } = source.members[0];
        const forward = sourceQuats(source, 0, 0, rows);
        // Going back restores the filter's state from a checkpoint: the same cells again.
        assert.deepEqual(sourceQuats(source, 0, rows - 100, rows), forward.slice(rows - 100), 'openSource going back');
        source.close();
        return last(forward);
      }],
      ['openSource, set', () => {
        const source = openSource(addon, pair, BIAS);
        const q = last(sourceQuats(source, 0, 0, source.members[0].rows));
        source.close();
        return q;
      }],
      ['readAndSync2', () => {
        const out = path.join(dir, 'synced');
        fs.mkdirSync(out, { recursive: true });
        assert.equal(readAndSync2(pair, out, BIAS), 'OK');
        return last(csvOf(path.join(out, `${path.basename(rec, '.bin')}.csv`)));
      }],
    ];
    for (const [name, got] of table) {
      const q = await got();
      // A synchronised table ends where the set ends; its last row is still one of the recording's.
      if (name === 'readAndSync2' || name === 'openSource, set') assert.ok(quats.bias.some((r) => r.every((v, k) => Math.abs(v - q[k]) < 1e-5)), name);
      else near(q, last(quats.bias), name);
    }
    const bad = { orientation: 'sideways' };
    const refusals = [
      () => kx.read(rec, path.join(dir, 'x.csv'), bad),
      () => kx.readData(rec, bad),
      () => kx.readData(rec, 'bias-corrected'),
      () => kx.writeParquet(rec, path.join(dir, 'x.parquet'), bad),
      () => kx.report([rec], path.join(dir, 'x.html'), bad),
      () => openSource(addon, pair, bad),
    ];
    for (const fn of refusals) assert.throws(fn, { name: 'TypeError', message: /orientation|options/ });
    await assert.rejects(kx.batch([rec], { outDir: dir, orientation: 'sideways' }), { name: 'TypeError', message: /options\.orientation must be one of specified, bias-corrected/ });
    await assert.rejects(kx.promises.report([rec], path.join(dir, 'x.html'), bad), { name: 'TypeError' });
    await assert.rejects(kx.readChunks(rec, bad).next(), { name: 'TypeError' });
  });

  test('the page and the Parquet file carry the chosen filter', async () => {
    const page = (options) => {
      const file = path.join(dir, 'page.html');
      kx.report([rec], file, options);
      return fs.readFileSync(file, 'utf8');
    };
    assert.equal(page(), page({ orientation: 'specified' }));
    assert.notEqual(page(), page(BIAS));
    const { parquetReadObjects } = await import('hyparquet');
    const { compressors } = await import('hyparquet-compressors');
    for (const [mode, options] of [['default', {}], ['bias', BIAS]]) {
      const file = path.join(dir, `q-${mode}.parquet`);
      kx.writeParquet(rec, file, options);
      const bytes = fs.readFileSync(file);
      const rows = await parquetReadObjects({ file: bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length), compressors });
      const row = rows[rows.length - 1];
      near(QUATERNION_COLUMNS.map((c) => row[c]), last(quats[mode]), `Parquet, ${mode}`);
    }
  });
});
