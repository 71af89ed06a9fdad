// The report page as people see it: made by the command-line tool, opened in headless Chromium,
// checked for errors, drawn plots, the header's facts and plots that zoom together.
'use strict';
const { describe, test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
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

function view(recordings, page) {
  const r = spawnSync(process.execPath, [BIN, 'view', '--json', '-o', page, ...recordings], { encoding: 'utf8', timeout: 300000 });
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
  await tab.goto(`file://${page}`, { waitUntil: 'load', timeout: 120000 });
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
  await tab.close();
  return { problems, requests, drawn, text, before, after, wheeled };
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
    },
    {
      name: 'day',
      recordings: () => {
        const file = path.join(dir, 'day.bin');
        writeLongRecording(file, 24 * 60);
        return [file];
      },
      resolution: /Resolution: one point per 21\.6 s \(4000 columns across 2[34]:\d\d:\d\d\).*Zoomed in past this resolution, a plot shows the envelope/,
    },
  ];
  for (const c of cases) {
    test(`${c.name}: no error, every plot drawn, the header's facts, plots zoom together`, async () => {
      const recordings = c.recordings();
      const page = path.join(dir, `${c.name}.html`);
      const answer = view(recordings, page);
      const bytes = fs.statSync(page).size;
      assert.equal(answer.bytes, bytes);
      assert.ok(bytes < 10e6, `${bytes} bytes`);

      const screenshot = path.join(OUTPUT, `view-${c.name}.png`);
      const seen = await look(page, screenshot);
      assert.deepEqual(seen.problems, []);
      assert.deepEqual(seen.requests, [`file://${page}`], 'the page asks for nothing but itself');
      assert.deepEqual(seen.drawn.map((d) => d.id), ['accel', 'gyro', 'pressure', 'temperature', 'orientation']);
      for (const d of seen.drawn) assert.ok(d.inked > 500, `${d.id}: ${d.inked} pixels drawn`);

      for (const file of recordings) {
        const config = JSON.parse(kx.readConfig(file));
        for (const fact of [path.basename(file), `Device id\t${config.deviceId}`, `Created\t${config.createdAt}`, `Ended\t${config.endDate}`,
          `Firmware\t${config.version}.${config.majorVersion}.${config.minorVersion}`, `accelerometer ${config.accel.frequency} Hz`,
          `gyroscope ${config.gyro.frequency} Hz`, `barometer ${config.baro.frequency} Hz`]) {
          assert.ok(seen.text.includes(fact), `${fact} in\n${seen.text.slice(0, 2000)}`);
        }
      }
      assert.match(seen.text, /Duration\t\d+:\d\d:\d\d\.\d/);
      assert.match(seen.text.replace(/\n/g, ' '), c.resolution);

      // The drag zoomed every plot to one window inside the one shown before; the wheel on
      // another plot zoomed all of them further.
      for (const [windows, moved, narrower] of [[seen.after, 1, seen.before[1]], [seen.wheeled, 4, seen.after[1]]]) {
        const [min, max] = windows[moved];
        assert.ok(max - min < 0.9 * (narrower[1] - narrower[0]), `zoomed to ${min}..${max} from ${narrower}`);
        for (const [i, w] of windows.entries()) {
          assert.ok(Math.abs(w[0] - min) < 1e-9 && Math.abs(w[1] - max) < 1e-9, `plot ${seen.drawn[i].id} shows ${w}, not ${min}..${max}`);
        }
      }
      if (c.name === 'example' && process.env.KX_VIEW_SCREENSHOT) fs.copyFileSync(screenshot, process.env.KX_VIEW_SCREENSHOT);
    });
  }
});
