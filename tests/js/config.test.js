// The configuration functions as JavaScript sees them.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { Worker } = require('node:worker_threads');

const addon = require('../../index.js');
const { be16, be32, frame, frames, Recording } = require('../support/recording.js');
const { configTextProblem } = require('../../lib/config-text.js');

let dir;
before(() => { dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-config-')); });
after(() => fs.rmSync(dir, { recursive: true, force: true }));

const noDate = '"createdAt":"0000-00-00 00:00:00","endDate":"0000-00-00 00:00:00"';
const b64 = (bytes) => Buffer.from(bytes).toString('base64');

describe('readConfig and readConfigDeviceId', () => {
  test('answer every member in a fixed order, whatever the order of the frames', () => {
    // Unknown frames are kept whole and in their order, wherever they stand.
    const unknown = [frame(3, 5), frame(7, 1, [9])];
    const cases = [
      {
        frames: [unknown[0], frames.inertial(3, 0x14, 100, 1, { offsets: [5000, -5000, -15000], gains: [9999, 10000, 123456] }),
          frames.inertial(2, 0x13, 50, 0), frames.baro(0x15, 25), frame(3, 7, [9, ...be16(5), ...be16(21)]),
          frames.device(77, 4, 5), unknown[1], frame(1, 2, be32(123)), frames.basicRadio(0, 3),
          frames.date(0, { second: 5, minute: 4, hour: 3, day: 2, month: 1, year: 2024 }),
          frames.baseFrequency(100), frames.measureId(12)],
        // Offsets and gains are answered in units of 10000, rounded toward zero.
        answer: `{"unknownFrames":"${b64(unknown.flat())}",`
          + '"gyro":{"frequency":100,"range":500,"offsetX":0,"offsetY":0,"offsetZ":-1,"gainX":0,"gainY":1,"gainZ":12},'
          + '"accel":{"frequency":50,"range":2,"offsetX":0,"offsetY":0,"offsetZ":0,"gainX":1,"gainY":1,"gainZ":1},'
          + '"baro":{"frequency":25},"gps":{"frequency":5},"deviceId":77,"deviceType":4,"bodyLocation":5,'
          + '"version":1,"majorVersion":2,"minorVersion":3,"radioMode":0,"radioChannel":3,'
          + '"createdAt":"2024-01-02 03:04:05","endDate":"0000-00-00 00:00:00","frequency":100,"measureId":12}',
        device: '{"deviceId":77}',
      },
      {
        frames: [frames.baseFrequency(10)],
        answer: `{"unknownFrames":"",${noDate},"frequency":10,"measureId":-1}`,
        device: '{"deviceId":-1}',
      },
    ];
    for (const c of cases) {
      const file = path.join(dir, 'rec.bin');
      new Recording().frames(...c.frames).write(file);
      assert.equal(addon.readConfig(file), c.answer);
      assert.equal(addon.readConfigDeviceId(file), c.device);
    }
  });

  test('answer the empty text for what is not a recording', () => {
    const zeros = path.join(dir, 'zeros.bin');
    fs.writeFileSync(zeros, Buffer.alloc(1024));
    for (const p of [zeros, path.join(dir, 'missing.bin'), dir]) {
      assert.equal(addon.readConfig(p), '', p);
      assert.equal(addon.readConfigDeviceId(p), '', p);
    }
  });
});

describe('writeConfig', () => {
  test('writes the frames of a text, or answers ERROR and keeps the old file', () => {
    // The tool tells a refused text from a failed write by checking the text in JavaScript;
    // that check must refuse exactly the texts writeConfig refuses.
    const file = path.join(dir, 'cfg.bin');
    const baro25 = frame(2, 2, [0x15, 25]);
    const device123 = frame(1, 1, [0, 0, 0, 1, 2, 3]);
    const accel = 'accel,100,8,0,0,0,1,1,1:';
    const frames64 = (bytes) => `unknownFrames,${Buffer.alloc(bytes, 0x4b).toString('base64')}`;
    // [text, the file's bytes, or its size, or 'ERROR']
    const cases = [
      ['', []],
      [':', []],
      ['device,1234,2,3', frame(1, 1, [0, 0, 0x04, 0xd2, 2, 3])],
      ['baro,100', frame(2, 2, [0x15, 100])],
      ['baro,300', frame(2, 2, [0x15, 0x2c])],  // only the low byte is kept
      ['radio, 1,2x', frame(1, 5, [1, 2])],
      ['firmware,-1,2,3', frame(1, 2, [0xff, 0xff, 0, 2, 0, 3])],
      ['accel,100,8,-1,0,1,2,3,4', frame(2, 0, [0x13, 100, 8, ...[-1, 0, 1, 2, 3, 4].flatMap(be32)])],
      ['gyro,1,2,3,4,5,6,7,8,extra', frame(2, 1, [0x14, 1, 2, ...[3, 4, 5, 6, 7, 8].flatMap(be32)])],
      // Order of the text, repeated keys twice, unknown keys and empty sections skipped.
      ['radio,1,1:Radio,5,5:baro,1::radio,2,2:', [...frame(1, 5, [1, 1]), ...frame(2, 2, [0x15, 1]), ...frame(1, 5, [2, 2])]],
      ['::baro,25::,:,,:baro,25,:', [...baro25, ...baro25]],
      ['device,1,2,3:device,1,2,3:colour,red:Baro,1', [...device123, ...device123]],
      ['Baro,25:colour,red:baro,25:unknownFrames', baro25],
      ['baro,25\0device,1,2,3', baro25],  // the text ends at a NUL character
      ['device,-2147483648,2147483647,3', frame(1, 1, [0x80, 0, 0, 0, 0xff, 3])],
      ['radio,2147483647,-2147483648', 9],
      [' \t+7xyz,  -0.5', 0],  // no key, nothing written
      ['firmware, \t+7xyz,  -0.5,3', 13],  // leading blanks and sign, trailing text ignored
      ['unknownFrames:unknownFrames,', []],
      ['unknownFrames,AQID', [1, 2, 3]],
      ['unknownFrames,=AQID', []],
      [`${accel.repeat(14)}${'baro,25:'.repeat(4)}`, 512],
      [`${accel.repeat(13)}${'device,1,2,3:'.repeat(2)}${'baro,25:'.repeat(5)}`, 'ERROR'],  // 513 bytes
      ['device,1,2,3:'.repeat(40), 'ERROR'],
      [frames64(512), 512],
      [frames64(513), 'ERROR'],
      [`${frames64(504)}:baro,25`, 'ERROR'],  // 504 + 9 bytes
      [`${frames64(503)}:baro,25`, 512],
      [`unknownFrames,${'A'.repeat(683)}`, 512],  // an unfinished group of 3 gives 2 bytes
      [`unknownFrames,${'A'.repeat(684)}=${'A'.repeat(40)}`, 'ERROR'],  // 513 bytes before the "="
      [`unknownFrames,${'A'.repeat(680)}=${'A'.repeat(40)}`, 510],  // "=" ends the scan
      ...['device,1,2', 'device,1', 'accel,1,2,3,4,5,6,7', 'baro', 'baro,', 'baro,x', ',baro,25:baro,,25', 'radio,1,-',
        'radio,2147483648,1', 'radio,1,-2147483649', 'device,2147483648,1,1', 'device,-2147483649,1,1',
        'baro,99999999999999999999', 'firmware,1,,3', 'firmware,1,- 2,3'].map((t) => [t, 'ERROR']),
    ];
    for (const [text, expected] of cases) {
      fs.writeFileSync(file, 'old');
      assert.equal(addon.writeConfig(file, text), expected === 'ERROR' ? 'ERROR' : 'OK', text);
      if (expected === 'ERROR') assert.equal(fs.readFileSync(file, 'utf8'), 'old', text);
      else if (typeof expected === 'number') assert.equal(fs.statSync(file).size, expected, text);
      else assert.deepEqual([...fs.readFileSync(file)], expected, text);
      assert.equal(configTextProblem(text) === null, expected !== 'ERROR', `JavaScript check of ${text}`);
    }
    assert.deepEqual(fs.readdirSync(dir).filter((n) => n.startsWith('.kx-')), []);
  });

  test('answers ERROR when the file cannot be written; a device is written in place', () => {
    for (const target of [path.join(dir, 'no', 'such', 'cfg.bin'), dir, `${dir}/`, '/dev/full']) {
      assert.equal(addon.writeConfig(target, 'baro,1'), 'ERROR', target);
    }
    assert.equal(fs.existsSync(path.join(dir, 'no')), false);
    assert.equal(addon.writeConfig('/dev/null', 'baro,1'), 'OK');
  });

  test('what it writes reads back, unknown frames unchanged', () => {
    const file = path.join(dir, 'rt.bin');
    const unknown = b64([...frame(3, 5, [1, 2, 3]), ...frame(3, 99)]);
    const text = 'accel,100,16,-2,3,4,5,6,7:gyro,200,250,0,0,0,1,1,1:baro,25:device,-5,300,2:'
      + `firmware,-1,2,70000:radio,0,7:unknownFrames,${unknown}`;
    assert.equal(addon.writeConfig(file, text), 'OK');
    assert.equal(addon.readConfig(file), `{"unknownFrames":"${unknown}",`
      + '"gyro":{"frequency":200,"range":250,"offsetX":0,"offsetY":0,"offsetZ":0,"gainX":1,"gainY":1,"gainZ":1},'
      + '"accel":{"frequency":100,"range":16,"offsetX":-2,"offsetY":3,"offsetZ":4,"gainX":5,"gainY":6,"gainZ":7},'
      + '"baro":{"frequency":25},"deviceId":-5,"deviceType":44,"bodyLocation":2,"version":65535,"majorVersion":2,'
      + `"minorVersion":4464,"radioMode":0,"radioChannel":7,${noDate},"frequency":0,"measureId":-1}`);
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
