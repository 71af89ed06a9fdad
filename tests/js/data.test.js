// readData and the Parquet file against the CSV of the same recording, cell by cell: the bundled
// examples and synthetic recordings with slower streams, events and a stream without samples.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const kx = require('../../index.js');
const { addon, addonPath } = require('../../lib/addon.js');
const { loadParquetWriter } = require('../../lib/data/index.js');
const { writeMember, quaternionStart } = require('../../lib/data/parquet.js');
const { openSource } = require('../../lib/data/source.js');
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
  ['no samples at all: the header alone, an empty table', (file) => {
    new Recording().frames(frames.baseFrequency(100), frames.inertial(2, ACC, 100, 0)).samples([]).write(file);
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
  return csvTable(csv);
}

function csvTable(csv) {
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
        // The orientation is NaN until the filter starts, where the CSV prints zeros.
        const start = streamName === 'quaternion' ? stream.firstValid : 0;
        assert.ok(stream[component].every((v, i) => Number.isNaN(v) === (i < start)), `${name}: ${column} NaN until ${start}`);
        assert.deepEqual(cells, Array.from(stream[component], (v) => fixed(Number.isNaN(v) ? 0 : v, decimals)), `${name}: ${column}`);
        // A sample's tick is its row's: Time = tick / frequency.
        const ticks = rows.flatMap((r, i) => (r[c] !== '' ? [i + 1] : []));
        assert.deepEqual(ticks, Array.from(stream.tick), `${name}: ${column} ticks`);
        assert.deepEqual(ticks.map((t) => fixed(t / data.frequency, 5)), rows.filter((r) => r[c] !== '').map((r) => r[0]), `${name}: ${column} times`);
        // Events are placed on the first row whose time reaches theirs.
        if (streamName === 'events') {
          const eventRows = rows.flatMap((r, i) => (r[c] !== '' ? [i] : []));
          eventRows.forEach((row, k) => assert.ok((row + 1) / data.frequency >= stream.time[k] - 1e-9, `${name}: event ${k}`));
        }
      }
      // Every stream: one time per sample, tick / base frequency, ascending; its configured rate.
      for (const [streamName, stream] of Object.entries(data.streams)) {
        const components = Object.keys(stream).filter((k) => ArrayBuffer.isView(stream[k]));
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
      accel: [50, 'rate', 'time', 'x', 'y', 'z', 'tick'],
      gyro: [50, 'rate', 'time', 'x', 'y', 'z', 'tick'],
      baro: [25, 'rate', 'time', 'pressure', 'temperature', 'tick'],
      mag: [25, 'rate', 'time', 'x', 'y', 'z', 'tick'],
      quaternion: [50, 'rate', 'time', 'w', 'x', 'y', 'z', 'tick', 'firstValid'],
      events: [100, 'rate', 'time', 'value', 'tick'],
    });
    assert.equal(streams.mag.x.length, 100);
    assert.deepEqual(Array.from(streams.baro.time.subarray(0, 3)), [0, 0.04, 0.08]);
    assert.deepEqual(Array.from(streams.baro.tick.subarray(0, 3)), [1, 5, 9]);
  });

  test('readChunks: windows of 1, 7 and 65,536 rows join to readData for the streams the table shows', async () => {
    for (const [name, file] of recordings()) {
      const data = kx.readData(file);
      const tableRows = csvOf(file).rows.length;
      const shown = ['gyro', 'accel', 'baro', data.streams.events2 ? 'events2' : 'events', 'quaternion'].filter((n) => data.streams[n]);
      for (const rows of [1, 7, 65536]) {
        const joined = {};
        let next = 0;
        for await (const w of kx.readChunks(file, { rows })) {
          assert.equal(w.first, next, `${name}/${rows}`);
          assert.ok(w.last - w.first <= rows && w.tick.length === w.last - w.first, `${name}/${rows}`);
          next = w.last;
          for (const [stream, arrays] of Object.entries(w.streams)) {
            joined[stream] ||= {};
            for (const [k, v] of Object.entries(arrays)) joined[stream][k] = [...(joined[stream][k] || []), ...v];
          }
        }
        assert.equal(next, tableRows, `${name}/${rows}`);
        assert.deepEqual(Object.keys(joined).sort(), shown.sort(), `${name}/${rows}`);
        if (rows === 1) {
          for (const bad of [0, 1.5, 2 ** 24 + 1]) await assert.rejects(kx.readChunks(file, { rows: bad }).next(), RangeError, `rows ${bad}`);
        }
        for (const [stream, arrays] of Object.entries(joined)) {
          for (const [k, v] of Object.entries(arrays)) assert.deepEqual(v, Array.from(data.streams[stream][k]), `${name}/${rows}: ${stream}.${k}`);
        }
      }
    }
  });

  test('wall-clock times become instants across daylight-saving changes', () => {
    const { wallClockInstant } = require('../../lib/data/table-time.js');
    const cases = [
      ['2026-07-01 12:00:00', 'Europe/Berlin', '2026-07-01T10:00:00.000Z'], // summer time
      ['2026-03-29 02:30:00', 'Europe/Berlin', '2026-03-29T01:30:00.000Z'], // skipped: offset before the change
      ['2026-10-25 02:30:00', 'Europe/Berlin', '2026-10-25T00:30:00.000Z'], // repeated: its first instant
      ['2026-03-08 01:59:59', 'America/New_York', '2026-03-08T06:59:59.000Z'],
      ['2026-01-01 00:00:00', 'Asia/Kathmandu', '2025-12-31T18:15:00.000Z'],
      ['0000-00-00 00:00:00', 'Europe/Berlin', null],
    ];
    for (const [text, zone, want] of cases) {
      const t = wallClockInstant(text, zone);
      assert.equal(t === null ? null : new Date(t).toISOString(), want, `${text} ${zone}`);
    }
  });

  test('a time zone gives the start as an instant; names that are no IANA zone are refused', () => {
    const file = path.join(EXAMPLES, 'left-thigh.bin'); // created 2026-03-14 09:30:10, local
    const cases = [
      [undefined, null],
      [{ timezone: 'Europe/Berlin' }, '2026-03-14T08:30:10.000Z'],
      [{ timezone: 'America/New_York' }, '2026-03-14T13:30:10.000Z'],
      [{ timezone: 'UTC' }, '2026-03-14T09:30:10.000Z'],
      [{ timezone: 'Mars/Olympus' }, RangeError],
      [{ timezone: '' }, TypeError],
    ];
    for (const [options, want] of cases) {
      if (typeof want === 'function') {
        assert.throws(() => kx.readData(file, options), (err) => err instanceof want && err.code === 'KX_BAD_TIMEZONE', options.timezone);
        continue;
      }
      const { startTime } = kx.readData(file, options);
      assert.equal(startTime === null ? null : startTime.toISOString(), want, JSON.stringify(options));
    }
  });
});

