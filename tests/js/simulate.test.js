// The recording simulator: reproducible files whose samples agree with the true motion, and
// device sets that each synchronisation method aligns.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const kx = require('../../index.js');
const Q = require('../../tools/sim/quaternion.js');
const { parseExport, samples } = require('../../tools/sim/csv.js');
const { simulate, writeSet, parseTruth, METHODS, EVENTS } = require('../../tools/sim/simulate.js');

const DEG = Math.PI / 180;
let dir;
before(() => { dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-simulate-')); });
after(() => fs.rmSync(dir, { recursive: true, force: true }));

// Simulates, writes and converts one set; answers the description with each device's CSV
// (parsed) and truth rows.
function convertedSet(name, options) {
  const where = path.join(dir, name);
  const set = writeSet(where, simulate(options));
  for (const d of set.devices) {
    const csv = path.join(where, `${d.name}.csv`);
    assert.equal(JSON.parse(kx.read(path.join(where, d.recording), csv)).frequency, 100);
    d.csv = parseExport(fs.readFileSync(csv, 'utf8'));
    d.truth = parseTruth(fs.readFileSync(path.join(where, d.truth), 'utf8'));
    d.path = path.join(where, d.recording);
  }
  return set;
}

describe('simulate', () => {
  test('a seed gives the same files; another seed other files', () => {
    const a = simulate({ seconds: 5, devices: 2, seed: 7 });
    const b = simulate({ seconds: 5, devices: 2, seed: 7 });
    const c = simulate({ seconds: 5, devices: 2, seed: 8 });
    for (let k = 0; k < 2; k++) {
      assert.ok(a.devices[k].bytes.equals(b.devices[k].bytes));
      assert.equal(a.devices[k].truth, b.devices[k].truth);
      assert.ok(!a.devices[k].bytes.equals(c.devices[k].bytes));
    }
  });

  test('the variants leave the default recordings as they were', () => {
    // Recorded from the simulator before the gait, bias and sway options existed.
    const crypto = require('node:crypto');
    const h = crypto.createHash('sha256');
    for (const d of simulate({ seconds: 20, devices: 4, seed: 7, gyroBiasDps: 0.3 }).devices) h.update(d.bytes).update(d.truth);
    assert.equal(h.digest('hex').slice(0, 16), 'e3a89d8eae65f96a');
  });

  test('bias, gait, start and sway show in the samples', () => {
    // Decoded through read(): the gyroscope's mean over the still start is the fixed bias.
    const rows = (options) => {
      const set = convertedSet('variant', { seconds: 40, seed: 4, ...options });
      const [d] = set.devices;
      return { set, acc: samples(d.csv, ['Accel X', 'Accel Y', 'Accel Z']), gyro: samples(d.csv, ['Gyro X', 'Gyro Y', 'Gyro Z']) };
    };
    const mean = (list, k) => list.reduce((t, r) => t + r[k], 0) / list.length;
    const biased = rows({ gyroOffsetDps: [0.5, -0.3, 0.2] });
    [0.5, -0.3, 0.2].forEach((b, k) => assert.ok(Math.abs(mean(biased.gyro.slice(0, 250), k) - b) < 0.03, `axis ${k}`));
    // Running: the landings reach beyond 2 g; walking stays below.
    const peak = (r) => Math.max(...r.acc.map((a) => Math.hypot(...a)));
    assert.ok(peak(rows({ gait: 'run' })) > 2 && peak(rows({})) < 2);
    // Switched on mid-walk: the first second already turns.
    const moving = rows({ start: 'moving' });
    assert.ok(Math.max(...moving.gyro.slice(0, 100).map((g) => Math.hypot(...g))) > 10);
    // Sway: the pause after the first walk turns at up to about 0.5 deg/s per axis.
    const swaying = rows({ swayDps: 0.5, seconds: 120 });
    const stop = swaying.set.devices[0].events.find((e) => e.value === EVENTS.walkStop).tick;
    const pause = swaying.gyro.slice(stop + 300, stop + 500).map((g) => Math.hypot(...g));
    assert.ok(Math.max(...pause) > 0.3 && Math.max(...pause) < 1, `${Math.max(...pause)}`);
  });

  test('bad options are refused with a message naming them', () => {
    const table = [
      [{ frequency: 0 }, /frequency must be an integer 1\.\.1000 Hz, got 0/],
      [{ imuHz: 30 }, /imuHz must divide the base frequency 100, got 30/],
      [{ seconds: -1 }, /seconds must be positive, got -1/],
      [{ method: 'gps' }, /method must be one of marks, radio-sensor, radio-frame, got gps/],
      [{ devices: ['elbow'] }, /unknown location elbow; known: pelvis/],
      [{ devices: [] }, /devices must list at least one location/],
      [{ devices: 0 }, /devices must be a positive count or a list of locations, got 0/],
      [{ stillSeconds: 0 }, /stillSeconds must be at least 0\.2/],
      [{ gait: 'hop' }, /gait must be one of walk, run, got hop/],
      [{ start: 'late' }, /start must be still or moving, got late/],
      [{ gyroOffsetDps: [1, 2] }, /gyroOffsetDps must be a number or three numbers/],
      [{ swayDps: -1 }, /swayDps must be a number >= 0, got -1/],
    ];
    for (const [options, message] of table) assert.throws(() => simulate({ seconds: 1, ...options }), message);
  });

  describe('the samples agree with the true motion', () => {
    let set;
    before(() => { set = convertedSet('motion', { seconds: 40, devices: ['pelvis', 'left-thigh', 'left-wrist'] }); });

    test('the gyroscope integrates to the true orientation', () => {
      for (const d of set.devices) {
        const gyro = samples(d.csv, ['Gyro X', 'Gyro Y', 'Gyro Z']);
        assert.equal(gyro.length, d.truth.length);
        let q = d.truth[0].q;
        let worst = 0;
        for (let i = 0; i + 1 < gyro.length; i++) {
          // Rotation over one sample at the mean of the two rates, in the sensor frame.
          const w = [0, 1, 2].map((k) => ((gyro[i][k] + gyro[i + 1][k]) / 2) * DEG);
          const n = Math.hypot(...w);
          if (n > 0) q = Q.mul(q, Q.fromAxisAngle(w.map((v) => v / n), n * 0.01));
          worst = Math.max(worst, Q.angleBetween(q, d.truth[i + 1].q) / DEG);
        }
        assert.ok(worst < 0.5, `${d.name}: integrated gyroscope ${worst.toFixed(3)} deg from the truth`);
      }
    });

    test('the accelerometer shows gravity in the sensor frame while still, and the gait while walking', () => {
      for (const d of set.devices) {
        const acc = samples(d.csv, ['Accel X', 'Accel Y', 'Accel Z']);
        const walkStart = d.events.find((e) => e.value === EVENTS.walkStart).tick;
        for (let i = 0; i < walkStart - 10; i += 7) {
          const up = Q.rotateInverse(d.truth[i].q, [0, 0, 1]);
          const err = Math.hypot(acc[i][0] - up[0], acc[i][1] - up[1], acc[i][2] - up[2]);
          assert.ok(err < 0.03, `${d.name} sample ${i}: ${acc[i]} against gravity ${up}`);
        }
        // While walking the magnitude swings well away from 1 g (bounce and swing).
        const walking = acc.slice(walkStart + 300, walkStart + 800).map((a) => Math.hypot(...a));
        assert.ok(Math.max(...walking) - Math.min(...walking) > 0.3, `${d.name}: no gait in the accelerometer`);
      }
    });

    test('barometer every fourth row, plausible air pressure and temperature; events at the gait changes', () => {
      const d = set.devices[0];
      const p = d.csv.names.indexOf('Pressure');
      const filled = d.csv.rows.map((r, i) => (r[p] === '' ? -1 : i)).filter((i) => i >= 0);
      assert.deepEqual(filled.slice(0, 4), [0, 4, 8, 12]);
      for (const i of filled) {
        const [pressure, temperature] = [Number(d.csv.rows[i][p]), Number(d.csv.rows[i][p + 1])];
        assert.ok(pressure > 1005 && pressure < 1020, `pressure ${pressure}`);
        assert.ok(temperature > 23 && temperature < 31, `temperature ${temperature}`);
      }
      const e = d.csv.names.indexOf('Event');
      const marked = d.csv.rows.filter((r) => r[e] !== '').map((r) => [Number(r[0]), Number(r[e])]);
      // Each event lands on the first row whose (accumulated) time has reached it: the same row
      // or the next.
      assert.deepEqual(marked.map((m) => m[1]), d.events.map((ev) => ev.value));
      marked.forEach(([time], k) => assert.ok(time >= d.events[k].time - 1e-9 && time <= d.events[k].time + 0.0100001, `${time}`));
      assert.ok(marked.length >= 1);
    });
  });

  describe('device sets are synchronised by each method', () => {
    for (const method of METHODS) {
      test(method, () => {
        const set = convertedSet(`sync-${method}`, { seconds: 20, devices: 3, method });
        const out = fs.mkdtempSync(path.join(dir, `out-${method}-`));
        assert.equal(kx.readAndSync2(set.devices.map((d) => d.path), out), 'OK');
        // Find each synchronised file's first sample in the device's own conversion, and read its
        // time on the shared clock from the truth: the first rows must have been taken together.
        const starts = set.devices.map((d) => {
          const synced = parseExport(fs.readFileSync(path.join(out, `${d.name}.csv`), 'utf8'));
          const cols = ['Gyro X', 'Gyro Y', 'Gyro Z', 'Accel X', 'Accel Y', 'Accel Z'];
          const mine = samples(d.csv, cols).map((r) => r.join());
          const head = samples(synced, cols).slice(0, 20).map((r) => r.join());
          const first = mine.findIndex((_, i) => head.every((h, k) => mine[i + k] === h));
          assert.ok(first >= 0, `${d.name}: synchronised rows not found in its own conversion`);
          return { shared: d.truth[first].shared, total: synced.total };
        });
        for (const s of starts) {
          assert.ok(Math.abs(s.shared - starts[0].shared) <= 0.005, `${method}: starts ${starts.map((x) => x.shared)}`);
          assert.equal(s.total, starts[0].total);
        }
        assert.ok(starts[0].total > 1500, `${method}: common window of only ${starts[0].total} rows`);
      });
    }
  });
});
