#!/usr/bin/env node
// Command-line entry of the package: `kx-binreader <command>`; see `kx-binreader --help`.
'use strict';
const { main } = require('../lib/cli/main.js');

main(process.argv.slice(2)).then(
  (code) => { process.exitCode = code; },
  (err) => {
    process.stderr.write(`kx-binreader: ${err && err.stack ? err.stack : err}\n`);
    process.exitCode = 70;
  },
);