// A Parquet file read back with an independent reader: its metadata, column names, and rows as
// arrays of cells (null for a null).
async function parquetOf(file) {
  const { parquetMetadata, parquetReadObjects } = await import('hyparquet');
  const { compressors } = await import('hyparquet-compressors');
  const bytes = fs.readFileSync(file);
  const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length);
  const meta = parquetMetadata(buffer);
  const names = meta.schema.slice(1).map((s) => s.name);
  const objects = await parquetReadObjects({ file: buffer, compressors });
  return { meta, names, rows: objects.map((o) => names.map((n) => o[n])) };
}

// Every cell of a Parquet table against the CSV's: types, names, values printed with the CSV's
// decimals, nulls for empty cells.
// The CSV's columns come first, then Tick (the row's base-rate tick), Timestamp with a time zone
// and the magnetometer when it has samples. Orientation rows before the filter starts are null
// where the CSV prints zeros.
function assertSameCells(pq, csv, name) {
  const { names, rows } = csv;
  assert.deepEqual(pq.names.slice(0, names.length), names, name);
  assert.equal(pq.rows.length, rows.length, name);
  const types = pq.meta.schema.slice(1, names.length + 1).map((s) => [s.type, s.repetition_type]);
  assert.deepEqual(types, names.map((n) => [n.startsWith('Quat') ? 'FLOAT' : 'DOUBLE', 'OPTIONAL']), name);
  const tick = pq.names.indexOf('Tick');
  assert.deepEqual(pq.rows.map((r) => r[tick]), rows.map((_, r) => BigInt(r + 1)), `${name}: Tick`);
  const kv = Object.fromEntries(pq.meta.key_value_metadata.map(({ key, value }) => [key, value]));
  // The row the filter starts on; the table's end when it never does.
  const quatStart = kv.quaternionStart === undefined ? null : JSON.parse(kv.quaternionStart) || { row: rows.length };
  assert.ok(pq.meta.row_groups.every((g) => g.columns.every((c) => c.meta_data.codec === 'ZSTD')), name);
  // Dictionaries for the sensor columns, byte streams for the nearly all distinct time and
  // orientation columns: the smallest file of the writer's options.
  const [first] = pq.meta.row_groups;
  const encodings = { Time: 'BYTE_STREAM_SPLIT', Quat: 'BYTE_STREAM_SPLIT', Tick: 'DELTA_BINARY_PACKED', Timestamp: 'DELTA_BINARY_PACKED' };
  (first ? first.columns : []).forEach((c, k) => {
    const want = encodings[pq.names[k].split(' ')[0]] || 'RLE_DICTIONARY';
    assert.ok(c.meta_data.encodings.includes(want), `${name}: ${pq.names[k]} has ${c.meta_data.encodings}`);
  });
  // A row's cells belong to the columns that hold values: a stream without samples keeps its
  // header names in the CSV but has no cells, and is all nulls here.
  const filled = names.map((n, c) => pq.rows.some((r) => r[c] !== null) || (n.startsWith('Quat') && quatStart !== null));
  const decimals = names.map((n) => COLUMNS[n][0]);
  const quatCells = new Set(names.filter((n) => n.startsWith('Quat')).map((n) => names.filter((m, c) => filled[c]).indexOf(n)));
  pq.rows.forEach((row, r) => {
    const cells = row.slice(0, names.length).flatMap((v, c) => (filled[c] ? [v === null ? '' : fixed(v, decimals[c])] : []));
    const before = quatStart !== null && r < quatStart.row;
    const csvCells = before ? rows[r].map((cell, k) => (quatCells.has(k) && cell === '0.00000' ? '' : cell)) : rows[r];
    assert.deepEqual(cells, csvCells, `${name}: row ${r}`);
  });
}

