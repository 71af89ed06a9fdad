// readData and the Parquet file against the CSV of the same recording, cell by cell: the bundled
// examples and synthetic recordings with slower streams, events and a stream without samples.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const kx = require('../../index.js');
const { frames, records, Recording } = require('../support/recording.js');

const ACC = 0x21;
const GYR = 0x22;
const BAR = 0x23;
const MAG = 0x25;
const EVT = 0x26;
const EV2 = 0x27;
const EXAMPLES = path.join(__dirname, '..', '..', 'examples', 'data');

// The CSV's decimals and the readData stream and component behind each column name.
const COLUMNS = {
  Time: [5],
  'Gyro X': [5, 'gyro', 'x'], 'Gyro Y': [5, 'gyro', 'y'], 'Gyro Z': [5, 'gyro', 'z'],
  'Accel X': [5, 'accel', 'x'], 'Accel Y': [5, 'accel', 'y'], 'Accel Z': [5, 'accel', 'z'],
  Pressure: [3, 'baro', 'pressure'], Temperature: [1, 'baro', 'temperature'],
  Event: [3, 'events', 'value'],
  'Quat W': [5, 'quaternion', 'w'], 'Quat X': [5, 'quaternion', 'x'], 'Quat Y': [5, 'quaternion', 'y'], 'Quat Z': [5, 'quaternion', 'z'],
};

