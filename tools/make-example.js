#!/usr/bin/env node
// Writes the bundled example: two devices worn together for 20 s at 100 Hz (accelerometer,
// gyroscope, 25 Hz barometer), still for 2 s, then turning about the vertical at 90 deg/s.
// The left device is the radio master; the right one started 0.5 s later.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { frames, records, Recording } = require('../tests/support/recording.js');

const HZ = 100;
const SECONDS = 20;
const ACCEL_ID = 0x13;
const GYRO_ID = 0x14;
const BARO_ID = 0x15;

function device({ deviceId, radioMode, startTick }) {
  const rec = new Recording().frames(
    frames.device(deviceId, 1, deviceId),
    frames.firmware(1, 2, 3),
    frames.date(0, { second: 0, minute: 30, hour: 9, day: 8, month: 12, year: 2026 }),
    frames.measureId(1),
    frames.baseFrequency(HZ),
    frames.inertial(2, ACCEL_ID, HZ, 0), // +-2 g
    frames.inertial(3, GYRO_ID, HZ, 1), // +-500 deg/s
    frames.baro(BARO_ID, 25),
    frames.basicRadio(radioMode, 4),
  );
  let block = [];
  let base = startTick;
  const flush = () => {
    if (block.length) rec.block(base, block);
    block = [];
  };
  for (let tick = startTick; tick < startTick + HZ * SECONDS; tick++) {
    const t = (tick - startTick) / HZ;
    const turning = t >= 2;
    const wobble = Math.round(40 * Math.sin(2 * Math.PI * 1.7 * t)); // a little sensor noise
    const due = [
      records.xyz(ACCEL_ID, 0, wobble, -wobble, 16384 + wobble),
      records.xyz(GYRO_ID, 0, wobble, wobble, turning ? Math.round((90 * 32768) / 500) : wobble),
    ];
    if (tick % 4 === 0) due.push(records.baro(BARO_ID, 0, Math.round(1013.25 * 4096 + 50 * t), 2150));
    if (block.length + due.length > 63 || tick - base > 255) {
      flush();
      base = tick;
    }
    for (const r of due) {
      r[1] = tick - base;
      block.push(r);
    }
  }
  flush();
  return rec.toBuffer();
}

const out = path.join(__dirname, '..', 'examples', 'data');
fs.mkdirSync(out, { recursive: true });
fs.writeFileSync(path.join(out, 'left.bin'), device({ deviceId: 101, radioMode: 0, startTick: 1000 }));
fs.writeFileSync(path.join(out, 'right.bin'), device({ deviceId: 102, radioMode: 1, startTick: 1050 }));
console.log(`wrote ${out}/left.bin and ${out}/right.bin`);
