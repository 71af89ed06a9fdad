// Builds recording files and configuration blocks from values, for the JavaScript tests.
'use strict';

const be16 = (v) => [(v >>> 8) & 0xff, v & 0xff];
const be32 = (v) => [(v >>> 24) & 0xff, (v >>> 16) & 0xff, (v >>> 8) & 0xff, v & 0xff];

// A header frame: "KX", type, subtype, payload length, payload, trailer 0xFF 0xFE.
function frame(type, subtype, payload = []) {
  return [0x4b, 0x58, type, subtype, payload.length, ...payload, 0xff, 0xfe];
}

const frames = {
  baseFrequency: (hz) => frame(3, 8, be16(hz)),
  device: (id, type, location) => frame(1, 1, [...be32(id), type, location]),
  firmware: (version, major, minor) => frame(1, 2, [...be16(version), ...be16(major), ...be16(minor)]),
  date: (subtype, { second = 0, minute = 0, hour = 0, day = 1, month = 1, year = 2024 } = {}) =>
    frame(3, subtype, [second, minute, hour, day, month, ...be16(year)]),
  // Current accelerometer (subtype 2) or gyroscope (subtype 3) frame with unit gain.
  inertial: (subtype, id, hz, rangeCode, { offsets = [0, 0, 0], gains = [10000, 10000, 10000], param = 0 } = {}) =>
    frame(3, subtype, [id, ...be16(hz), rangeCode, ...offsets.flatMap(be32), ...gains.flatMap(be32), ...be16(param)]),
  baro: (id, hz) => frame(3, 4, [id, ...be16(hz), ...be16(0)]),
  magnetometer: (id, hz) => frame(3, 10, [id, ...be16(hz), ...be16(0)]),
  event: (id, hz) => frame(3, 16, [id, ...be16(hz)]),
  event2: (id, hz) => frame(3, 22, [id, ...be16(hz)]),
  radioSensor: (id, hz, mode, channel) => frame(3, 17, [id, ...be16(hz), mode, channel]),
  radio: (mode, value1, value2, channel) => frame(3, 9, [mode, ...be32(value1), ...be32(value2), channel]),
  basicRadio: (mode, channel) => frame(1, 5, [mode, channel]),
  timeMarks: (sec1, ms1, tick1, sec2, ms2, tick2) =>
    frame(3, 18, [0, ...be16(0), 0, 0, sec1, ...be16(ms1), ...be32(tick1), 0, 0, sec2, ...be16(ms2), ...be32(tick2)]),
  measureId: (id) => frame(3, 21, be16(id)),
};

const records = {
  xyz: (id, offset, x, y, z) => [id, offset, ...be16(x & 0xffff), ...be16(y & 0xffff), ...be16(z & 0xffff)],
  // Raw pressure (24-bit little-endian), raw temperature (16-bit little-endian).
  baro: (id, offset, pressure, temperature) => [
    id, offset, pressure & 0xff, (pressure >>> 8) & 0xff, (pressure >>> 16) & 0xff,
    temperature & 0xff, (temperature >>> 8) & 0xff, 0,
  ],
  event: (id, offset, value) => [id, offset, value, 0, 0, 0, 0, 0],
  // The second event channel carries its value in the record's last byte.
  event2: (id, offset, value) => [id, offset, 0, 0, 0, 0, 0, value],
  radio: (id, offset, count) => [id, offset, ...be32(count), 0, 0],
};

class Recording {
  constructor() {
    this.header = [];
    this.blocks = [];
  }

  // Appends header frames (arrays of bytes) to block 0.
  frames(...list) {
    for (const f of list) this.header.push(...f);
    if (this.header.length > 512) throw new RangeError('header frames exceed block 0');
    return this;
  }

  // Appends a data block of up to 63 records (arrays of 8 bytes).
  block(baseTick, recs, tag = 0) {
    if (recs.length > 63) throw new RangeError('a block holds 63 records');
    const b = Buffer.alloc(512);
    b[0] = tag;
    b.writeUInt32BE(baseTick >>> 0, 4);
    recs.forEach((r, k) => Buffer.from(r).copy(b, 8 + 8 * k));
    this.blocks.push(b);
    return this;
  }

  // Appends data blocks holding the given samples in order: each sample is
  // { tick, record: (offset) => 8 bytes }. A block is closed when it holds 63 records or
  // when the next tick is out of reach of its base tick (offsets are one byte).
  samples(list) {
    let recs = [];
    let base = 0;
    for (const { tick, record } of list) {
      if (recs.length === 63 || (recs.length > 0 && (tick < base || tick - base > 255))) {
        this.block(base, recs);
        recs = [];
      }
      if (recs.length === 0) base = tick;
      recs.push(record(tick - base));
    }
    if (recs.length > 0) this.block(base, recs);
    return this;
  }

  write(file) {
    require('node:fs').writeFileSync(file, this.toBuffer());
    return this;
  }

  toBuffer() {
    const head = Buffer.alloc(512);
    Buffer.from(this.header).copy(head);
    return Buffer.concat([head, ...this.blocks]);
  }
}

module.exports = { be16, be32, frame, frames, records, Recording };
