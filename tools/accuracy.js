#!/usr/bin/env node
// Orientation accuracy check: simulated recordings converted by "read", their quaternion columns
// against the simulator's true orientation, as median and 95th-percentile angle errors.
'use strict';
const { parseArgs } = require('node:util');
const { DEFAULTS } = require('./sim/simulate.js');

const HELP = `Usage: node tools/accuracy.js [options]
       node tools/accuracy.js --csv FILE --truth FILE

Simulates a walker wearing devices (still start, walks with turns and pauses), converts each
recording with read() and compares its quaternion columns (w, x, y, z, sensor to world, world z
up) with the true orientation of the same samples, in full and for the tilt alone (the angle
between the true and the estimated vertical). The filter runs without a magnetometer, so
its heading is its own choice: the truth is turned about the vertical once, at the first
estimated sample, and never again; the tilt is not adjusted. Samples before the filter starts
(zero quaternions) are not counted.

Options:
  -s, --seconds N      length of each recording (default 600)
  -d, --devices N      devices worn together, 1 to 4 (default 4)
      --gyro-bias DPS  standard deviation of a constant gyroscope bias per axis (default ${DEFAULTS.gyroBiasDps})
      --seed N         simulation seed (default ${DEFAULTS.seed})
      --orientation M  the filter read() runs: specified or bias-corrected (default specified)
      --table          every condition (bias, running, drifting bias, sway, start in motion) for both
                       filters and the npm ahrs Madgwick and Mahony filters: total / tilt 95th
                       percentiles, pooled over the devices
      --keep DIR       keep the recordings, truth files and CSV files in DIR
      --csv FILE       compare this CSV export ...
      --truth FILE     ... with this truth file instead of simulating
      --json           print the figures as JSON
  -h, --help           this text`;

function main() {
  const { values } = parseArgs({
    options: {
      seconds: { type: 'string', short: 's', default: '600' },
      devices: { type: 'string', short: 'd', default: '4' },
      'gyro-bias': { type: 'string', default: String(DEFAULTS.gyroBiasDps) },
      seed: { type: 'string', default: String(DEFAULTS.seed) },
      orientation: { type: 'string' },
      table: { type: 'boolean' },
      keep: { type: 'string' },
      csv: { type: 'string' },
      truth: { type: 'string' },
      json: { type: 'boolean' },
      help: { type: 'boolean', short: 'h' },
    },
  });
  if (values.help) {
    console.log(HELP);
    return 0;
  }
  const accuracy = require('./sim/accuracy.js');
  const fmt = (v) => v.toFixed(3).padStart(8);
  if (values.csv !== undefined || values.truth !== undefined) {
    if (values.csv === undefined || values.truth === undefined) throw new Error('--csv and --truth go together');
    const r = accuracy.checkFiles(values.csv, values.truth);
    if (values.json) console.log(JSON.stringify(r));
    else {
      console.log(`${values.csv}: ${r.samples} samples, median ${r.medianDeg.toFixed(3)} deg, 95th percentile ` +
        `${r.p95Deg.toFixed(3)} deg, max ${r.maxDeg.toFixed(3)} deg; tilt alone: median ${r.tiltMedianDeg.toFixed(3)} deg, ` +
        `95th percentile ${r.tiltP95Deg.toFixed(3)} deg`);
    }
    return 0;
  }
  const numbers = {};
  for (const k of ['seconds', 'devices', 'gyro-bias', 'seed']) {
    numbers[k] = Number(values[k]);
    if (!Number.isFinite(numbers[k])) throw new Error(`--${k} must be a number, got "${values[k]}"`);
  }
  const { read } = require('../index.js');
  if (values.table) return table(accuracy, read, numbers, values.json);
  const result = accuracy.run(read, {
    orientation: values.orientation,
    seconds: numbers.seconds,
    devices: numbers.devices,
    gyroBiasDps: numbers['gyro-bias'],
    seed: numbers.seed,
    keep: values.keep || null,
  });
  if (values.json) {
    console.log(JSON.stringify(result));
    return 0;
  }
  console.log(`${result.seconds} s per device, seed ${result.seed}, gyroscope bias ${result.gyroBiasDps} deg/s`);
  console.log(`${'device'.padEnd(12)} ${'samples'.padStart(8)} ${'median'.padStart(8)} ${'p95'.padStart(8)} ${'max'.padStart(8)} ` +
    `${'tilt med'.padStart(8)} ${'tilt p95'.padStart(8)}  (degrees)`);
  for (const d of [...result.devices, { name: 'all', ...result.all }]) {
    console.log(`${d.name.padEnd(12)} ${String(d.samples).padStart(8)} ${fmt(d.medianDeg)} ${fmt(d.p95Deg)} ${fmt(d.maxDeg)} ` +
      `${fmt(d.tiltMedianDeg)} ${fmt(d.tiltP95Deg)}`);
  }
  return 0;
}

// One row per condition, one cell (total p95 / tilt p95, degrees) per filter.
function table(accuracy, read, numbers, json) {
  const rows = [];
  const cell = (r) => `${r.all.p95Deg.toFixed(2)} / ${r.all.tiltP95Deg.toFixed(2)}`;
  if (!json) {
    console.log(`${numbers.devices} devices x ${numbers.seconds} s, seed ${numbers.seed}; total / tilt 95th percentile (degrees)\n`);
    console.log(`| condition | ${accuracy.FILTERS.map((f) => f.name).join(' | ')} |`);
    console.log(`|---|${accuracy.FILTERS.map(() => '---').join('|')}|`);
  }
  for (const c of accuracy.CONDITIONS) {
    const cells = accuracy.FILTERS.map((f) => accuracy.run(read, {
      seconds: numbers.seconds, devices: numbers.devices, seed: numbers.seed, gyroBiasDps: numbers['gyro-bias'],
      ...c.options, ...f.run,
    }));
    rows.push({ condition: c.name, filters: cells.map((r, k) => ({ name: accuracy.FILTERS[k].name, ...r.all })) });
    if (!json) console.log(`| ${c.name} | ${cells.map(cell).join(' | ')} |`);
  }
  if (json) console.log(JSON.stringify(rows));
  return 0;
}

try {
  process.exitCode = main();
} catch (err) {
  console.error(`accuracy: ${err.message}`);
  process.exitCode = 1;
}
