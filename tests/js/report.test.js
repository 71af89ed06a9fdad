// The report page's content: warnings from built recordings, the envelope of long streams,
// orientation angles, and report's arguments and failures.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const kx = require('../../index.js');
const { Envelope, RawSamples, eulerDegrees, duration, pageModel, windowData } = require('../../lib/report/data.js');
const { streamedPage } = require('../../lib/report/stream.js');
const { addon } = require('../../lib/addon.js');
const { openSource } = require('../../lib/data/source.js');
const { frames, records, Recording } = require('../support/recording.js');

const ACC = 0x21;
const GYR = 0x22;
const BARO = 0x23;
const EXAMPLES = path.join(__dirname, '..', '..', 'examples', 'data');
const EXAMPLE = path.join(EXAMPLES, 'left-thigh.bin');

let dir;
before(() => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-report-'));
});
after(() => fs.rmSync(dir, { recursive: true, force: true }));

// A recording at 100 Hz: accelerometer (±2 g) and gyroscope at `gyroHz`, barometer at 25 Hz
// until `baroUntil` s, every tick in `ticks`; `accel(tick)` gives the raw accelerometer sample.
// Its header's end date is `endAfter` s after its start when given.
function build(name, { ticks, accel = () => [0, 0, 16384], gyro = true, gyroHz = 100, baroUntil = Infinity, offsets, endAfter } = {}) {
  const rec = new Recording().frames(frames.baseFrequency(100), frames.inertial(2, ACC, 100, 0, offsets ? { offsets } : {}),
    ...(gyro ? [frames.inertial(3, GYR, gyroHz, 1)] : []), frames.baro(BARO, 25), frames.timeMarks(10, 0, 0, 20, 0, 1000),
    ...(endAfter === undefined ? [] : [frames.date(0, { year: 2026 }), frames.date(6, { year: 2026, minute: Math.floor(endAfter / 60), second: endAfter % 60 })]));
  const samples = [];
  for (const t of ticks) {
    samples.push({ tick: t, record: (o) => records.xyz(ACC, o, ...accel(t)) });
    if (gyro && t % (100 / gyroHz) === 0) samples.push({ tick: t, record: (o) => records.xyz(GYR, o, 3, -2, 1) });
    if (t % 4 === 0 && t < baroUntil * 100) samples.push({ tick: t, record: (o) => records.baro(BARO, o, 101325 * 64, 2400) });
  }
  const file = path.join(dir, `${name}.bin`);
  rec.samples(samples).write(file);
  return file;
}

const range = (from, to) => Array.from({ length: to - from }, (_, i) => from + i);

// The devices of a page held whole, each stream's samples in one piece: a recording's as
// readData answers them, a set member's from all its rows at once with its whole event channels.
function wholeDevices(files) {
  const source = openSource(addon, files);
  try {
    return source.members.map((member, m) => {
      let { streams } = files.length === 1 ? kx.readData(member.file) : { streams: source.samples(m, 0, member.rows) };
      if (files.length > 1) {
        for (const key of ['events', 'events2']) {
          delete streams[key];
          if (member.streams[key]) streams = { ...streams, [key]: source.stream(m, key, 0, member.streams[key].samples) };
        }
      }
      return { file: member.file, config: member.config, streams, fullScale: member.fullScale };
    });
  } finally {
    source.close();
  }
}

// The model the page carries, read back from the page.
function pageModelOf(page) {
  const html = fs.readFileSync(page, 'utf8');
  return JSON.parse(/<script type="application\/json" id="kx-data">(.*?)<\/script>/s.exec(html)[1]);
}

