// What the report page shows, computed in one pass over the decoded streams: the header facts,
// the warnings in plain words, and every plotted series as its samples (when they fit the
// page's budget) or as min/max envelopes at several resolutions, finest first.
'use strict';
const path = require('node:path');

// Samples per plotted stream that a page carries as they are; shared by the devices of a set.
const SAMPLE_BUDGET = 60000;
// Columns of the finest envelope, shared by the devices of a set: with the coarser levels
// about 7.5 MB for a recording of any length, so a page stays under 10 MB.
const FINEST_COLUMNS = 48000;
// Each coarser level merges this many columns of the one below ...
const LEVEL_FACTOR = 4;
// ... while the coarser one keeps at least this many (about a screen's width).
const COARSEST_COLUMNS = 1000;
// A pause in a stream's ticks longer than this is reported as a gap and drawn as a break.
const GAP_S = 1;
// Gaps listed by name; the rest are counted.
const GAPS_LISTED = 8;
// Gaps kept per stream while scanning, to merge those of several streams into one pause.
const GAPS_KEPT = 1000;
// A header end date further than this from the last sample is reported.
const END_DATE_SLACK_S = 60;

// One colour per device, told apart also by people with red-green colour blindness.
const DEVICE_COLOURS = ['#1f77b4', '#d62728', '#2ca02c', '#9467bd', '#ff7f0e', '#17becf', '#8c564b', '#e377c2'];
// One recording: a hue per component (x, y, z; roll, pitch, heading).
const COMPONENT_COLOURS = ['#d62728', '#2ca02c', '#1f77b4'];

const SENSOR_NAMES = {
  accel: 'accelerometer', gyro: 'gyroscope', baro: 'barometer', mag: 'magnetometer', quaternion: 'orientation',
  events: 'event channel', events2: 'second event channel', radioTime: 'radio time',
};

// The plots, top to bottom: each lists its stream, the columns it reads, its components and
// unit; `circular` marks angles that wrap at ±180°.
const PLOTS = [
  { id: 'accel', title: 'Accelerometer', unit: 'g', stream: 'accel', reads: ['x', 'y', 'z'], components: ['x', 'y', 'z'] },
  { id: 'gyro', title: 'Gyroscope', unit: 'deg/s', stream: 'gyro', reads: ['x', 'y', 'z'], components: ['x', 'y', 'z'] },
  { id: 'pressure', title: 'Barometer: pressure', unit: 'mBar', stream: 'baro', reads: ['pressure'], components: ['pressure'] },
  { id: 'temperature', title: 'Barometer: temperature', unit: '°C', stream: 'baro', reads: ['temperature'], components: ['temperature'] },
  {
    id: 'orientation', title: 'Orientation', unit: 'deg', stream: 'quaternion', reads: ['w', 'x', 'y', 'z'],
    components: ['roll', 'pitch', 'heading'], circular: [true, false, true],
  },
];

const DEG = 180 / Math.PI;

// Roll, pitch and heading (degrees, Z-Y-X order) of the quaternion (w, x, y, z), into out. A
// quaternion off unit length is normalised first; one of zero length (the filter not started
// yet) has no angles: NaN, which the page draws as a gap.
function eulerInto(out, w, x, y, z) {
  const n = Math.sqrt(w * w + x * x + y * y + z * z);
  if (!(n > 1e-9)) {
    out.fill(NaN);
    return out;
  }
  w /= n;
  x /= n;
  y /= n;
  z /= n;
  out[0] = Math.atan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y)) * DEG;
  const s = 2 * (w * y - z * x);
  out[1] = Math.asin(s > 1 ? 1 : s < -1 ? -1 : s) * DEG;
  out[2] = Math.atan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z)) * DEG;
  return out;
}

const eulerDegrees = (w, x, y, z) => Array.from(eulerInto(new Float64Array(3), w, x, y, z));

// Seconds as h:mm:ss, with tenths when `tenths` is set (rounded first, so 59.96 s is 0:01:00.0).
function clock(seconds, tenths = false) {
  const sign = seconds < 0 ? '-' : '';
  const scale = tenths ? 10 : 1;
  const units = tenths ? Math.round(Math.abs(seconds) * scale) : Math.floor(Math.abs(seconds));
  const whole = Math.floor(units / scale);
  const h = Math.floor(whole / 3600);
  const m = Math.floor((whole % 3600) / 60);
  const ss = String(whole % 60).padStart(2, '0');
  return `${sign}${h}:${String(m).padStart(2, '0')}:${ss}${tenths ? `.${units % scale}` : ''}`;
}

