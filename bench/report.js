#!/usr/bin/env node
// Report page benchmark: a day-long recording and a synchronised pair of them (one simulated
// minute repeated) made into pages. read() of the day and report() of the day, of the pair and of
// a 5-minute window of each run in processes of their own under /usr/bin/time, in turn, each
// answering its wall time, CPU seconds and peak memory; with --vs, report() of an earlier
// checkout runs beside each, alternating. Then the page's steps are timed in this process (the
// one pass over the rows, the HTML text, served windows) with the page's size.
//
//   node bench/report.js [--minutes 1440] [--rounds 2] [--dir /dev/shm] [--vs CHECKOUT]
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { parseArgs } = require('node:util');
const { addon } = require('../lib/addon.js');
const { streamedPage } = require('../lib/report/stream.js');
const { pageHtml } = require('../lib/report/page.js');
const { simulate } = require('../tools/sim/simulate.js');
const { writeLongRecording, repeatRecording, setEndDate } = require('../tests/support/long-recording.js');

const { values } = parseArgs({
  options: {
    minutes: { type: 'string', default: '1440' }, rounds: { type: 'string', default: '2' }, dir: { type: 'string', default: os.tmpdir() },
    vs: { type: 'string' }, help: { type: 'boolean', short: 'h' },
  },
});
if (values.help) {
  console.log('Usage: node bench/report.js [--minutes 1440] [--rounds 2] [--dir DIR (where the recordings and outputs go: a tmpfs)] [--vs CHECKOUT (an earlier tree, built, whose report() runs beside)]');
  process.exit(0);
}

const ROOT = path.join(__dirname, '..');
const minutes = Number(values.minutes);
const clockText = (s) => `${Math.floor(s / 3600)}:${new Date(s * 1000).toISOString().slice(14, 19)}`;
// One call of the module at `root` in a fresh process under /usr/bin/time: { wall, cpu (s),
// peakMB }. A child forked from this process would report this process's resident size (the
// recordings' buffers) as its own peak; time's own child starts from time's small one.
function measured(root, call) {
  const script = `const kx = require(${JSON.stringify(root)});\n${call};`;
  const r = spawnSync('/usr/bin/time', ['-f', 'KX %e %U %S %M', process.execPath, '-e', script], { encoding: 'utf8' });
  if (r.status !== 0) throw new Error(r.stderr);
  const [wall, user, system, kb] = r.stderr.trim().split('\n').filter((l) => l.startsWith('KX ')).pop().split(' ').slice(1).map(Number);
  return { wall, cpu: user + system, peakMB: kb / 1024 };
}

const dir = fs.mkdtempSync(path.join(values.dir, 'kx-bench-report-'));
try {
  const day = path.join(dir, 'day.bin');
  writeLongRecording(day, minutes);
  // Two devices worn together (time marks), their minute repeated as the single recording's is.
  const pair = simulate({ seconds: 60, devices: 2, method: 'marks', seed: 7, truth: false }).devices.map((d, i) => {
    const file = path.join(dir, `device-${i}.bin`);
    fs.writeFileSync(file, setEndDate(repeatRecording(d.bytes, minutes, 6000), minutes * 60));
    return file;
  });
  const mb = (files) => (files.reduce((a, f) => a + fs.statSync(f).size, 0) / 1e6).toFixed(0);
  console.log(`${minutes} minutes at 100 Hz: one recording of ${mb([day])} MB, a pair of ${mb(pair)} MB; outputs in ${dir}`);
  const csv = path.join(dir, 'day.csv');
  const page = path.join(dir, 'page.html');
  const from = Math.floor(minutes / 2) * 60;
  const window = `{ from: ${from}, to: ${from + 300} }`;
  const list = (files) => JSON.stringify(files);
  const calls = {
    'read()': `kx.read(${JSON.stringify(day)}, ${JSON.stringify(csv)})`,
    'report()': `kx.report(${list([day])}, ${JSON.stringify(page)})`,
    'report() of 5 minutes': `kx.report(${list([day])}, ${JSON.stringify(page)}, ${window})`,
    'report() of the pair': `kx.report(${list(pair)}, ${JSON.stringify(page)})`,
    'report() of the pair, 5 minutes': `kx.report(${list(pair)}, ${JSON.stringify(page)}, ${window})`,
  };
  const rows = {};
  for (let k = 0; k < Number(values.rounds); k++) {
    for (const [name, call] of Object.entries(calls)) {
      (rows[name] = rows[name] || []).push(measured(ROOT, call));
      if (values.vs !== undefined && name !== 'read()') (rows[`${name}, --vs`] = rows[`${name}, --vs`] || []).push(measured(path.resolve(values.vs), call));
    }
  }
  const read = rows['read()'];
  const mean = (l, key) => l.reduce((a, r) => a + r[key], 0) / l.length;
  console.log('path                                   wall s  CPU s  vs read (wall)  peak MB');
  for (const [name, l] of Object.entries(rows)) {
    console.log(`${name.padEnd(37)} ${mean(l, 'wall').toFixed(2).padStart(7)} ${mean(l, 'cpu').toFixed(2).padStart(6)} ${(mean(l, 'wall') / mean(read, 'wall')).toFixed(2).padStart(14)}x ${mean(l, 'peakMB').toFixed(0).padStart(8)}`);
  }

  const seconds = (fn) => {
    const t = process.hrtime.bigint();
    const r = fn();
    return [Number(process.hrtime.bigint() - t) / 1e9, r];
  };
  const row = (name, s) => console.log(`${name.padEnd(50)} ${s.toFixed(2).padStart(7)} s`);
  for (const [name, files] of [['the recording', [day]], ['the pair', pair]]) {
    const [passS, streamed] = seconds(() => streamedPage(addon, files));
    const [htmlS, html] = seconds(() => pageHtml(streamed.model, 'bench'));
    row(`${name}: page model, one pass over the rows`, passS);
    row(`${name}: HTML text`, htmlS);
    console.log(`${name}: page ${(Buffer.byteLength(html) / 1e6).toFixed(2)} MB`);
    const [a, b] = streamed.model.span;
    for (const at of [0.25, 0.5, 0.9]) {
      const t = a + at * (b - a);
      row(`${name}: served 10-s window at ${clockText(t)}`, seconds(() => streamed.window({ from: t, to: t + 10, columns: 3000 }))[0]);
    }
    streamed.close();
  }
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
}