let dir;
before(() => { dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-data-')); });
after(() => fs.rmSync(dir, { recursive: true, force: true }));

// A fixed pseudo-random sequence of 16-bit sensor values.
function values(seed) {
  let s = seed >>> 0;
  return () => {
    s = (Math.imul(s, 1664525) + 1013904223) >>> 0;
    return (s >>> 16) - 32768;
  };
}

// Synthetic recordings at a 100 Hz base: [name, build(file)].
const SYNTHETIC = [
  ['slower streams and events', (file) => {
    // Accelerometer and gyroscope at 50 Hz (orientation every second row), barometer and
    // magnetometer at 25 Hz, events on the first channel placed by time, two on one tick.
    const next = values(1);
    const rec = new Recording().frames(frames.baseFrequency(100), frames.inertial(2, ACC, 50, 1),
      frames.inertial(3, GYR, 50, 2), frames.baro(BAR, 25), frames.magnetometer(MAG, 25), frames.event(EVT, 100));
    const list = [];
    for (let tick = 0; tick < 400; ++tick) {
      if (tick % 2 === 0) {
        list.push({ tick, record: (o) => records.xyz(ACC, o, next() >> 3, next() >> 3, 8192 + (next() >> 6)) });
        list.push({ tick, record: (o) => records.xyz(GYR, o, next() >> 4, next() >> 4, next() >> 4) });
      }
      if (tick % 4 === 0) {
        list.push({ tick, record: (o) => records.baro(BAR, o, 4096 * 1000 + (next() & 0xffff), 2000 + (next() & 0xff)) });
        list.push({ tick, record: (o) => records.xyz(MAG, o, next(), next(), next()) });
      }
      if (tick % 37 === 5 || tick === 6) list.push({ tick, record: (o) => records.event(EVT, o, tick & 0xff) });
    }
    rec.samples(list).write(file);
  }],
  ['a stream without samples and the second event channel', (file) => {
    // The barometer is configured but never sampled: its header columns stay, its cells do not.
    // The second event channel has events and is written instead of the first.
    const next = values(2);
    const rec = new Recording().frames(frames.baseFrequency(100), frames.inertial(2, ACC, 100, 0),
      frames.inertial(3, GYR, 100, 0), frames.baro(BAR, 25), frames.event(EVT, 100), frames.event2(EV2, 100));
    const list = [];
    for (let tick = 0; tick < 300; ++tick) {
      list.push({ tick, record: (o) => records.xyz(ACC, o, next() >> 6, next() >> 6, 16384 + (next() >> 8)) });
      list.push({ tick, record: (o) => records.xyz(GYR, o, next() >> 5, next() >> 5, next() >> 5) });
      if (tick % 50 === 3) list.push({ tick, record: (o) => records.event(EVT, o, 1) });
      if (tick % 60 === 7) list.push({ tick, record: (o) => records.event2(EV2, o, 100 + tick / 60) });
    }
    rec.samples(list).write(file);
  }],
  ['no orientation: accelerometer without gyroscope', (file) => {
    const next = values(3);
    const rec = new Recording().frames(frames.baseFrequency(100), frames.inertial(2, ACC, 100, 3), frames.baro(BAR, 20));
    const list = [];
    for (let tick = 0; tick < 250; ++tick) {
      list.push({ tick, record: (o) => records.xyz(ACC, o, next(), next(), next()) });
      if (tick % 5 === 0) list.push({ tick, record: (o) => records.baro(BAR, o, 4096 * 990 + (next() & 0xfff), -500 + (next() & 0x3ff)) });
    }
    rec.samples(list).write(file);
  }],
];

// The recordings every comparison runs on: the bundled examples and the synthetic ones.
function recordings() {
  const list = fs.readdirSync(EXAMPLES).filter((n) => n.endsWith('.bin')).map((n) => [n, path.join(EXAMPLES, n)]);
  SYNTHETIC.forEach(([name, build], i) => {
    const file = path.join(dir, `synthetic-${i}.bin`);
    build(file);
    list.push([name, file]);
  });
  return list;
}

// The CSV of a recording: its column names and its rows of cells (the trailing comma dropped).
function csvOf(file) {
  const csv = path.join(dir, `${path.basename(file)}.csv`);
  assert.notEqual(JSON.parse(kx.read(file, csv)).error, 'Error during data loading.');
  const lines = fs.readFileSync(csv, 'utf8').split('\n');
  const names = lines[5].split(',').slice(0, -1);
  const rows = lines.slice(7, -1).map((l) => l.split(',').slice(0, -1));
  assert.equal(rows.length, Number(lines[2].replace('Total data points: ', '')));
  return { names, rows };
}

// The CSV's text of a value with `decimals` decimals, as printf's "%.Nf" gives it: the exact
// binary value rounded half to even (1.953125 -> 1.95312), the sign kept on a negative that
// rounds to zero. Worked out on the exact decimal expansion, independently of the addon's code.
function fixed(v, decimals) {
  const [whole, fraction] = Math.abs(v).toFixed(100).split('.'); // exact for these magnitudes
  let n = BigInt(whole + fraction.slice(0, decimals));
  const rest = fraction.slice(decimals);
  const beyondHalf = rest[0] > '5' || (rest[0] === '5' && /[1-9]/.test(rest.slice(1)));
  const tie = rest[0] === '5' && !/[1-9]/.test(rest.slice(1));
  if (beyondHalf || (tie && n % 2n === 1n)) n += 1n;
  const digits = n.toString().padStart(decimals + 1, '0');
  const text = decimals === 0 ? digits : `${digits.slice(0, -decimals)}.${digits.slice(-decimals)}`;
  return v < 0 || Object.is(v, -0) ? `-${text}` : text;
}

describe('readData', () => {
  test('holds every sample the CSV prints, in the same order, unrounded', () => {
    for (const [name, file] of recordings()) {
      const data = kx.readData(file);
      const { names, rows } = csvOf(file);
      assert.deepEqual(data.summary, JSON.parse(kx.read(file, path.join(dir, 'again.csv'))), name);
      assert.deepEqual(data.config, JSON.parse(kx.readConfig(file)), name);
      assert.equal(data.frequency, data.summary.frequency, name);
      // A row holds cells only for the streams that have samples, in header order.
      const withCells = names.filter((n) => n === 'Time' || (COLUMNS[n][1] === 'events' ? data.streams.events || data.streams.events2 : data.streams[COLUMNS[n][1]]));
      for (const [c, column] of withCells.entries()) {
        if (column === 'Time') continue;
        const [decimals, streamName, component] = COLUMNS[column];
        const stream = streamName === 'events' ? data.streams.events2 || data.streams.events : data.streams[streamName];
        const cells = rows.map((r) => r[c]).filter((cell) => cell !== '');
        assert.ok(stream[component] instanceof Float64Array, `${name}: ${column}`);
        assert.deepEqual(cells, Array.from(stream[component], (v) => fixed(v, decimals)), `${name}: ${column}`);
        // Events are placed on the first row whose time reaches theirs.
        if (streamName === 'events') {
          const eventRows = rows.flatMap((r, i) => (r[c] !== '' ? [i] : []));
          eventRows.forEach((row, k) => assert.ok((row + 1) / data.frequency >= stream.time[k] - 1e-9, `${name}: event ${k}`));
        }
      }
      // Every stream: one time per sample, tick / base frequency, ascending; its configured rate.
      for (const [streamName, stream] of Object.entries(data.streams)) {
        const components = Object.keys(stream).filter((k) => k !== 'rate' && k !== 'time');
        for (const k of components) assert.equal(stream[k].length, stream.time.length, `${name}: ${streamName}.${k}`);
        assert.ok(stream.time.every((t, i) => i === 0 || t > stream.time[i - 1]), `${name}: ${streamName} times ascend`);
        assert.ok(stream.time.every((t) => Number.isInteger(Math.round(t * data.frequency * 1e6) / 1e6)), `${name}: ${streamName} times are ticks`);
        assert.equal(typeof stream.rate, 'number');
      }
    }
  });

  test('answers the streams a recording has, with the components and rates it names', () => {
    const file = path.join(dir, 'streams.bin');
    SYNTHETIC[0][1](file);
    const { streams } = kx.readData(file);
    const shape = Object.fromEntries(Object.entries(streams).map(([k, s]) => [k, [s.rate, ...Object.keys(s)]]));
    assert.deepEqual(shape, {
      accel: [50, 'rate', 'time', 'x', 'y', 'z'],
      gyro: [50, 'rate', 'time', 'x', 'y', 'z'],
      baro: [25, 'rate', 'time', 'pressure', 'temperature'],
      mag: [25, 'rate', 'time', 'x', 'y', 'z'],
      quaternion: [50, 'rate', 'time', 'w', 'x', 'y', 'z'],
      events: [100, 'rate', 'time', 'value'],
    });
    assert.equal(streams.mag.x.length, 100);
    assert.deepEqual(Array.from(streams.baro.time.subarray(0, 3)), [0, 0.04, 0.08]);
  });
});
