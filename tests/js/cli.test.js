// The command-line tool as a user runs it: help, outputs, exit codes and messages naming files.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const kx = require('../../index.js');
const { simulate, writeSet } = require('../../tools/sim/simulate.js');
const { frames, records, Recording } = require('../support/recording.js');
const { repeatRecording, setEndDate } = require('../support/long-recording.js');

const BIN = path.join(__dirname, '..', '..', 'bin', 'kx-binreader.js');
const pkg = require('../../package.json');

let dir;
let left;
let right;
let accelOnly;
let leftBytes;
let linkToLeft; // a link to the left recording
let csvNamed; // a recording whose name ends in .csv
let setsFile; // one device set, valid
let nulSets; // one device set whose name holds a NUL
let unmade; // a folder no refused batch may create
let namedBin; // a copy of the left recording converted to named.csv
let overSets; // a device set holding named.csv
let unsynced; // two recordings without time marks, both radio masters: no common time base
before(() => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-cli-'));
  const set = writeSet(path.join(dir, 'set'), simulate({ seconds: 10, devices: ['left-thigh', 'right-thigh'], method: 'marks', truth: false }));
  [left, right] = set.devices.map((d) => path.join(dir, 'set', d.recording));
  // A device without a gyroscope: it can be read, but gives no orientation.
  accelOnly = path.join(dir, 'accel-only.bin');
  new Recording()
    .frames(frames.baseFrequency(100), frames.inertial(2, 0x21, 100, 0), frames.timeMarks(10, 0, 100, 11, 0, 200))
    .block(0, Array.from({ length: 20 }, (_, i) => records.xyz(0x21, i, 0, 0, 16384)))
    .write(accelOnly);
  leftBytes = fs.readFileSync(left);
  linkToLeft = path.join(dir, 'link.csv');
  fs.symlinkSync(left, linkToLeft);
  csvNamed = path.join(dir, 'named.csv');
  fs.copyFileSync(left, csvNamed);
  setsFile = path.join(dir, 'one-set.json');
  fs.writeFileSync(setsFile, JSON.stringify([[left, right]]));
  nulSets = path.join(dir, 'nul-set.json');
  fs.writeFileSync(nulSets, JSON.stringify([{ name: 'a\0b', recordings: [left, right] }]));
  unmade = path.join(dir, 'unmade');
  namedBin = path.join(dir, 'copy', 'named.bin');
  fs.mkdirSync(path.dirname(namedBin));
  fs.copyFileSync(left, namedBin);
  unsynced = ['a', 'b'].map((n) => {
    const file = path.join(dir, `unsynced-${n}.bin`);
    new Recording()
      .frames(frames.baseFrequency(100), frames.inertial(2, 0x21, 100, 0), frames.inertial(3, 0x22, 100, 0))
      .block(0, Array.from({ length: 40 }, (_, i) => (i % 2 ? records.xyz(0x21, i >> 1, 0, 0, 16384) : records.xyz(0x22, i >> 1, 0, 0, 0))))
      .write(file);
    return file;
  });
  overSets = path.join(dir, 'over-set.json');
  fs.writeFileSync(overSets, JSON.stringify([[csvNamed, right]]));
});
after(() => fs.rmSync(dir, { recursive: true, force: true }));

// The tool's environment without a cluster scheduler's shard variables, which batch obeys.
const plainEnv = Object.fromEntries(Object.entries(process.env).filter(([k]) => !/^SLURM_ARRAY_|^JOB_COMPLETION_INDEX$/.test(k)));

function run(args, options = {}) {
  const r = spawnSync(process.execPath, [BIN, ...args], { encoding: 'utf8', cwd: dir, timeout: 60000, env: plainEnv, ...options });
  return { code: r.status, out: r.stdout, err: r.stderr };
}

