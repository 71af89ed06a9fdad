// The row-range source: one recording, or a synchronised set, as tables whose row ranges are
// filled on demand by the addon's pipeline, in memory bounded by the range asked for.
'use strict';
const { REASONS } = require('../reasons.js');
const { ORIENTATIONS } = require('../contract.js');

const SYNC_REASONS = {
  '-10': 'a recording could not be read in full, or its table would be implausibly large',
  '-11': 'the recordings could not be synchronised',
  '-13': 'a recording has no orientation stream',
};

function checkOptions(options) {
  if (options === null || typeof options !== 'object' || Array.isArray(options)) {
    throw new TypeError(`openSource: options: expected an object, got ${options === null ? 'null' : typeof options}`);
  }
  const { orientation = 'specified', maxRows } = options;
  if (!ORIENTATIONS.includes(orientation)) {
    throw new TypeError(`openSource: options.orientation: expected one of ${ORIENTATIONS.join(', ')}, got ${String(orientation)}`);
  }
  if (maxRows !== undefined && !(Number.isSafeInteger(maxRows) && maxRows >= 1)) {
    throw new TypeError(`openSource: options.maxRows: expected a positive integer, got ${String(maxRows)}`);
  }
  return { orientation, maxRows };
}

// The Error for a source the addon could not open ({ code, path, status, rows }).
function openError(answer) {
  const { code, path, status, rows } = answer;
  let message;
  if (code === 'KX_TOO_MANY_ROWS') {
    message = `openSource: ${path}: its table would have ${rows} rows, implausibly many for the recording (raise options.maxRows to accept it)`;
  } else if (code === 'KX_SYNC') {
    message = `openSource: ${path || 'the set'}: cannot synchronise: ${SYNC_REASONS[status] || `status ${status}`}`;
  } else {
    message = `openSource: ${path}: ${REASONS[code] || 'cannot be read'}`;
  }
  const err = new Error(message);
  err.code = code === 'unreadable' ? 'EIO' : code;
  err.path = path;
  if (status !== undefined) err.status = status;
  if (rows !== undefined) err.rows = rows;
  return err;
}

// Opens one recording (paths.length === 1) or a synchronised set (>= 2) as a table source.
function openSource(addon, paths, options = {}) {
  if (!Array.isArray(paths) || paths.length === 0 || !paths.every((p) => typeof p === 'string' && !p.includes('\0'))) {
    throw new TypeError('openSource: paths: expected a non-empty array of recording paths');
  }
  const checked = checkOptions(options);
  const answer = addon._sourceOpen([...paths], checked);
  if (answer.handle === undefined) throw openError(answer);
  let handle = answer.handle;
  const members = answer.members.map((m) => ({
    file: m.file,
    config: JSON.parse(m.config),
    summary: JSON.parse(m.summary),
    frequency: m.frequency,
    rows: m.rows,
    firstTick: m.firstTick,
    shift: m.shift,
    columns: m.columns,
  }));
  return {
    members,
    // Ranges may go back: each member keeps checkpoints of where its rows stood.
    seekable: answer.seekable === true,
    // Rows [first, last) of member m as [{ values, valid, nulls }], in any order.
    fill(m, first, last) {
      if (handle === null) throw new Error('openSource: the source is closed');
      if (!Number.isSafeInteger(m) || m < 0 || m >= members.length) {
        throw new RangeError(`fill: member: expected 0..${members.length - 1}, got ${m}`);
      }
      if (!Number.isSafeInteger(first) || !Number.isSafeInteger(last) || first < 0 || last < first) {
        throw new RangeError(`fill: rows: expected 0 <= first <= last, got ${first}, ${last}`);
      }
      return addon._sourceFill(handle, m, first, last).map(({ values, valid, nulls }) => ({ values, valid, nulls }));
    },
    close() {
      if (handle !== null) addon._sourceClose(handle);
      handle = null;
    },
  };
}

module.exports = { openSource };