// A duration in words: "250 ms", "20.0 s", "3 min 20 s", "1 h 0 min 0 s". Rounded once, before
// it is split, so that no part reads 60.
function duration(seconds) {
  if (seconds < 1) return `${Number((seconds * 1000).toPrecision(3))} ms`;
  const tenths = Math.round(seconds * 10);
  if (tenths < 600) return `${(tenths / 10).toFixed(1)} s`;
  const whole = Math.round(seconds);
  const h = Math.floor(whole / 3600);
  const m = Math.floor((whole % 3600) / 60);
  const s = whole % 60;
  return h > 0 ? `${h} h ${m} min ${s} s` : `${m} min ${s} s`;
}

// "2026-03-14 09:30:10" (the header's dates, UTC) as milliseconds, or NaN.
const headerDate = (text) => Date.parse(`${String(text).replace(' ', 'T')}Z`);
const timeOfDay = (ms) => new Date(ms).toISOString().slice(11, 19);

// Per column of a grid the smallest and largest of each component, and for the components that
// wrap at ±180° the range of their unwrapped course inside the column.
class Envelope {
  constructor(grid, circular) {
    this.grid = grid;
    this.circular = circular;
    this.min = circular.map(() => new Float64Array(grid.columns).fill(Infinity));
    this.max = circular.map(() => new Float64Array(grid.columns).fill(-Infinity));
    this.column = -1;
    this.t0 = grid.t0;
    this.step = grid.step;
    this.columns = grid.columns;
    this.wraps = Uint8Array.from(circular, (c) => (c ? 1 : 0));
    this.last = new Float64Array(circular.length);
    this.course = new Float64Array(circular.length);
  }

  add(t, values) {
    let c = Math.floor((t - this.t0) / this.step);
    if (c < 0) c = 0;
    else if (c >= this.columns) c = this.columns - 1;
    const fresh = c !== this.column;
    this.column = c;
    for (let j = 0; j < values.length; j++) {
      let v = values[j];
      if (v !== v) continue; // NaN: no angles yet
      if (this.wraps[j] === 1) {
        // The angle's course from the column's first sample, without its jumps at ±180°.
        if (fresh) this.course[j] = v;
        else {
          const d = v - this.last[j];
          this.course[j] += d > 180 ? d - 360 : d < -180 ? d + 360 : d;
        }
        this.last[j] = v;
        v = this.course[j];
      }
      const min = this.min[j];
      const max = this.max[j];
      if (v < min[c]) min[c] = v;
      if (v > max[c]) max[c] = v;
    }
  }

  // The levels, finest first: [{ columns, step, min: [Float32Array], max }] with NaN in empty
  // columns; a circular component's band moved by whole turns to centre within ±180°.
  levels() {
    const out = [];
    let { min, max } = this;
    this.circular.forEach((c, j) => c && centreTurns(min[j], max[j]));
    let { columns, step } = this.grid;
    for (;;) {
      out.push({ columns, step, min: min.map(toFloat32), max: max.map(toFloat32) });
      if (columns / LEVEL_FACTOR < COARSEST_COLUMNS) break;
      const merged = mergeColumns(min, max, this.circular);
      min = merged.min;
      max = merged.max;
      columns = min[0].length;
      step *= LEVEL_FACTOR;
    }
    return out;
  }
}

function toFloat32(a) {
  const out = new Float32Array(a.length);
  for (let i = 0; i < a.length; i++) out[i] = Number.isFinite(a[i]) ? a[i] : NaN;
  return out;
}

// Centres each band of a circular component within ±180°; a band of a whole turn or more is
// the whole circle.
function centreTurns(min, max) {
  for (let c = 0; c < min.length; c++) {
    if (!Number.isFinite(min[c])) continue;
    if (max[c] - min[c] >= 360) {
      min[c] = -180;
      max[c] = 180;
      continue;
    }
    const turns = 360 * Math.round((min[c] + max[c]) / 720);
    min[c] -= turns;
    max[c] -= turns;
  }
}