describe('warnings in plain words', () => {
  test('gaps, clipping, a stream ending early and no orientation are each said once, and a clean recording has none', () => {
    const clipped = (t) => [t % 100 < 7 ? 32767 : 0, t % 100 === 50 || t % 100 === 51 ? -32768 : 0, 16384];
    const table = [
      ['clean', { ticks: range(0, 1000) }, []],
      ['gap', { ticks: [...range(0, 300), ...range(600, 1000)] },
        [/^No samples for 3\.0 s from 0:00:03\.0 to 0:00:06\.0 \(accelerometer, gyroscope, barometer\)/]],
      ['clipping', { ticks: range(0, 500), accel: clipped }, [/^Clipping: 45 accelerometer samples at full scale \(±2 g\): x 35, y 10, z 0\./]],
      // Offsets of 0.05 g, which the configuration answer writes as 0: the same samples clip.
      ['calibrated clipping', { ticks: range(0, 500), accel: clipped, offsets: [500, -500, 0] }, [/^Clipping: 45 accelerometer samples .* x 35, y 10, z 0\./]],
      ['barometer stops', { ticks: range(0, 1000), baroUntil: 2 }, [/^The barometer stops at 0:00:02\.0, 8\.0 s before the other streams end \(0:00:10\.0\)\.$/]],
      ['no gyroscope', { ticks: range(0, 300), gyro: false }, [/^No orientation: it has no gyroscope\.$/]],
      ['rates differ', { ticks: range(0, 300), gyroHz: 50 }, [/^No orientation: its accelerometer \(100 Hz\) and gyroscope \(50 Hz\) run at different rates\.$/]],
      // Ten minutes by the header, the first half of them in the file.
      ['cut in half', { ticks: range(0, 30000), endAfter: 600 }, [/^The header says it ended 00:10:00; samples end 00:05:00: the file may be cut short\.$/]],
    ];
    for (const [name, recipe, expected] of table) {
      const page = path.join(dir, `${name}.html`);
      kx.report([build(name, recipe)], page);
      const { warnings } = pageModelOf(page).devices[0];
      assert.equal(warnings.length, expected.length, `${name}: ${JSON.stringify(warnings)}`);
      expected.forEach((re, i) => assert.match(warnings[i], re, name));
    }
  });
});