// The unit of every column, as the file's Arrow schema says, read back through the writer's
// own reader; every column must also carry a description.
async function fieldUnits(file) {
  const arrow = require('apache-arrow');
  const pq = require('parquet-wasm');
  const schema = arrow.tableFromIPC(pq.readParquet(fs.readFileSync(file)).intoIPCStream()).schema;
  assert.ok(schema.fields.every((f) => f.metadata.get('description')), file);
  return Object.fromEntries(schema.fields.map((f) => [f.name, f.metadata.get('unit')]));
}

describe('writeParquet', () => {
  test('holds the CSV table: same columns and rows, unrounded values, nulls for empty cells', async () => {
    for (const [name, file] of recordings()) {
      const out = path.join(dir, `${path.basename(file)}.parquet`);
      const summary = kx.writeParquet(file, out, { timezone: 'Europe/Berlin' });
      const { names, rows } = csvOf(file);
      const pq = await parquetOf(out);
      assert.equal(summary, kx.read(file, path.join(dir, 'again.csv')), name);
      const kv = Object.fromEntries(pq.meta.key_value_metadata.map(({ key, value }) => [key, value]));
      assert.deepEqual(JSON.parse(kv.config), JSON.parse(kx.readConfig(file)), name);
      assert.equal(kv.summary, summary, name);
      assert.equal(kv.timezone, 'Europe/Berlin', name);
      assertSameCells(pq, { names, rows }, name);
      // The quaternion is exactly what the filter computed, in single precision, and starts
      // where readData's does.
      const data = kx.readData(file, { timezone: 'Europe/Berlin' });
      const column = (n) => pq.rows.map((row) => row[pq.names.indexOf(n)]);
      if (data.streams.quaternion) {
        const q = data.streams.quaternion;
        assert.deepEqual(column('Quat W').filter((v) => v !== null), Array.from(q.w.subarray(q.firstValid)), name);
        const start = q.firstValid < q.w.length ? { row: q.tick[q.firstValid] - 1, tick: q.tick[q.firstValid] } : null;
        assert.deepEqual(JSON.parse(kv.quaternionStart), start, name);
      }
      // Timestamp: the start in the zone plus the recording's clock at the row (its samples'
      // time on the first row, then a step a row); the magnetometer on its rows.
      const ticks = column('Tick').map(Number);
      // (A creation date that is no date gives no start and no Timestamp.)
      assert.equal(pq.names.includes('Timestamp'), data.startTime !== null, name);
      if (data.startTime !== null) {
        const rowZero = ['gyro', 'accel', 'baro', 'quaternion'].map((n) => data.streams[n]).find(Boolean).time[0];
        assert.deepEqual(column('Timestamp').map((d) => d.getTime()), ticks.map((t) => data.startTime.getTime() + (rowZero + (t - 1) / data.frequency) * 1000), name);
      }
      assert.equal(pq.names.includes('Mag X'), Boolean(data.streams.mag), name);
      if (data.streams.mag) {
        for (const axis of ['X', 'Y', 'Z']) {
          const cells = column(`Mag ${axis}`);
          const at = ticks.filter((_, r) => cells[r] !== null);
          assert.deepEqual(at, Array.from(data.streams.mag.tick).filter((t) => t <= rows.length), `${name}: Mag ${axis} rows`);
          assert.deepEqual(cells.filter((v) => v !== null), Array.from(data.streams.mag[axis.toLowerCase()].subarray(0, at.length)), `${name}: Mag ${axis}`);
        }
      }
      // Every column says its unit and what it holds (Arrow field metadata in the file).
      const units = await fieldUnits(out);
      assert.deepEqual(Object.keys(units), pq.names, name);
      const want = { Time: 's', 'Gyro Z': 'deg/s', 'Accel X': 'g', Pressure: 'mBar', Temperature: 'degree C', 'Mag Y': 'counts', Tick: 'tick' };
      for (const [n, unit] of Object.entries(want)) if (n in units) assert.equal(units[n], unit, `${name}: ${n}`);
    }
  });

  test('is refused over its recording, and a failed write leaves no file and keeps the old one', async () => {
    const [, file] = recordings()[0];
    const link = path.join(dir, 'link-to-recording.parquet');
    fs.symlinkSync(file, link);
    const kept = path.join(dir, 'kept.parquet');
    fs.writeFileSync(kept, 'old');
    const cases = [
      [file, 'KX_OUTPUT_IS_INPUT'],
      [link, 'KX_OUTPUT_IS_INPUT'],
      [path.join(dir, 'no', 'such', 'dir.parquet'), 'KX_OPEN_FAILED'],
      [dir, 'KX_OPEN_FAILED'],
      ['/dev/full', 'KX_WRITE_FAILED'],
    ];
    const before = fs.readFileSync(file);
    for (const [out, code] of cases) {
      const expected = (err) => err.constructor === Error && err.code === code && err.path === out && err.message.startsWith(`writeParquet: ${out}: `);
      assert.throws(() => kx.writeParquet(file, out), expected, out);
      await assert.rejects(kx.promises.writeParquet(file, out), expected, out);
    }
    assert.throws(() => kx.writeParquet(path.join(dir, 'missing.bin'), kept), { code: 'ENOENT' });
    // A set of whole files: one that cannot be written in full keeps the others as they were.
    const { writeFiles } = require('../../lib/data/outputs.js');
    const both = [kept, '/dev/full'];
    if (fs.existsSync('/dev/full')) assert.deepEqual(writeFiles(addon, both, both.map(() => Buffer.from('new')), [file]), { code: 'KX_WRITE_FAILED', path: '/dev/full' });
    assert.deepEqual(writeFiles(addon, [kept, file], [Buffer.from('new'), Buffer.from('new')], [file]), { code: 'KX_OUTPUT_IS_INPUT', path: file });
    assert.equal(fs.readFileSync(kept, 'utf8'), 'old');
    assert.ok(fs.readFileSync(file).equals(before));
    assert.deepEqual(fs.readdirSync(dir).filter((n) => n.endsWith('.tmp')), []);
  });

  test('a synchronised set as Parquet holds the tables readAndSync2 writes, all files or none', async () => {
    const files = ['left-thigh.bin', 'right-thigh.bin'].map((n) => path.join(EXAMPLES, n));
    const csvDir = fs.mkdtempSync(path.join(dir, 'sync-csv-'));
    const pqDir = fs.mkdtempSync(path.join(dir, 'sync-pq-'));
    assert.equal(kx.readAndSync2(files, csvDir), 'OK');
    const results = await kx.batch([{ recordings: files, outDir: pqDir }], { format: 'parquet', timezone: 'UTC' });
    assert.equal(results[0].answer, 'OK');
    const stamps = [];
    for (const n of ['left-thigh', 'right-thigh']) {
      const pq = await parquetOf(path.join(pqDir, `${n}.parquet`));
      assertSameCells(pq, csvTable(path.join(csvDir, `${n}.csv`)), n);
      // The set says how it was synchronised and by how much each member moved; no zone given.
      const kv = Object.fromEntries(pq.meta.key_value_metadata.map(({ key, value }) => [key, value]));
      const sync = JSON.parse(kv.sync);
      assert.ok(['time-marks', 'radio-channel-sensor', 'basic-radio-frame'].includes(sync.method), n);
      assert.deepEqual(sync.members.map((m) => [m.file, typeof m.shift]), [['left-thigh.bin', 'number'], ['right-thigh.bin', 'number']], n);
      assert.equal(kv.timezone, 'UTC', n);
      // Both files read the first recording's clock: a row is one instant in both, the common
      // window's start on the first row.
      const synced = kx.readData(files[0]).config.createdAt.replace(' ', 'T');
      const first = pq.rows[0][pq.names.indexOf('Timestamp')].getTime() - Date.parse(`${synced}Z`);
      stamps.push(first);
    }
    const set = openSource(addon, files);
    const common = Math.round(set.members[0].streams.gyro.first * 1000);
    set.close();
    assert.ok(common > 0);
    assert.deepEqual(stamps, [common, common]);
    // Filled on a thread of its own, in many batches and across row groups, a member's file
    // holds the same cells.
    const { arrow, pq: writer } = loadParquetWriter();
    const source = openSource(addon, files);
    const chunks = [];
    const extra = { sync: null, clock: source.members[0], quatStart: quaternionStart(source, 1) };
    const filler = { addonPath, paths: files, opening: {}, gate: null };
    try {
      assert.ok(await writeMember(arrow, writer, source, 1, extra, (b) => chunks.push(Buffer.from(b)) > 0, { batchRows: 150, rowGroupRows: 400, filler }));
    } finally {
      source.close();
    }
    const threaded = path.join(pqDir, 'threaded.parquet');
    fs.writeFileSync(threaded, Buffer.concat(chunks));
    const pq = await parquetOf(threaded);
    assert.equal(pq.meta.row_groups.length, 5);
    assertSameCells(pq, csvTable(path.join(csvDir, 'right-thigh.csv')), 'threaded');
    // A set whose second file cannot be written replaces none of its targets.
    fs.writeFileSync(path.join(pqDir, 'left-thigh.parquet'), 'old');
    fs.rmSync(path.join(pqDir, 'right-thigh.parquet'));
    fs.mkdirSync(path.join(pqDir, 'right-thigh.parquet'));
    const [failed] = await kx.batch([{ recordings: files, outDir: pqDir }], { format: 'parquet' });
    assert.deepEqual([failed.answer, failed.ok], ['-12', false]);
    assert.equal(fs.readFileSync(path.join(pqDir, 'left-thigh.parquet'), 'utf8'), 'old');
  });
});

