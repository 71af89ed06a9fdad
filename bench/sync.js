#!/usr/bin/env node
// Synchronised set benchmark: readAndSync2 of a pair of simulated recordings against read() of
// each, every step in a fresh process under /usr/bin/time (wall, CPU and peak resident size of
// that process alone), the two alternating round by round.
//
//   node bench/sync.js [--hours 24] [--rounds 3] [--dir /dev/shm/kx-sync]
'use strict';
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');

const { values } = parseArgs({
  options: {
    hours: { type: 'string', default: '24' },
    rounds: { type: 'string', default: '3' },
    dir: { type: 'string' },
    step: { type: 'string' }, // internal: one measured step, run in a child process
    help: { type: 'boolean', short: 'h' },
  },
  allowPositionals: true,
});

// A child: runs one step (timed and measured by /usr/bin/time around it).
if (values.step !== undefined) {
  const kx = require('../index.js');
  const [a, b, out] = JSON.parse(values.step);
  if (out === undefined) {
    const [ra, rb] = [kx.read(a, `${a}.csv`), kx.read(b, `${b}.csv`)];
    if (JSON.parse(ra).error || JSON.parse(rb).error) throw new Error('read failed');
  } else if (kx.readAndSync2([a, b], out) !== 'OK') {
    throw new Error('readAndSync2 failed');
  }
  // The outputs are measured; removed here so that a week's pair fits a tmpfs.
  const outputs = out === undefined ? [`${a}.csv`, `${b}.csv`] : fs.readdirSync(out).map((n) => path.join(out, n));
  for (const f of outputs) fs.rmSync(f, { force: true });
  process.exit(0);
}

if (values.help) {
  console.log('Usage: node bench/sync.js [--hours 24] [--rounds 3] [--dir DIR (a tmpfs such as /dev/shm)]');
  process.exit(0);
}

const { simulate } = require('../tools/sim/simulate.js');
const { repeatRecording } = require('../tests/support/long-recording.js');

const rounds = Number(values.rounds);
const dir = values.dir || fs.mkdtempSync(path.join(os.tmpdir(), 'kx-bench-sync-'));
fs.mkdirSync(dir, { recursive: true });
const median = (xs) => [...xs].sort((x, y) => x - y)[Math.floor(xs.length / 2)];

// Two devices worn together for an hour (time marks), repeated with their ticks moved on.
const hour = simulate({ seconds: 3600, devices: 2, method: 'marks', seed: 7, truth: false });
const pairs = values.hours.split(',').map(Number).map((h) => {
  const files = hour.devices.map((d, i) => {
    const file = path.join(dir, `device-${i}-${h}h.bin`);
    fs.writeFileSync(file, repeatRecording(d.bytes, h, 360000));
    return file;
  });
  return { h, files };
});

// One step in a fresh process under /usr/bin/time: a child forked from this process would
// report this process's resident size (the recordings' buffers) as its own peak.
function step(args) {
  const r = spawnSync('/usr/bin/time', ['-f', 'KX %e %U %S %M', process.execPath, __filename, '--step', JSON.stringify(args)],
    { encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`step failed: ${r.stderr}`);
  const [wall, user, system, kb] = r.stderr.trim().split('\n').filter((l) => l.startsWith('KX ')).pop().split(' ').slice(1).map(Number);
  return { wall, cpu: user + system, peak: kb * 1024 };
}

console.log(`node ${process.version}, ${os.cpus()[0].model}, ${os.availableParallelism()} cores, median of ${rounds} rounds, outputs in ${dir}`);
console.log('| pair | two read()s: wall / CPU / peak | readAndSync2: wall / CPU / peak | wall ratio | CPU ratio |');
console.log('|---|---|---|---|---|');
for (const { h, files } of pairs) {
  const outDir = path.join(dir, `set-${h}h`);
  fs.mkdirSync(outDir, { recursive: true });
  const reads = [];
  const syncs = [];
  for (let r = 0; r < rounds; r++) {
    reads.push(step(files));
    syncs.push(step([...files, outDir]));
  }
  const m = (list, k) => median(list.map((x) => x[k]));
  const cell = (list) => `${m(list, 'wall').toFixed(2)} s / ${m(list, 'cpu').toFixed(2)} s / ${(m(list, 'peak') / 1e6).toFixed(0)} MB`;
  console.log(`| ${h} h | ${cell(reads)} | ${cell(syncs)} | ${(m(syncs, 'wall') / m(reads, 'wall')).toFixed(2)}x | ${(m(syncs, 'cpu') / m(reads, 'cpu')).toFixed(2)}x |`);
  for (const f of files) fs.rmSync(f);
}
if (values.dir === undefined) fs.rmSync(dir, { recursive: true, force: true });
