#!/usr/bin/env node
// Writes simulated recordings of devices worn together, with their true orientation, into a directory.
'use strict';
const { parseArgs } = require('node:util');
const { simulate, writeSet, METHODS, LOCATIONS, DEFAULTS } = require('./sim/simulate.js');

const HELP = `Usage: kx-binreader simulate --out DIR [options]   (or node tools/simulate.js)

Simulates a walker wearing one or several devices: a still start, then walks with turns and
pauses. Writes DIR/<location>.bin (the recording), DIR/<location>.truth.csv (true orientation
per inertial sample: sample,tick,time_s,shared_s,qw,qx,qy,qz; sensor to world, world z up;
time_s on the device's clock, shared_s on the clock shared by the set)
and DIR/set.json (the set: sync method, clocks, events).

Options:
  -o, --out DIR          output directory (created)
  -s, --seconds N        length of each recording (default ${DEFAULTS.seconds})
  -d, --devices LIST     body locations, comma-separated, or a count (default ${DEFAULTS.devices[0]});
                         known: ${LOCATIONS.join(', ')}
  -m, --method NAME      how the set can be synchronised: ${METHODS.join(', ')} (default ${DEFAULTS.method})
      --frequency HZ     base tick rate (default ${DEFAULTS.frequency})
      --imu-hz HZ        accelerometer and gyroscope rate (default ${DEFAULTS.imuHz})
      --still S          seconds standing still at the start (default ${DEFAULTS.stillSeconds})
      --gyro-bias DPS    standard deviation of a constant gyroscope bias per axis (default ${DEFAULTS.gyroBiasDps})
      --gyro-offset DPS  a fixed gyroscope bias: one value for every axis, or X,Y,Z (default ${DEFAULTS.gyroOffsetDps})
      --gyro-bias-walk R bias random walk, deg/s per square root of a second (default ${DEFAULTS.gyroBiasWalkDps})
      --gait NAME        walk or run (default ${DEFAULTS.gait})
      --start HOW        still (stand --still seconds first) or moving (switched on mid-walk) (default ${DEFAULTS.start})
      --sway DPS         standing sway in the pauses, peak pitch and roll rate (default ${DEFAULTS.swayDps})
      --seed N           random seed; the same seed writes the same files (default ${DEFAULTS.seed})
      --no-truth         do not write the truth files
  -h, --help             this text`;

function number(name, text) {
  const v = Number(text);
  if (text === undefined) return undefined;
  if (!Number.isFinite(v)) throw new RangeError(`--${name} must be a number, got "${text}"`);
  return v;
}

// Runs one command line; answers the exit code. io: { stdout, stderr } writable streams.
function main(argv, io = { stdout: process.stdout, stderr: process.stderr }) {
  try {
    return run(argv, (text) => io.stdout.write(`${text}\n`));
  } catch (err) {
    io.stderr.write(`${err.message.startsWith('simulate:') ? err.message : `simulate: ${err.message}`}\n`);
    return 2;
  }
}

function run(argv, print) {
  const { values } = parseArgs({
    args: argv,
    options: {
      out: { type: 'string', short: 'o' },
      seconds: { type: 'string', short: 's' },
      devices: { type: 'string', short: 'd' },
      method: { type: 'string', short: 'm' },
      frequency: { type: 'string' },
      'imu-hz': { type: 'string' },
      still: { type: 'string' },
      'gyro-bias': { type: 'string' },
      'gyro-offset': { type: 'string' },
      'gyro-bias-walk': { type: 'string' },
      gait: { type: 'string' },
      start: { type: 'string' },
      sway: { type: 'string' },
      seed: { type: 'string' },
      'no-truth': { type: 'boolean' },
      help: { type: 'boolean', short: 'h' },
    },
  });
  if (values.help) {
    print(HELP);
    return 0;
  }
  if (!values.out) throw new RangeError('--out DIR is required (see --help)');
  const options = {};
  const set = (key, v) => { if (v !== undefined) options[key] = v; };
  set('seconds', number('seconds', values.seconds));
  set('frequency', number('frequency', values.frequency));
  set('imuHz', number('imu-hz', values['imu-hz']));
  set('stillSeconds', number('still', values.still));
  set('gyroBiasDps', number('gyro-bias', values['gyro-bias']));
  set('gyroBiasWalkDps', number('gyro-bias-walk', values['gyro-bias-walk']));
  set('swayDps', number('sway', values.sway));
  set('seed', number('seed', values.seed));
  set('gait', values.gait);
  set('start', values.start);
  const offset = values['gyro-offset'];
  if (offset !== undefined) {
    const list = offset.split(',').map((v) => number('gyro-offset', v));
    if (list.length !== 1 && list.length !== 3) throw new RangeError(`--gyro-offset takes one value or X,Y,Z, got "${offset}"`);
    options.gyroOffsetDps = list.length === 1 ? list[0] : list;
  }
  set('method', values.method);
  if (values.devices !== undefined) {
    options.devices = /^\d+$/.test(values.devices) ? Number(values.devices) : values.devices.split(',');
  }
  if (values['no-truth']) options.truth = false;
  const description = writeSet(values.out, simulate(options));
  for (const d of description.devices) {
    print(`${values.out}/${d.recording}  ${d.location}${d.master ? ' (radio master)' : ''}  clock offset ${d.clockOffsetS} s`);
  }
  return 0;
}

if (require.main === module) process.exitCode = main(process.argv.slice(2));

module.exports = { main };
