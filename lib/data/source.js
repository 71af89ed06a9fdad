// The row-range source: one recording, or a synchronised set, as a table whose rows any output
// takes in ranges. This version decodes each recording whole through the addon's table
// functions and answers ranges as views of those columns; a streamed source answers the same
// cells with memory bounded by the range.
'use strict';
const fs = require('node:fs');
const { REASONS, notRegular } = require('../reasons.js');

// The stream behind a column, by the sensor-map identifier the addon names.
const STREAMS = { 1: 'accel', 2: 'gyro', 3: 'baro', 5: 'mag', 6: 'events', 7: 'radioTime', 10: 'quaternion', 11: 'events2' };
const COMPONENTS = {
  accel: ['x', 'y', 'z'], gyro: ['x', 'y', 'z'], mag: ['x', 'y', 'z'], baro: ['pressure', 'temperature'],
  quaternion: ['w', 'x', 'y', 'z'], events: ['value'], events2: ['value'], radioTime: ['value'],
};

// Why a file the reader could not open or read is unreadable, as the system names it. Only a
// regular file is opened to find out: a FIFO would block.
function unreadableCode(file) {
  let fd;
  try {
    const st = fs.statSync(file);
    if (st.isDirectory()) return 'EISDIR';
    if (!st.isFile()) return 'KX_NOT_A_FILE';
    fd = fs.openSync(file, 'r');
    return 'EIO';
  } catch (err) {
    return err.code || 'EIO';
  } finally {
    if (fd !== undefined) fs.closeSync(fd);
  }
}

// The Error for a recording the addon could not decode (code as the addon answered it).
function recordingError(fn, file, code) {
  if (code === 'unreadable') code = unreadableCode(file);
  const why = code === 'KX_NOT_A_FILE' ? notRegular(fs.statSync(file)) : REASONS[code] || `cannot read it (${code})`;
  return Object.assign(new Error(`${fn}: ${file}: ${why}`), { code, path: file });
}

// Set bits of valid in [first, last), for the null count of a range.
function countValid(valid, first, last) {
  let n = 0;
  for (let r = first; r < last; ++r) n += (valid[r >> 3] >> (r & 7)) & 1;
  return n;
}

// Validity bits of rows [first, last) starting at bit 0: a view when the range starts on a
// byte, else a shifted copy of just the range.
function validRange(valid, first, last) {
  if ((first & 7) === 0) return valid.subarray(first >> 3, (last + 7) >> 3);
  const out = new Uint8Array((last - first + 7) >> 3);
  for (let r = first; r < last; ++r) if ((valid[r >> 3] >> (r & 7)) & 1) out[(r - first) >> 3] |= 1 << ((r - first) & 7);
  return out;
}

function member(file, table, shift) {
  const config = JSON.parse(table.config);
  return {
    file,
    config,
    summary: JSON.parse(table.summary),
    frequency: config.frequency,
    rows: table.rows,
    firstTick: 1,
    shift,
    // Beyond the contract: the recording's own clock (seconds) at row 0, the time of the
    // samples on it; a set's rows are on the common base, which is own time + shift.
    rowZeroTime: table.start - shift,
    // Beyond the table: the magnetometer's samples ({ rate, x, y, z }), or null.
    mag: table.mag || null,
    columns: table.columns.map((c) => ({
      name: c.name, single: c.single, cells: c.cells, stream: STREAMS[c.sensor] || null, component: c.component,
    })),
  };
}

// Opens paths as a source (see the contract in the notes): one recording, or a synchronised set
// when there are several or options.set is true. options: { orientation, maxRows, set, caller
// (the function named in error messages) }.
function openSource(addon, paths, options = {}) {
  const { orientation = 'specified', maxRows = Infinity, caller = 'openSource' } = options;
  if (orientation !== 'specified') {
    throw Object.assign(new TypeError(`${caller}: orientation '${orientation}' is not available`), { code: 'KX_BAD_OPTION' });
  }
  let tables;
  let method = null;
  if (paths.length >= 2 || options.set) {
    const answer = addon._syncTables(paths);
    if (typeof answer === 'string') {
      throw Object.assign(new Error(`${caller}: the recordings could not be synchronised (status ${answer})`), { code: 'KX_SYNC', status: answer });
    }
    tables = answer;
    method = tables.length > 0 ? tables[0].method : null;
  } else {
    const answer = addon._tableColumns(paths[0]);
    if (typeof answer === 'string') throw recordingError(caller, paths[0], answer);
    tables = [answer];
  }
  tables.forEach((t, m) => {
    if (t.rows > maxRows) {
      throw Object.assign(new Error(`${caller}: ${paths[m]}: its table would have ${t.rows} rows, more than ${maxRows}`), { code: 'KX_TOO_MANY_ROWS', path: paths[m] });
    }
  });
  const members = tables.map((t, m) => member(paths[m], t, method === null ? 0 : t.shift));
  return {
    members,
    method,
    // Views of a whole decode: any range, in any order.
    seekable: true,
    fill(m, first, last) {
      return tables[m].columns.map((c) => ({
        values: c.values.subarray(first, last),
        valid: validRange(c.valid, first, last),
        nulls: c.nulls === 0 ? 0 : (last - first) - countValid(c.valid, first, last),
      }));
    },
    close() { tables = null; },
  };
}

module.exports = { openSource, recordingError, STREAMS, COMPONENTS };
