// The report page as people see it: made by the command-line tool, opened in headless Chromium,
// checked for errors, drawn plots, the header's facts and plots that zoom together.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const kx = require('../../index.js');
const { writeLongRecording } = require('../support/long-recording.js');

const ROOT = path.join(__dirname, '..', '..');
const BIN = path.join(ROOT, 'bin', 'kx-binreader.js');
const EXAMPLES = path.join(ROOT, 'examples', 'data');
// Screenshots stay here after the run; KX_VIEW_SCREENSHOT=<file> also copies the example's.
const OUTPUT = path.join(ROOT, 'build', 'test-output');
const CHROMIUM = process.env.KX_CHROMIUM || '/usr/bin/chromium';
const noBrowser = fs.existsSync(CHROMIUM) ? false : `no Chromium at ${CHROMIUM} (install Debian's chromium package, or set KX_CHROMIUM)`;

// Flags that keep the browser from reaching out or keeping anything between runs.
const BROWSER_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage'];

let dir;
let browser;
let profile;
before(async () => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-view-'));
  fs.mkdirSync(OUTPUT, { recursive: true });
  if (noBrowser) return;
  const puppeteer = require('puppeteer-core');
  profile = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-chromium-'));
  // The browser runs without the sanitizer runtimes a checked run preloads into node.
  const env = Object.fromEntries(Object.entries(process.env).filter(([k]) => !/^(LD_PRELOAD|ASAN_OPTIONS|UBSAN_OPTIONS)$/.test(k)));
  browser = await puppeteer.launch({ executablePath: CHROMIUM, userDataDir: profile, args: BROWSER_ARGS, env, timeout: 60000 });
});
after(async () => {
  if (browser) await browser.close();
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
  fs.rmSync(dir, { recursive: true, force: true });
});

// A day-long recording, written once for the cases that draw it.
function dayRecording() {
  const file = path.join(dir, 'day.bin');
  if (!fs.existsSync(file)) writeLongRecording(file, 24 * 60);
  return file;
}

function view(recordings, page, options = []) {
  const r = spawnSync(process.execPath, [BIN, 'view', '--json', '-o', page, ...options, ...recordings], { encoding: 'utf8', timeout: 300000 });
  assert.equal(r.status, 0, r.stderr);
  return JSON.parse(r.stdout);
}

// Opens the page and answers what a reader sees, after dragging across the middle plot.
async function look(page, screenshot) {
  const tab = await browser.newPage();
  const problems = [];
  tab.on('console', (m) => {
    if (m.type() === 'error' || m.type() === 'warn') problems.push(`${m.type()}: ${m.text()}`);
  });
  tab.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  tab.on('requestfailed', (r) => problems.push(`failed request: ${r.url()}`));
  const requests = [];
  tab.on('request', (r) => requests.push(r.url()));
  await tab.setViewport({ width: 1100, height: 900 });
  await tab.goto(page.startsWith('http') ? page : `file://${page}`, { waitUntil: 'load', timeout: 120000 });
  await tab.waitForSelector('body[data-ready="true"]', { timeout: 60000 });
  await tab.screenshot({ path: screenshot, fullPage: true });

  // Per plot: its id and how many of its plotting-area pixels are not background.
  const drawn = await tab.evaluate(() => window.kxPlots.map((u) => {
    const { left, top, width, height } = u.bbox;
    const px = u.ctx.getImageData(left, top, width, height).data;
    let inked = 0;
    for (let i = 0; i < px.length; i += 4) if (px[i + 3] > 0 && (px[i] < 200 || px[i + 1] < 200 || px[i + 2] < 200)) inked++;
    return { id: u.kxId, inked };
  }));
  const text = await tab.evaluate(() => document.body.innerText);
  // What each plot draws: its points' kind and envelope step, and how it shows the events.
  const shown = () => tab.evaluate(() => window.kxPlots.map((u) => ({ kind: u.kxKind, step: u.kxStep, events: u.kxEventMode, labels: u.kxLabels })));
  const drawnFirst = await shown();
  const before = await tab.evaluate(() => window.kxPlots.map((u) => [u.scales.x.min, u.scales.x.max]));

  // Drag across the second plot from 30% to 50% of its width.
  const over = (await tab.$$('.kx-plot .u-over'))[1];
  await over.scrollIntoView();
  const box = await over.boundingBox();
  const y = box.y + box.height / 2;
  await tab.mouse.move(box.x + box.width * 0.3, y);
  await tab.mouse.down();
  await tab.mouse.move(box.x + box.width * 0.4, y, { steps: 5 });
  await tab.mouse.move(box.x + box.width * 0.5, y, { steps: 5 });
  await tab.mouse.up();
  const after = await tab.evaluate(() => window.kxPlots.map((u) => [u.scales.x.min, u.scales.x.max]));

  // Then the wheel over the last plot zooms further around the pointer.
  const last = (await tab.$$('.kx-plot .u-over')).at(-1);
  await last.scrollIntoView();
  const lbox = await last.boundingBox();
  await tab.mouse.move(lbox.x + lbox.width * 0.6, lbox.y + lbox.height / 2);
  await tab.mouse.wheel({ deltaY: -100 });
  const wheeled = await tab.evaluate(() => window.kxPlots.map((u) => [u.scales.x.min, u.scales.x.max]));
  await new Promise((resolve) => setTimeout(resolve, 300));
  const drawnZoomed = await shown();
  await tab.close();
  return { problems, requests, drawn, text, before, after, wheeled, drawnFirst, drawnZoomed };
}

