// What the report page shows, computed from decoded streams: the header facts, the warnings in
// plain words, and every plotted series reduced to a min/max envelope per pixel column.
'use strict';
const path = require('node:path');

// Columns of the envelope: more than the widest screen shows across one plot, so every spike
// keeps a pixel of its own at any window width.
const COLUMNS = 4000;
// A stream with at most this many samples is sent as it is.
const RAW_LIMIT = 2 * COLUMNS;
// A pause in a stream's ticks longer than this is reported as a gap.
const GAP_S = 1;
// Gaps listed by name; the rest are counted.
const GAPS_LISTED = 8;

// One colour per device, told apart also by people with red-green colour blindness.
const DEVICE_COLOURS = ['#1f77b4', '#d62728', '#2ca02c', '#9467bd', '#ff7f0e', '#17becf', '#8c564b', '#e377c2'];
// One recording: a hue per component (x, y, z; roll, pitch, heading). Several: the device's
// colour, the components told apart by their dash pattern and shade.
const COMPONENT_COLOURS = ['#d62728', '#2ca02c', '#1f77b4'];
const COMPONENT_DASHES = [[], [8, 4], [2, 3]];
const COMPONENT_SHADES = [0, 0.3, -0.3];

const SENSOR_NAMES = {
  accel: 'accelerometer',
  gyro: 'gyroscope',
  baro: 'barometer',
  mag: 'magnetometer',
  quaternion: 'orientation',
  events: 'event channel',
  events2: 'second event channel',
  radioTime: 'radio time',
};

