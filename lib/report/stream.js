// The report page from the row-range source: one forward pass over each member's rows gives
// every stream's samples with their times (a set's on its common time base), so the facts,
// warnings and envelopes are computed in memory bounded by a range of rows, and a served page
// answers a window from the rows that hold it (the source goes back by its checkpoints) rather
// than from streams held in memory.
'use strict';
const { openSource } = require('../data/source.js');
const { SYNC_REASONS } = require('../reasons.js');
const { FINEST_COLUMNS, SAMPLE_BUDGET, windowOf, DeviceScan, clipEnds, modelOfScan, windowOfScan } = require('./data.js');

// Rows asked of the source at a time, and samples of a stream it does not place on rows.
const ROWS = 65536;
const SAMPLES = 65536;
// Streams read by sample rather than by row: the table leaves out the magnetometer and one of
// two event channels, and places events by row time (a set's table cuts them to its window).
const BY_SAMPLE = ['mag', 'events', 'events2'];

// The device a scan needs of a source member: its streams with samples ({ rate, first, last }).
// A set member shows its synchronised streams and its whole event channels.
function deviceOf(member, synchronised) {
  const streams = {};
  for (const [key, s] of Object.entries(member.streams)) {
    if (s.samples > 0 && (!synchronised || s.carried || key === 'events' || key === 'events2')) streams[key] = s;
  }
  return { file: member.file, config: member.config, streams, fullScale: member.fullScale };
}

// Opens the recordings (two or more as a synchronised set); a set that cannot be synchronised is
// an Error with code KX_SYNC and status.
function open(addon, files, { orientation, maxRows }) {
  try {
    return openSource(addon, files, { caller: 'report', orientation, maxRows });
  } catch (err) {
    if (err.code !== 'KX_SYNC') throw err;
    const e = new Error(`${files.join(', ')}: cannot synchronise: ${SYNC_REASONS[err.status] || `status ${err.status}`}`);
    throw Object.assign(e, { code: 'KX_SYNC', status: err.status });
  }
}

// Past the end of a window by more than this (s), a piece of samples ends a pass: well clear of
// the scan's own tolerance at the window's end.
const PAST_S = 1;

// Gives scan the samples of rows [first, last) of member m, carried streams only; answers per
// range of rows read the first and last sample time it held ({ first, last, from, to }). With
// `until` (s), a pass from row 0 stops after the range where every stream still to come has
// passed that time: each stream's times rise, so later rows hold nothing before it.
function feedRows(source, m, scan, first, last, until = Infinity) {
  const ranges = [];
  const fed = {};
  for (let r = first; r < last; r += ROWS) {
    const end = Math.min(last, r + ROWS);
    let from = Infinity;
    let to = -Infinity;
    const past = {};
    for (const [key, s] of Object.entries(source.samples(m, r, end))) {
      if (BY_SAMPLE.includes(key) || s.time.length === 0) continue;
      scan.add(key, s);
      from = Math.min(from, s.time[0]);
      to = Math.max(to, s.time[s.time.length - 1]);
      fed[key] = (fed[key] || 0) + s.time.length;
      past[key] = s.time[s.time.length - 1] > until + PAST_S;
    }
    ranges.push({ first: r, last: end, from, to });
    const streams = Object.entries(source.members[m].streams).filter(([key, s]) => s.carried && !BY_SAMPLE.includes(key));
    if (until !== Infinity && streams.every(([key, s]) => past[key] || (fed[key] || 0) >= s.samples)) break;
  }
  return ranges;
}

// Gives scan stream `key` of member m sample by sample, up to the first piece past `until` (s).
function feedStream(source, m, scan, key, until) {
  for (let i = 0; ; i += SAMPLES) {
    const s = source.stream(m, key, i, SAMPLES);
    if (s) scan.add(key, s);
    if (!s || s.time.length < SAMPLES || s.time[s.time.length - 1] > until + PAST_S) break;
  }
}

// Opens the recordings and makes their page model in one pass; answers { model, window(...),
// close() } where window({ from, to, columns }) answers a served window and close() frees the
// source. A window page ({ from, to }) reads the rows up to the end of its window.
function streamedPage(addon, files, { from, to, orientation, maxRows } = {}) {
  const source = open(addon, files, { orientation, maxRows });
  try {
    const synchronised = files.length > 1;
    const n = source.members.length;
    const devices = source.members.map((member) => deviceOf(member, synchronised));
    const ends = devices.map((d) => clipEnds(d.fullScale));
    const w = windowOf(devices, { from, to, columns: Math.floor(FINEST_COLUMNS / n) });
    const budget = Math.floor(SAMPLE_BUDGET / n);
    const ranges = [];
    const scans = devices.map((device, m) => {
      const scan = new DeviceScan(device, w, budget, ends[m]);
      ranges.push(feedRows(source, m, scan, 0, source.members[m].rows, w.t1));
      for (const key of BY_SAMPLE) if (device.streams[key]) feedStream(source, m, scan, key, w.t1);
      return scan;
    });
    const model = modelOfScan({ span: [w.t0, w.t1], grid: w.grid, devices: scans.map((s) => s.result(w.whole)) }, ends, { synchronised, from, to });
    return {
      model,
      // The drawn data of [from, to] on `columns` columns, from the rows that hold its samples.
      window({ from: a, to: b, columns }) {
        const ww = windowOf(devices, { from: a, to: b, columns });
        const parts = devices.map((device, m) => {
          const part = new DeviceScan(device, ww, budget);
          const held = ranges[m].filter((r) => r.to >= ww.t0 && r.from <= ww.t1);
          if (held.length > 0) feedRows(source, m, part, held[0].first, held[held.length - 1].last);
          return part.result(ww.whole);
        });
        return windowOfScan({ span: [ww.t0, ww.t1], grid: ww.grid, devices: parts });
      },
      close: () => source.close(),
    };
  } catch (err) {
    source.close();
    throw err;
  }
}

module.exports = { streamedPage };
