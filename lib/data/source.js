// The row-range source: one recording, or a synchronised set, as tables whose row ranges are
// filled on demand by the addon's pipeline, in memory bounded by the range asked for.
'use strict';
const fs = require('node:fs');
const { REASONS, SYNC_REASONS, notRegular } = require('../reasons.js');
const { ORIENTATIONS, checkMaxRows } = require('../contract.js');


// The components of each stream, in the order of its columns and of readData's arrays.
const COMPONENTS = {
  accel: ['x', 'y', 'z'], gyro: ['x', 'y', 'z'], mag: ['x', 'y', 'z'], baro: ['pressure', 'temperature'],
  quaternion: ['w', 'x', 'y', 'z'], events: ['value'], events2: ['value'], radioTime: ['value'],
};

function checkOptions(caller, options) {
  if (options === null || typeof options !== 'object' || Array.isArray(options)) {
    throw new TypeError(`${caller}: options: expected an object, got ${options === null ? 'null' : typeof options}`);
  }
  const { orientation = 'specified', maxRows } = options;
  if (!ORIENTATIONS.includes(orientation)) {
    throw new TypeError(`${caller}: options.orientation: expected one of ${ORIENTATIONS.join(', ')}, got ${String(orientation)}`);
  }
  checkMaxRows(caller, maxRows);
  return maxRows === undefined ? { orientation } : { orientation, maxRows };
}

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

// The Error for a source the addon could not open ({ code, path, status, rows }).
function openError(caller, answer) {
  const { code, path, status, rows } = answer;
  let err;
  if (code === 'KX_TOO_MANY_ROWS') {
    err = new Error(`${caller}: ${path}: its table would have ${rows} rows, implausibly many for the recording (raise options.maxRows to accept it)`);
  } else if (code === 'KX_SYNC') {
    err = new Error(`${caller}: ${path || 'the set'}: cannot synchronise: ${SYNC_REASONS[status] || `status ${status}`}`);
  } else {
    return Object.assign(recordingError(caller, path, code), status === undefined ? {} : { status });
  }
  err.code = code;
  err.path = path;
  if (status !== undefined) err.status = status;
  if (rows !== undefined) err.rows = rows;
  return err;
}

// A stream as the addon answers it, { rate, time, data } with the components one after the other
// in data, as readData's { rate, time, <component>... }: each component a view of data.
function splitStream(name, { rate, time, data }) {
  const out = { rate, time };
  COMPONENTS[name].forEach((c, k) => { out[c] = data.subarray(k * time.length, (k + 1) * time.length); });
  return out;
}

// Opens one recording (paths.length === 1) or a synchronised set (>= 2, or options.set) as a
// table source. options: { orientation, maxRows, set, caller (the function errors name) }.
function openSource(addon, paths, options = {}) {
  const caller = options && typeof options.caller === 'string' ? options.caller : 'openSource';
  if (!Array.isArray(paths) || paths.length === 0 || !paths.every((p) => typeof p === 'string' && !p.includes('\0'))) {
    throw new TypeError(`${caller}: paths: expected a non-empty array of recording paths`);
  }
  const checked = checkOptions(caller, options);
  const opened = addon._sourceOpen([...paths], checked, options.set === true);
  const answer = JSON.parse(opened.description);
  if (opened.handle === undefined) throw openError(caller, answer);
  let handle = opened.handle;
  // Each member: { file, config, summary, frequency, rows, firstTick, shift, columns, and beyond
  // the contract: rowZeroTime (the recording's own clock at row 0, seconds), magnetometer (the
  // stream the table does not show: { rate, samples } or null; see magnetometer()), streams ({
  // <stream>: { samples, rate, carried, first, last } }: carried streams are placed on the
  // table's rows; first and last, in seconds, are known for every stream of a single recording
  // and for a set member's synchronised streams, on the set's time base) and fullScale (the
  // inertial sensors' readings at full scale: { accel, gyro }, each { range, x: [low, high], y,
  // z } when configured) }.
  const { members } = answer;
  const live = () => {
    if (handle === null) throw new Error(`${caller}: the source is closed`);
    return handle;
  };
  const streamOf = (h, m, name, first, count) => {
    const got = addon._sourceStream(h, m, name, first, count);
    return got === null ? null : splitStream(name, got);
  };
  const checkMember = (m) => {
    if (!Number.isSafeInteger(m) || m < 0 || m >= members.length) {
      throw new RangeError(`fill: member: expected 0..${members.length - 1}, got ${m}`);
    }
  };
  const checkRange = (first, last) => {
    if (!Number.isSafeInteger(first) || !Number.isSafeInteger(last) || first < 0 || last < first) {
      throw new RangeError(`rows: expected 0 <= first <= last, got ${first}, ${last}`);
    }
  };
  return {
    members,
    // The set's synchronisation method, or null for one recording.
    method: answer.method === undefined ? null : answer.method,
    // Ranges may go back: each member keeps checkpoints of where its rows stood.
    seekable: answer.seekable === true,
    // Rows [first, last) of member m as [{ values, valid, nulls }], in any order.
    fill(m, first, last) {
      const h = live();
      checkMember(m);
      if (!Number.isSafeInteger(first) || !Number.isSafeInteger(last) || first < 0 || last < first) {
        throw new RangeError(`fill: rows: expected 0 <= first <= last, got ${first}, ${last}`);
      }
      return addon._sourceFill(h, m, first, last).map(({ values, valid, nulls }) => ({ values, valid, nulls }));
    },
    // Magnetometer samples [first, first + count) of member m as { x, y, z } Float64Arrays, in
    // any order (a range that goes back reads the stream again).
    magnetometer(m, first, count) {
      const h = live();
      checkMember(m);
      const { file, magnetometer: mag } = members[m];
      if (!Number.isSafeInteger(first) || !Number.isSafeInteger(count) || first < 0 || count < 0 || first + count > (mag === null ? 0 : mag.samples)) {
        throw new RangeError(`magnetometer: samples: expected 0 <= first, 0 <= count, first + count <= ${mag === null ? 0 : mag.samples}, got ${first}, ${count}`);
      }
      if (count === 0) return { x: new Float64Array(0), y: new Float64Array(0), z: new Float64Array(0) };
      const got = streamOf(h, m, 'mag', first, count);
      if (got === null || got.time.length !== count) throw new Error(`${caller}: ${file}: the magnetometer's samples cannot be read (the recording changed)`);
      return { x: got.x, y: got.y, z: got.z };
    },
    // The samples the carried streams place on rows [first, last) of member m, each with its
    // time (seconds, on the set's time base for a set): { <stream>: { rate, time,
    // <component>... } } as readData answers, a stream without samples there left out. Same
    // order rules as fill.
    samples(m, first, last) {
      const h = live();
      checkMember(m);
      checkRange(first, last);
      const out = {};
      for (const [name, s] of Object.entries(addon._sourceSamples(h, m, first, last))) out[name] = splitStream(name, s);
      return out;
    },
    // Samples [first, first + count) of a whole stream, read forward: { rate, time,
    // <component>... } or null past its end. Any stream of a single recording ("mag", "events",
    // "events2", "radioTime", carried or not); a set member's event channels, uncut, on the
    // set's time base.
    stream(m, name, first, count) {
      const h = live();
      checkMember(m);
      checkRange(first, first + count);
      return streamOf(h, m, name, first, count);
    },
    close() {
      if (handle !== null) addon._sourceClose(handle);
      handle = null;
    },
  };
}

module.exports = { openSource, recordingError, COMPONENTS };
