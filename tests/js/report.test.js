// The report page's content: warnings from built recordings, the envelope of long streams,
// orientation angles, and report's arguments and failures.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const kx = require('../../index.js');
const { reduce, eulerDegrees } = require('../../lib/report/data.js');
const { addon } = require('../../lib/addon.js');
const { frames, records, Recording } = require('../support/recording.js');

const ACC = 0x21;
const GYR = 0x22;
const BARO = 0x23;
const EXAMPLES = path.join(__dirname, '..', '..', 'examples', 'data');
const EXAMPLE = path.join(EXAMPLES, 'left-thigh.bin');

let dir;
before(() => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-report-'));
});
after(() => fs.rmSync(dir, { recursive: true, force: true }));

// A recording at 100 Hz: accelerometer (±2 g) and gyroscope at `gyroHz`, barometer at 25 Hz
// until `baroUntil` s, every tick in `ticks`; `accel(tick)` gives the raw accelerometer sample.
function build(name, { ticks, accel = () => [0, 0, 16384], gyro = true, gyroHz = 100, baroUntil = Infinity, offsets } = {}) {
  const rec = new Recording().frames(frames.baseFrequency(100), frames.inertial(2, ACC, 100, 0, offsets ? { offsets } : {}),
    ...(gyro ? [frames.inertial(3, GYR, gyroHz, 1)] : []), frames.baro(BARO, 25), frames.timeMarks(10, 0, 0, 20, 0, 1000));
  const samples = [];
  for (const t of ticks) {
    samples.push({ tick: t, record: (o) => records.xyz(ACC, o, ...accel(t)) });
    if (gyro && t % (100 / gyroHz) === 0) samples.push({ tick: t, record: (o) => records.xyz(GYR, o, 3, -2, 1) });
    if (t % 4 === 0 && t < baroUntil * 100) samples.push({ tick: t, record: (o) => records.baro(BARO, o, 101325 * 64, 2400) });
  }
  const file = path.join(dir, `${name}.bin`);
  rec.samples(samples).write(file);
  return file;
}

const range = (from, to) => Array.from({ length: to - from }, (_, i) => from + i);

// The model the page carries, read back from the page.
function pageModelOf(page) {
  const html = fs.readFileSync(page, 'utf8');
  return JSON.parse(/<script type="application\/json" id="kx-data">(.*?)<\/script>/s.exec(html)[1]);
}

describe('warnings in plain words', () => {
  test('gaps, clipping, a stream ending early and no orientation are each said once, and a clean recording has none', () => {
    const clipped = (t) => [t % 100 < 7 ? 32767 : 0, t % 100 === 50 || t % 100 === 51 ? -32768 : 0, 16384];
    const table = [
      ['clean', { ticks: range(0, 1000) }, []],
      ['gap', { ticks: [...range(0, 300), ...range(600, 1000)] },
        [/^No samples for 3\.0 s from 0:00:03\.0 to 0:00:06\.0 \(accelerometer, gyroscope, barometer\)/]],
      ['clipping', { ticks: range(0, 500), accel: clipped }, [/^Clipping: 45 accelerometer samples at full scale \(±2 g\): x 35, y 10, z 0\./]],
      // Offsets of 0.05 g, which the configuration answer writes as 0: the same samples clip.
      ['calibrated clipping', { ticks: range(0, 500), accel: clipped, offsets: [500, -500, 0] }, [/^Clipping: 45 accelerometer samples .* x 35, y 10, z 0\./]],
      ['barometer stops', { ticks: range(0, 1000), baroUntil: 2 }, [/^The barometer stops at 0:00:02\.0, 8\.0 s before the other streams end \(0:00:10\.0\)\.$/]],
      ['no gyroscope', { ticks: range(0, 300), gyro: false }, [/^No orientation: it has no gyroscope\.$/]],
      ['rates differ', { ticks: range(0, 300), gyroHz: 50 }, [/^No orientation: its accelerometer \(100 Hz\) and gyroscope \(50 Hz\) run at different rates\.$/]],
    ];
    for (const [name, recipe, expected] of table) {
      const page = path.join(dir, `${name}.html`);
      kx.report([build(name, recipe)], page);
      const { warnings } = pageModelOf(page).devices[0];
      assert.equal(warnings.length, expected.length, `${name}: ${JSON.stringify(warnings)}`);
      expected.forEach((re, i) => assert.match(warnings[i], re, name));
    }
  });
});

