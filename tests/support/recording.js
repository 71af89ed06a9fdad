// Builds recording files and configuration blocks from values, for the JavaScript tests. The
// byte layouts live in lib/recording-format.js, shared with the recording simulator.
'use strict';

const { be16, be32, frame, frames, records, Recording } = require('../../tools/sim/recording-format.js');

module.exports = { be16, be32, frame, frames, records, Recording };
