#!/usr/bin/env node
// Batch benchmark: eight one-hour recordings converted one after another on the JavaScript thread,
// then by the batch converter at several concurrency limits; reports wall time and speed-up.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');
const kx = require('../index.js');
const { simulate } = require('../tools/sim/simulate.js');

const { values } = parseArgs({
  options: {
    recordings: { type: 'string', default: '8' },
    seconds: { type: 'string', default: '3600' },
    rounds: { type: 'string', default: '3' },
    sets: { type: 'boolean' }, // also time device pairs with readAndSync2
    keep: { type: 'string' },
    help: { type: 'boolean', short: 'h' },
  },
});
if (values.help) {
  console.log('Usage: node bench/batch.js [--recordings 8] [--seconds 3600] [--rounds 3] [--sets] [--keep DIR]');
  process.exit(0);
}
const count = Number(values.recordings);
const seconds = Number(values.seconds);
const rounds = Number(values.rounds);
const cores = os.availableParallelism();

const dir = values.keep || fs.mkdtempSync(path.join(os.tmpdir(), 'kx-bench-batch-'));
const inDir = path.join(dir, 'in');
fs.mkdirSync(inDir, { recursive: true });

function makeInputs() {
  const files = [];
  for (let i = 0; i < count; i++) {
    const file = path.join(inDir, `walk-${i + 1}.bin`);
    if (!fs.existsSync(file)) fs.writeFileSync(file, simulate({ seconds, seed: 100 + i, truth: false }).devices[0].bytes);
    files.push(file);
  }
  const pairs = [];
  if (values.sets) {
    for (let i = 0; i < count / 2; i++) {
      const where = path.join(inDir, `pair-${i + 1}`);
      fs.mkdirSync(where, { recursive: true });
      const names = ['left-thigh', 'right-thigh'];
      const files = names.map((n) => path.join(where, `${n}.bin`));
      if (!files.every((f) => fs.existsSync(f))) {
        const set = simulate({ seconds, seed: 200 + i, devices: names, method: 'marks', truth: false });
        set.devices.forEach((d, k) => fs.writeFileSync(files[k], d.bytes));
      }
      pairs.push(files);
    }
  }
  return { files, pairs };
}

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const now = () => Number(process.hrtime.bigint()) / 1e9;

function outDir(name) {
  const d = path.join(dir, 'out', name);
  fs.rmSync(d, { recursive: true, force: true });
  fs.mkdirSync(d, { recursive: true });
  return d;
}

function csvBytes(d) {
  let total = 0;
  for (const e of fs.readdirSync(d, { recursive: true })) {
    const p = path.join(d, e);
    if (p.endsWith('.csv')) total += fs.statSync(p).size;
  }
  return total;
}

async function measure(label, run) {
  const times = [];
  const busy = []; // CPU seconds of all threads per wall second: how many cores the run kept busy
  let bytesOut = 0;
  for (let r = 0; r < rounds; r++) {
    const out = outDir(label.replace(/\W+/g, '-'));
    const cpu0 = process.cpuUsage();
    const t0 = now();
    await run(out);
    const wall = now() - t0;
    const cpu = process.cpuUsage(cpu0);
    times.push(wall);
    busy.push((cpu.user + cpu.system) / 1e6 / wall);
    bytesOut = csvBytes(out);
    fs.rmSync(out, { recursive: true, force: true }); // keep the disk and the page cache small
  }
  return { label, seconds: median(times), all: times, cores: median(busy), bytesOut };
}

async function main() {
  const t0 = now();
  const { files, pairs } = makeInputs();
  const bytesIn = files.reduce((s, f) => s + fs.statSync(f).size, 0);
  console.log(`${count} recordings of ${seconds} s (${(bytesIn / 1e6).toFixed(1)} MB in) made in ${(now() - t0).toFixed(1)} s; ` +
    `${cores} cores; median of ${rounds} rounds; load average before the runs ${os.loadavg()[0].toFixed(2)}`);

  const results = [];
  results.push(await measure('sequential read() on the main thread', (out) => {
    for (const f of files) {
      const answer = kx.read(f, path.join(out, `${path.basename(f, '.bin')}.csv`));
      if (JSON.parse(answer).error) throw new Error(`${f}: ${answer}`);
    }
  }));
  for (const c of [...new Set([1, cores, 2 * cores])].sort((a, b) => a - b)) {
    results.push(await measure(`batch(), concurrency ${c}`, async (out) => {
      const r = await kx.batch(files, { outDir: out, concurrency: c });
      if (!r.every((x) => x.ok)) throw new Error('a conversion failed');
    }));
  }
  const base = results[0].seconds;
  console.log(`\n${'reads'.padEnd(40)} ${'wall s'.padStart(8)} ${'speed-up'.padStart(9)} ${'cores busy'.padStart(10)} ${'MB/s in'.padStart(8)} ${'CSV MB/s'.padStart(9)}`);
  for (const r of results) {
    console.log(`${r.label.padEnd(40)} ${r.seconds.toFixed(3).padStart(8)} ${(base / r.seconds).toFixed(2).padStart(9)} ` +
      `${r.cores.toFixed(2).padStart(10)} ${(bytesIn / 1e6 / r.seconds).toFixed(1).padStart(8)} ${(r.bytesOut / 1e6 / r.seconds).toFixed(1).padStart(9)}`);
  }
  console.log(`load average after the runs ${os.loadavg()[0].toFixed(2)}`);

  if (pairs.length) {
    const sets = [];
    sets.push(await measure('sequential readAndSync2()', (out) => {
      pairs.forEach((p, i) => {
        const d = path.join(out, `pair-${i + 1}`);
        fs.mkdirSync(d);
        if (kx.readAndSync2(p, d) !== 'OK') throw new Error(`pair ${i + 1} failed`);
      });
    }));
    sets.push(await measure(`batch() of sets, concurrency ${cores}`, async (out) => {
      const tasks = pairs.map((p, i) => {
        const d = path.join(out, `pair-${i + 1}`);
        fs.mkdirSync(d);
        return { recordings: p, outDir: d };
      });
      const r = await kx.batch(tasks, { concurrency: cores });
      if (!r.every((x) => x.ok)) throw new Error('a synchronisation failed');
    }));
    console.log(`\n${`${pairs.length} device pairs`.padEnd(40)} ${'wall s'.padStart(8)} ${'speed-up'.padStart(9)} ${'cores busy'.padStart(10)}`);
    for (const r of sets) {
      console.log(`${r.label.padEnd(40)} ${r.seconds.toFixed(3).padStart(8)} ${(sets[0].seconds / r.seconds).toFixed(2).padStart(9)} ${r.cores.toFixed(2).padStart(10)}`);
    }
  }
  if (!values.keep) fs.rmSync(dir, { recursive: true, force: true });
}

main().catch((err) => {
  console.error(err);
  process.exitCode = 1;
});
