// Damaged, hostile and impossible inputs as JavaScript meets them: every call answers, none
// takes the process down, and no failure costs the file that was there before.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const addon = require('../../index.js');
const { frames, records, Recording } = require('../support/recording.js');
const { configTextProblem } = require('../../lib/config-text.js');

const entry = require.resolve('../../index.js');
const loadError = '{"error":"Error during data loading."}';
const ACC = 0x13;
const GYR = 0x14;

let dir;
before(() => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-bad-'));
  fs.chmodSync(dir, 0o755);  // an unprivileged child must reach the recordings
});
after(() => {
  if (fs.existsSync(path.join(dir, 'read-only'))) fs.chmodSync(path.join(dir, 'read-only'), 0o755);
  fs.rmSync(dir, { recursive: true, force: true });
});

// A device at rest with time marks: 100 Hz base clock, accelerometer and gyroscope at 100 Hz,
// `blocks` blocks of 31 ticks.
function recording(blocks = 2, extraFrames = []) {
  const rec = new Recording().frames(frames.device(42, 1, 2), frames.baseFrequency(100),
    frames.inertial(2, ACC, 100, 0), frames.inertial(3, GYR, 100, 2), frames.timeMarks(10, 0, 0, 20, 0, 1000),
    ...extraFrames);
  for (let k = 0; k < blocks; ++k) {
    const recs = [];
    for (let t = 0; t < 31; ++t) recs.push(records.xyz(ACC, t, 10, -20, 16384), records.xyz(GYR, t, 3, -2, 1));
    rec.block(31 * k, recs);
  }
  return rec.toBuffer();
}

function freshDir(name, mode = 0o777) {
  const d = path.join(dir, name);
  fs.rmSync(d, { recursive: true, force: true });
  fs.mkdirSync(d);
  fs.chmodSync(d, mode);
  return d;
}

const totalRows = (csv) => Number(/\nTotal data points: (\d+)/.exec(fs.readFileSync(csv, 'utf8'))[1]);

// The package as a child running as another user loads it: a checkout under a private folder
// (root's home, in most containers) is out of that user's reach, so what it runs is copied into
// the test folder once.
let copied = null;
function reachableEntry() {
  if (copied === null) {
    const root = path.dirname(entry);
    const pkg = path.join(dir, 'package');
    fs.mkdirSync(path.join(pkg, 'build'), { recursive: true });
    for (const f of ['index.js', 'package.json']) fs.copyFileSync(path.join(root, f), path.join(pkg, f));
    fs.cpSync(path.join(root, 'lib'), path.join(pkg, 'lib'), { recursive: true });
    fs.copyFileSync(require('../../lib/addon.js').addonPath, path.join(pkg, 'build', 'addon.node'));
    copied = { entry: path.join(pkg, 'index.js'), addon: path.join(pkg, 'build', 'addon.node') };
  }
  return copied;
}

// Runs `body` (source text using `addon` and `input`) in a child node, after `prefix` (a
// command that changes the child's conditions), and answers what the body returned.
function inChild(prefix, body, input) {
  const other = prefix[0] === 'setpriv';
  const load = other ? reachableEntry() : { entry, addon: process.env.KX_ADDON_PATH };
  const script = `const addon = require(${JSON.stringify(load.entry)}); const input = ${JSON.stringify(input)};`
    + `process.stdout.write(JSON.stringify((() => { ${body} })()))`;
  const env = { ...process.env };
  if (load.addon) env.KX_ADDON_PATH = load.addon;
  const child = spawnSync(prefix[0] ?? process.execPath,
    [...prefix.slice(1), ...(prefix.length ? [process.execPath] : []), '-e', script],
    { encoding: 'utf8', env, cwd: other ? dir : undefined });
  if (child.error) return { skipped: child.error.message };
  if (child.status === 77) return { skipped: child.stderr };
  assert.equal(child.status, 0, child.stderr);
  return { value: JSON.parse(child.stdout) };
}

// True when `prefix` can run a program here (setpriv and unshare need privileges a container
// may not grant).
const works = (prefix) => spawnSync(prefix[0], [...prefix.slice(1), 'true']).status === 0;