// The next coarser level: every LEVEL_FACTOR columns as one; bands of circular components are
// joined along their course, each moved by whole turns next to the one before.
function mergeColumns(min, max, circular) {
  const columns = Math.ceil(min[0].length / LEVEL_FACTOR);
  const outMin = min.map(() => new Float64Array(columns).fill(Infinity));
  const outMax = max.map(() => new Float64Array(columns).fill(-Infinity));
  for (let j = 0; j < min.length; j++) {
    if (circular[j]) centreTurns(min[j], max[j]);
    for (let c = 0; c < columns; c++) {
      let centre = NaN;
      for (let i = c * LEVEL_FACTOR; i < Math.min(min[j].length, (c + 1) * LEVEL_FACTOR); i++) {
        let lo = min[j][i];
        let hi = max[j][i];
        if (!Number.isFinite(lo)) continue;
        if (circular[j]) {
          const mid = (lo + hi) / 2;
          const turns = Number.isNaN(centre) ? 0 : 360 * Math.round((centre - mid) / 360);
          lo += turns;
          hi += turns;
          centre = mid + turns;
        }
        if (lo < outMin[j][c]) outMin[j][c] = lo;
        if (hi > outMax[j][c]) outMax[j][c] = hi;
      }
    }
    if (circular[j]) centreTurns(outMin[j], outMax[j]);
  }
  return { min: outMin, max: outMax };
}

// Samples of one plot as they are, up to a budget; a point without value inside each pause in
// the ticks keeps the line from bridging it. Gives up (full) past the budget.
class RawSamples {
  constructor(components, budget) {
    this.budget = budget;
    this.n = 0;
    this.full = false;
    this.capacity = 1024;
    this.x = new Float64Array(this.capacity);
    this.y = Array.from({ length: components }, () => new Float32Array(this.capacity));
    this.samples = 0;
  }

  push(t, values) {
    if (this.n === this.capacity) {
      this.capacity *= 2;
      const x = new Float64Array(this.capacity);
      x.set(this.x);
      this.x = x;
      this.y = this.y.map((a) => {
        const b = new Float32Array(this.capacity);
        b.set(a);
        return b;
      });
    }
    this.x[this.n] = t;
    for (let j = 0; j < values.length; j++) this.y[j][this.n] = values[j];
    this.n++;
  }

  add(t, values, lastT) {
    if (this.full) return;
    if (++this.samples > this.budget) {
      this.full = true;
      this.x = null;
      this.y = null;
      return;
    }
    if (Number.isFinite(lastT) && t - lastT > GAP_S) this.push((t + lastT) / 2, values.map(() => NaN));
    this.push(t, values);
  }
}

// What the pass learns about one stream of one device.
class StreamFacts {
  constructor() {
    this.count = 0;
    this.first = NaN;
    this.last = NaN;
    this.gaps = [];
    this.gapCount = 0;
    this.clipped = [0, 0, 0];
  }

  add(t) {
    if (this.count === 0) this.first = t;
    else if (t - this.last > GAP_S) {
      this.gapCount++;
      if (this.gaps.length < GAPS_KEPT) this.gaps.push([this.last, t]);
    }
    this.last = t;
    this.count++;
  }
}

function lowerBound(a, t) {
  let lo = 0;
  let hi = a.length;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (a[mid] < t) lo = mid + 1;
    else hi = mid;
  }
  return lo;
}

// Samples of a stream's time array within [from, to]: [first, last).
const indexRange = (time, from, to) => [lowerBound(time, from), lowerBound(time, to + 1e-9)];

const SENSOR_STREAMS = ['accel', 'gyro', 'baro', 'mag', 'quaternion'];

// First and last sample time over the sensor streams of the devices, or null without any.
// devices: [{ streams: { <stream>: { first, last } } }].
function timeSpan(devices) {
  let t0 = Infinity;
  let t1 = -Infinity;
  for (const d of devices) {
    for (const key of SENSOR_STREAMS) {
      const s = d.streams[key];
      if (!s || !(s.first <= s.last)) continue;
      t0 = Math.min(t0, s.first);
      t1 = Math.max(t1, s.last);
    }
  }
  return Number.isFinite(t0) ? [t0, t1] : null;
}