describe('the report page in a browser', { skip: noBrowser }, () => {
  const cases = [
    {
      name: 'example',
      recordings: () => [path.join(EXAMPLES, 'left-thigh.bin')],
      resolution: /Resolution: every sample\./,
    },
    {
      name: 'synchronised-pair',
      recordings: () => ['left-thigh.bin', 'right-thigh.bin'].map((f) => path.join(EXAMPLES, f)),
      resolution: /Resolution: every sample\./,
      // One plot per axis, the devices overlaid.
      plots: ['accel-x', 'accel-y', 'accel-z', 'gyro-x', 'gyro-y', 'gyro-z', 'pressure', 'temperature', 'orientation-roll', 'orientation-pitch', 'orientation-heading'],
    },
    {
      name: 'day',
      recordings: () => [dayRecording()],
      resolution: /Resolution: one point per 28\.8 s across the whole window, down to one per 1\.8 s as you zoom in \(3 levels\).*finer as you zoom in/,
      finer: true,
      strip: true,
    },
    {
      name: 'window',
      recordings: () => [dayRecording()],
      options: ['--from', '1:00:00', '--to', '3900'],
      resolution: /Window 1:00:00\.0 to 1:05:00\.0 .*Resolution: every sample\./,
    },
  ];
  for (const c of cases) {
    test(`${c.name}: no error, every plot drawn, the header's facts, plots zoom together`, async () => {
      const recordings = c.recordings();
      const page = path.join(dir, `${c.name}.html`);
      const answer = view(recordings, page, c.options);
      const bytes = fs.statSync(page).size;
      assert.equal(answer.bytes, bytes);
      assert.ok(bytes < 10e6, `${bytes} bytes`);

      const screenshot = path.join(OUTPUT, `view-${c.name}.png`);
      const seen = await look(page, screenshot);
      assert.deepEqual(seen.problems, []);
      assert.deepEqual(seen.requests, [`file://${page}`], 'the page asks for nothing but itself');
      assert.deepEqual(seen.drawn.map((d) => d.id), c.plots || ['accel', 'gyro', 'pressure', 'temperature', 'orientation']);
      for (const d of seen.drawn) assert.ok(d.inked > 500, `${d.id}: ${d.inked} pixels drawn`);

      for (const file of recordings) {
        const config = JSON.parse(kx.readConfig(file));
        for (const fact of [path.basename(file), `Device id\t${config.deviceId}`, `Created\t${config.createdAt}`, `Ended\t${config.endDate}`,
          `Firmware\t${config.version}.${config.majorVersion}.${config.minorVersion}`, `accelerometer ${config.accel.frequency} Hz`,
          `gyroscope ${config.gyro.frequency} Hz`, `barometer ${config.baro.frequency} Hz`]) {
          assert.ok(seen.text.includes(fact), `${fact} in\n${seen.text.slice(0, 2000)}`);
        }
      }
      assert.match(seen.text, /(Duration|Samples in the window)\t\d+:\d\d:\d\d\.\d/);
      assert.match(seen.text.replace(/\n/g, ' '), c.resolution);

      // The drag zoomed every plot to one window inside the one shown before; the wheel on
      // another plot zoomed all of them further.
      for (const [windows, moved, narrower] of [[seen.after, 1, seen.before[1]], [seen.wheeled, seen.drawn.length - 1, seen.after[1]]]) {
        const [min, max] = windows[moved];
        assert.ok(max - min < 0.9 * (narrower[1] - narrower[0]), `zoomed to ${min}..${max} from ${narrower}`);
        for (const [i, w] of windows.entries()) {
          assert.ok(Math.abs(w[0] - min) < 1e-9 && Math.abs(w[1] - max) < 1e-9, `plot ${seen.drawn[i].id} shows ${w}, not ${min}..${max}`);
        }
      }
      // Zoomed in, an envelope page draws a finer level; a handful of events are lines whose
      // labels never overlap, many are a strip of ticks.
      if (c.finer) assert.ok(seen.drawnZoomed[0].step < seen.drawnFirst[0].step, `${seen.drawnFirst[0].step} s, then ${seen.drawnZoomed[0].step} s`);
      else assert.ok(seen.drawnZoomed.every((d) => d.kind === 'every sample'), JSON.stringify(seen.drawnZoomed));
      for (const d of [...seen.drawnFirst, ...seen.drawnZoomed]) {
        assert.equal(d.events, c.strip && d === seen.drawnFirst[0] ? 'strip' : d.events === 'strip' ? 'strip' : 'lines');
        for (const [i, a] of d.labels.entries()) {
          for (const b of d.labels.slice(i + 1)) assert.ok(a.right <= b.left || b.right <= a.left || a.bottom <= b.top || b.bottom <= a.top, `labels overlap: ${JSON.stringify([a, b])}`);
        }
      }
      if (c.strip) assert.equal(seen.drawnFirst[0].events, 'strip');
      if (c.name === 'example' && process.env.KX_VIEW_SCREENSHOT) fs.copyFileSync(screenshot, process.env.KX_VIEW_SCREENSHOT);
    });
  }
});

