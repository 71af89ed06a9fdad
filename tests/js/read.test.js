// "read" end to end: the JSON answer, the CSV file on disk, and how readData fails. Files read
// or written under bad conditions are in bad_inputs.test.js and bad_inputs_test.cpp.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const addon = require('../../index.js');
const { frames, records, Recording } = require('../support/recording.js');

const ACC = 0x21;
const GYR = 0x22;
const BAR = 0x23;
const EVT = 0x26;

let dir;
before(() => { dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-read-')); });
after(() => fs.rmSync(dir, { recursive: true, force: true }));

// A recording at a 100 Hz base clock: accelerometer and gyroscope at `inertialHz`, barometer
// at 25 Hz, `seconds` long, lying still with gravity on z (range code 0: 2 g, 16384 = 1 g).
function stillRecording({ seconds = 1, inertialHz = 100, accelHz = inertialHz, extraFrames = [] } = {}) {
  const rec = new Recording().frames(
    frames.baseFrequency(100),
    frames.date(0, { second: 5, minute: 4, hour: 3, day: 2, month: 1, year: 2025 }),
    frames.date(6, { second: 59, minute: 59, hour: 23, day: 31, month: 12, year: 2025 }),
    frames.firmware(3, 14, 15),
    frames.measureId(77),
    frames.inertial(2, ACC, accelHz, 0),
    frames.inertial(3, GYR, inertialHz, 0),
    frames.baro(BAR, 25),
    ...extraFrames,
  );
  const list = [];
  for (let tick = 0; tick < seconds * 100; ++tick) {
    if (tick % (100 / inertialHz) === 0) list.push({ tick, record: (o) => records.xyz(GYR, o, 0, 0, 0) });
    if (tick % (100 / accelHz) === 0) list.push({ tick, record: (o) => records.xyz(ACC, o, 0, 0, 16384) });
    if (tick % 4 === 0) list.push({ tick, record: (o) => records.baro(BAR, o, 4096 * 1000 + 256, 2150) });
  }
  return rec.samples(list);
}

const csvLines = (file) => fs.readFileSync(file, 'utf8').split('\n');

describe('read', () => {
  test('answers the summary with its seven keys in order and writes the table', () => {
    const input = path.join(dir, 'still.bin');
    const csv = path.join(dir, 'still.csv');
    stillRecording().write(input);
    const answer = addon.read(input, csv);
    assert.equal(answer, '{"createdAt":"2025-01-02 03:04:05","endDate":"2025-12-31 23:59:59","frequency":100,'
      + '"version":"3","minorVersion":"15","majorVersion":"14","measureId":77}');
    assert.deepEqual(Object.keys(JSON.parse(answer)),
      ['createdAt', 'endDate', 'frequency', 'version', 'minorVersion', 'majorVersion', 'measureId']);

    const lines = csvLines(csv);
    assert.deepEqual(lines.slice(0, 7), [
      'Korvel - Tarvex data export',
      'Created on: 2025-01-02 03:04:05',
      'Total data points: 100',
      '',
      'Time [100 hz],Gyro [100 hz],,,Accel [100 hz],,,Baro [25 hz],,Quaternion [100 hz],,,,',
      'Time,Gyro X,Gyro Y,Gyro Z,Accel X,Accel Y,Accel Z,Pressure,Temperature,Quat W,Quat X,Quat Y,Quat Z,',
      '[s],[deg/s],[deg/s],[deg/s],[g],[g],[g],[mBar],[degree C],[],[],[],[],',
    ]);
    assert.equal(lines.length, 7 + 100 + 1);  // the text ends with a line feed
    assert.equal(lines.at(-1), '');
    // Row 0: the barometer (1000 + 256/4096 mBar, 21.5 degree C), no orientation yet.
    assert.equal(lines[7], '0.01000,0.00000,0.00000,0.00000,0.00000,0.00000,1.00000,1000.062,21.5,'
      + '0.00000,0.00000,0.00000,0.00000,');
    assert.equal(lines[8], '0.02000,0.00000,0.00000,0.00000,0.00000,0.00000,1.00000,,,0.00000,0.00000,0.00000,0.00000,');
    // From the fifth still sample on, and up to the very last row, a unit quaternion.
    for (let r = 4; r < 100; ++r) {
      const q = lines[7 + r].split(',').slice(9, 13).map(Number);
      assert.ok(Math.abs(Math.hypot(...q) - 1) < 1e-4, `row ${r}: ${lines[7 + r]}`);
    }
  });

  test('places every sample of a half-rate stream', () => {
    // Gyroscope at 100 Hz, accelerometer at 50 Hz, both 100 samples: the accelerometer's last
    // sample lands on row 198, so the table has 199 rows.
    const input = path.join(dir, 'half.bin');
    const csv = path.join(dir, 'half.csv');
    const rec = new Recording().frames(frames.baseFrequency(100), frames.inertial(2, ACC, 50, 0),
      frames.inertial(3, GYR, 100, 0));
    const list = [];
    for (let i = 0; i < 100; ++i) {
      list.push({ tick: i, record: (o) => records.xyz(GYR, o, 1, 1, 1) });
      list.push({ tick: 200 + 2 * i, record: (o) => records.xyz(ACC, o, i, 0, 0) });
    }
    rec.samples(list.sort((a, b) => a.tick - b.tick)).write(input);
    assert.equal(JSON.parse(addon.read(input, csv)).frequency, 100);
    const lines = csvLines(csv);
    assert.equal(lines[2], 'Total data points: 199');
    const accelX = lines.slice(7, 7 + 199).map((l) => l.split(',')[4]).filter((c) => c !== '');
    assert.deepEqual(accelX, Array.from({ length: 100 }, (_, i) => (i / 16384).toFixed(5)));
  });

  test('places events by time, one a row', () => {
    const input = path.join(dir, 'events.bin');
    const csv = path.join(dir, 'events.csv');
    const rec = stillRecording({ seconds: 0.2, extraFrames: [frames.event(EVT, 100)] });
    rec.block(0, [records.event(EVT, 0, 7), records.event(EVT, 0, 8), records.event(EVT, 1, 9), records.event(EVT, 15, 10)]);
    rec.write(input);
    addon.read(input, csv);
    const lines = csvLines(csv);
    assert.match(lines[4], /Baro \[25 hz\],,Event \[100 hz\],Quaternion/);
    // Tick 0 holds two records: the first wins. Times 0.00, 0.01 and 0.15 s.
    const events = lines.slice(7, 27).map((l) => l.split(',')[9]);
    assert.deepEqual(events.slice(0, 3), ['7.000', '9.000', '']);
    assert.equal(events[14], '10.000');
    assert.equal(events.filter((e) => e !== '').length, 3);
  });

  test('readData and promises.readData throw an Error naming the file, why, and a code', async () => {
    const full = stillRecording().toBuffer();
    const noMagic = Buffer.from(full);
    noMagic.fill(0, 0, 512);
    const cases = [
      ['missing', null, 'ENOENT', /no such file/],
      ['a directory', 'dir', 'EISDIR', /is a directory/],
      ['empty', Buffer.alloc(0), 'KX_NOT_A_RECORDING', /not a recording/],
      ['no magic', noMagic, 'KX_NOT_A_RECORDING', /not a recording/],
      ['cut inside block 0', full.subarray(0, 300), 'KX_TRUNCATED', /truncated/],
    ];
    if (process.getuid() !== 0) cases.push(['unreadable', 'unreadable', 'EACCES', /permission denied/]);
    for (const [what, bytes, code, why] of cases) {
      const input = path.join(dir, `data-${what.replace(/ /g, '-')}.bin`);
      if (bytes === 'dir') fs.mkdirSync(input);
      else if (bytes === 'unreadable') fs.writeFileSync(input, full, { mode: 0o000 });
      else if (bytes) fs.writeFileSync(input, bytes);
      const expected = (err) => {
        assert.equal(err.constructor, Error, what);
        assert.equal(err.code, code, what);
        assert.equal(err.path, input, what);
        assert.ok(err.message.startsWith(`readData: ${input}: `), err.message);
        assert.match(err.message, why);
        return true;
      };
      assert.throws(() => addon.readData(input), expected);
      await assert.rejects(addon.promises.readData(input), expected);
    }
  });
});