// The window [t0, t1] of a scan and its grid of `columns` columns, from the devices' streams
// ({ <stream>: { rate, first, last } }); a window beside all the samples is an Error with code
// KX_EMPTY_WINDOW.
function windowOf(devices, { from = -Infinity, to = Infinity, columns }) {
  const whole = timeSpan(devices) || [0, 1];
  if (from > whole[1] || to < whole[0]) {
    throw Object.assign(new Error(`report: the window ${clock(from, true)} to ${Number.isFinite(to) ? clock(to, true) : 'the end'} holds no samples; the samples run from ${clock(whole[0], true)} to ${clock(whole[1], true)}`), { code: 'KX_EMPTY_WINDOW' });
  }
  const t0 = Math.max(from, whole[0]);
  let t1 = Math.min(to, whole[1]);
  if (!(t1 > t0)) t1 = t0 + 1;
  const rates = devices.flatMap((d) => Object.values(d.streams).map((s) => s.rate)).filter((r) => r > 0);
  // No column narrower than a sample of the fastest stream.
  const sample = rates.length ? 1 / Math.max(...rates) : 0.01;
  const grid = { t0, step: 0, columns: Math.max(1, Math.min(columns, Math.floor((t1 - t0) / sample))) };
  grid.step = (t1 - t0) / grid.columns;
  return { whole, t0, t1, grid };
}

// What one pass learns of one device between t0 and t1: its samples are given stream by stream,
// each stream's in rising time, in pieces of any length (a whole decoded stream, or the samples
// of a range of rows), so a recording of any length is scanned in bounded memory.
class DeviceScan {
  // device: { file, config, streams: { <stream>: { rate } } (the streams it has samples of) };
  // ends: its full-scale ends (clipEnds).
  constructor(device, { t0, t1, grid }, budget, ends = {}) {
    Object.assign(this, { device, t0, t1, ends });
    this.streams = {};
    for (const key of SENSOR_STREAMS) if (device.streams[key]) this.streams[key] = { facts: new StreamFacts() };
    this.plots = PLOTS.filter((plot) => device.streams[plot.stream]).map((plot) => {
      const circular = plot.circular || plot.components.map(() => false);
      return {
        plot, envelope: new Envelope(grid, circular), raw: new RawSamples(plot.components.length, budget),
        values: new Float64Array(plot.components.length), lastT: -Infinity,
      };
    });
    this.channels = { events: [], events2: [] };
  }

  // A piece of stream `key`: { time, <component>... } (readData's arrays).
  add(key, s) {
    const [first, last] = indexRange(s.time, this.t0, this.t1);
    if (last <= first) return;
    const time = s.time;
    if (key === 'events' || key === 'events2') {
      const channel = key === 'events' ? 1 : 2;
      for (let i = first; i < last; i++) this.channels[key].push([time[i], s.value[i], channel]);
      return;
    }
    const stream = this.streams[key];
    if (!stream) return;
    const { facts } = stream;
    for (let i = first; i < last; i++) facts.add(time[i]);
    const clip = this.ends[key];
    if (clip) {
      for (let k = 0; k < 3; k++) {
        const values = s['xyz'[k]];
        const lo = clip.lo[k];
        const hi = clip.hi[k];
        let n = 0;
        for (let i = first; i < last; i++) if (values[i] <= lo || values[i] >= hi) n++;
        facts.clipped[k] += n;
      }
    }
    for (const p of this.plots) {
      if (p.plot.stream !== key) continue;
      const { envelope, raw, values } = p;
      // The angles of a quaternion, else the components' own arrays, read in this one loop.
      const arrays = key === 'quaternion' ? null : p.plot.reads.map((c) => s[c]);
      const { w, x, y, z } = s;
      const k = values.length;
      let { lastT } = p;
      for (let i = first; i < last; i++) {
        const t = time[i];
        if (arrays === null) eulerInto(values, w[i], x[i], y[i], z[i]);
        else for (let j = 0; j < k; j++) values[j] = arrays[j][i];
        envelope.add(t, values);
        if (!raw.full) raw.add(t, values, lastT);
        lastT = t;
      }
      p.lastT = lastT;
    }
  }

  result(whole) {
    const { device, streams, plots } = this;
    return {
      device, streams, plots, events: [...this.channels.events, ...this.channels.events2],
      reachedEnd: this.t1 >= whole[1] && this.t0 <= whole[0],
    };
  }
}