// Root ignores file modes: permission tests drop to an unprivileged user.
const unprivileged = () => (process.getuid() === 0
  ? ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups'] : []);

describe('damaged recordings', () => {
  test('short files, truncated files, a directory, a FIFO and a device', () => {
    const full = recording(2);
    const noMagic = Buffer.from(full);
    noMagic.fill(0x78, 0, 512);
    const cases = [
      { name: 'empty', bytes: Buffer.alloc(0), device: '', rows: null },
      { name: 'one byte', bytes: Buffer.from('K'), device: '', rows: null },
      { name: '511 bytes', bytes: full.subarray(0, 511), device: '{"deviceId":42}', rows: null },
      { name: 'truncated', bytes: full.subarray(0, 1024 + 300), device: '{"deviceId":42}', rows: 31 },
      { name: 'no magic', bytes: noMagic, device: '', rows: null },
      { name: 'all 0x00', bytes: Buffer.alloc(1536, 0x00), device: '', rows: null },
      { name: 'all 0xFF', bytes: Buffer.alloc(1536, 0xff), device: '', rows: null },
      { name: 'zero and 0xFF data blocks', device: '{"deviceId":42}', rows: 0,
        bytes: Buffer.concat([full.subarray(0, 512), Buffer.alloc(512, 0), Buffer.alloc(512, 0xff)]) },
      { name: 'a directory', make: (f) => fs.mkdirSync(f), device: '', rows: null, why: /is a directory/ },
      // Opening either for reading would block for good or never end.
      { name: 'a FIFO', make: (f) => spawnSync('mkfifo', [f]), device: '', rows: null, why: /is a FIFO/ },
      { name: 'a link to a device', make: (f) => fs.symlinkSync('/dev/zero', f), device: '', rows: null, why: /is a character device/ },
    ];
    const good = path.join(dir, 'good.bin');
    fs.writeFileSync(good, full);
    const out = freshDir('out-damaged');
    for (const c of cases) {
      const file = path.join(dir, `${c.name}.bin`);
      if (c.bytes) fs.writeFileSync(file, c.bytes); else c.make(file);
      if (c.why) assert.throws(() => addon.readData(file), { message: c.why }, c.name);
      assert.equal(addon.readConfigDeviceId(file), c.device, c.name);
      assert.equal(addon.readConfig(file) === '', c.device === '', c.name);
      const csv = path.join(out, `${c.name}.csv`);
      const answer = addon.read(file, csv);
      if (c.rows === null) {
        assert.equal(answer, loadError, c.name);
        assert.equal(fs.existsSync(csv), false, c.name);
        assert.equal(addon.readAndSync2([good, file], out), '-10', c.name);
      } else {
        assert.equal(JSON.parse(answer).frequency, 100, c.name);
        assert.equal(totalRows(csv), c.rows, c.name);
      }
    }
  });

  test('frames past the block, L = 0 and L = 255, frequency 0 and gain 0', () => {
    const longFrame = [0x4b, 0x58, 9, 1, 255, ...new Array(255).fill(0xee), 0xff, 0xfe];
    const cases = [
      // The frame that would run past the block ends the scan; what came before counts.
      { name: 'past the block', frames: [frames.device(42, 1, 2), longFrame, [0x4b, 0x58, 3, 99, 240]], unknown: 262 },
      // A known frame with no payload is malformed and skipped.
      { name: 'L = 0', frames: [[0x4b, 0x58, 1, 1, 0, 0xff, 0xfe], frames.device(42, 1, 2)], unknown: 0 },
      { name: 'L = 255', frames: [longFrame, frames.device(42, 1, 2)], unknown: 262 },
    ];
    for (const c of cases) {
      const file = path.join(dir, 'frames.bin');
      fs.writeFileSync(file, new Recording().frames(...c.frames).toBuffer());
      const answer = JSON.parse(addon.readConfig(file));
      assert.equal(answer.deviceId, 42, c.name);
      assert.equal(Buffer.from(answer.unknownFrames, 'base64').length, c.unknown, c.name);
    }

    // No base rate, and an accelerometer whose gains are 0: answers and tables, no failure.
    const noBase = new Recording().frames(frames.inertial(2, ACC, 100, 0), frames.inertial(3, GYR, 100, 2))
      .block(0, [records.xyz(ACC, 0, 1, 2, 3), records.xyz(GYR, 0, 1, 2, 3)]).toBuffer();
    const zeroGain = recording(1, [frames.inertial(2, ACC, 100, 0, { gains: [0, 0, 0] })]);
    const out = freshDir('out-zero');
    fs.writeFileSync(path.join(dir, 'nobase.bin'), noBase);
    fs.writeFileSync(path.join(dir, 'zerogain.bin'), zeroGain);
    assert.equal(JSON.parse(addon.read(path.join(dir, 'nobase.bin'), path.join(out, 'nobase.csv'))).frequency, 0);
    assert.equal(totalRows(path.join(out, 'nobase.csv')), 0);
    assert.equal(JSON.parse(addon.read(path.join(dir, 'zerogain.bin'), path.join(out, 'zerogain.csv'))).frequency, 100);
    const row = fs.readFileSync(path.join(out, 'zerogain.csv'), 'utf8').split('\n')[7];
    assert.match(row, /^0\.01000,0\.09155,-0\.06104,0\.03052,inf,-inf,inf,/);
  });

  test('random bytes get an answer from every function', () => {
    let seed = 12345;
    const random = () => { seed = (seed * 1103515245 + 12345) >>> 0; return seed >>> 16; };
    const out = freshDir('out-random');
    for (let i = 0; i < 60; ++i) {
      const bytes = Buffer.alloc(random() % 2600);
      for (let k = 0; k < bytes.length; ++k) bytes[k] = random() & 0xff;
      if (i % 2 === 0 && bytes.length >= 2) bytes.write('KX', 0, 'latin1');
      const file = path.join(dir, 'random.bin');
      fs.writeFileSync(file, bytes);
      const config = addon.readConfig(file);
      if (i % 2 === 0 && bytes.length >= 2) assert.doesNotThrow(() => JSON.parse(config));
      const answer = addon.read(file, path.join(out, 'random.csv'));
      assert.doesNotThrow(() => JSON.parse(answer));
      assert.ok(['OK', '-10', '-11', '-12', '-13'].includes(addon.readAndSync2([file, file], out)));
      assert.ok(['OK', 'ERROR'].includes(addon.writeConfig(path.join(out, 'cfg.bin'), bytes.toString('latin1'))));
    }
  });

  test('a sparse multi-gigabyte file is read block by block, not into memory', () => {
    const big = path.join(dir, 'sparse.bin');
    fs.writeFileSync(big, recording(2));
    fs.truncateSync(big, 5 * 2 ** 30);
    assert.equal(addon.readConfigDeviceId(big), '{"deviceId":42}');
    // Peak memory of a child reading the whole file, against one that only loads the module.
    const out = freshDir('out-sparse');
    const base = inChild([], 'return process.resourceUsage().maxRSS;', null).value;
    const { value } = inChild([], `const answer = addon.read(input[0], input[1]);
      return { answer, rss: process.resourceUsage().maxRSS };`, [big, path.join(out, 'sparse.csv')]);
    assert.equal(JSON.parse(value.answer).frequency, 100);
    assert.equal(totalRows(path.join(out, 'sparse.csv')), 62);
    assert.ok(value.rss < base + 64 * 1024, `peak RSS ${value.rss} KiB, module alone ${base} KiB`);
  });
});

describe('files that cannot be read or written', () => {
  test('an unreadable recording', (t) => {
    const secret = path.join(dir, 'secret.bin');
    fs.writeFileSync(secret, recording(1));
    fs.chmodSync(secret, 0o000);
    const out = freshDir('out-secret');
    if (!works(unprivileged().concat(['/bin/sh', '-c']))) return t.skip('cannot run as another user');
    const r = inChild(unprivileged(), `return [addon.readConfig(input[0]), addon.readConfigDeviceId(input[0]),
      addon.read(input[0], input[1] + '/secret.csv'), addon.readAndSync2([input[0], input[0]], input[1])];`,
    [secret, out]);
    if (r.skipped) return t.skip(`cannot run as another user: ${r.skipped}`);
    assert.deepEqual(r.value, ['', '', loadError, '-10']);
    assert.deepEqual(fs.readdirSync(out), []);
  });

  test('output directories that do not exist or are read-only', (t) => {
    const [left, right] = [path.join(dir, 'left.bin'), path.join(dir, 'right.bin')];
    fs.writeFileSync(left, recording(2));
    fs.writeFileSync(right, recording(2));
    const missing = path.join(dir, 'no', 'such');
    assert.equal(addon.writeConfig(path.join(missing, 'cfg.bin'), 'baro,1'), 'ERROR');
    assert.equal(addon.read(left, path.join(missing, 'left.csv')), loadError);
    assert.equal(addon.readAndSync2([left, right], missing), '-12');
    assert.equal(fs.existsSync(path.join(dir, 'no')), false);

    const ro = freshDir('read-only', 0o755);
    fs.writeFileSync(path.join(ro, 'left.csv'), 'old');
    fs.writeFileSync(path.join(ro, 'cfg.bin'), 'old');
    fs.chmodSync(path.join(ro, 'left.csv'), 0o666);  // the files are writable, the directory is not
    fs.chmodSync(path.join(ro, 'cfg.bin'), 0o666);
    fs.chmodSync(ro, 0o555);
    if (!works(unprivileged().concat(['/bin/sh', '-c']))) return t.skip('cannot run as another user');
    const r = inChild(unprivileged(), `return [addon.writeConfig(input[1] + '/cfg.bin', 'baro,1'),
      addon.read(input[0][0], input[1] + '/left.csv'), addon.readAndSync2(input[0], input[1])];`, [[left, right], ro]);
    if (r.skipped) return t.skip(`cannot run as another user: ${r.skipped}`);
    assert.deepEqual(r.value, ['ERROR', loadError, '-12']);
    assert.deepEqual(fs.readdirSync(ro).sort(), ['cfg.bin', 'left.csv']);
    assert.equal(fs.readFileSync(path.join(ro, 'left.csv'), 'utf8'), 'old');
  });

  test('a read-only target is refused and left unchanged', (t) => {
    const [left, right] = [path.join(dir, 'left.bin'), path.join(dir, 'right.bin')];
    fs.writeFileSync(left, recording(2));
    fs.writeFileSync(right, recording(2));
    // The user's own files in the user's own folder: only their mode protects them.
    const ro = freshDir('read-only-targets', 0o755);
    for (const name of ['cfg.bin', 'left.csv']) {
      fs.writeFileSync(path.join(ro, name), 'old');
      fs.chmodSync(path.join(ro, name), 0o444);
    }
    if (process.getuid() === 0) {
      for (const name of ['', 'cfg.bin', 'left.csv']) fs.chownSync(path.join(ro, name), 65534, 65534);
    }
    if (!works(unprivileged().concat(['/bin/sh', '-c']))) return t.skip('cannot run as another user');
    const r = inChild(unprivileged(), `return [addon.writeConfig(input[1] + '/cfg.bin', 'baro,1'),
      addon.read(input[0][0], input[1] + '/left.csv'), addon.readAndSync2(input[0], input[1])];`, [[left, right], ro]);
    if (r.skipped) return t.skip(`cannot run as another user: ${r.skipped}`);
    assert.deepEqual(r.value, ['ERROR', loadError, '-12']);
    assert.deepEqual(fs.readdirSync(ro).sort(), ['cfg.bin', 'left.csv']);
    for (const name of ['cfg.bin', 'left.csv']) assert.equal(fs.readFileSync(path.join(ro, name), 'utf8'), 'old');
  });

  test('links, a second name and a 255-byte name keep their files', () => {
    const left = path.join(dir, 'left.bin');
    fs.writeFileSync(left, recording(2));
    const d = freshDir('links');
    fs.writeFileSync(path.join(d, 'file.bin'), 'old');
    fs.symlinkSync('file.bin', path.join(d, 'link.bin'));
    fs.symlinkSync('made.bin', path.join(d, 'dangling.bin'));
    fs.writeFileSync(path.join(d, 'h1.bin'), 'old');
    fs.linkSync(path.join(d, 'h1.bin'), path.join(d, 'h2.bin'));
    const long = path.join(d, `${'n'.repeat(251)}.bin`);
    for (const target of ['link.bin', 'dangling.bin', 'h1.bin']) {
      assert.equal(addon.writeConfig(path.join(d, target), 'device,7,1,1'), 'OK', target);
    }
    assert.equal(addon.writeConfig(long, 'device,7,1,1'), 'OK');
    for (const written of ['file.bin', 'made.bin', 'h1.bin', 'h2.bin', path.basename(long)]) {
      assert.equal(addon.readConfigDeviceId(path.join(d, written)), '{"deviceId":7}', written);
    }
    assert.ok(fs.lstatSync(path.join(d, 'link.bin')).isSymbolicLink());
    assert.ok(fs.lstatSync(path.join(d, 'dangling.bin')).isSymbolicLink());
    assert.notEqual(addon.read(left, path.join(d, 'link.bin')), loadError);
    assert.equal(totalRows(path.join(d, 'file.bin')), 62);
    assert.deepEqual(fs.readdirSync(d).filter((n) => n.startsWith('.kx-')), []);
  });

  test('an output never replaces a recording of the same call', () => {
    const d = freshDir('own-input');
    const [left, right] = [path.join(d, 'left.csv'), path.join(d, 'right.bin')];
    fs.writeFileSync(left, recording(2));
    fs.writeFileSync(right, recording(2));
    fs.symlinkSync(left, path.join(d, 'alias.csv'));
    for (const output of [left, path.join(d, 'alias.csv'), path.join(d, '.', 'left.csv')]) {
      assert.equal(addon.read(left, output), loadError, output);
    }
    // left.csv is where the set would put the table of the recording left.csv.
    assert.equal(addon.readAndSync2([left, right], d), '-12');
    assert.deepEqual(fs.readFileSync(left), recording(2));
    assert.deepEqual(fs.readdirSync(d).sort(), ['alias.csv', 'left.csv', 'right.bin']);
  });

  test('a full disk leaves the previous files and no temporary file', (t) => {
    const [left, right] = [path.join(dir, 'left.bin'), path.join(dir, 'right.bin')];
    fs.writeFileSync(left, recording(2));
    fs.writeFileSync(right, recording(2));
    // A full device is written in place, and the failure is reported.
    assert.equal(addon.writeConfig('/dev/full', 'baro,1'), 'ERROR');
    assert.equal(addon.read(left, '/dev/full'), loadError);

    // A 16 KiB file system, full, in a mount namespace of its own.
    const small = freshDir('small', 0o755);
    const body = `const fs = require('node:fs');
      for (const name of ['cfg.bin', 'left.csv']) fs.writeFileSync(input[1] + '/' + name, 'old');
      try { for (;;) fs.appendFileSync(input[1] + '/filler', Buffer.alloc(1024)); } catch {}
      return [addon.writeConfig(input[1] + '/cfg.bin', 'device,1,2,3'), addon.read(input[0][0], input[1] + '/left.csv'),
        addon.readAndSync2(input[0], input[1]), fs.readFileSync(input[1] + '/cfg.bin', 'utf8'),
        fs.readFileSync(input[1] + '/left.csv', 'utf8'), fs.readdirSync(input[1]).sort()];`;
    if (!works(['unshare', '-m'])) return t.skip('no private mount namespace here');
    const r = inChild(['unshare', '-m', '/bin/sh', '-c',
      'mount -t tmpfs -o size=16k tmpfs "$0" || exit 77; exec "$@"', small], body, [[left, right], small]);
    if (r.skipped) return t.skip(`no private mount namespace: ${r.skipped}`);
    assert.deepEqual(r.value, ['ERROR', loadError, '-12', 'old', 'old', ['cfg.bin', 'filler', 'left.csv']]);
  });
});

describe('strings', () => {
  test('paths with non-ASCII characters are used as given', () => {
    const sub = freshDir('mesures-été', 0o755);
    const left = path.join(sub, 'gerät-測定-🙂.bin');
    const right = path.join(sub, 'правый.bin');
    fs.writeFileSync(left, recording(2));
    fs.writeFileSync(right, recording(2));
    assert.equal(addon.readConfigDeviceId(left), '{"deviceId":42}');
    assert.equal(addon.writeConfig(path.join(sub, 'конфиг.bin'), 'device,7,1,1'), 'OK');
    assert.equal(addon.readConfigDeviceId(path.join(sub, 'конфиг.bin')), '{"deviceId":7}');
    assert.notEqual(addon.read(left, path.join(sub, 'tabla-ñ.csv')), loadError);
    const out = freshDir('ausgabe-ü', 0o755);
    assert.equal(addon.readAndSync2([left, right], out), 'OK');
    assert.deepEqual(fs.readdirSync(out).sort(), ['gerät-測定-🙂.csv', 'правый.csv']);
    assert.equal(totalRows(path.join(out, 'правый.csv')), 62);
  });

  test('a configuration text ends at a NUL character', () => {
    const file = path.join(dir, 'nul-text.bin');
    assert.equal(addon.writeConfig(file, 'baro,25\0device,1,2,3'), 'OK');
    assert.deepEqual([...fs.readFileSync(file)], [0x4b, 0x58, 2, 2, 2, 0x15, 25, 0xff, 0xfe]);
  });

  test('configuration texts with stray separators, repeated and unknown keys, huge numbers', () => {
    // The tool tells a refused text from a failed write by checking the text in JavaScript;
    // that check must refuse exactly the texts writeConfig refuses.
    const file = path.join(dir, 'texts.bin');
    const accel = 'accel,100,8,0,0,0,1,1,1:';
    const frames64 = (bytes) => `unknownFrames,${Buffer.alloc(bytes, 0x4b).toString('base64')}`;
    const cases = [
      ['::baro,25::,:,,:baro,25,:', 'OK', 18],
      ['device,1,2,3:device,1,2,3:colour,red:Baro,1', 'OK', 26],
      ['baro,99999999999999999999', 'ERROR'],
      [`${accel.repeat(14)}${'baro,25:'.repeat(4)}`, 'OK', 512],
      [`${accel.repeat(13)}${'device,1,2,3:'.repeat(2)}${'baro,25:'.repeat(5)}`, 'ERROR'],  // 513 bytes
      ['radio,2147483647,-2147483648', 'OK', 9],
      ['radio,2147483648,1', 'ERROR'],
      ['radio,1,-2147483649', 'ERROR'],
      [' \t+7xyz,  -0.5', 'OK', 0],  // no key, nothing written
      ['firmware, \t+7xyz,  -0.5,3', 'OK', 13],  // leading blanks and sign, trailing text ignored
      ['firmware,1,,3', 'ERROR'],
      ['firmware,1,- 2,3', 'ERROR'],
      ['device,1,2', 'ERROR'],
      ['unknownFrames:unknownFrames,', 'OK', 0],
      [frames64(512), 'OK', 512],
      [frames64(513), 'ERROR'],
      [`${frames64(504)}:baro,25`, 'ERROR'],  // 504 + 9 bytes
      [`${frames64(503)}:baro,25`, 'OK', 512],
      [`unknownFrames,${'A'.repeat(683)}`, 'OK', 512],  // an unfinished group of 3 gives 2 bytes
      [`unknownFrames,${'A'.repeat(684)}=${'A'.repeat(40)}`, 'ERROR'],  // 513 bytes before the "="
      [`unknownFrames,${'A'.repeat(680)}=${'A'.repeat(40)}`, 'OK', 510],  // "=" ends the scan
    ];
    for (const [text, answer, size] of cases) {
      fs.writeFileSync(file, 'old');
      assert.equal(addon.writeConfig(file, text), answer, text);
      assert.equal(fs.statSync(file).size, answer === 'OK' ? size : 3, text);
      assert.equal(configTextProblem(text) === null, answer === 'OK', `JavaScript check of ${text}`);
    }
  });
});
