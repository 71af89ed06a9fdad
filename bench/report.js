#!/usr/bin/env node
// Report page benchmark: a day-long recording (one simulated minute repeated) made into a page.
// read() and report() of the same file run in processes of their own, in turn, each answering
// its wall time, CPU seconds and peak memory; then the page's steps are timed in this process
// (the one pass over the rows, the HTML text, served windows) with the page's size, and the
// whole-decode model beside them for recordings of a day or less.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { parseArgs } = require('node:util');
const { addon } = require('../lib/addon.js');
const { openSource } = require('../lib/data/source.js');
const { pageModel } = require('../lib/report/data.js');
const { streamedPage } = require('../lib/report/stream.js');
const { pageHtml } = require('../lib/report/page.js');
const { writeLongRecording } = require('../tests/support/long-recording.js');

const { values } = parseArgs({
  options: {
    minutes: { type: 'string', default: '1440' }, rounds: { type: 'string', default: '2' }, dir: { type: 'string', default: os.tmpdir() },
    help: { type: 'boolean', short: 'h' },
  },
});
if (values.help) {
  console.log('Usage: node bench/report.js [--minutes 1440] [--rounds 2] [--dir DIR (where the recording and outputs go)]');
  process.exit(0);
}

const ROOT = path.join(__dirname, '..');
const clockText = (s) => `${Math.floor(s / 3600)}:${new Date(s * 1000).toISOString().slice(14, 19)}`;
// One call in a fresh process: { wall, cpu (s), peakMB }.
function measured(call) {
  const script = `const kx = require(${JSON.stringify(ROOT)});
const t = process.hrtime.bigint();
${call};
const wall = Number(process.hrtime.bigint() - t) / 1e9;
const u = process.resourceUsage();
console.log(JSON.stringify({ wall, cpu: (u.userCPUTime + u.systemCPUTime) / 1e6, peakMB: u.maxRSS / 1024 }));`;
  const r = spawnSync(process.execPath, ['-e', script], { encoding: 'utf8' });
  if (r.status !== 0) throw new Error(r.stderr);
  return JSON.parse(r.stdout);
}

const dir = fs.mkdtempSync(path.join(values.dir, 'kx-bench-report-'));
try {
  const file = path.join(dir, 'day.bin');
  writeLongRecording(file, Number(values.minutes));
  console.log(`${values.minutes} minutes at 100 Hz, ${(fs.statSync(file).size / 1e6).toFixed(0)} MB recording`);
  const csv = path.join(dir, 'day.csv');
  const page = path.join(dir, 'day.html');
  const rows = { 'read()': [], 'report()': [], 'report() of 5 minutes': [] };
  for (let k = 0; k < Number(values.rounds); k++) {
    rows['read()'].push(measured(`kx.read(${JSON.stringify(file)}, ${JSON.stringify(csv)})`));
    rows['report()'].push(measured(`kx.report([${JSON.stringify(file)}], ${JSON.stringify(page)})`));
    rows['report() of 5 minutes'].push(measured(`kx.report([${JSON.stringify(file)}], ${JSON.stringify(page)}, { from: 3600, to: 3900 })`));
  }
  const read = rows['read()'];
  const mean = (list, key) => list.reduce((a, r) => a + r[key], 0) / list.length;
  console.log('path                      wall s  CPU s  vs read (wall)  peak MB');
  for (const [name, list] of Object.entries(rows)) {
    console.log(`${name.padEnd(24)} ${mean(list, 'wall').toFixed(2).padStart(7)} ${mean(list, 'cpu').toFixed(2).padStart(6)} ${(mean(list, 'wall') / mean(read, 'wall')).toFixed(2).padStart(14)}x ${mean(list, 'peakMB').toFixed(0).padStart(8)}`);
  }

  const seconds = (fn) => {
    const t = process.hrtime.bigint();
    const r = fn();
    return [Number(process.hrtime.bigint() - t) / 1e9, r];
  };
  const [passS, streamed] = seconds(() => streamedPage(addon, [file]));
  const [htmlS, html] = seconds(() => pageHtml(streamed.model, 'bench'));
  const row = (name, s) => console.log(`${name.padEnd(40)} ${s.toFixed(2).padStart(7)} s`);
  row('page model, one pass over the rows', passS);
  row('HTML text', htmlS);
  console.log(`page ${(Buffer.byteLength(html) / 1e6).toFixed(2)} MB`);
  const [a, b] = streamed.model.span;
  for (const at of [0.25, 0.5, 0.9]) {
    const from = a + at * (b - a);
    row(`served 10-s window at ${clockText(from)}`, seconds(() => streamed.window({ from, to: from + 10, columns: 3000 }))[0]);
  }
  streamed.close();
  if (Number(values.minutes) <= 1440) {
    const source = openSource(addon, [file]);
    const { fullScale } = source.members[0];
    source.close();
    const [decodeS, { config, streams }] = seconds(() => require('../index.js').readData(file));
    const [modelS] = seconds(() => pageModel([{ file, config, streams, fullScale }], { synchronised: false }));
    row('whole: decode (readData, orientation)', decodeS);
    row('whole: page model', modelS);
  }
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
}
