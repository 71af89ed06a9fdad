// Long recordings for the JavaScript tests and benchmarks, made quickly: a simulated stretch
// repeated with its ticks moved on, so a read takes long enough to observe what happens during it.
'use strict';
const fs = require('node:fs');
const { simulate } = require('../../tools/sim/simulate.js');
const { BLOCK_BYTES } = require('../../tools/sim/recording-format.js');

// The recording `bytes` with its data blocks repeated `copies` times, each copy's block ticks
// moved on by `ticksPerCopy` (the length of the original at its base frequency).
function repeatRecording(bytes, copies, ticksPerCopy) {
  const data = bytes.subarray(BLOCK_BYTES);
  const out = Buffer.alloc(BLOCK_BYTES + data.length * copies);
  bytes.copy(out, 0, 0, BLOCK_BYTES);
  for (let k = 0; k < copies; k++) {
    const at = BLOCK_BYTES + k * data.length;
    data.copy(out, at);
    for (let b = at; b < at + data.length; b += BLOCK_BYTES) {
      out.writeUInt32BE(out.readUInt32BE(b + 4) + k * ticksPerCopy, b + 4);
    }
  }
  return out;
}

// The header's end date (the date frame of subtype 6) moved to `seconds` after its start date
// (subtype 0), as a device writes it for a recording that long.
function setEndDate(bytes, seconds) {
  const at = (subtype) => {
    for (let i = 0; i + 12 <= BLOCK_BYTES; i++) {
      if (bytes[i] === 0x4b && bytes[i + 1] === 0x58 && bytes[i + 2] === 3 && bytes[i + 3] === subtype && bytes[i + 4] === 7) return i + 5;
    }
    throw new Error(`no date frame of subtype ${subtype} in the header`);
  };
  const s = at(0);
  const start = Date.UTC(bytes.readUInt16BE(s + 5), bytes[s + 4] - 1, bytes[s + 3], bytes[s + 2], bytes[s + 1], bytes[s]);
  const end = new Date(start + seconds * 1000);
  const e = at(6);
  [end.getUTCSeconds(), end.getUTCMinutes(), end.getUTCHours(), end.getUTCDate(), end.getUTCMonth() + 1].forEach((v, k) => { bytes[e + k] = v; });
  bytes.writeUInt16BE(end.getUTCFullYear(), e + 5);
  return bytes;
}

// Writes a recording of `minutes` minutes (base frequency 100 Hz) to file.
function writeLongRecording(file, minutes) {
  const device = simulate({ seconds: 60, truth: false }).devices[0];
  fs.writeFileSync(file, setEndDate(repeatRecording(device.bytes, minutes, 6000), minutes * 60));
}

module.exports = { writeLongRecording, repeatRecording, setEndDate };