// One pass over the samples of every device between `from` and `to` (seconds, on the page's
// time axis); a window beside all the samples is an Error with code KX_EMPTY_WINDOW.
// devices: [{ file, config, streams }] (readData's streams, on one time base).
// Answers per device the streams' facts, the events, and per plot the samples (if within
// `budget`) and the envelope on a grid of `columns` across the window.
function scan(devices, { from, to, columns, budget, fullScale = [] }) {
  const spans = devices.map((d) => ({
    streams: Object.fromEntries(Object.entries(d.streams).map(([key, s]) => [key, {
      rate: s.rate, first: s.time.length ? s.time[0] : NaN, last: s.time.length ? s.time[s.time.length - 1] : NaN,
    }])),
  }));
  const w = windowOf(spans, { from, to, columns });
  const scanned = devices.map((device, m) => {
    const d = new DeviceScan(device, w, budget, fullScale[m]);
    for (const [key, s] of Object.entries(device.streams)) d.add(key, s);
    return d.result(w.whole);
  });
  return { span: [w.t0, w.t1], grid: w.grid, devices: scanned };
}

// Full-scale ends per inertial stream of a member, as the scan compares them: { lo, hi, range }.
function clipEnds(fullScale) {
  const out = {};
  for (const key of ['accel', 'gyro']) {
    const e = fullScale && fullScale[key];
    if (!e) continue;
    out[key] = {
      range: e.range,
      lo: ['x', 'y', 'z'].map((a) => Math.min(...e[a])),
      hi: ['x', 'y', 'z'].map((a) => Math.max(...e[a])),
    };
  }
  return out;
}

// Gaps seen by several streams of one device, one entry per pause naming the streams it stopped.
function mergedGaps(streams) {
  const byInterval = new Map();
  let more = 0;
  for (const [key, s] of Object.entries(streams)) {
    if (key === 'quaternion') continue;
    more = Math.max(more, s.facts.gapCount - s.facts.gaps.length);
    for (const [from, to] of s.facts.gaps) {
      // One pause seen by streams of different rates starts and ends within a sample of each.
      const id = `${Math.round(from)}:${Math.round(to)}`;
      const gap = byInterval.get(id);
      if (gap) gap.streams.push(SENSOR_NAMES[key]);
      else byInterval.set(id, { from, to, streams: [SENSOR_NAMES[key]] });
    }
  }
  return { gaps: [...byInterval.values()].sort((a, b) => a.from - b.from), more };
}

// Why a recording has no orientation stream, from its configuration and what it sampled.
function noOrientationReason(config, streams) {
  if (!streams.accel || streams.accel.facts.count === 0) return config.accel ? 'its accelerometer recorded no samples' : 'it has no accelerometer';
  if (!streams.gyro || streams.gyro.facts.count === 0) return config.gyro ? 'its gyroscope recorded no samples' : 'it has no gyroscope';
  if (config.accel.frequency !== config.gyro.frequency) {
    return `its accelerometer (${config.accel.frequency} Hz) and gyroscope (${config.gyro.frequency} Hz) run at different rates`;
  }
  return 'the orientation filter could not run over its samples';
}

// First and last sample time over the sensor streams of a scanned device, or null.
function sampleSpan(d) {
  const s = Object.values(d.streams).filter((x) => x.facts.count > 0);
  return s.length ? [Math.min(...s.map((x) => x.facts.first)), Math.max(...s.map((x) => x.facts.last))] : null;
}

