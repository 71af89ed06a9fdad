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
  test('short, truncated and missing files, a directory, a FIFO and a device', () => {
    const full = recording(2);
    const cases = [
      { name: 'missing', make: () => {}, device: '', rows: null, why: /no such file/ },
      { name: 'empty', bytes: Buffer.alloc(0), device: '', rows: null },
      { name: 'one byte', bytes: Buffer.from('K'), device: '', rows: null },
      { name: '511 bytes', bytes: full.subarray(0, 511), device: '{"deviceId":42}', rows: null },
      { name: 'truncated', bytes: full.subarray(0, 1024 + 300), device: '{"deviceId":42}', rows: 31 },
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
        // An existing table is left as it was.
        fs.writeFileSync(csv, 'old');
        assert.equal(addon.read(file, csv), loadError, c.name);
        assert.equal(fs.readFileSync(csv, 'utf8'), 'old', c.name);
        fs.rmSync(csv);
        assert.equal(addon.readAndSync2([good, file], out), '-10', c.name);
      } else {
        assert.equal(JSON.parse(answer).frequency, 100, c.name);
        assert.equal(totalRows(csv), c.rows, c.name);
      }
    }
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
    assert.equal(addon.read(left, dir), loadError);  // a directory as the table

    const ro = freshDir('read-only', 0o755);
    fs.writeFileSync(path.join(ro, 'left.csv'), 'old');
    fs.writeFileSync(path.join(ro, 'cfg.bin'), 'old');
    fs.chmodSync(path.join(ro, 'left.csv'), 0o666);  // the files are writable, the directory is not
    fs.chmodSync(path.join(ro, 'cfg.bin'), 0o666);
    fs.chmodSync(ro, 0o555);
    if (!works(unprivileged().concat(['/bin/sh', '-c']))) return t.skip('cannot run as another user');
    const r = inChild(unprivileged(), `return [addon.writeConfig(input[1] + '/cfg.bin', 'baro,1'),
      addon.writeConfig(input[1] + '/new.bin', 'baro,1'), addon.read(input[0][0], input[1] + '/left.csv'),
      addon.readAndSync2(input[0], input[1])];`, [[left, right], ro]);
    if (r.skipped) return t.skip(`cannot run as another user: ${r.skipped}`);
    assert.deepEqual(r.value, ['ERROR', 'ERROR', loadError, '-12']);
    assert.deepEqual(fs.readdirSync(ro).sort(), ['cfg.bin', 'left.csv']);
    for (const name of ['cfg.bin', 'left.csv']) assert.equal(fs.readFileSync(path.join(ro, name), 'utf8'), 'old');
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
    assert.equal(totalRows(path.join(sub, 'tabla-ñ.csv')), 62);
    const out = freshDir('ausgabe-ü', 0o755);
    assert.equal(addon.readAndSync2([left, right], out), 'OK');
    assert.deepEqual(fs.readdirSync(out).sort(), ['gerät-測定-🙂.csv', 'правый.csv']);
    assert.equal(totalRows(path.join(out, 'правый.csv')), 62);
  });
});
