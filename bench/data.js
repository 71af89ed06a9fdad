#!/usr/bin/env node
// Data benchmark: each output of a simulated recording in a process of its own, the paths taken
// in turn round after round, outputs on a memory file system: read() to CSV, writeParquet(),
// readChunks() walking the table and readData(), with wall time, CPU seconds and peak memory
// (from /usr/bin/time). Then, with --sweep, the Parquet writer's compressions and encodings on
// the first recording's table (file size and writing time); with --stages, the CPU of each step
// of a Parquet write on one thread, to show what the writer's thread alone costs.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { parseArgs } = require('node:util');

const { values, positionals } = parseArgs({
  allowPositionals: true,
  options: {
    hours: { type: 'string', default: '1,24' },
    rounds: { type: 'string', default: '3' },
    paths: { type: 'string', default: 'read,writeParquet,readChunks,readData' },
    sweep: { type: 'boolean' },
    stages: { type: 'boolean' },
    child: { type: 'string' },
    help: { type: 'boolean', short: 'h' },
  },
});
if (values.help) {
  console.log('Usage: node bench/data.js [--hours 1,24,168] [--rounds 3] [--paths read,writeParquet,readChunks,readData,readDataLoop] [--sweep] [--stages]');
  process.exit(0);
}

// --child <path> <recording> <output>: one measured call, in this process.
if (values.child !== undefined) {
  const kx = require('../index.js');
  const [file, out] = positionals;
  const run = {
    read: () => kx.read(file, out),
    writeParquet: () => kx.promises.writeParquet(file, out),
    readData: () => kx.readData(file),
    // Ten synchronous calls in a row: the peak shows whether answers are freed between them.
    readDataLoop: () => { for (let i = 0; i < 10; i++) kx.readData(file); },
    readChunks: async () => {
      let rows = 0;
      for await (const w of kx.readChunks(file)) rows += w.tick.length;
      return rows;
    },
  }[values.child];
  Promise.resolve(run()).then(() => process.exit(0), (err) => { console.error(err); process.exit(1); });
  return;
}

const { simulate } = require('../tools/sim/simulate.js');
const { repeatRecording } = require('../tests/support/long-recording.js');

const hours = values.hours.split(',').map(Number);
const rounds = Number(values.rounds);
const paths = values.paths.split(',');
const base = fs.existsSync('/dev/shm') ? '/dev/shm' : os.tmpdir();
const dir = fs.mkdtempSync(path.join(base, 'kx-bench-data-'));

// One simulated hour (100 Hz accelerometer and gyroscope, 25 Hz barometer and magnetometer),
// repeated with its ticks moved on for longer recordings.
const hourBytes = simulate({ seconds: 3600, seed: 100, truth: false }).devices[0].bytes;
function recording(h) {
  const file = path.join(dir, `walk-${h}h.bin`);
  fs.writeFileSync(file, repeatRecording(hourBytes, h, 360000));
  return file;
}

// Wall seconds, CPU seconds (user + system) and peak resident memory (MB) of one child.
function measure(name, file, out) {
  const report = path.join(dir, 'time.txt');
  execFileSync('/usr/bin/time', ['-v', '-o', report, process.execPath, __filename, '--child', name, file, out], { stdio: 'inherit' });
  const text = fs.readFileSync(report, 'utf8');
  const field = (label) => Number(new RegExp(`${label}: ([0-9.:]+)`).exec(text)[1].split(':').reduce((a, b) => a * 60 + Number(b), 0));
  if (fs.existsSync(out)) fs.rmSync(out);
  return { wall: field('Elapsed \\(wall clock\\) time \\(h:mm:ss or m:ss\\)'), cpu: field('User time \\(seconds\\)') + field('System time \\(seconds\\)'), peak: field('Maximum resident set size \\(kbytes\\)') / 1024 };
}

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
console.log(`node ${process.version}, ${os.cpus()[0].model}, ${os.availableParallelism()} cores; each path in its own process, taken in turn, median of ${rounds} rounds; outputs in ${base}`);
console.log('| Recording | Path | Wall | CPU | Wall / read() | Peak memory |');
console.log('|---|---|---|---|---|---|');
for (const h of hours) {
  const file = recording(h);
  const runs = Object.fromEntries(paths.map((p) => [p, []]));
  for (let r = 0; r < rounds; r++) {
    for (const p of paths) runs[p].push(measure(p, file, path.join(dir, `out-${p}`)));
  }
  const read = runs.read ? median(runs.read.map((m) => m.wall)) : NaN;
  for (const p of paths) {
    const [wall, cpu, peak] = ['wall', 'cpu', 'peak'].map((k) => median(runs[p].map((m) => m[k])));
    console.log(`| ${h} h (${(fs.statSync(file).size / 1e6).toFixed(0)} MB) | ${p} | ${wall.toFixed(2)} s | ${cpu.toFixed(2)} s | ${(wall / read).toFixed(2)}x | ${peak.toFixed(0)} MB |`);
  }
  if (h !== hours[0]) fs.rmSync(file);
}