describe('the CSV in an analysis tool', () => {
  test("the README's DuckDB query loads every cell as a number, or null, under the CSV's names", async () => {
    const readme = fs.readFileSync(path.join(__dirname, '..', '..', 'README.md'), 'utf8');
    const query = /```sql\n(SELECT [^\n]*read_csv\('left\.csv'[^\n]*)\n```/.exec(readme)[1];
    const { DuckDBInstance } = require('@duckdb/node-api');
    const db = await (await DuckDBInstance.create(':memory:')).connect();
    for (const [name, file] of recordings()) {
      const csv = path.join(dir, `${path.basename(file)}.csv`);
      const { names, rows } = csvOf(file);
      // Rows shorter than the header (a sensor without samples) are read wrongly by any reader,
      // and a table without rows gives it no cells to find the types from.
      if (rows.length === 0 || rows.some((r) => r.length !== names.length)) continue;
      const result = await db.runAndReadAll(query.replace("'left.csv'", `'${csv.replaceAll("'", "''")}'`));
      assert.deepEqual(result.columnNames(), names, name);
      assert.deepEqual([...new Set(result.columnTypes().map(String))], ['DOUBLE'], name);
      assert.deepEqual(result.getRows(), rows.map((r) => r.map((cell) => (cell === '' ? null : Number(cell)))), name);
    }
  });
});