describe('help and usage', () => {
  test('every command has its own --help; bad command lines exit 2 naming the problem', () => {
    for (const name of ['read', 'sync', 'view', 'config', 'device-id', 'write-config', 'batch', 'enqueue', 'worker']) {
      const r = run([name, '--help']);
      assert.equal(r.code, 0, name);
      assert.match(r.out, new RegExp(`^Usage: kx-binreader ${name}`), name);
      assert.match(r.out, /Exit codes:/);
    }
    // Each command lists the exit codes it can give, and no other.
    for (const [name, codes] of [['sync', '0 2 3 4 5 6 130 143'], ['config', '0 2 3 130 143'], ['write-config', '0 2 4 7 130 143']]) {
      const listed = run([name, '--help']).out.split('Exit codes:\n')[1].match(/^ {2}\d+/gm).map(Number);
      assert.equal(listed.join(' '), codes, name);
    }
    assert.match(run(['sync', '--help']).out, /one CSV or Parquet file per recording/);
    assert.match(run(['--help']).out, /Commands:\n {2}read/);
    assert.equal(run(['--version']).out.trim(), pkg.version);
    const table = [
      [[], /Usage: kx-binreader <command>/],
      [['convert', 'a.bin'], /unknown command "convert"/],
      [['read'], /read: expected read \[-f csv\|parquet\] \[--max-rows n\] <recording> \[<output>\|-\]/],
      [['sync', left], /sync: needs two or more recordings; run kx-binreader sync --help/],
      // The format follows the output's name; a contradiction is refused.
      [['read', '--format', 'csv', left, 'out.parquet'], /read: --format csv contradicts the output's name out.parquet \(a Parquet file\)/],
      [['read', left, 'page.html'], /read: page.html names an HTML page; read writes a CSV file or a Parquet file/],
      [['view', '-o', 'page.csv', left], /view: page.csv names a CSV file; view writes an HTML page/],
      [['read', '-f', 'parquet', left, '-'], /read: only CSV can be written to standard output/],
      [['read', '--format', 'xml', left], /read: --format must be csv or parquet, got "xml"/],
      [['read', '--orientation', 'sideways', left], /read: --orientation must be specified or bias-corrected, got "sideways"/],
      [['view', '--orientation', 'Bias-Corrected', left], /view: --orientation must be/],
      [['read', '--max-rows', '1e3', left], /read: --max-rows must be a positive integer, got "1e3"/],
      [['batch', '-o', unmade, '--max-rows', '0', left], /batch: --max-rows must be a positive integer, got "0"/],
      [['view', '--serve', '--max-rows', '2.5', left], /view: --max-rows must be a positive integer, got "2.5"/],
      [['enqueue', '--redis', 'redis://127.0.0.1:1', '--max-rows', '9007199254740993', left], /enqueue: --max-rows must be a positive integer/],
      [['worker', '--redis', 'redis://127.0.0.1:1', '--max-rows', 'many'], /worker: --max-rows must be a positive integer, got "many"/],
      [['batch', '--format', 'json', left], /batch: --format must be csv or parquet, got "json"/],
      [['read', '--format', 'parquet', left, left], new RegExp(`read: ${left} is the recording ${left}; writing the Parquet file would lose the recording`)],
      [['read', 'a', 'b', 'c'], /read: expected/],
      [['config', '--bogus', 'a.bin'], /config: unknown option --bogus; run kx-binreader config --help/],
      [['read', '--fromat', 'csv', left], /read: unknown option --fromat \(did you mean --format\?\); run/],
      [['batch', '--skip-exist', left], /batch: unknown option --skip-exist \(did you mean --skip-existing\?\)/],
      [['batch', '-j', '0', 'a.bin'], /--jobs must be an integer from 1 to 256, got "0"/],
      [['batch', '-j', '1000000', left, right], /--jobs must be an integer from 1 to 256, got "1000000"/],
      [['batch'], /nothing to convert/],
      [['sync', '-o', dir, left, path.join(dir, 'other', path.basename(left))], /would both be written to/],
      // An output that is one of the recordings: refused before anything is opened for writing.
      [['read', left, left], new RegExp(`read: ${left} is the recording ${left}; writing the CSV file would lose the recording`)],
      [['read', left, linkToLeft], new RegExp(`read: ${linkToLeft} is the recording ${left}`)],
      [['sync', '-o', path.dirname(csvNamed), left, csvNamed], new RegExp(`sync: ${csvNamed} is the recording ${csvNamed}`)],
      [['view', '-o', linkToLeft, right, left], new RegExp(`view: ${linkToLeft} is the recording ${left}; writing the page would lose the recording`)],
      [['view'], /view: expected view \[-o <page.html>\] \[--from <time>\] \[--to <time>\] \[--serve\] <recording>\.\.\./],
      [['view', '--from', 'noon', left], /view: --from noon: expected h:mm:ss, m:ss or seconds/],
      [['view', '--from', '1:00', '--to', '59', left], /view: --to must come after --from/],
      [['view', '--serve', '--to', '5', left], /view: --serve takes no -o, --from or --to/],
      [['batch', '-o', dir, '--sets', overSets, namedBin], /tasks\[0\] would write .*named.csv over the recording .*named.csv of tasks\[1\]/],
      [['batch', '-o', path.dirname(csvNamed), left, csvNamed], /tasks\[1\] would write .*named.csv over its own recording/],
      // Bad batch arguments: one line, exit 2, and no set folder made.
      [['batch', '-o', csvNamed, '--sets', setsFile], /batch: -o .*named.csv is not a directory/],
      [['batch', '-o', csvNamed, left], /batch: -o .*named.csv is not a directory/],
      // A manifest is appended to: never a recording, never an output.
      [['batch', '-o', unmade, '--manifest', left, left, right], new RegExp(`the manifest ${left} is the recording ${left}`)],
      [['batch', '-o', unmade, '--manifest', path.join(unmade, 'right-thigh.csv'), right], /the manifest .*right-thigh.csv is the output/],
      [['batch', '-o', unmade, '--sets', nulSets], /set 1 has an unusable name "a\\u0000b"/],
      [['batch', '-o', unmade, '--sets', setsFile, 'x/a.bin', 'y/a.bin'], /would both write/],
      [['batch', '-o', unmade, '--shard', '0/3', left], /--shard must be K\/N with 1 <= K <= N/],
      [['batch', '-o', unmade, '--shard', '4/3', left], /--shard must be K\/N .* got "4\/3"/],
      [['batch', '-o', unmade, '--shard', '1/2', '--shards', '2', left], /give --shard K\/N or --shards N, not both/],
      [['batch', '-o', unmade, '--shards', '2', left], /--shards needs JOB_COMPLETION_INDEX/],
      // Queue commands refuse a bad command line before reaching any Redis server.
      [['enqueue', left], /enqueue: --redis <url> is required/],
      [['enqueue', '--redis', 'redis://127.0.0.1:1', '--format', 'xml', left], /enqueue: --format must be csv or parquet, got "xml"/],
      [['enqueue', '--redis', 'redis://127.0.0.1:1', '--orientation', 'x', left], /enqueue: --orientation must be specified or bias-corrected, got "x"/],
      [['enqueue', '--redis', 'http://127.0.0.1:1', left], /options.redis must be a redis:\/\/ or rediss:\/\/ URL/],
      [['enqueue', '--redis', 'redis://127.0.0.1:1', '-o', unmade, '--sets', nulSets], /unusable name/],
      [['worker', '--redis', 'redis://127.0.0.1:1', '-j', '0'], /worker: --jobs must be an integer from 1 to 256, got "0"/],
      [['worker', '--redis', 'redis://127.0.0.1:1', '--stall-limit', '0'], /worker: --stall-limit must be an integer from 1 to 1000, got "0"/],
      [['enqueue', '--redis', 'redis://127.0.0.1:1', '--timeout', '5', left], /--timeout takes seconds.*needs --wait/],
      [['worker', '--redis', 'redis://127.0.0.1:1', '--queue', 'a:b'], /options.queue must be a non-empty name without ":"/],
    ];
    for (const [args, message] of table) {
      const r = run(args);
      assert.equal(r.code, 2, `${args.join(' ')}: ${r.err}`);
      assert.match(r.err, message, args.join(' '));
      if (args.length > 0) assert.equal(r.err.split('\n').length, 2, `one line: ${r.err}`);
    }
    assert.ok(fs.readFileSync(left).equals(leftBytes), 'the recording is unchanged');
    assert.ok(fs.readFileSync(csvNamed).equals(leftBytes));
    assert.equal(fs.existsSync(unmade), false);
    assert.equal(fs.existsSync(path.join(dir, 'set-1')), false);
  });
});

describe('commands', () => {
  test('read writes the CSV and prints the summary, plain or as JSON', () => {
    const csv = path.join(dir, 'left.csv');
    const plain = run(['read', left, csv]);
    assert.equal(plain.code, 0, plain.err);
    assert.match(plain.out, /-> .*left\.csv\n {2}created {4}\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\n[^]* {2}frequency {2}100 Hz/);
    const expected = fs.readFileSync(csv);
    fs.rmSync(csv);
    const json = run(['read', '--json', left, csv]);
    assert.deepEqual(JSON.parse(json.out), { recording: left, csv, summary: JSON.parse(kx.read(left, path.join(dir, 'x.csv'))) });
    assert.ok(fs.readFileSync(csv).equals(expected));
    // The orientation filter: the same bytes as the API gives for it, from read and from batch.
    const api = path.join(dir, 'api.csv');
    kx.read(left, api, { orientation: 'bias-corrected' });
    const byFilter = fs.mkdtempSync(path.join(dir, 'filter-'));
    assert.equal(run(['read', '--orientation', 'bias-corrected', left, csv]).code, 0);
    assert.equal(run(['batch', '--orientation', 'bias-corrected', '-o', byFilter, left]).code, 0);
    for (const f of [csv, path.join(byFilter, 'left-thigh.csv')]) assert.ok(fs.readFileSync(f).equals(fs.readFileSync(api)), f);
    assert.ok(!expected.equals(fs.readFileSync(api)));
    // Without a CSV path: <name>.csv in the current directory.
    assert.equal(run(['read', right]).code, 0);
    assert.ok(fs.existsSync(path.join(dir, `${path.basename(right, '.bin')}.csv`)));
    // Standard output takes the table alone, where it stands (a file opened to append keeps
    // what it held); the summary goes to standard error.
    const appended = path.join(dir, 'appended.csv');
    fs.writeFileSync(appended, 'earlier\n');
    const appending = fs.openSync(appended, 'a');
    for (const [target, fd] of [['-'], ['/dev/stdout'], ['-', appending]]) {
      const r = run(['read', left, target], fd === undefined ? {} : { stdio: ['ignore', fd, 'pipe'] });
      assert.equal(r.code, 0, r.err);
      const written = fd === undefined ? Buffer.from(r.out) : fs.readFileSync(appended);
      assert.ok(written.equals(fd === undefined ? expected : Buffer.concat([Buffer.from('earlier\n'), expected])), target);
      assert.match(r.err, /-> standard output\n {2}created/, target);
    }
    fs.closeSync(appending);
    // The output's extension, in any case, chooses the format.
    const named = path.join(dir, 'named.PARQUET');
    assert.equal(run(['read', left, named]).code, 0);
    assert.equal(fs.readFileSync(named).subarray(0, 4).toString(), 'PAR1');
  });

  test('read, sync and batch write Parquet files with --format parquet', () => {
    const out = fs.mkdtempSync(path.join(dir, 'parquet-'));
    const file = path.join(out, 'left.parquet');
    const json = run(['read', '--json', '--format', 'parquet', left, file]);
    assert.equal(json.code, 0, json.err);
    assert.deepEqual(JSON.parse(json.out), { recording: left, parquet: file, summary: JSON.parse(kx.read(left, path.join(dir, 'x.csv'))) });
    assert.ok(fs.readFileSync(file).equals((kx.writeParquet(left, path.join(dir, 'x.parquet')), fs.readFileSync(path.join(dir, 'x.parquet')))));
    assert.equal(run(['read', '--format', 'parquet', right], { cwd: out }).code, 0);
    const s = run(['sync', '--json', '--format', 'parquet', '-o', path.join(out, 'set'), left, right]);
    assert.equal(s.code, 4, 'the set folder is not made');
    fs.mkdirSync(path.join(out, 'set'));
    assert.equal(run(['sync', '--format', 'parquet', '-o', path.join(out, 'set'), left, right]).code, 0);
    const b = run(['batch', '--format', 'parquet', '-o', out, '--sets', setsFile, left, path.join(dir, 'gone.bin')]);
    assert.equal(b.code, 1);
    assert.ok(b.err.includes(`${path.join(dir, 'gone.bin')}: no such file`), b.err);
    assert.deepEqual(fs.readdirSync(out).sort(), ['left-thigh.parquet', 'left.parquet', 'right-thigh.parquet', 'set', 'set-1']);
    for (const d of ['set', 'set-1']) assert.deepEqual(fs.readdirSync(path.join(out, d)).sort(), ['left-thigh.parquet', 'right-thigh.parquet']);
    const missing = path.join(dir, 'missing.bin');
    const failures = [
      [['read', '--format', 'parquet', missing, path.join(out, 'm.parquet')], 3, `${missing}: no such file`],
      [['read', '--format', 'parquet', left, path.join(out, 'no', 'x.parquet')], 4, 'x.parquet: cannot be opened for writing'],
      [['sync', '--format', 'parquet', '-o', out, left, accelOnly], 5, `${accelOnly}: has no gyroscope`],
      [['sync', '--format', 'parquet', '-o', out, left, missing], 3, `${missing}: no such file`],
    ];
    for (const [args, code, message] of failures) {
      const r = run(args);
      assert.equal(r.code, code, `${args.join(' ')}: ${r.err}`);
      assert.ok(r.err.includes(message), `${args.join(' ')}: ${r.err}`);
    }
  });

  test('sync, config, device-id and write-config', () => {
    const out = fs.mkdtempSync(path.join(dir, 'sync-'));
    const s = run(['sync', '--json', '-o', out, left, right]);
    assert.equal(s.code, 0, s.err);
    assert.deepEqual(JSON.parse(s.out).files.map((f) => path.basename(f)), ['left-thigh.csv', 'right-thigh.csv']);
    assert.deepEqual(fs.readdirSync(out).sort(), ['left-thigh.csv', 'right-thigh.csv']);
    // A page of recordings with long names gets a short default name.
    const longs = [left, right].map((r, i) => path.join(out, `${String(i).repeat(120)}.bin`));
    longs.forEach((r, i) => fs.copyFileSync([left, right][i], r));
    const v = run(['view', ...longs], { cwd: out });
    assert.equal(v.code, 0, v.err);
    assert.ok(fs.existsSync(path.join(out, `${'0'.repeat(88)}+1-more.html`)), fs.readdirSync(out).join());

    assert.deepEqual(JSON.parse(run(['config', '--json', left]).out), JSON.parse(kx.readConfig(left)));
    assert.match(run(['config', left]).out, /^gyro:\n {2}frequency {2}100$/m);
    assert.equal(run(['device-id', right]).out, `${JSON.parse(kx.readConfigDeviceId(right)).deviceId}\n`);
    assert.equal(run(['--json', 'device-id', right]).out.trim(), kx.readConfigDeviceId(right));

    const cfg = path.join(dir, 'cfg.bin');
    const w = run(['write-config', cfg, 'baro,25:device,12,1,2']);
    assert.equal(w.code, 0);
    assert.equal(w.out, `wrote ${cfg} (22 bytes)\n`);
    assert.equal(JSON.parse(kx.readConfig(cfg)).deviceId, 12);
  });

  test('exit codes say what failed and messages name the file', () => {
    const missing = path.join(dir, 'missing.bin');
    const short = path.join(dir, 'short.bin');
    fs.writeFileSync(short, Buffer.alloc(100));
    const zeros = path.join(dir, 'zeros.bin');
    fs.writeFileSync(zeros, Buffer.alloc(2048));
    const cfg = path.join(dir, 'kept.bin');
    fs.writeFileSync(cfg, 'old');
    const nowhere = path.join(dir, 'no', 'such', 'dir');
    const fifo = path.join(dir, 'fifo.bin');
    spawnSync('mkfifo', [fifo]);
    const table = [
      [['read', missing, 'm.csv'], 3, `${missing}: no such file`],
      [['read', fifo, 'f.csv'], 3, `${fifo}: is a FIFO (named pipe), not a regular file`],
      [['batch', '--format', 'parquet', '-o', dir, '/dev/zero'], 1, '/dev/zero: is a character device, not a regular file'],
      [['read', short, 's.csv'], 3, `${short}: only 100 bytes, shorter than one 512-byte block`],
      [['read', zeros, 'z.csv'], 3, `${zeros}: not a recording`],
      [['read', left, path.join(nowhere, 'x.csv')], 4, `cannot write: directory ${nowhere} does not exist`],
      [['read', '--max-rows', '10', left, 'r.csv'], 3, `${left}: its table would have 1000 rows, implausibly many`],
      [['read', '--format', 'parquet', '--max-rows', '10', left, 'r.parquet'], 3, `${left}: its table would have 1000 rows, implausibly many for the recording (--max-rows raises the limit)`],
      [['sync', '--max-rows', '10', '-o', dir, left, right], 3, `${right}: its table would have 1000 rows`],
      [['sync', '-f', 'parquet', '--max-rows', '10', '-o', dir, left, right], 3, `${right}: its table would have 1000 rows`],
      [['batch', '--max-rows', '10', '-o', dir, left], 1, `${left}: its table would have 1000 rows, implausibly many`],
      [['batch', '-f', 'parquet', '--max-rows', '10', '-o', dir, left], 1, `${left}: its table would have 1000 rows, implausibly many for the recording (--max-rows raises the limit)`],
      [['batch', '--max-rows', '10', '-o', dir, '--sets', setsFile], 1, `${right}: its table would have 1000 rows`],
      [['batch', '-f', 'parquet', '--max-rows', '10', '-o', dir, '--sets', setsFile], 1, `${right}: its table would have 1000 rows`],
      [['view', '--max-rows', '10', '-o', 'v0.html', left], 3, `${left}: its table would have 1000 rows, implausibly many`],
      [['view', '--serve', '--max-rows', '10', left], 3, `${left}: its table would have 1000 rows, implausibly many`],
      [['view', '--max-rows', '10', '-o', 'v1.html', left, right], 3, `${left}: its table would have 1000 rows`],
      [['config', missing], 3, `${missing}: no such file`],
      [['device-id', zeros], 3, `${zeros}: not a recording`],
      [['sync', '-o', dir, left, missing], 3, `${missing}: no such file`],
      [['sync', '-o', dir, left, accelOnly], 5, `${accelOnly}: has no gyroscope`],
      [['sync', '-o', nowhere, left, right], 4, `directory ${nowhere} does not exist`],
      // view: the failures of read and sync, and no page written (checked below).
      [['view', '-o', 'v1.html', left, missing], 3, `${missing}: no such file`],
      [['view', '-o', 'v2.html', zeros], 3, `${zeros}: not a recording`],
      [['view', '-o', 'v3.html', left, accelOnly], 5, `${accelOnly}: has no gyroscope`],
      [['view', '-o', 'v4.html', ...unsynced], 6, 'no common time base'],
      [['view', '-o', path.join(nowhere, 'v.html'), left], 4, `cannot write: directory ${nowhere} does not exist`],
      [['view', '-o', `${'p'.repeat(300)}.html`, left, missing], 4, 'cannot write: file name too long (305 bytes, at most 255)'],
      [['write-config', cfg, 'device,1'], 7, `${cfg}: configuration text refused`],
      [['write-config', path.join(nowhere, 'c.bin'), 'baro,1'], 4, `cannot write: directory ${nowhere} does not exist`],
    ];
    for (const [args, code, message] of table) {
      const r = run(args);
      assert.equal(r.code, code, `${args.join(' ')}: ${r.err}`);
      assert.ok(r.err.includes(message), `${args.join(' ')}: ${r.err}`);
    }
    assert.equal(fs.readFileSync(cfg, 'utf8'), 'old');
    assert.deepEqual(fs.readdirSync(dir).filter((f) => f.endsWith('.html') || f.endsWith('.tmp')), []);
    const j = run(['read', '--json', missing, 'm.csv']);
    assert.deepEqual(JSON.parse(j.out), { error: { code: 3, message: `${missing}: no such file` } });
  });

  test('batch converts recordings and sets, names each failure and exits 1 when some fail', () => {
    const out = path.join(fs.mkdtempSync(path.join(dir, 'batch-')), 'made', 'here'); // -o is made
    const manifest = path.join(dir, 'batch-manifest.jsonl');
    const sets = path.join(dir, 'set', 'sets.json');
    fs.writeFileSync(sets, JSON.stringify([[path.basename(left), path.basename(right)], { name: 'again', recordings: [path.basename(left), path.basename(right)] }]));
    const missing = path.join(dir, 'gone.bin');
    const r = run(['batch', '--json', '-j', '2', '-o', out, '--manifest', manifest, '--sets', sets, left, missing]);
    assert.equal(r.code, 1, r.err);
    assert.match(r.err, new RegExp(`${missing}: no such file`));
    const failedLine = fs.readFileSync(manifest, 'utf8').trim().split('\n').map((l) => JSON.parse(l)).find((l) => !l.ok);
    assert.equal(failedLine.error, `${missing}: no such file`);
    const report = JSON.parse(r.out);
    assert.equal(report.converted, 3);
    assert.equal(report.failed, 1);
    assert.deepEqual(report.results.map((x) => [x.kind, x.ok]), [['read', true], ['read', false], ['sync', true], ['sync', true]]);
    assert.deepEqual(fs.readdirSync(out).sort(), ['again', 'left-thigh.csv', 'set-1']);
    assert.deepEqual(fs.readdirSync(path.join(out, 'set-1')).sort(), ['left-thigh.csv', 'right-thigh.csv']);

    const ok = run(['batch', '-o', out, right]);
    assert.equal(ok.code, 0);
    assert.match(ok.out, /^1 of 1 converted in \d+\.\d\d s\n$/);
    assert.equal(ok.err, '', 'no progress bar when standard error is not a terminal');
  });

  const script = ['/usr/bin/script', '/bin/script'].find((f) => fs.existsSync(f));
  test('on a terminal, batch draws its progress bar by itself', { skip: script ? false : 'no script(1) to give the tool a terminal' }, () => {
    const out = fs.mkdtempSync(path.join(dir, 'tty-'));
    const command = [process.execPath, BIN, 'batch', '-o', out, left, right].map((a) => JSON.stringify(a)).join(' ');
    const r = spawnSync(script, ['-qec', command, '/dev/null'], { encoding: 'utf8', timeout: 60000 });
    assert.equal(r.status, 0, r.stdout + r.stderr);
    assert.match(r.stdout, /\r\[#+\] 2\/2 100% /);
    assert.match(r.stdout, /2 of 2 converted/);
  });

  test('the batch progress bar is drawn on standard error when asked', () => {
    const out = fs.mkdtempSync(path.join(dir, 'bar-'));
    const r = run(['batch', '--progress', '-o', out, left, right]);
    assert.equal(r.code, 0, r.err);
    assert.match(r.err, /\r\[#{10,}-*\] 1\/2 {2}50% /);
    assert.match(r.err, /\r\[#+\] 2\/2 100% /);
  });
});

describe('signals', () => {
  // Conversions long enough to be caught while they write.
  let longs;
  let complete; // the CSV file of a long recording, converted in full
  before(() => {
    longs = ['long-a.bin', 'long-b.bin'].map((n) => path.join(dir, 'long', n));
    fs.mkdirSync(path.join(dir, 'long'));
    // Two devices worn together: a set that synchronises, so that sync runs long enough too.
    simulate({ seconds: 60, devices: 2, truth: false }).devices.forEach((d, i) => {
      fs.writeFileSync(longs[i], setEndDate(repeatRecording(d.bytes, 60, 6000), 3600));
    });
    kx.read(longs[0], path.join(dir, 'long', 'complete.csv'));
    complete = fs.readFileSync(path.join(dir, 'long', 'complete.csv'));
  });

  // Spawns the tool, waits until it writes a hidden temporary file in `out` (other than
  // `foreign`), or with `reading` until it holds that recording open, then sends the signals;
  // answers the exit code, standard error and what `out` holds at the end.
  const linkOf = (p) => {
    try {
      return fs.readlinkSync(p);
    } catch {
      return null; // closed meanwhile, or the process is gone
    }
  };
  const holds = (pid, file) => {
    try {
      return fs.readdirSync(`/proc/${pid}/fd`).some((fd) => linkOf(`/proc/${pid}/fd/${fd}`) === file);
    } catch {
      return false; // the process is gone
    }
  };
  function interrupt(args, out, signals, foreign, reading) {
    return new Promise((resolve, reject) => {
      const child = spawn(process.execPath, [BIN, ...args], { cwd: dir, stdio: ['ignore', 'ignore', 'pipe'] });
      let err = '';
      let second = signals.length > 1;
      child.stderr.on('data', (d) => {
        err += d;
        // A second signal sent before the first was handled would merge with it: it goes when
        // the tool says it took the first.
        if (second && /interrupted/.test(err)) {
          second = false;
          child.kill(signals[1]);
        }
      });
      let sent = false;
      const poll = setInterval(() => {
        if (sent) return;
        if (reading ? !holds(child.pid, reading) : !fs.readdirSync(out).some((n) => n !== foreign && n.startsWith('.') && n.endsWith('.tmp'))) return;
        sent = true;
        // A temporary file of this tool in the same folder, as the next version names them.
        fs.writeFileSync(path.join(out, `.kx-${child.pid}-zzzzzz.tmp`), 'partial');
        child.kill(signals[0]);
      }, 2);
      child.on('error', reject);
      child.on('exit', (code, signal) => {
        clearInterval(poll);
        resolve({ sent, code, signal, err, files: fs.readdirSync(out).sort() });
      });
    });
  }

  test('SIGINT and SIGTERM remove the unfinished files of this process only and keep earlier outputs', async () => {
    const table = [
      [['read'], ['SIGINT'], 130, /interrupted; removed [12] unfinished files?/],
      [['read'], ['SIGINT', 'SIGINT'], 130, /interrupted; removed [12] unfinished files?/],
      [['read'], ['SIGTERM'], 143, /terminated; removed [12] unfinished files?/],
      // A batch conversion that ended before the signal keeps its new output.
      [['batch', '-j', '2'], ['SIGTERM'], 143, /terminated; removed [1-3] unfinished files?/],
      [['batch', '-j', '2'], ['SIGINT', 'SIGINT'], 130, /interrupted; removed [1-3] unfinished files?/],
      // Caught while a worker thread decodes, inside the addon: the process must not abort.
      [['read', '--format', 'parquet'], ['SIGINT'], 130, /interrupted; removed [12] unfinished files?/, 'reading'],
      [['view'], ['SIGTERM'], 143, /terminated; removed 1 unfinished file/, 'reading'],
      // The set's recordings are read while its files are written: its temporary files go too.
      [['sync'], ['SIGINT'], 130, /interrupted; removed [1-3] unfinished files?/, 'reading'],
      [['batch', '--format', 'parquet'], ['SIGTERM'], 143, /terminated; removed [1-3] unfinished files?/, 'reading'],
    ];
    const extensions = { parquet: 'parquet', view: 'html' };
    for (const [command, signals, code, message, when] of table) {
      if (when === 'reading' && !fs.existsSync(`/proc/${process.pid}/fd`)) continue; // no /proc to see it reading
      const label = `${command.join(' ')} with ${signals.join(', ')}${when ? ` while ${when}` : ''}`;
      const out = fs.mkdtempSync(path.join(dir, 'signal-'));
      const recordings = ['batch', 'sync'].includes(command[0]) ? longs : [longs[0]];
      const ext = extensions[command.find((c) => extensions[c])] || 'csv';
      const csvs = recordings.map((r) => path.join(out, `${path.basename(r, '.bin')}.${ext}`));
      for (const csv of csvs) fs.writeFileSync(csv, 'earlier output');
      // A temporary file of another live process (this test's) is never touched.
      const foreign = `.kx-${process.pid}-abcdef.tmp`;
      fs.writeFileSync(path.join(out, foreign), 'not ours');
      const args = { read: [...command, longs[0], csvs[0]], view: [...command, '-o', csvs[0], longs[0]] }[command[0]] || [...command, '-o', out, ...longs];
      const r = await interrupt(args, out, signals, foreign, when && longs[0]);
      assert.ok(r.sent, `${label}: no temporary file seen before the end (${r.err})`);
      assert.equal(r.code, code, `${label}: ${r.signal} ${r.err}`);
      assert.match(r.err, message, label);
      assert.deepEqual(r.files, [foreign, ...csvs.map((f) => path.basename(f))].sort(), label);
      const kept = csvs.filter((csv) => fs.readFileSync(csv, 'utf8') === 'earlier output');
      for (const csv of csvs) assert.ok(kept.includes(csv) || fs.readFileSync(csv).equals(complete), `${label}: ${csv}`);
      assert.ok(kept.length >= 1, `${label}: the interrupted conversion replaced its output`);
    }
  });
});

describe('more than one machine', () => {
  let recs; // seven short recordings
  let pairSets; // a sets file of one device pair
  before(() => {
    const where = fs.mkdtempSync(path.join(dir, 'cohort-'));
    recs = [1, 2, 3, 4, 5, 6, 7].map((seed) => {
      const file = path.join(where, `p${seed}.bin`);
      fs.writeFileSync(file, simulate({ seconds: 4, seed, truth: false }).devices[0].bytes);
      return file;
    });
    pairSets = path.join(dir, 'pair-set.json');
    fs.writeFileSync(pairSets, JSON.stringify([{ name: 'pair', recordings: [left, right] }]));
  });
  const slurm = (id, min, max, count, step) => ({
    ...plainEnv, SLURM_ARRAY_TASK_ID: id, SLURM_ARRAY_TASK_MIN: min, SLURM_ARRAY_TASK_MAX: max, SLURM_ARRAY_TASK_COUNT: count,
    ...(step === undefined ? {} : { SLURM_ARRAY_TASK_STEP: step }),
  });

  test('three shards, each given its index another way, are disjoint and complete', () => {
    const out = fs.mkdtempSync(path.join(dir, 'shards-'));
    const manifest = path.join(out, 'manifest.jsonl');
    const common = ['--manifest', manifest, '-o', out, '--sets', pairSets, ...recs];
    // Eight tasks: seven recordings, then the pair; positions 0..7.
    const shards = [
      [['--shard', '1/3'], plainEnv, '1/3'],
      [[], slurm('12', '10', '14', '3', '2'), '2/3'], // --array=10-14:2, its second task
      [['--shards', '3'], { ...plainEnv, JOB_COMPLETION_INDEX: '2' }, '3/3'],
    ];
    for (const [args, env, name] of shards) {
      const r = run(['batch', ...args, ...common], { env });
      assert.equal(r.code, 0, r.err);
      assert.match(r.out, new RegExp(`\\(shard ${name}: \\d of 8 tasks\\)`));
    }
    const lines = fs.readFileSync(manifest, 'utf8').trim().split('\n').map((l) => JSON.parse(l));
    const all = [...recs, `${left},${right}`];
    const took = lines.map((l) => l.inputs.join(','));
    assert.deepEqual([...took].sort(), [...all].sort(), 'every task once, in one shard');
    for (const l of lines) {
      const at = all.indexOf(l.inputs.join(','));
      assert.equal(l.shard, `${(at % 3) + 1}/3`, l.inputs.join(','));
      assert.equal(l.ok, true);
      assert.equal(l.host, os.hostname());
      assert.ok(l.seconds > 0 && l.seconds < 60);
    }
    const readLine = lines.find((l) => l.kind === 'read');
    const expected = path.join(out, 'expected.csv');
    assert.deepEqual(readLine.answer, JSON.parse(kx.read(readLine.inputs[0], expected)));
    assert.ok(fs.readFileSync(readLine.outputs[0]).equals(fs.readFileSync(expected)));
    assert.deepEqual(lines.find((l) => l.kind === 'sync').outputs, [path.join(out, 'pair', 'left-thigh.csv'), path.join(out, 'pair', 'right-thigh.csv')]);

    // Schedulers' indexes that name no share are refused before anything is written.
    const refused = [
      [slurm('4', '1', '9', '3'), /not one evenly spaced range/], // --array=1,4,9
      [slurm('3', '0', '2', '3', '0'), /do not name one task of an array/],
      [slurm('x', '0', '2', '3'), /do not name one task of an array/],
      [{ ...plainEnv, JOB_COMPLETION_INDEX: '1' }, /JOB_COMPLETION_INDEX is set but not the number of shards/],
    ];
    for (const [env, message] of refused) {
      const r = run(['batch', '-o', unmade, left], { env });
      assert.equal(r.code, 2, r.err);
      assert.match(r.err, message);
    }
    const over = run(['batch', '--shards', '3', '-o', unmade, left], { env: { ...plainEnv, JOB_COMPLETION_INDEX: '3' } });
    assert.match(over.err, /JOB_COMPLETION_INDEX must be an integer from 0 to 2 with --shards 3, got "3"/);
    assert.equal(fs.existsSync(unmade), false);
  });

  test('--skip-existing redoes only the tasks whose recording changed or output is missing', () => {
    const out = fs.mkdtempSync(path.join(dir, 'again-'));
    const manifest = path.join(out, 'manifest.jsonl');
    const args = ['batch', '--json', '--skip-existing', '--manifest', manifest, '-o', out, '--sets', pairSets, ...recs.slice(0, 4)];
    const first = run(args);
    assert.equal(first.code, 0, first.err);
    assert.equal(JSON.parse(first.out).converted, 5);
    const csv = (r) => path.join(out, `${path.basename(r, '.bin')}.csv`);
    const stamp = (f) => fs.statSync(f, { bigint: true }).mtimeNs;
    const before = recs.slice(0, 4).map((r) => stamp(csv(r)));
    const setBefore = stamp(path.join(out, 'pair', 'left-thigh.csv'));
    // Recording 2 changed after its conversion; the output of recording 3 is gone.
    const later = new Date(Date.now() + 5000);
    fs.utimesSync(recs[1], later, later);
    fs.rmSync(csv(recs[2]));

    const second = JSON.parse(run(args).out);
    assert.deepEqual(second.results.map((r) => r.recording), [recs[1], recs[2]]);
    assert.equal(second.skipped, 3);
    assert.equal(stamp(csv(recs[0])), before[0]);
    assert.equal(stamp(csv(recs[3])), before[3]);
    assert.equal(stamp(path.join(out, 'pair', 'left-thigh.csv')), setBefore);
    assert.ok(fs.existsSync(csv(recs[2])));
    const lines = fs.readFileSync(manifest, 'utf8').trim().split('\n').map((l) => JSON.parse(l));
    assert.equal(lines.length, 10);
    assert.deepEqual(lines.slice(5).filter((l) => l.skipped).map((l) => l.inputs[0]).sort(), [recs[0], recs[3], left].sort());
    fs.utimesSync(recs[1], new Date(), new Date());

    // A manifest that cannot take its line is an output that could not be written.
    if (fs.existsSync('/dev/full')) {
      const full = run(['batch', '-o', out, '--manifest', '/dev/full', recs[4]]);
      assert.equal(full.code, 4, full.err);
      assert.match(full.err, /\/dev\/full: cannot append to the manifest \(ENOSPC\)/);
    }
  });
});