if (values.sweep) {
  // The writer's options on the first recording's table: size and time of the whole write.
  const { addon } = require('../lib/addon.js');
  const { openSource } = require('../lib/data/source.js');
  const { writeMember } = require('../lib/data/parquet.js');
  const { loadParquetWriter } = require('../lib/data/index.js');
  const { arrow, pq } = loadParquetWriter();
  const file = path.join(dir, `walk-${hours[0]}h.bin`);
  const options = [];
  for (const compression of ['zstd', 'snappy', 'lz4', 'gzip', 'brotli', 'none']) {
    for (const dictionary of [true, false]) options.push({ compression, dictionary, encoding: 'plain' });
  }
  options.push({ compression: 'zstd', dictionary: false, encoding: 'byte-stream-split' });
  options.push({ compression: 'zstd', dictionary: true, encoding: 'byte-stream-split' });
  options.push({ compression: 'zstd', dictionary: 'sensors', encoding: 'byte-stream-split' });
  (async () => {
    console.log(`\nWriter options, ${hours[0]} h table:`);
    console.log('| Compression | Dictionary | Fallback encoding | Size | Time |');
    console.log('|---|---|---|---|---|');
    for (const o of options) {
      const source = openSource(addon, [file]);
      let bytes = 0;
      const t0 = process.hrtime.bigint();
      await writeMember(arrow, pq, source, 0, { mag: source.members[0].mag }, (chunk) => { bytes += chunk.length; return true; }, o);
      const t = Number(process.hrtime.bigint() - t0) / 1e9;
      console.log(`| ${o.compression} | ${o.dictionary === 'sensors' ? 'sensor columns' : o.dictionary ? 'on' : 'off'} | ${o.encoding} | ${(bytes / 1e6).toFixed(1)} MB | ${t.toFixed(2)} s |`);
    }
    fs.rmSync(dir, { recursive: true, force: true });
  })();
} else if (values.stages) {
  // Each step of the write on this thread, every step repeating the ones before it: the fill of
  // the source's ranges, the record batches, their Arrow IPC bytes, their import into the
  // writer's WebAssembly memory, then the whole write. Taken in turn for `rounds` rounds in one
  // process; the medians leave out the first round, which compiles the WebAssembly and the JIT.
  const { addon } = require('../lib/addon.js');
  const { openSource } = require('../lib/data/source.js');
  const { writeMember, makeBatches, plan, BATCH_ROWS } = require('../lib/data/parquet.js');
  const { loadParquetWriter } = require('../lib/data/index.js');
  const { arrow, pq } = loadParquetWriter();
  const file = path.join(dir, `walk-${hours[0]}h.bin`);
  const cpu = () => { const u = process.cpuUsage(); return (u.user + u.system) / 1e6; };
  const steps = ['fill', 'batches', 'ipc', 'import', 'write'];
  async function step(name) {
    const source = openSource(addon, [file]);
    const member = source.members[0];
    const t0 = cpu();
    if (name === 'write') {
      await writeMember(arrow, pq, source, 0, { mag: member.mag }, () => true);
    } else {
      const next = makeBatches(arrow, source, 0, plan(member, { mag: member.mag }), { batchRows: BATCH_ROWS });
      for (let first = 0; first < member.rows;) {
        if (name === 'fill') {
          const last = Math.min(member.rows, first + BATCH_ROWS);
          source.fill(0, first, last);
          first = last;
          continue;
        }
        const { batch, last } = next(first);
        first = last;
        if (name === 'batches') continue;
        const ipc = arrow.tableToIPC(new arrow.Table([batch]), 'stream');
        if (name === 'ipc') continue;
        const table = pq.Table.fromIPCStream(ipc);
        table.recordBatch(0).free();
        table.free();
      }
    }
    source.close();
    return cpu() - t0;
  }
  (async () => {
    const times = Object.fromEntries(steps.map((s) => [s, []]));
    for (let r = 0; r < Math.max(2, rounds); r++) for (const s of steps) times[s].push(await step(s));
    const m = Object.fromEntries(steps.map((s) => [s, median(times[s].slice(1))]));
    console.log(`\nParquet write on one thread, ${hours[0]} h, CPU seconds, median of rounds 2 to ${Math.max(2, rounds)}:`);
    console.log('| fill | + batches | + IPC | + import | whole write | encoder alone (write - import) |');
    console.log('|---|---|---|---|---|---|');
    console.log(`| ${steps.map((s) => m[s].toFixed(2)).join(' | ')} | ${(m.write - m.import).toFixed(2)} |`);
    fs.rmSync(dir, { recursive: true, force: true });
  })();
} else {
  fs.rmSync(dir, { recursive: true, force: true });
}
