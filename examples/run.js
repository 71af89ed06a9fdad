#!/usr/bin/env node
// The main job on the bundled example: two simulated devices worn on the thighs for 20 s. Prints
// each recording's configuration, converts each with read(), synchronises the pair with
// readAndSync2(), and checks the orientation columns against the simulator's truth.
// The data were written by: node tools/simulate.js -o examples/data -d left-thigh,right-thigh -m marks -s 20
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const kx = require('../index.js');
const accuracy = require('../tools/sim/accuracy.js');

const data = path.join(__dirname, 'data');
const out = path.join(__dirname, '..', 'out', 'example');
const set = JSON.parse(fs.readFileSync(path.join(data, 'set.json'), 'utf8'));
fs.mkdirSync(path.join(out, 'sync'), { recursive: true });

for (const d of set.devices) {
  const file = path.join(data, d.recording);
  console.log(`${d.recording}: readConfigDeviceId ${kx.readConfigDeviceId(file)}`);
  console.log(`${d.recording}: readConfig ${kx.readConfig(file)}`);
  const csv = path.join(out, `${d.name}.csv`);
  console.log(`${d.recording}: read -> ${path.relative(process.cwd(), csv)} ${kx.read(file, csv)}`);
  const a = accuracy.checkFiles(csv, path.join(data, d.truth));
  console.log(`${d.recording}: orientation error against the truth: median ${a.medianDeg.toFixed(2)} deg, ` +
    `95th percentile ${a.p95Deg.toFixed(2)} deg over ${a.samples} samples`);
}

const recordings = set.devices.map((d) => path.join(data, d.recording));
const status = kx.readAndSync2(recordings, path.join(out, 'sync'));
console.log(`readAndSync2 (${set.method}) -> ${path.relative(process.cwd(), path.join(out, 'sync'))}: ${status}`);
if (status !== 'OK') process.exitCode = 1;