describe('the page data', () => {
  test('the envelope of a long stream keeps every sample inside its column and every extreme', () => {
    // 2 hours at 100 Hz of a seeded pseudo-random signal with three one-sample spikes.
    let seed = 12345;
    const random = () => (seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648;
    const n = 720000;
    const time = Float64Array.from({ length: n }, (_, i) => i / 100);
    const value = Float64Array.from({ length: n }, () => random() - 0.5);
    for (const [i, v] of [[12345, 40], [500000, -35], [n - 1, 20]]) value[i] = v;
    const columns = 4000;
    const step = (time[n - 1] - time[0]) / columns;
    const { x, values: [{ min, max }] } = reduce(time, [(i) => value[i]], { t0: time[0], step, columns });
    assert.equal(x.length, columns);
    for (let i = 0; i < n; i++) {
      // Each sample falls in the column whose centre is within half a step.
      const c = Math.min(columns - 1, Math.round((time[i] - time[0]) / step - 0.5));
      assert.ok(Math.abs(x[c] - time[i]) <= step / 2 + 1e-9, `sample ${i} at ${time[i]} s is in column ${c} (${x[c]})`);
      assert.ok(min[c] <= value[i] && value[i] <= max[c], `sample ${i} (${value[i]}) within [${min[c]}, ${max[c]}]`);
    }
    assert.deepEqual([Math.max(...max), Math.min(...min), max[columns - 1]], [40, -35, 20]);
  });

  test('a short stream is sent as it is, with a gap where its ticks pause', () => {
    const time = Float64Array.from([0, 0.01, 0.02, 3.5, 3.51]);
    const { x, values: [{ raw }] } = reduce(time, [(i) => i * 10], { t0: 0, step: 0.001, columns: 4000 });
    assert.deepEqual(x, [0, 0.01, 0.02, 1.76, 3.5, 3.51]);
    assert.deepEqual(raw, [0, 10, 20, null, 30, 40]);
  });

  test('the synchronised streams of a set are the samples readAndSync2 writes, events on the common time base', () => {
    const pair = ['left-thigh.bin', 'right-thigh.bin'].map((f) => path.join(EXAMPLES, f));
    const out = fs.mkdtempSync(path.join(dir, 'sync-'));
    assert.equal(kx.readAndSync2(pair, out), 'OK');
    const { status, recordings } = addon._readSynced(pair);
    assert.equal(status, 'OK');
    // CSV column, stream, component, decimals the CSV prints.
    const table = [['Accel X', 'accel', 'x', 5], ['Gyro Z', 'gyro', 'z', 5], ['Quat W', 'quaternion', 'w', 5], ['Pressure', 'baro', 'pressure', 3]];
    pair.forEach((file, i) => {
      const lines = fs.readFileSync(path.join(out, `${path.basename(file, '.bin')}.csv`), 'utf8').split('\n');
      const names = lines[5].split(',');
      const rows = lines.slice(7).filter((l) => l !== '').map((l) => l.split(','));
      for (const [column, stream, component, decimals] of table) {
        const cells = rows.map((r) => r[names.indexOf(column)]).filter((c) => c !== '').map(Number);
        const values = recordings[i].streams[stream][component];
        assert.equal(values.length, cells.length, `${file}: ${column}`);
        // The CSV rounds to its decimals (ties to even); the arrays hold the unrounded values.
        const half = 0.5 * 10 ** -decimals + 1e-12;
        values.forEach((v, k) => assert.ok(Math.abs(v - cells[k]) <= half, `${file}: ${column} row ${k}: ${v} vs ${cells[k]}`));
      }
    });
    // The two devices saw one event at the same moment (10 s + 3.2 s and 10.2 s + 3.0 s on
    // their clocks): on the common time base they coincide.
    const [a, b] = recordings.map((r) => r.streams.events.time[0]);
    assert.ok(Math.abs(a - 3.2) < 1e-6 && Math.abs(b - 3.2) < 1e-6, `events at ${a} s and ${b} s`);
  });

  test('roll, pitch and heading are the Z-Y-X angles the quaternion was made of', () => {
    // q = qz(heading) qy(pitch) qx(roll), Hamilton products of single-axis rotations.
    const axis = (deg, k) => {
      const h = (deg * Math.PI) / 360;
      const q = [Math.cos(h), 0, 0, 0];
      q[k] = Math.sin(h);
      return q;
    };
    const mul = ([a1, b1, c1, d1], [a2, b2, c2, d2]) => [
      a1 * a2 - b1 * b2 - c1 * c2 - d1 * d2, a1 * b2 + b1 * a2 + c1 * d2 - d1 * c2,
      a1 * c2 - b1 * d2 + c1 * a2 + d1 * b2, a1 * d2 + b1 * c2 - c1 * b2 + d1 * a2];
    const table = [[0, 0, 0], [30, 0, 0], [0, -45, 0], [0, 0, 120], [-170, 80, -10], [90, 10, 179], [15, -89, 45]];
    for (const angles of table) {
      const [roll, pitch, heading] = angles;
      const q = mul(mul(axis(heading, 3), axis(pitch, 2)), axis(roll, 1));
      // Off unit length (times 2) it gives the same angles.
      for (const scale of [1, 2]) {
        const got = eulerDegrees(...q.map((c) => c * scale));
        got.forEach((v, k) => assert.ok(Math.abs(v - angles[k]) < 1e-6, `${angles} x ${scale}: got ${got}`));
      }
    }
    // The filter's all-zero quaternion before it starts has no angles, not 0 degrees.
    assert.deepEqual(eulerDegrees(0, 0, 0, 0), [NaN, NaN, NaN]);
  });
});

describe('report', () => {
  test('bad arguments throw, and the promise twin rejects alike, before anything is read', async () => {
    const table = [
      [[EXAMPLE, 'x.html'], /^recordingPaths: expected a non-empty array of recording paths/],
      [[[], 'x.html'], /^recordingPaths: expected/],
      [[[EXAMPLE, 'a\0b'], 'x.html'], /^recordingPaths: expected/],
      [[[EXAMPLE], 5], /^pagePath: expected a non-empty path string/],
      [[[EXAMPLE], ''], /^pagePath: expected/],
    ];
    for (const [args, message] of table) {
      assert.throws(() => kx.report(...args), { name: 'TypeError', message }, String(args));
      await assert.rejects(kx.promises.report(...args), { name: 'TypeError', message }, String(args));
    }
  });

  test('failures name what failed and leave no page; the promise twin writes the same page', async () => {
    const out = fs.mkdtempSync(path.join(dir, 'pages-'));
    const missing = path.join(out, 'missing.bin');
    const nowhere = path.join(out, 'no', 'such');
    const before = fs.readFileSync(EXAMPLE);
    const table = [
      [[[EXAMPLE], path.join(nowhere, 'p.html')], { code: 'KX_OPEN_FAILED', message: /p\.html: cannot be opened for writing/ }],
      [[[missing], path.join(out, 'p1.html')], { code: 'ENOENT', message: new RegExp(`${missing}: no such file`) }],
      [[[EXAMPLE, missing], path.join(out, 'p2.html')], { code: 'KX_SYNC', status: '-10', message: /cannot synchronise: a recording could not be read/ }],
      [[[EXAMPLE], EXAMPLE], { code: 'KX_OUTPUT_IS_INPUT', message: /writing the page would lose the recording/ }],
    ];
    for (const [args, expected] of table) {
      assert.throws(() => kx.report(...args), expected, String(args));
      await assert.rejects(kx.promises.report(...args), expected, String(args));
    }
    assert.ok(fs.readFileSync(EXAMPLE).equals(before));
    assert.deepEqual(fs.readdirSync(out), []);

    const a = path.join(out, 'sync.html');
    const b = path.join(out, 'async.html');
    assert.deepEqual(kx.report([EXAMPLE], a), { page: a, bytes: fs.statSync(a).size, devices: 1, synchronised: false });
    assert.equal((await kx.promises.report([EXAMPLE], b)).bytes, fs.statSync(a).size);
    assert.ok(fs.readFileSync(a).equals(fs.readFileSync(b)));
  });
});