// The plots, top to bottom: each lists its stream, components and unit.
const PLOTS = [
  { id: 'accel', title: 'Accelerometer', unit: 'g', stream: 'accel', components: ['x', 'y', 'z'] },
  { id: 'gyro', title: 'Gyroscope', unit: 'deg/s', stream: 'gyro', components: ['x', 'y', 'z'] },
  { id: 'pressure', title: 'Barometer: pressure', unit: 'mBar', stream: 'baro', components: ['pressure'] },
  { id: 'temperature', title: 'Barometer: temperature', unit: '°C', stream: 'baro', components: ['temperature'] },
  { id: 'orientation', title: 'Orientation', unit: 'deg', stream: 'quaternion', components: ['roll', 'pitch', 'heading'] },
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

// Accessors of a plot's components: value(i) for each, over the stream's arrays.
function componentReaders(plot, stream) {
  if (plot.stream !== 'quaternion') return plot.components.map((c) => (i) => stream[c][i]);
  const { w, x, y, z } = stream;
  // The three angles of a sample are computed once and read three times.
  let last = -1;
  const angles = new Float64Array(3);
  return [0, 1, 2].map((k) => (i) => {
    if (i !== last) {
      eulerInto(angles, w[i], x[i], y[i], z[i]);
      last = i;
    }
    return angles[k];
  });
}

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

// A duration in words: "20.0 s", "3 min 20 s", "24 h 0 min".
function duration(seconds) {
  if (seconds < 1) return `${Number((seconds * 1000).toPrecision(3))} ms`;
  if (seconds < 60) return `${seconds.toFixed(1)} s`;
  if (seconds < 3600) return `${Math.floor(seconds / 60)} min ${Math.round(seconds % 60)} s`;
  return `${Math.floor(seconds / 3600)} h ${Math.floor((seconds % 3600) / 60)} min`;
}

// First and last sample time over the sensor streams of every device, or null without any.
function timeSpan(devices) {
  let t0 = Infinity;
  let t1 = -Infinity;
  for (const d of devices) {
    for (const [key, s] of Object.entries(d.streams)) {
      if (key === 'radioTime' || s.time.length === 0) continue;
      if (key === 'events' || key === 'events2') continue;
      t0 = Math.min(t0, s.time[0]);
      t1 = Math.max(t1, s.time[s.time.length - 1]);
    }
  }
  return Number.isFinite(t0) ? [t0, t1] : null;
}

// The series of one plot for one device: raw samples when they fit, else per column of the
// grid the smallest and largest value (null where a column holds no sample).
// Answers { x, values: [{ min, max }] } or { x, values: [{ raw }] }.
function reduce(time, readers, grid) {
  const n = time.length;
  if (n <= RAW_LIMIT) {
    // A point without value inside each pause in the ticks keeps the line from bridging it.
    const x = [];
    const values = readers.map(() => ({ raw: [] }));
    for (let i = 0; i < n; i++) {
      if (i > 0 && time[i] - time[i - 1] > GAP_S) {
        x.push((time[i] + time[i - 1]) / 2);
        for (const v of values) v.raw.push(null);
      }
      x.push(time[i]);
      for (let j = 0; j < readers.length; j++) values[j].raw.push(readers[j](i));
    }
    return { x, values };
  }
  const { t0, step, columns } = grid;
  const mins = readers.map(() => new Float64Array(columns).fill(Infinity));
  const maxs = readers.map(() => new Float64Array(columns).fill(-Infinity));
  const used = new Uint8Array(columns);
  const k = readers.length;
  const v = new Float64Array(k);
  for (let i = 0; i < n; i++) {
    let c = Math.floor((time[i] - t0) / step);
    if (c < 0) c = 0;
    else if (c >= columns) c = columns - 1;
    used[c] = 1;
    for (let j = 0; j < k; j++) v[j] = readers[j](i);
    for (let j = 0; j < k; j++) {
      if (v[j] < mins[j][c]) mins[j][c] = v[j];
      if (v[j] > maxs[j][c]) maxs[j][c] = v[j];
    }
  }
  const x = [];
  const values = readers.map(() => ({ min: [], max: [] }));
  for (let c = 0; c < columns; c++) {
    if (!used[c]) continue;
    x.push(t0 + (c + 0.5) * step);
    for (let j = 0; j < k; j++) {
      values[j].min.push(mins[j][c]);
      values[j].max.push(maxs[j][c]);
    }
  }
  return { x, values };
}

// Gaps longer than GAP_S in the ticks of the sampled streams, one entry per pause, naming the
// streams it stopped: [{ from, to, streams }], seconds.
function tickGaps(streams) {
  const byInterval = new Map();
  for (const [key, s] of Object.entries(streams)) {
    if (key === 'events' || key === 'events2' || key === 'radioTime' || key === 'quaternion') continue;
    const t = s.time;
    for (let i = 1; i < t.length; i++) {
      if (t[i] - t[i - 1] <= GAP_S) continue;
      // One pause seen by streams of different rates starts and ends within a sample of each.
      const id = `${Math.round(t[i - 1])}:${Math.round(t[i])}`;
      const gap = byInterval.get(id);
      if (gap) gap.streams.push(SENSOR_NAMES[key]);
      else byInterval.set(id, { from: t[i - 1], to: t[i], streams: [SENSOR_NAMES[key]] });
    }
  }
  return [...byInterval.values()].sort((a, b) => a.from - b.from);
}

// Samples of an inertial stream at the sensor's full scale, per axis. ends: per axis the two
// readings of the converter's end codes, computed as the decoder computes every sample.
function fullScaleCounts(stream, ends) {
  const counts = {};
  for (const axis of ['x', 'y', 'z']) {
    const lo = Math.min(...ends[axis]);
    const hi = Math.max(...ends[axis]);
    const values = stream[axis];
    let n = 0;
    if (Number.isFinite(lo) && Number.isFinite(hi)) for (let i = 0; i < values.length; i++) if (values[i] <= lo || values[i] >= hi) n++;
    counts[axis] = n;
  }
  return counts;
}

// Why a recording has no orientation stream, from its configuration.
function noOrientationReason(config, streams) {
  if (!streams.accel) return config.accel ? 'its accelerometer recorded no samples' : 'it has no accelerometer';
  if (!streams.gyro) return config.gyro ? 'its gyroscope recorded no samples' : 'it has no gyroscope';
  if (streams.accel.rate !== streams.gyro.rate) {
    return `its accelerometer (${streams.accel.rate} Hz) and gyroscope (${streams.gyro.rate} Hz) run at different rates`;
  }
  return 'the orientation filter could not run over its samples';
}

// The warnings of one device, in plain words.
function warningsOf(device) {
  const { config, streams } = device;
  const out = [];
  const gaps = tickGaps(streams);
  for (const g of gaps.slice(0, GAPS_LISTED)) {
    out.push(`No samples for ${duration(g.to - g.from)} from ${clock(g.from, true)} to ${clock(g.to, true)} (${g.streams.join(', ')}): the ticks jump by more than ${GAP_S} s.`);
  }
  if (gaps.length > GAPS_LISTED) out.push(`${gaps.length - GAPS_LISTED} more gaps longer than ${GAP_S} s in the ticks.`);

  for (const [key, unit] of [['accel', 'g'], ['gyro', 'deg/s']]) {
    const ends = device.fullScale && device.fullScale[key];
    if (!streams[key] || !ends) continue;
    const c = fullScaleCounts(streams[key], ends);
    const total = c.x + c.y + c.z;
    if (total === 0) continue;
    out.push(`Clipping: ${total} ${SENSOR_NAMES[key]} sample${total === 1 ? '' : 's'} at full scale (±${ends.range} ${unit}): x ${c.x}, y ${c.y}, z ${c.z}. The motion went beyond what the sensor measures.`);
  }

  // A stream that stops well before the others: more than 2 s and 1% of the recording.
  const ends = Object.entries(streams)
    .filter(([key, s]) => !['events', 'events2', 'radioTime', 'quaternion'].includes(key) && s.time.length > 0)
    .map(([key, s]) => [key, s.time[0], s.time[s.time.length - 1]]);
  if (ends.length > 1) {
    const start = Math.min(...ends.map((e) => e[1]));
    const last = Math.max(...ends.map((e) => e[2]));
    const allowed = Math.max(2, 0.01 * (last - start));
    for (const [key, , end] of ends) {
      if (last - end > allowed) out.push(`The ${SENSOR_NAMES[key]} stops at ${clock(end, true)}, ${duration(last - end)} before the other streams end (${clock(last, true)}).`);
    }
  }
  if (!streams.quaternion) out.push(`No orientation: ${noOrientationReason(config, streams)}.`);
  return out;
}

// The header facts of one device, as [label, text] pairs.
function factsOf(device) {
  const { file, config: c, streams } = device;
  const facts = [['File', path.basename(file)]];
  const known = (v) => (v === undefined || v === -1 ? 'not recorded' : String(v));
  facts.push(['Device id', known(c.deviceId)]);
  facts.push(['Device type', known(c.deviceType)]);
  facts.push(['Body location', c.bodyLocation === undefined || c.bodyLocation === -1 ? 'not recorded' : `code ${c.bodyLocation}`]);
  facts.push(['Firmware', c.version === undefined ? 'not recorded' : `${c.version}.${c.majorVersion}.${c.minorVersion}`]);
  facts.push(['Created', c.createdAt]);
  facts.push(['Ended', c.endDate]);
  const span = timeSpan([device]);
  facts.push(['Duration', span ? `${clock(span[1] - span[0], true)} (${duration(span[1] - span[0])})` : 'no sensor samples']);
  facts.push(['Base frequency', `${c.frequency} Hz`]);
  const rates = [];
  for (const key of ['accel', 'gyro', 'baro', 'gps']) if (c[key]) rates.push(`${key === 'gps' ? 'GPS' : SENSOR_NAMES[key]} ${c[key].frequency} Hz`);
  for (const key of ['mag', 'events', 'events2', 'radioTime']) if (streams[key]) rates.push(`${SENSOR_NAMES[key]} ${streams[key].rate} Hz`);
  facts.push(['Sensor rates', rates.length ? rates.join(', ') : 'no sensor configured']);
  return facts;
}

// Shade of a #rrggbb colour: toward white for f > 0, toward black for f < 0.
function shade(hex, f) {
  const n = parseInt(hex.slice(1), 16);
  const ch = [n >> 16, (n >> 8) & 255, n & 255].map((v) => Math.round(f >= 0 ? v + (255 - v) * f : v * (1 + f)));
  return `#${ch.map((v) => v.toString(16).padStart(2, '0')).join('')}`;
}

// The whole page model. devices: [{ file, config, streams, fullScale }] on one time base.
function pageModel(devices, { synchronised }) {
  // A window of one second where the samples leave none to show.
  const span = timeSpan(devices) || [0, 1];
  const [t0, t1] = span[1] > span[0] ? span : [span[0], span[0] + 1];
  const grid = { t0, step: (t1 - t0) / COLUMNS, columns: COLUMNS };
  let enveloped = false;
  const plots = [];
  for (const plot of PLOTS) {
    const tables = [];
    const series = [];
    devices.forEach((d, di) => {
      const s = d.streams[plot.stream];
      if (!s) return;
      const reduced = reduce(s.time, componentReaders(plot, s), grid);
      const columns = [];
      reduced.values.forEach((v, j) => {
        const several = devices.length > 1;
        const single = plot.components.length === 1;
        const colour = several
          ? shade(DEVICE_COLOURS[di % DEVICE_COLOURS.length], single ? 0 : COMPONENT_SHADES[j])
          : (single ? DEVICE_COLOURS[0] : COMPONENT_COLOURS[j]);
        const dash = several && !single ? COMPONENT_DASHES[j] : [];
        const label = several ? `${path.basename(d.file)} ${plot.components[j]}` : plot.components[j];
        if (v.raw) {
          columns.push(v.raw);
          series.push({ label, colour, dash, kind: 'line' });
        } else {
          enveloped = true;
          columns.push(v.min, v.max);
          series.push({ label, colour, dash, kind: 'min' }, { label, colour, dash, kind: 'max' });
        }
      });
      tables.push({ x: reduced.x, columns });
    });
    if (tables.length === 0) continue;
    plots.push({ id: plot.id, title: plot.title, unit: plot.unit, series, tables });
  }
  const events = [];
  devices.forEach((d, di) => {
    for (const [key, channel] of [['events', 1], ['events2', 2]]) {
      const s = d.streams[key];
      if (!s) continue;
      for (let i = 0; i < s.time.length; i++) {
        if (s.time[i] < t0 || s.time[i] > t1) continue;
        events.push({ t: s.time[i], value: s.value[i], channel, device: di });
      }
    }
  });
  return {
    synchronised,
    span: [t0, t1],
    resolution: enveloped
      ? `one point per ${duration(grid.step)} (${COLUMNS} columns across ${clock(t1 - t0)}), each the smallest and largest sample of its column`
      : 'every sample',
    enveloped,
    devices: devices.map((d, di) => ({
      name: path.basename(d.file),
      colour: DEVICE_COLOURS[di % DEVICE_COLOURS.length],
      facts: factsOf(d),
      warnings: warningsOf(d),
    })),
    plots,
    events,
  };
}

module.exports = {
  COLUMNS, RAW_LIMIT, PLOTS, pageModel, reduce, tickGaps, fullScaleCounts, warningsOf, factsOf, eulerDegrees, clock, duration,
};
