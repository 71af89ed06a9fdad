// The report page from the row-range source: one forward pass over a recording's rows gives
// every stream's samples with their times, so the facts, warnings and envelopes are computed in
// memory bounded by a range of rows, and a served page answers a window from the rows that hold
// it (the source goes back by its checkpoints) rather than from streams held in memory.
'use strict';
const { openSource } = require('../data/source.js');
const { FINEST_COLUMNS, SAMPLE_BUDGET, windowOf, DeviceScan, clipEnds, modelOfScan, windowOfScan } = require('./data.js');

// Rows asked of the source at a time, and samples of a stream it does not place on rows.
const ROWS = 65536;
const SAMPLES = 65536;
// Streams read by sample rather than by row: the table leaves out the magnetometer and one of
// two event channels, and places events by row time.
const BY_SAMPLE = ['mag', 'events', 'events2'];

// The device a scan needs of a source member: its streams with samples ({ rate, first, last }).
function deviceOf(addon, member) {
  const streams = {};
  for (const [key, s] of Object.entries(member.streams)) if (s.samples > 0) streams[key] = s;
  return { file: member.file, config: member.config, streams, fullScale: addon._fullScale(member.file) };
}

// Gives scan the samples of rows [first, last) of member m, carried streams only; answers per
// range of rows the first and last sample time it held ({ first, last, from, to }).
function feedRows(source, m, scan, first, last) {
  const ranges = [];
  for (let r = first; r < last; r += ROWS) {
    const end = Math.min(last, r + ROWS);
    let from = Infinity;
    let to = -Infinity;
    for (const [key, s] of Object.entries(source.samples(m, r, end))) {
      if (BY_SAMPLE.includes(key) || s.time.length === 0) continue;
      scan.add(key, s);
      from = Math.min(from, s.time[0]);
      to = Math.max(to, s.time[s.time.length - 1]);
    }
    ranges.push({ first: r, last: end, from, to });
  }
  return ranges;
}

// Opens a single recording and makes its page model in one pass; answers { model, window(...) }
// where window({ from, to, columns }) answers a served window, and close() frees the source.
function streamedPage(addon, file, { from, to, orientation, maxRows } = {}) {
  const source = openSource(addon, [file], { caller: 'report', orientation, maxRows });
  try {
    const member = source.members[0];
    const device = deviceOf(addon, member);
    const ends = [clipEnds(device.fullScale)];
    const w = windowOf([device], { from, to, columns: FINEST_COLUMNS });
    const scan = new DeviceScan(device, w, SAMPLE_BUDGET, ends[0]);
    const ranges = feedRows(source, 0, scan, 0, member.rows);
    for (const key of BY_SAMPLE) {
      if (!device.streams[key]) continue;
      for (let i = 0; ; i += SAMPLES) {
        const s = source.stream(0, key, i, SAMPLES);
        if (s) scan.add(key, s);
        if (!s || s.time.length < SAMPLES) break;
      }
    }
    const model = modelOfScan({ span: [w.t0, w.t1], grid: w.grid, devices: [scan.result(w.whole)] }, ends, { from, to });
    return {
      model,
      // The drawn data of [from, to] on `columns` columns, from the rows that hold its samples.
      window({ from: a, to: b, columns }) {
        const ww = windowOf([device], { from: a, to: b, columns });
        const part = new DeviceScan(device, ww, SAMPLE_BUDGET);
        const held = ranges.filter((r) => r.to >= ww.t0 && r.from <= ww.t1);
        if (held.length > 0) feedRows(source, 0, part, held[0].first, held[held.length - 1].last);
        return windowOfScan({ span: [ww.t0, ww.t1], grid: ww.grid, devices: [part.result(ww.whole)] });
      },
      close: () => source.close(),
    };
  } catch (err) {
    source.close();
    throw err;
  }
}

module.exports = { streamedPage };
