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

// Writes a recording of `minutes` minutes (base frequency 100 Hz) to file.
function writeLongRecording(file, minutes) {
  const device = simulate({ seconds: 60, truth: false }).devices[0];
  fs.writeFileSync(file, repeatRecording(device.bytes, minutes, 6000));
}

module.exports = { writeLongRecording, repeatRecording };
