// Byte layout of recording files: header frames, data records and 512-byte blocks, written from values.
'use strict';

const BLOCK_BYTES = 512;
const RECORDS_PER_BLOCK = 63;
const RECORD_BYTES = 8;
const MAX_TICK_OFFSET = 255; // a record's tick offset is one byte

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
  // Measurement settings; `tag` is the byte every data block of the measurement starts with.
  measurement: (param1, tag, param3) => frame(3, 1, [...be16(param1), tag, param3]),
};

// Record encoders: each writes one 8-byte record (identifier, tick offset, sample) at buf[pos].
const put = {
  xyz(buf, pos, id, offset, x, y, z) {
    buf[pos] = id;
    buf[pos + 1] = offset;
    buf.writeInt16BE(x, pos + 2);
    buf.writeInt16BE(y, pos + 4);
    buf.writeInt16BE(z, pos + 6);
  },
  // Raw pressure (24-bit little-endian), raw temperature (16-bit little-endian).
  baro(buf, pos, id, offset, pressure, temperature) {
    buf[pos] = id;
    buf[pos + 1] = offset;
    buf.writeUIntLE(pressure & 0xffffff, pos + 2, 3);
    buf.writeUInt16LE(temperature & 0xffff, pos + 5);
    buf[pos + 7] = 0;
  },
  event(buf, pos, id, offset, value) {
    buf.fill(0, pos, pos + RECORD_BYTES);
    buf[pos] = id;
    buf[pos + 1] = offset;
    buf[pos + 2] = value;
  },
  // The second event channel carries its value in the record's last byte.
  event2(buf, pos, id, offset, value) {
    buf.fill(0, pos, pos + RECORD_BYTES);
    buf[pos] = id;
    buf[pos + 1] = offset;
    buf[pos + 7] = value;
  },
  radio(buf, pos, id, offset, count) {
    buf.fill(0, pos, pos + RECORD_BYTES);
    buf[pos] = id;
    buf[pos + 1] = offset;
    buf.writeInt32BE(count | 0, pos + 2);
  },
};

// The same encoders answering the record as an array of bytes, for tests that build blocks by hand.
// Raw values wrap to their field width, as the device's registers would.
const wrap16 = (v) => ((v & 0xffff) << 16) >> 16;
function recordBytes(encode, ...args) {
  const b = Buffer.alloc(RECORD_BYTES);
  encode(b, 0, ...args);
  return [...b];
}
const records = {
  xyz: (id, offset, x, y, z) => recordBytes(put.xyz, id, offset, wrap16(x), wrap16(y), wrap16(z)),
  baro: (id, offset, pressure, temperature) => recordBytes(put.baro, id, offset, pressure, temperature),
  event: (id, offset, value) => recordBytes(put.event, id, offset, value),
  event2: (id, offset, value) => recordBytes(put.event2, id, offset, value),
  radio: (id, offset, count) => recordBytes(put.radio, id, offset, count),
};

// Data block header: tag byte, three unused bytes, base tick (BE32).
function putBlockHeader(buf, pos, tag, baseTick) {
  buf.fill(0, pos, pos + RECORD_BYTES);
  buf[pos] = tag;
  buf.writeUInt32BE(baseTick >>> 0, pos + 4);
}

// Block 0: the header frames packed from offset 0, zero-filled to 512 bytes.
function configBlock(header) {
  if (header.length > BLOCK_BYTES) throw new RangeError('header frames exceed block 0');
  const head = Buffer.alloc(BLOCK_BYTES);
  Buffer.from(header).copy(head);
  return head;
}

class Recording {
  constructor() {
    this.header = [];
    this.blocks = [];
  }

  // Appends header frames (arrays of bytes) to block 0.
  frames(...list) {
    for (const f of list) this.header.push(...f);
    if (this.header.length > BLOCK_BYTES) throw new RangeError('header frames exceed block 0');
    return this;
  }

  // Appends a data block of up to 63 records (arrays of 8 bytes).
  block(baseTick, recs, tag = 0) {
    if (recs.length > RECORDS_PER_BLOCK) throw new RangeError('a block holds 63 records');
    const b = Buffer.alloc(BLOCK_BYTES);
    putBlockHeader(b, 0, tag, baseTick);
    recs.forEach((r, k) => Buffer.from(r).copy(b, RECORD_BYTES * (k + 1)));
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
      if (recs.length === RECORDS_PER_BLOCK || (recs.length > 0 && (tick < base || tick - base > MAX_TICK_OFFSET))) {
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
    return Buffer.concat([configBlock(this.header), ...this.blocks]);
  }
}

// Packs records given in ascending tick order into data blocks, as a device does: a block is
// closed when its 63 records are used or a record's tick lies more than 255 ticks past the
// block's base tick. Unused record slots stay zero (identifier 0 is never a sensor).
class BlockPacker {
  constructor({ tag = 0, initialBlocks = 64 } = {}) {
    this.tag = tag;
    this.buf = Buffer.alloc(BLOCK_BYTES * initialBlocks);
    this.blocks = 0;
    this.used = RECORDS_PER_BLOCK; // no open block yet
    this.base = 0;
  }

  // Answers the position of the next record's 8 bytes, for one of the `put` encoders, and its
  // tick offset within the block.
  slot(tick) {
    if (this.used === RECORDS_PER_BLOCK || tick - this.base > MAX_TICK_OFFSET || tick < this.base) {
      this.open(tick);
    }
    const pos = this.blocks * BLOCK_BYTES - BLOCK_BYTES + RECORD_BYTES * (this.used + 1);
    this.used += 1;
    return { pos, offset: tick - this.base };
  }

  open(tick) {
    if ((this.blocks + 1) * BLOCK_BYTES > this.buf.length) {
      const bigger = Buffer.alloc(this.buf.length * 2);
      this.buf.copy(bigger, 0, 0, this.blocks * BLOCK_BYTES);
      this.buf = bigger;
    }
    putBlockHeader(this.buf, this.blocks * BLOCK_BYTES, this.tag, tick);
    this.blocks += 1;
    this.used = 0;
    this.base = tick;
  }

  // The data blocks written so far.
  data() {
    return this.buf.subarray(0, this.blocks * BLOCK_BYTES);
  }
}

module.exports = {
  BLOCK_BYTES,
  RECORDS_PER_BLOCK,
  be16,
  be32,
  frame,
  frames,
  put,
  records,
  configBlock,
  Recording,
  BlockPacker,
};
