// Long recordings for the JavaScript tests, made quickly: one simulated minute repeated with its
// ticks moved on, so a read takes long enough to observe the event loop during it.
'use strict';
const fs = require('node:fs');
const { simulate } = require('../../tools/sim/simulate.js');
const { BLOCK_BYTES } = require('../../tools/sim/recording-format.js');

// Writes a recording of `minutes` minutes (base frequency 100 Hz) to file.
function writeLongRecording(file, minutes) {
  const device = simulate({ seconds: 60, truth: false }).devices[0];
  const bytes = device.bytes;
  const data = bytes.subarray(BLOCK_BYTES);
  const out = Buffer.alloc(BLOCK_BYTES + data.length * minutes);
  bytes.copy(out, 0, 0, BLOCK_BYTES);
  for (let m = 0; m < minutes; m++) {
    const at = BLOCK_BYTES + m * data.length;
    data.copy(out, at);
    for (let b = at; b < at + data.length; b += BLOCK_BYTES) {
      out.writeUInt32BE(out.readUInt32BE(b + 4) + m * 6000, b + 4);
    }
  }
  fs.writeFileSync(file, out);
}

module.exports = { writeLongRecording };
