// Time in the table: the base-rate tick of every row and sample, and the recording's wall-clock
// start as an instant once the user names its time zone.
//
// Row r of a table has Tick = firstTick + r (firstTick is 1: the CSV's first Time is one step
// of the base rate) and Time = Tick / frequency, summed step by step as the CSV prints it. A
// sample's tick is the Tick of the row it sits on: sample i of a stream spaced by a factor f on
// row i x f, a timed sample (events, radio time) on the first row whose running Time reaches its
// own time, at most one a row. readData's `time` is the recording's own clock (its tick counter
// / frequency), which starts at 0.
'use strict';

// Row spacing of a stream at `rate` on a `frequency` base, the truncated quotient the table
// uses; 0 when it cannot be placed (a rate of 0 or above the base).
function factorOf(frequency, rate) {
  const f = Math.trunc(frequency / rate);
  return Number.isFinite(f) && f >= 1 ? f : 0;
}

// Ticks of a spaced stream's `length` samples (NaN when it cannot be placed).
function spacedTicks(length, factor, firstTick = 1) {
  const ticks = new Float64Array(length);
  for (let i = 0; i < length; ++i) ticks[i] = factor === 0 ? NaN : i * factor + firstTick;
  return ticks;
}

// Ticks of time-placed samples: the running Time of row r is the sum of r + 1 steps, added one
// at a time as the writer does, so a sample lands on exactly the row the table puts it on.
function timedTicks(times, frequency, firstTick = 1) {
  const ticks = new Float64Array(times.length);
  const step = 1 / frequency;
  if (!(step > 0) || !Number.isFinite(step)) return ticks.fill(NaN);
  let row = -1;
  let time = 0;
  for (let p = 0; p < times.length; ++p) {
    const t = times[p];
    if (!Number.isFinite(t)) {
      ticks[p] = NaN;
      continue;
    }
    do {
      row += 1;
      time += step;
    } while (time < t);
    ticks[p] = row + firstTick;
  }
  return ticks;
}

// The canonical name of an IANA time zone, or a RangeError naming it.
function checkTimeZone(timeZone, caller) {
  if (typeof timeZone !== 'string' || timeZone === '') {
    throw Object.assign(new TypeError(`${caller}: options.timezone must be an IANA time zone name such as Europe/Berlin`), { code: 'KX_BAD_TIMEZONE' });
  }
  try {
    return new Intl.DateTimeFormat('en-US', { timeZone }).resolvedOptions().timeZone;
  } catch {
    throw Object.assign(new RangeError(`${caller}: unknown time zone "${timeZone}" (an IANA name such as Europe/Berlin)`), { code: 'KX_BAD_TIMEZONE' });
  }
}

// How far the zone's wall clock is ahead of UTC at instant t (ms).
function zoneOffset(format, t) {
  const v = Object.fromEntries(format.formatToParts(new Date(t)).map((p) => [p.type, p.value]));
  const wall = Date.UTC(Number(v.year), Number(v.month) - 1, Number(v.day), Number(v.hour), Number(v.minute), Number(v.second));
  return wall - Math.floor(t / 1000) * 1000;
}

// The instant (ms since 1970, UTC) of a wall-clock text "YYYY-MM-DD hh:mm:ss" in timeZone, or
// null when the text is not a date. A wall-clock time the zone skips (a spring-forward gap) is
// read with the offset before the change; one it repeats takes the first of its two instants.
function wallClockInstant(text, timeZone) {
  const m = /^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})$/.exec(text);
  if (m === null) return null;
  const [year, month, day, hour, minute, second] = m.slice(1).map(Number);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return null;
  const wall = Date.UTC(year, month - 1, day, hour, minute, second);
  const format = new Intl.DateTimeFormat('en-US', {
    timeZone, hourCycle: 'h23', year: 'numeric', month: 'numeric', day: 'numeric', hour: 'numeric', minute: 'numeric', second: 'numeric',
  });
  const before = wall - zoneOffset(format, wall - 86400000);
  const after = wall - zoneOffset(format, wall + 86400000);
  // Of the two candidate offsets, the earliest instant that shows this wall clock.
  for (const t of [Math.min(before, after), Math.max(before, after)]) if (t + zoneOffset(format, t) === wall) return t;
  return before;
}

module.exports = { factorOf, spacedTicks, timedTicks, checkTimeZone, wallClockInstant };
