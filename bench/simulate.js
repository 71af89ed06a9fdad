#!/usr/bin/env node
// Simulator benchmark: one device for a day (default), written with and without its truth file,
// each in a process of its own; reports wall time, CPU seconds and peak resident memory.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { parseArgs } = require('node:util');

const { values } = parseArgs({
  options: {
    seconds: { type: 'string', default: '86400' },
    child: { type: 'string' }, // internal: run one simulation and print its figures as JSON
    help: { type: 'boolean', short: 'h' },
  },
});
if (values.help) {
  console.log('Usage: node bench/simulate.js [--seconds 86400]');
  process.exit(0);
}

if (values.child !== undefined) {
  const { simulate, writeSet } = require('../tools/sim/simulate.js');
  const started = process.hrtime.bigint();
  writeSet(values.child, simulate({ seconds: Number(values.seconds), truth: process.env.KX_BENCH_TRUTH === '1' }));
  const usage = process.resourceUsage();
  console.log(JSON.stringify({
    wallS: Number(process.hrtime.bigint() - started) / 1e9,
    cpuS: (usage.userCPUTime + usage.systemCPUTime) / 1e6,
    maxRssMb: usage.maxRSS / 1024,
  }));
  process.exit(0);
}

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-bench-simulate-'));
try {
  console.log(`one device, ${values.seconds} s`);
  for (const truth of [true, false]) {
    const r = spawnSync(process.execPath, [__filename, '--seconds', values.seconds, '--child', dir], {
      encoding: 'utf8', env: { ...process.env, KX_BENCH_TRUTH: truth ? '1' : '0' },
    });
    if (r.status !== 0) throw new Error(r.stderr);
    const f = JSON.parse(r.stdout);
    console.log(`${truth ? 'with truth   ' : 'without truth'}  wall ${f.wallS.toFixed(1)} s  CPU ${f.cpuS.toFixed(1)} s  peak ${f.maxRssMb.toFixed(0)} MB`);
  }
} finally {
  fs.rmSync(dir, { recursive: true, force: true });
}
