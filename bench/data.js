#!/usr/bin/env node
// Data benchmark: read() to CSV, readData() to typed arrays and writeParquet() side by side on a
// simulated hour and a day, then the Parquet writer's compressions and encodings on the hour's
// table (file size and encoding time).
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');
const kx = require('../index.js');
const { addon } = require('../lib/addon.js');
const { simulate } = require('../tools/sim/simulate.js');
const { repeatRecording } = require('../tests/support/long-recording.js');

const { values } = parseArgs({
  options: {
    hours: { type: 'string', default: '1,24' },
    rounds: { type: 'string', default: '3' },
    'no-sweep': { type: 'boolean' },
    help: { type: 'boolean', short: 'h' },
  },
});
if (values.help) {
  console.log('Usage: node bench/data.js [--hours 1,24] [--rounds 3] [--no-sweep]');
  process.exit(0);
}
const hours = values.hours.split(',').map(Number);
const rounds = Number(values.rounds);
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-bench-data-'));

// One simulated hour (100 Hz accelerometer and gyroscope, 25 Hz barometer and magnetometer),
// repeated with its ticks moved on for longer recordings.
const hourBytes = simulate({ seconds: 3600, seed: 100, truth: false }).devices[0].bytes;
function recording(h) {
  const file = path.join(dir, `walk-${h}h.bin`);
  fs.writeFileSync(file, repeatRecording(hourBytes, h, 360000));
  return file;
}

const now = () => Number(process.hrtime.bigint()) / 1e9;
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const mb = (n) => (n / 1e6).toFixed(1);

function time(fn) {
  const ts = [];
  for (let r = 0; r < rounds; r++) {
    const t0 = now();
    fn();
    ts.push(now() - t0);
  }
  return median(ts);
}

console.log(`node ${process.version}, ${os.cpus()[0].model}, ${os.availableParallelism()} cores, median of ${rounds} rounds`);
console.log('| Recording | read() to CSV | readData() | writeParquet() | CSV size | Parquet size | Parquet / CSV |');
console.log('|---|---|---|---|---|---|---|');
for (const h of hours) {
  const file = recording(h);
  const csv = path.join(dir, `walk-${h}h.csv`);
  const pq = path.join(dir, `walk-${h}h.parquet`);
  const tRead = time(() => kx.read(file, csv));
  const tData = time(() => kx.readData(file));
  const tPq = time(() => kx.writeParquet(file, pq));
  const csvSize = fs.statSync(csv).size;
  const pqSize = fs.statSync(pq).size;
  console.log(`| ${h} h (${mb(fs.statSync(file).size)} MB) | ${tRead.toFixed(2)} s | ${tData.toFixed(2)} s | ${tPq.toFixed(2)} s | ${mb(csvSize)} MB | ${mb(pqSize)} MB | ${((100 * pqSize) / csvSize).toFixed(1)}% |`);
  fs.rmSync(csv);
  fs.rmSync(pq);
  if (h !== hours[0]) fs.rmSync(file);
}

if (!values['no-sweep']) {
  // The writer's options on the hour's table: the encoding alone, without decoding or writing.
  const { loadParquetWriter } = require('../lib/data/index.js');
  const { writeTable } = loadParquetWriter();
  const table = addon._tableColumns(path.join(dir, `walk-${hours[0]}h.bin`));
  const csvBytes = (() => {
    const csv = path.join(dir, 'sweep.csv');
    kx.read(path.join(dir, `walk-${hours[0]}h.bin`), csv);
    return fs.statSync(csv).size;
  })();
  console.log(`\nWriter options, ${hours[0]} h table (${table.rows} rows, ${table.columns.length} columns; CSV ${mb(csvBytes)} MB):`);
  console.log('| Compression | Dictionary | Fallback encoding | Size | / CSV | Encoding time |');
  console.log('|---|---|---|---|---|---|');
  const options = [];
  for (const compression of ['zstd', 'snappy', 'lz4', 'gzip', 'brotli', 'none']) {
    for (const dictionary of [true, false]) options.push({ compression, dictionary, encoding: 'plain' });
  }
  options.push({ compression: 'zstd', dictionary: false, encoding: 'byte-stream-split' });
  options.push({ compression: 'zstd', dictionary: true, encoding: 'byte-stream-split' });
  options.push({ compression: 'zstd', dictionary: 'sensors', encoding: 'byte-stream-split' });
  options.push({ compression: 'snappy', dictionary: false, encoding: 'byte-stream-split' });
  options.push({ compression: 'lz4', dictionary: false, encoding: 'byte-stream-split' });
  for (const o of options) {
    let bytes;
    const t = time(() => { bytes = writeTable(table, o); });
    console.log(`| ${o.compression} | ${o.dictionary === 'sensors' ? 'sensor columns' : o.dictionary ? 'on' : 'off'} | ${o.encoding} | ${mb(bytes.length)} MB | ${((100 * bytes.length) / csvBytes).toFixed(1)}% | ${t.toFixed(2)} s |`);
  }
}
fs.rmSync(dir, { recursive: true, force: true });