// A member's table as CSV cells, filled in ranges of `step` rows (the last range shorter).
function sourceCells(source, m, step) {
  const { columns, rows } = source.members[m];
  const decimals = columns.map((c) => COLUMNS[c.name][0]);
  const out = [];
  for (let first = 0; first < rows; first += step) {
    const filled = source.fill(m, first, Math.min(rows, first + step));
    for (let r = 0; r < filled[0].values.length; ++r) {
      const cells = columns.flatMap((c, k) => {
        if (!c.cells) return [];
        const { values, valid } = filled[k];
        return [(valid[r >> 3] >> (r & 7)) & 1 ? fixed(values[r], decimals[k]) : ''];
      });
      out.push(cells);
    }
  }
  return { names: columns.map((c) => c.name), rows: out };
}

describe('openSource', () => {
  test('fills rising ranges of any size with the cells of the CSV, alone and as a set', () => {
    for (const [name, file] of recordings()) {
      for (const step of [7, 65536]) {
        const source = openSource(addon, [file]);
        assert.deepEqual(sourceCells(source, 0, step), csvOf(file), `${name}, ${step} rows a range`);
        source.close();
      }
      // The magnetometer beside the table: readData's samples, in ranges that also go back.
      const { mag } = kx.readData(file).streams;
      const source = openSource(addon, [file]);
      const magnetometer = source.members[0].magnetometer;
      assert.equal(magnetometer === null ? 0 : magnetometer.samples, mag ? mag.x.length : 0, name);
      if (mag) {
        const n = mag.x.length;
        for (const [first, count] of [[Math.min(3, n), Math.min(5, n - 3)], [0, Math.min(2, n)], [0, n]]) {
          const got = source.magnetometer(0, first, count);
          for (const axis of ['x', 'y', 'z']) assert.deepEqual(got[axis], mag[axis].subarray(first, first + count), `${name}: ${axis} from ${first}`);
        }
        assert.throws(() => source.magnetometer(0, n, 1), RangeError);
      }
      source.close();
    }
    const files = ['left-thigh.bin', 'right-thigh.bin'].map((n) => path.join(EXAMPLES, n));
    const csvDir = fs.mkdtempSync(path.join(dir, 'source-'));
    assert.equal(kx.readAndSync2(files, csvDir), 'OK');
    const source = openSource(addon, files);
    ['left-thigh', 'right-thigh'].forEach((n, m) => {
      assert.deepEqual(sourceCells(source, m, 1000), csvTable(path.join(csvDir, `${n}.csv`)), n);
      // Each synchronised stream's span is that of its samples; the event channel is whole,
      // moved by the member's shift; the full-scale readings are the recording's own.
      const member = source.members[m];
      for (const [key, s] of Object.entries(source.samples(m, 0, member.rows))) {
        if (key === 'events') continue;
        assert.deepEqual([member.streams[key].first, member.streams[key].last], [s.time[0], s.time[s.time.length - 1]], `${n}: ${key}`);
      }
      const { events } = kx.readData(files[m]).streams;
      assert.deepEqual(source.stream(m, 'events', 0, 100).time, events.time.map((t) => t + member.shift), n);
      const alone = openSource(addon, [files[m]]);
      assert.deepEqual(member.fullScale, alone.members[0].fullScale, n);
      alone.close();
      assert.throws(() => source.stream(m, 'mag', 0, 1), /mag samples/, n);
    });
    // Going back starts from a checkpoint: the same cells as the first time.
    assert.equal(source.seekable, true);
    const again = sourceCells(source, 1, 1000);
    assert.deepEqual(again, csvTable(path.join(csvDir, 'right-thigh.csv')));
    source.close();
    assert.throws(() => source.fill(1, 0, 10), /closed/);
  });

  test('refuses what cannot be opened, and a table over the row limit before writing anything', () => {
    const [, file] = recordings()[0];
    const csv = path.join(dir, 'limited.csv');
    const syncDir = fs.mkdtempSync(path.join(dir, 'limited-'));
    assert.throws(() => openSource(addon, [path.join(dir, 'missing.bin')]), { code: 'ENOENT' });
    assert.throws(() => openSource(addon, [file, file], { orientation: 'other' }), TypeError);
    assert.throws(() => openSource(addon, [file], { maxRows: 10 }), (err) => err.code === 'KX_TOO_MANY_ROWS' &&
      err.message.includes(file) && err.message.includes(` ${err.rows} rows`) && err.rows > 10);
    assert.throws(() => kx.readData(file, { maxRows: 10 }), { code: 'KX_TOO_MANY_ROWS' });
    assert.equal(kx.read(file, csv, { maxRows: 10 }), '{"error":"Error during data loading."}');
    assert.equal(kx.readAndSync2([file, file], syncDir, { maxRows: 10 }), '-10');
    assert.deepEqual([fs.existsSync(csv), fs.readdirSync(syncDir)], [false, []]);
    // A handle passed where one of another kind is expected is refused, not followed.
    const { handle } = addon._sourceOpen([file], {});
    const outputs = addon._openOutputs([csv], [file]);
    for (const call of [() => addon._sourceFill(outputs.handle, 0, 0, 1), () => addon._sourceClose(outputs.handle),
      () => addon._writeOutput(handle, 0, Buffer.from('x')), () => addon._commitOutputs(handle), () => addon._sourceFill({}, 0, 0, 1)]) {
      assert.throws(call, { name: 'TypeError', message: 'Wrong arguments' });
    }
    // Rows that end before they start are a caller's mistake, not a changed recording.
    for (const call of [() => addon._sourceFill(handle, 0, 10, 5), () => addon._sourceSamples(handle, 0, 10, 5)]) {
      assert.throws(call, { name: 'RangeError' });
    }
    addon._closeOutputs(outputs.handle);
    addon._sourceClose(handle);
    assert.equal(fs.existsSync(csv), false);
    // The default limit takes every bundled and synthetic recording, and refuses a few records
    // that claim a 65535 Hz base and a 1 Hz stream.
    for (const [name, f] of recordings()) assert.doesNotThrow(() => openSource(addon, [f]).close(), name);
    const hostile = path.join(dir, 'hostile.bin');
    const list = [0, 1, 2, 3].map((k) => ({ tick: 65535 * k, record: (o) => records.xyz(ACC, o, 1, 2, 3) }));
    new Recording().frames(frames.baseFrequency(65535), frames.inertial(2, ACC, 1, 1)).samples(list).write(hostile);
    assert.throws(() => openSource(addon, [hostile]), { code: 'KX_TOO_MANY_ROWS', rows: 3 * 65535 + 1 });
    assert.equal(JSON.parse(kx.read(hostile, csv)).error, 'Error during data loading.');
    // readData holds the same limit (its arrays are the table's streams), and takes a raised one.
    assert.throws(() => kx.readData(hostile), { code: 'KX_TOO_MANY_ROWS', rows: 3 * 65535 + 1 });
    assert.deepEqual(Array.from(kx.readData(hostile, { maxRows: 3 * 65535 + 1 }).streams.accel.tick), [1, 65536, 131071, 196606]);
    // A name holding quotes, a backslash, a control character and non-ASCII reaches the
    // description and the refusal unchanged.
    const odd = path.join(dir, 'qu"ote\\back\nline\u0001 ü.bin');
    fs.copyFileSync(file, odd);
    const named = openSource(addon, [odd, odd]);
    assert.deepEqual(named.members.map((m) => m.file), [odd, odd]);
    named.close();
    fs.rmSync(odd);
    assert.throws(() => openSource(addon, [odd]), (err) => err.code === 'ENOENT' && err.path === odd);
  });
});
