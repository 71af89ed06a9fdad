// The configuration functions as JavaScript sees them.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Worker } = require('node:worker_threads');

const addon = require('../../index.js');
const { frames, Recording } = require('../support/recording.js');

let dir;
before(() => { dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-config-')); });
after(() => fs.rmSync(dir, { recursive: true, force: true }));

describe('readConfig and readConfigDeviceId', () => {
  test('answer the configuration as JSON', () => {
    const file = path.join(dir, 'rec.bin');
    fs.writeFileSync(file, new Recording()
      .frames(frames.device(4242, 3, 7), frames.baseFrequency(100), frames.baro(0x15, 25),
        frames.date(0, { second: 9, minute: 8, hour: 7, day: 6, month: 5, year: 2026 }), frames.measureId(3))
      .toBuffer());
    const answer = JSON.parse(addon.readConfig(file));
    assert.deepEqual(Object.keys(answer), ['unknownFrames', 'baro', 'deviceId', 'deviceType', 'bodyLocation',
      'version', 'majorVersion', 'minorVersion', 'radioMode', 'radioChannel', 'createdAt', 'endDate',
      'frequency', 'measureId']);
    assert.equal(answer.deviceId, 4242);
    assert.equal(answer.createdAt, '2026-05-06 07:08:09');
    assert.deepEqual(answer.baro, { frequency: 25 });
    assert.equal(addon.readConfigDeviceId(file), '{"deviceId":4242}');
  });

  test('answer the empty text for what is not a recording', () => {
    const zeros = path.join(dir, 'zeros.bin');
    fs.writeFileSync(zeros, Buffer.alloc(1024));
    for (const p of [zeros, path.join(dir, 'missing.bin'), dir]) {
      assert.equal(addon.readConfig(p), '');
      assert.equal(addon.readConfigDeviceId(p), '');
    }
  });
});

describe('writeConfig', () => {
  test('writes frames that readConfig reads back, unknown frames unchanged', () => {
    const file = path.join(dir, 'cfg.bin');
    const unknown = Buffer.from([0x4b, 0x58, 3, 5, 1, 0xaa, 0xff, 0xfe]).toString('base64');
    assert.equal(addon.writeConfig(file, `device,12,1,2:baro,25:unknownFrames,${unknown}`), 'OK');
    assert.equal(fs.statSync(file).size, 13 + 9 + 8);
    const back = JSON.parse(addon.readConfig(file));
    assert.equal(back.unknownFrames, unknown);
    assert.equal(back.deviceId, 12);
    assert.deepEqual(back.baro, { frequency: 25 });
  });

  test('answers ERROR and keeps the old file on malformed text or a failed write', () => {
    const file = path.join(dir, 'keep.bin');
    fs.writeFileSync(file, 'old');
    for (const text of ['device,1', 'baro,x', `radio,${2 ** 31},1`, 'device,1,2,3:'.repeat(40)]) {
      assert.equal(addon.writeConfig(file, text), 'ERROR', text);
      assert.equal(fs.readFileSync(file, 'utf8'), 'old');
    }
    assert.equal(addon.writeConfig(path.join(dir, 'no', 'dir.bin'), 'baro,1'), 'ERROR');
    assert.equal(addon.writeConfig('/dev/full', 'baro,1'), 'ERROR');
    assert.deepEqual(fs.readdirSync(dir).filter((n) => n.endsWith('.tmp')), []);
  });

  test('an empty text creates an empty file', () => {
    const file = path.join(dir, 'empty.bin');
    fs.writeFileSync(file, 'something');
    assert.equal(addon.writeConfig(file, ''), 'OK');
    assert.equal(fs.statSync(file).size, 0);
  });

  test('paths with non-ASCII characters are used as given', () => {
    const file = path.join(dir, 'messung-ü-測定.bin');
    assert.equal(addon.writeConfig(file, 'baro,100'), 'OK');
    assert.equal(JSON.parse(addon.readConfig(file)).baro.frequency, 100);
  });
});

test('the module loads in the main thread and in two workers at once', async () => {
  const file = path.join(dir, 'worker.bin');
  fs.writeFileSync(file, new Recording().frames(frames.device(99, 1, 1)).toBuffer());
  const source = `
    const { parentPort, workerData } = require('node:worker_threads');
    const addon = require(workerData.entry);
    parentPort.postMessage(addon.readConfigDeviceId(workerData.file));`;
  const run = () => new Promise((resolve, reject) => {
    const w = new Worker(source, { eval: true, workerData: { entry: require.resolve('../../index.js'), file } });
    w.once('message', resolve);
    w.once('error', reject);
  });
  const answers = await Promise.all([run(), run()]);
  assert.deepEqual(answers, ['{"deviceId":99}', '{"deviceId":99}']);
  assert.equal(addon.readConfigDeviceId(file), '{"deviceId":99}');
});
