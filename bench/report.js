#!/usr/bin/env node
// Report page benchmark: a day-long recording (one simulated minute repeated) made into a page,
// each step timed side by side with read() of the same file: decode (readData), the page model
// (warnings and envelopes), the HTML text; with the page's size and the process's peak memory.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');
const kx = require('../index.js');
const { addon } = require('../lib/addon.js');
const { pageModel } = require('../lib/report/data.js');
const { pageHtml } = require('../lib/report/page.js');
const { writeLongRecording } = require('../tests/support/long-recording.js');

const { values } = parseArgs({ options: { minutes: { type: 'string', default: '1440' }, help: { type: 'boolean', short: 'h' } } });
if (values.help) {
  console.log('Usage: node bench/report.js [--minutes 1440]');
  process.exit(0);
}
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-bench-report-'));
try {
  const file = path.join(dir, 'day.bin');
  writeLongRecording(file, Number(values.minutes));
  const seconds = (fn) => {
    const t = process.hrtime.bigint();
    const r = fn();
    return [Number(process.hrtime.bigint() - t) / 1e9, r];
  };
  const [readS] = seconds(() => kx.read(file, path.join(dir, 'day.csv')));
  fs.rmSync(path.join(dir, 'day.csv'));
  const [decodeS, data] = seconds(() => kx.readData(file));
  const device = { file, config: data.config, streams: data.streams, fullScale: addon._fullScale(file) };
  const [modelS, model] = seconds(() => pageModel([device], { synchronised: false }));
  const [htmlS, html] = seconds(() => pageHtml(model, 'bench'));
  const [reportS, answer] = seconds(() => kx.report([file], path.join(dir, 'day.html')));
  const row = (name, s) => console.log(`${name.padEnd(34)} ${s.toFixed(2).padStart(7)} s`);
  console.log(`${values.minutes} minutes at 100 Hz, ${(fs.statSync(file).size / 1e6).toFixed(0)} MB recording`);
  row('read() to CSV, for comparison', readS);
  row('readData (decode, orientation)', decodeS);
  row('page model (warnings, envelopes)', modelS);
  row('HTML text', htmlS);
  row('report() whole, page written', reportS);
  console.log(`page ${(answer.bytes / 1e6).toFixed(2)} MB (${Buffer.byteLength(html)} bytes of HTML); peak RSS ${(process.resourceUsage().maxRSS / 1024).toFixed(0)} MB`);
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
}