describe('the page data', () => {
  test('the envelope of a long stream keeps every sample inside its column, every extreme at every level, and the heading unwrapped', () => {
    // 2 hours at 100 Hz of a seeded pseudo-random signal with three one-sample spikes, and a
    // heading that turns steadily, crossing ±180° every 36 s.
    let seed = 12345;
    const random = () => (seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648;
    const n = 720000;
    const time = Float64Array.from({ length: n }, (_, i) => i / 100);
    const value = Float64Array.from({ length: n }, () => random() - 0.5);
    for (const [i, v] of [[12345, 40], [500000, -35], [n - 1, 20]]) value[i] = v;
    const heading = (i) => ((i / 10 + 180) % 360) - 180;
    const columns = 48000;
    const step = (time[n - 1] - time[0]) / columns;
    const envelope = new Envelope({ t0: time[0], step, columns }, [false, true]);
    for (let i = 0; i < n; i++) envelope.add(time[i], [value[i], heading(i)]);
    const levels = envelope.levels();
    assert.deepEqual(levels.map((l) => l.columns), [48000, 12000, 3000]);
    const [{ min: [min, hmin], max: [max, hmax] }] = levels;
    for (let i = 0; i < n; i++) {
      const c = Math.min(columns - 1, Math.floor((time[i] - time[0]) / step));
      assert.ok(min[c] <= Math.fround(value[i]) && Math.fround(value[i]) <= max[c], `sample ${i} (${value[i]}) within [${min[c]}, ${max[c]}]`);
    }
    for (const l of levels) {
      assert.deepEqual([Math.max(...l.max[0]), Math.min(...l.min[0]), l.max[0][l.columns - 1]], [40, -35, 20]);
      // The heading turns 10°/s: a column's band spans its own turning, never the whole circle.
      for (let c = 0; c < l.columns; c++) assert.ok(l.max[1][c] - l.min[1][c] <= 10 * l.step + 1e-3 && Math.abs((l.max[1][c] + l.min[1][c]) / 2) <= 180, `level ${l.step} s column ${c}: [${l.min[1][c]}, ${l.max[1][c]}]`);
    }
    assert.ok(Math.abs(hmax[0] - hmin[0] - 1.4) < 1e-3, 'the first column holds 0.15 s of turning: 1.4°');
  });

  test('a short stream is sent as it is, with a gap where its ticks pause, and gives up past its budget', () => {
    const raw = new RawSamples(1, 5);
    let last = -Infinity;
    for (const [t, v] of [[0, 0], [0.01, 10], [0.02, 20], [3.5, 30], [3.51, 40]]) {
      raw.add(t, [v], last);
      last = t;
    }
    assert.deepEqual(Array.from(raw.x.subarray(0, raw.n)), [0, 0.01, 0.02, 1.76, 3.5, 3.51]);
    assert.deepEqual(Array.from(raw.y[0].subarray(0, raw.n)), [0, 10, 20, NaN, 30, 40]);
    raw.add(3.52, [50], 3.51);
    assert.equal(raw.full, true);
  });

  test('the page from one pass over the rows is the page from the decoded streams, windows and served windows too', () => {
    const clipped = (t) => [t % 100 < 7 ? 32767 : 0, (t * 37) % 2000 - 1000, 16384];
    // Over two ranges of rows, with a pause in the ticks after the first.
    const long = build('long', { ticks: [...range(0, 80000), ...range(90000, 140000)], accel: clipped, baroUntil: 1200 });
    // Its partner in a set starts 3 s later and runs on past it, without a pause.
    const later = build('later', { ticks: range(300, 150000), accel: (t) => [(t * 13) % 3000, 0, 16384] });
    const pair = ['left-thigh.bin', 'right-thigh.bin'].map((f) => path.join(EXAMPLES, f));
    const table = [
      [[EXAMPLE], {}], [[EXAMPLE], { from: 2.5, to: 7 }],
      [[build('diff-gap', { ticks: [...range(0, 300), ...range(600, 1000)] })], {}],
      [[build('diff-rates', { ticks: range(0, 300), gyroHz: 50 })], {}],
      [[build('diff-cut', { ticks: range(0, 30000), endAfter: 600 })], {}],
      [[long], {}], [[long], { from: 790, to: 905 }], [[long], { to: 100 }],
      [pair, {}], [pair, { from: 2.5, to: 7 }],
      [[long, later], {}], [[later, long], { from: 790, to: 905 }], [[long, later], { to: 100 }],
      // A tick repeated: the set is synchronised whole.
      [[build('repeated', { ticks: [...range(0, 500), 499, ...range(500, 3000)] }), later], {}],
    ];
    // Rows the source is asked for: a window page reads no further than the window's end.
    let asked = 0;
    const counted = new Proxy(addon, {
      get: (a, key) => (key === '_sourceSamples' ? (h, m, first, last) => { asked += last - first; return a._sourceSamples(h, m, first, last); } : a[key]),
    });
    for (const [files, options] of table) {
      const label = `${files.map((f) => path.basename(f)).join(' + ')} ${JSON.stringify(options)}`;
      asked = 0;
      const page = streamedPage(counted, files, options);
      try {
        const devices = wholeDevices(files);
        assert.deepEqual(page.model, pageModel(devices, { synchronised: files.length > 1, ...options }), label);
        if (options.to === 100) assert.ok(asked <= 65536 * files.length, `${label}: ${asked} rows read`);
        // Windows as the served page asks them: within the page's span (the long one's across its pause).
        const [a, b] = page.model.span;
        for (const [f, t, columns] of [[0.56, 0.66, 500], [0.3, 0.31, 100], [0, 1, 2000]]) {
          const w = { from: a + f * (b - a), to: a + t * (b - a), columns };
          assert.deepEqual(page.window(w), windowData(devices, w), `${label} window ${JSON.stringify(w)}`);
        }
      } finally {
        page.close();
      }
    }
  });

  test('durations never read 60 in a part', () => {
    const table = [[0.25, '250 ms'], [20, '20.0 s'], [59.96, '1 min 0 s'], [299.8, '4 min 60 s'.replace('4 min 60 s', '5 min 0 s')],
      [599.6, '10 min 0 s'], [3599.7, '1 h 0 min 0 s'], [3600, '1 h 0 min 0 s'], [86399.9, '24 h 0 min 0 s'], [5025, '1 h 23 min 45 s']];
    for (const [seconds, text] of table) assert.equal(duration(seconds), text, String(seconds));
  });

  test('the synchronised streams of a set are the samples readAndSync2 writes, events on the common time base', () => {
    const pair = ['left-thigh.bin', 'right-thigh.bin'].map((f) => path.join(EXAMPLES, f));
    const out = fs.mkdtempSync(path.join(dir, 'sync-'));
    assert.equal(kx.readAndSync2(pair, out), 'OK');
    const recordings = wholeDevices(pair);
    // CSV column, stream, component, decimals the CSV prints.
    const table = [['Accel X', 'accel', 'x', 5], ['Gyro Z', 'gyro', 'z', 5], ['Quat W', 'quaternion', 'w', 5], ['Pressure', 'baro', 'pressure', 3]];
    pair.forEach((file, i) => {
      const lines = fs.readFileSync(path.join(out, `${path.basename(file, '.bin')}.csv`), 'utf8').split('\n');
      const names = lines[5].split(',');
      const rows = lines.slice(7).filter((l) => l !== '').map((l) => l.split(','));
      for (const [column, stream, component, decimals] of table) {
        const cells = rows.map((r) => r[names.indexOf(column)]).filter((c) => c !== '').map(Number);
        const values = recordings[i].streams[stream][component];
        assert.equal(values.length, cells.length, `${file}: ${column}`);
        // The CSV rounds to its decimals (ties to even); the arrays hold the unrounded values.
        const half = 0.5 * 10 ** -decimals + 1e-12;
        values.forEach((v, k) => assert.ok(Math.abs(v - cells[k]) <= half, `${file}: ${column} row ${k}: ${v} vs ${cells[k]}`));
      }
    });
    // The two devices saw one event at the same moment (10 s + 3.2 s and 10.2 s + 3.0 s on
    // their clocks): on the common time base they coincide.
    const [a, b] = recordings.map((r) => r.streams.events.time[0]);
    assert.ok(Math.abs(a - 3.2) < 1e-6 && Math.abs(b - 3.2) < 1e-6, `events at ${a} s and ${b} s`);
  });

  test('roll, pitch and heading are the Z-Y-X angles the quaternion was made of', () => {
    // q = qz(heading) qy(pitch) qx(roll), Hamilton products of single-axis rotations.
    const axis = (deg, k) => {
      const h = (deg * Math.PI) / 360;
      const q = [Math.cos(h), 0, 0, 0];
      q[k] = Math.sin(h);
      return q;
    };
    const mul = ([a1, b1, c1, d1], [a2, b2, c2, d2]) => [
      a1 * a2 - b1 * b2 - c1 * c2 - d1 * d2, a1 * b2 + b1 * a2 + c1 * d2 - d1 * c2,
      a1 * c2 - b1 * d2 + c1 * a2 + d1 * b2, a1 * d2 + b1 * c2 - c1 * b2 + d1 * a2];
    const table = [[0, 0, 0], [30, 0, 0], [0, -45, 0], [0, 0, 120], [-170, 80, -10], [90, 10, 179], [15, -89, 45]];
    for (const angles of table) {
      const [roll, pitch, heading] = angles;
      const q = mul(mul(axis(heading, 3), axis(pitch, 2)), axis(roll, 1));
      // Off unit length (times 2) it gives the same angles.
      for (const scale of [1, 2]) {
        const got = eulerDegrees(...q.map((c) => c * scale));
        got.forEach((v, k) => assert.ok(Math.abs(v - angles[k]) < 1e-6, `${angles} x ${scale}: got ${got}`));
      }
    }
    // The filter's all-zero quaternion before it starts has no angles, not 0 degrees.
    assert.deepEqual(eulerDegrees(0, 0, 0, 0), [NaN, NaN, NaN]);
  });
});

describe('report', () => {
  test('a recording named with markup is text on the page: escaped in its HTML, no "<" in its data', () => {
    const name = 'x<!--<script>&<b>y';
    const page = path.join(dir, 'markup.html');
    kx.report([build(name, { ticks: range(0, 300) })], page);
    const html = fs.readFileSync(page, 'utf8');
    const data = /<script type="application\/json" id="kx-data">(.*?)<\/script>/s.exec(html)[1];
    // A "<" in the data could end its element or turn the rest of the page into script.
    assert.doesNotMatch(data, /</);
    assert.ok(JSON.stringify(pageModelOf(page)).includes(name));
    assert.ok(!html.includes('<b>y'), 'the name is never markup');
    assert.match(html, /<h1>[^<]*x&#60;!--&#60;script&#62;&#38;&#60;b&#62;y/);
  });

  test('bad arguments throw, and the promise twin rejects alike, before anything is read', async () => {
    const table = [
      [[EXAMPLE, 'x.html'], /^recordingPaths: expected a non-empty array of recording paths/],
      [[[], 'x.html'], /^recordingPaths: expected/],
      [[[EXAMPLE, 'a\0b'], 'x.html'], /^recordingPaths: expected/],
      [[[EXAMPLE], 5], /^pagePath: expected a non-empty path string/],
      [[[EXAMPLE], ''], /^pagePath: expected/],
      [[[EXAMPLE], 'x.html', { from: '1:00' }], /^options\.from: expected seconds \(a finite number\)$/],
      [[[EXAMPLE], 'x.html', { from: 5, to: 5 }], /^options\.to: expected a time after options\.from$/],
    ];
    for (const [args, message] of table) {
      assert.throws(() => kx.report(...args), { name: 'TypeError', message }, String(args));
      await assert.rejects(kx.promises.report(...args), { name: 'TypeError', message }, String(args));
    }
  });

  test('failures name what failed and leave no page; the promise twin writes the same page', async () => {
    const out = fs.mkdtempSync(path.join(dir, 'pages-'));
    const missing = path.join(out, 'missing.bin');
    const nowhere = path.join(out, 'no', 'such');
    const before = fs.readFileSync(EXAMPLE);
    const table = [
      [[[EXAMPLE], path.join(nowhere, 'p.html')], { code: 'KX_OPEN_FAILED', message: /p\.html: cannot be opened for writing/ }],
      [[[missing], path.join(out, 'p1.html')], { code: 'ENOENT', message: new RegExp(`${missing}: no such file`) }],
      [[[EXAMPLE, missing], path.join(out, 'p2.html')], { code: 'KX_SYNC', status: '-10', message: /cannot synchronise: a recording could not be read/ }],
      [[[EXAMPLE], EXAMPLE], { code: 'KX_OUTPUT_IS_INPUT', message: /writing the page would lose the recording/ }],
      ...(fs.existsSync('/dev/full') ? [[[[EXAMPLE], '/dev/full'], { code: 'KX_WRITE_FAILED', message: /^report: \/dev\/full: / }]] : []),
      [[[EXAMPLE], path.join(out, 'p3.html'), { from: 100 }], { code: 'KX_EMPTY_WINDOW', message: /window 0:01:40\.0 to the end holds no samples; the samples run from 0:00:00\.0 to 0:00:20\.0$/ }],
    ];
    for (const [args, expected] of table) {
      assert.throws(() => kx.report(...args), expected, String(args));
      await assert.rejects(kx.promises.report(...args), expected, String(args));
    }
    assert.ok(fs.readFileSync(EXAMPLE).equals(before));
    assert.deepEqual(fs.readdirSync(out), []);

    const a = path.join(out, 'sync.html');
    const b = path.join(out, 'async.html');
    assert.deepEqual(kx.report([EXAMPLE], a), { page: a, bytes: fs.statSync(a).size, devices: 1, synchronised: false });
    assert.equal((await kx.promises.report([EXAMPLE], b)).bytes, fs.statSync(a).size);
    assert.ok(fs.readFileSync(a).equals(fs.readFileSync(b)));
  });
});
