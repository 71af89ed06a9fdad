// "readAndSync2" end to end: status texts and synchronised files
// whose first rows hold the same moment for each of the three methods.
'use strict';
const { describe, test, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const addon = require('../../index.js');
const { frames, records, Recording } = require('../support/recording.js');

const ACC = 0x31;
const GYR = 0x32;
const RAD = 0x37;

let dir;
let out;
before(() => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-sync-'));
  fs.mkdirSync(path.join(dir, 'a.d'));
});
after(() => fs.rmSync(dir, { recursive: true, force: true }));
beforeEach(() => {
  out = path.join(dir, 'out');
  fs.rmSync(out, { recursive: true, force: true });
  fs.mkdirSync(out);
});

// A device at a 100 Hz base clock with accelerometer and gyroscope at 100 Hz, 300 samples
// from local tick 1000. Accelerometer X holds the raw value tick - 1000 + lateBy: a device
// started lateBy ticks after the first one thereby writes the first one's tick numbers.
function device(file, { syncFrames = [], lateBy = 0, radioAhead = null } = {}) {
  const rec = new Recording().frames(
    frames.baseFrequency(100),
    frames.inertial(2, ACC, 100, 0),
    frames.inertial(3, GYR, 100, 0),
    ...syncFrames,
  );
  const list = [];
  for (let tick = 1000; tick < 1300; ++tick) {
    list.push({ tick, record: (o) => records.xyz(ACC, o, tick - 1000 + lateBy, 0, 16384) });
    list.push({ tick, record: (o) => records.xyz(GYR, o, 0, 0, 0) });
    // the radio clock counts in base ticks, radioAhead ticks ahead of the local clock
    if (radioAhead !== null && tick % 10 === 0) {
      list.push({ tick, record: (o) => records.radio(RAD, o, tick + radioAhead) });
    }
  }
  rec.samples(list).write(file);
  return file;
}

const master = (name) => device(path.join(dir, name), { syncFrames: [frames.radio(0, 0, 0, 4)] });

const lines = (file) => fs.readFileSync(file, 'utf8').split('\n');
// g with range code 0 (2 g full scale), as the CSV writes it
const accelText = (raw) => (raw * 2 / 32768).toFixed(5);

// Every status is the front end's (its table of stages is in the C++ suite); here, one answer as
// a process sees it, with the refusal on standard error and nothing written.
describe('readAndSync2 status', () => {
  test('a single recording answers -11 with the refusal on standard error', () => {
    const script = `process.stdout.write(require(${JSON.stringify(path.resolve(__dirname, '../../index.js'))})`
      + `.readAndSync2([${JSON.stringify(master('one.bin'))}], ${JSON.stringify(out)}))`;
    const child = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8', env: process.env });
    assert.equal(child.stdout, '-11');
    assert.equal(child.stderr, 'Wrong number of sensors.\n');
    assert.deepEqual(fs.readdirSync(out), []);
  });
});

// The second device started 0.5 s (50 ticks) after the first, or 1 s for the basic radio
// frame, whose shift is f x d / F = 100 x 1 / 100 = 1 s for d = 1.
const methods = [
  ['time marks', 50,
    { syncFrames: [frames.timeMarks(100, 0, 1000, 101, 0, 1100)] },
    // the same clock readings taken 0.5 s later on the second device's local clock
    { syncFrames: [frames.timeMarks(100, 500, 1000, 101, 500, 1100)] }],
  ['radio channel sensor', 50,
    { syncFrames: [frames.radioSensor(RAD, 10, 0, 3)] },
    { syncFrames: [frames.radioSensor(RAD, 10, 1, 3)], radioAhead: 50 }],
  ['basic radio frame', 100,
    { syncFrames: [frames.radio(0, 0, 0, 4)] },
    { syncFrames: [frames.radio(1, 7, 8, 4)] }],
];

describe('readAndSync2 synchronises', () => {
  for (const [name, late, first, second] of methods) {
    test(`two devices by ${name}: the first rows hold the same moment`, () => {
      // a dot in a directory name is no extension; only the last one of the file name is
      const left = device(path.join(dir, 'a.d', 'left.bin'), first);
      const right = device(path.join(dir, 'right.rec.bin'), { ...second, lateBy: late });
      assert.equal(addon.readAndSync2([left, right], out), 'OK');
      assert.deepEqual(fs.readdirSync(out).sort(), ['left.csv', 'right.rec.csv']);

      const a = lines(path.join(out, 'left.csv'));
      const b = lines(path.join(out, 'right.rec.csv'));
      // 300 samples, the first one losing `late` of them
      assert.equal(a[2], `Total data points: ${300 - late}`);
      assert.equal(b[2], a[2]);
      // row 0: time, gyro X/Y/Z, accel X: both devices' samples of the first device's tick `late`
      assert.equal(a[7].split(',')[4], accelText(late));
      assert.equal(b[7].split(',')[4], accelText(late));
      const lastA = a[7 + 300 - late - 1].split(',')[4];
      assert.equal(lastA, accelText(299));
      assert.equal(b[7 + 300 - late - 1].split(',')[4], lastA);
    });
  }
});