// The warnings of one scanned device, in plain words. `whole`: the scan covered every row, so
// the end of the samples is the end of the recording.
function warningsOf(d, ends, { whole, synchronised }) {
  const { config } = d.device;
  const { streams } = d;
  const out = [];
  const { gaps, more } = mergedGaps(streams);
  for (const g of gaps.slice(0, GAPS_LISTED)) {
    out.push(`No samples for ${duration(g.to - g.from)} from ${clock(g.from, true)} to ${clock(g.to, true)} (${g.streams.join(', ')}): the ticks jump by more than ${GAP_S} s.`);
  }
  const unlisted = gaps.length - Math.min(gaps.length, GAPS_LISTED) + more;
  if (unlisted > 0) out.push(`${unlisted} more gaps longer than ${GAP_S} s in the ticks.`);

  for (const [key, unit] of [['accel', 'g'], ['gyro', 'deg/s']]) {
    if (!streams[key] || !ends[key]) continue;
    const [x, y, z] = streams[key].facts.clipped;
    const total = x + y + z;
    if (total === 0) continue;
    out.push(`Clipping: ${total} ${SENSOR_NAMES[key]} sample${total === 1 ? '' : 's'} at full scale (±${ends[key].range} ${unit}): x ${x}, y ${y}, z ${z}. The motion went beyond what the sensor measures.`);
  }

  // A stream that stops well before the others: more than 2 s and 1% of the recording.
  const sampled = Object.entries(streams).filter(([key, s]) => key !== 'quaternion' && s.facts.count > 0);
  if (sampled.length > 1) {
    const start = Math.min(...sampled.map(([, s]) => s.facts.first));
    const last = Math.max(...sampled.map(([, s]) => s.facts.last));
    const allowed = Math.max(2, 0.01 * (last - start));
    for (const [key, s] of sampled) {
      if (last - s.facts.last > allowed) out.push(`The ${SENSOR_NAMES[key]} stops at ${clock(s.facts.last, true)}, ${duration(last - s.facts.last)} before the other streams end (${clock(last, true)}).`);
    }
  }
  // The header's end date against the samples: a file cut short keeps the date it was meant to end.
  const span = sampleSpan(d);
  const created = headerDate(config.createdAt);
  const ended = headerDate(config.endDate);
  if (whole && !synchronised && span && Number.isFinite(created) && Number.isFinite(ended)) {
    const samplesEnd = created + Math.round(span[1]) * 1000;
    if (Math.abs(ended - samplesEnd) > END_DATE_SLACK_S * 1000) {
      out.push(`The header says it ended ${timeOfDay(ended)}; samples end ${timeOfDay(samplesEnd)}: ${ended > samplesEnd ? 'the file may be cut short' : 'the header\'s end date is wrong'}.`);
    }
  }
  if (!streams.quaternion || streams.quaternion.facts.count === 0) out.push(`No orientation: ${noOrientationReason(config, streams)}.`);
  return out;
}

// The header facts of one scanned device, as [label, text] pairs.
function factsOf(d, window) {
  const { file, config: c, streams } = d.device;
  const facts = [['File', path.basename(file)]];
  const known = (v) => (v === undefined || v === -1 ? 'not recorded' : String(v));
  facts.push(['Device id', known(c.deviceId)]);
  facts.push(['Device type', known(c.deviceType)]);
  facts.push(['Body location', c.bodyLocation === undefined || c.bodyLocation === -1 ? 'not recorded' : `code ${c.bodyLocation}`]);
  facts.push(['Firmware', c.version === undefined ? 'not recorded' : `${c.version}.${c.majorVersion}.${c.minorVersion}`]);
  facts.push(['Created', c.createdAt]);
  facts.push(['Ended', c.endDate]);
  const span = sampleSpan(d);
  if (window) facts.push(['Window', `${clock(window[0], true)} to ${clock(window[1], true)}`]);
  facts.push([window ? 'Samples in the window' : 'Duration', span ? `${clock(span[1] - span[0], true)} (${duration(span[1] - span[0])})` : 'no sensor samples']);
  facts.push(['Base frequency', `${c.frequency} Hz`]);
  const rates = [];
  for (const key of ['accel', 'gyro', 'baro', 'gps']) if (c[key]) rates.push(`${key === 'gps' ? 'GPS' : SENSOR_NAMES[key]} ${c[key].frequency} Hz`);
  for (const key of ['mag', 'events', 'events2', 'radioTime']) if (streams[key]) rates.push(`${SENSOR_NAMES[key]} ${streams[key].rate} Hz`);
  facts.push(['Sensor rates', rates.length ? rates.join(', ') : 'no sensor configured']);
  return facts;
}

const base64 = (typed) => Buffer.from(typed.buffer, typed.byteOffset, typed.byteLength).toString('base64');