describe('view --serve', () => {
  test('answers the page and its windows with the token only, draws a zoomed window sample by sample, and stops on SIGINT', async () => {
    const file = path.join(dir, 'hour.bin');
    writeLongRecording(file, 60);
    const child = spawn(process.execPath, [BIN, 'view', '--serve', file], { stdio: ['ignore', 'pipe', 'pipe'] });
    const url = await new Promise((resolve, reject) => {
      let out = '';
      child.stdout.on('data', (chunk) => {
        out += chunk;
        if (out.includes('\n')) resolve(out.split('\n')[0]);
      });
      child.once('exit', (code) => reject(new Error(`exited ${code} before printing its address`)));
    });
    const { origin, searchParams } = new URL(url);
    assert.match(origin, /^http:\/\/127\.0\.0\.1:\d+$/);
    const token = searchParams.get('token');
    const table = [
      [url, 200, /<title>hour\.bin: kx-binreader report<\/title>/],
      [`${origin}/`, 403, /needs the token/],
      [`${origin}/window?from=0&to=10&columns=100`, 403, /needs the token/],
      [`${origin}/window?token=${token}x&from=0&to=10&columns=100`, 403, /needs the token/],
      [`${origin}/window?token=${token}&from=10&to=5&columns=100`, 400, /expected from < to/],
      [`${origin}/window?token=${token}&from=1800&to=1810&columns=2000`, 200, /"resolution":"every sample"/],
      [`${origin}/window?token=${token}&from=0&to=3000&columns=500`, 200, /"resolution":"one point per 6\.0 s/],
    ];
    for (const [address, status, body] of table) {
      const r = await fetch(address);
      assert.equal(r.status, status, address);
      assert.match(await r.text(), body, address);
    }
    if (!noBrowser) {
      // Zoomed to 10 s in the browser, the page asks for the window and draws every sample of it.
      const tab = await browser.newPage();
      await tab.setViewport({ width: 1100, height: 900 });
      await tab.goto(url, { waitUntil: 'load', timeout: 120000 });
      await tab.waitForSelector('body[data-ready="true"]', { timeout: 60000 });
      await tab.evaluate(() => window.kxSetWindow(1800, 1810));
      await tab.waitForFunction(() => window.kxPlots.every((u) => u.kxKind === 'every sample'), { timeout: 30000 });
      await tab.screenshot({ path: path.join(OUTPUT, 'view-served-zoomed.png'), fullPage: true });
      await tab.close();
    }
    const exited = new Promise((resolve) => child.once('exit', (code) => resolve(code)));
    child.kill('SIGINT');
    assert.equal(await exited, 130);
  });
});