// The drawn data of a scan: per device and plot, its samples ({ raw: { x, y } }) or its envelope
// levels ({ levels: [{ columns, step, min, max }] }), arrays as base64 of little-endian floats
// (Float64 times, Float32 values, NaN where nothing was sampled).
function drawnData(scanned, { levels = true } = {}) {
  let enveloped = false;
  const data = scanned.devices.map((d) => {
    const plots = {};
    for (const p of d.plots) {
      if (!p.raw.full) {
        plots[p.plot.id] = { raw: { x: base64(p.raw.x.subarray(0, p.raw.n)), y: p.raw.y.map((a) => base64(a.subarray(0, p.raw.n))) } };
        continue;
      }
      enveloped = true;
      const all = p.envelope.levels();
      plots[p.plot.id] = {
        levels: (levels ? all : all.slice(0, 1)).map((l) => ({ columns: l.columns, step: l.step, min: l.min.map(base64), max: l.max.map(base64) })),
      };
    }
    return plots;
  });
  return { data, enveloped };
}

// The text that says what a plot's points are.
function resolutionOf(grid, enveloped, levels) {
  if (!enveloped) return 'every sample';
  const finest = duration(grid.step);
  const coarsest = duration(grid.step * LEVEL_FACTOR ** (levels - 1));
  return levels > 1
    ? `one point per ${coarsest} across the whole window, down to one per ${finest} as you zoom in (${levels} levels), each the smallest and largest sample of its column`
    : `one point per ${finest} (${grid.columns} columns across ${clock(grid.step * grid.columns)}), each the smallest and largest sample of its column`;
}

// The whole page model. devices: [{ file, config, streams, fullScale }] on one time base;
// options: { synchronised, from, to (seconds, a window) }.
function pageModel(devices, { synchronised = false, from, to } = {}) {
  const n = devices.length;
  const ends = devices.map((d) => clipEnds(d.fullScale));
  const scanned = scan(devices, { from, to, columns: Math.floor(FINEST_COLUMNS / n), budget: Math.floor(SAMPLE_BUDGET / n), fullScale: ends });
  return modelOfScan(scanned, ends, { synchronised, from, to });
}

// The page model of a finished scan (see scan) of devices whose full-scale ends are `ends`.
function modelOfScan(scanned, ends, { synchronised = false, from, to } = {}) {
  const n = scanned.devices.length;
  const window = from !== undefined || to !== undefined ? scanned.span : null;
  const { data, enveloped } = drawnData(scanned);
  const levelCount = enveloped ? Math.max(...data.flatMap((d) => Object.values(d).map((p) => (p.levels ? p.levels.length : 0)))) : 0;
  const present = new Set(scanned.devices.flatMap((d) => d.plots.map((p) => p.plot.id)));
  return {
    synchronised,
    window,
    span: scanned.span,
    resolution: resolutionOf(scanned.grid, enveloped, levelCount),
    enveloped,
    sampleBudget: Math.floor(SAMPLE_BUDGET / n),
    grid: { t0: scanned.grid.t0 },
    devices: scanned.devices.map((d, di) => ({
      name: path.basename(d.device.file),
      colour: DEVICE_COLOURS[di % DEVICE_COLOURS.length],
      facts: factsOf(d, window),
      warnings: warningsOf(d, ends[di], { whole: !window && d.reachedEnd, synchronised }),
    })),
    plots: PLOTS.filter((p) => present.has(p.id)).map((p) => ({
      id: p.id, title: p.title, unit: p.unit, components: p.components, circular: p.circular || p.components.map(() => false),
    })),
    componentColours: COMPONENT_COLOURS,
    data,
    events: scanned.devices.flatMap((d, di) => d.events.map(([t, v]) => [t, v, di])),
  };
}

// The samples of one window for a served page: the same drawn data, one envelope level of
// `columns` columns when the window holds more than the sample budget.
function windowData(devices, { from, to, columns }) {
  const n = devices.length;
  return windowOfScan(scan(devices, { from, to, columns, budget: Math.floor(SAMPLE_BUDGET / n) }));
}

const windowOfScan = (scanned) => {
  const { data, enveloped } = drawnData(scanned, { levels: false });
  return { span: scanned.span, grid: { t0: scanned.grid.t0 }, resolution: resolutionOf(scanned.grid, enveloped, 1), data };
};

module.exports = {
  windowOf, DeviceScan, clipEnds, modelOfScan, windowOfScan,
  SAMPLE_BUDGET, FINEST_COLUMNS, PLOTS, pageModel, windowData, scan, Envelope, RawSamples, eulerDegrees, clock, duration,
};
