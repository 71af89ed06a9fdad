// The recording as data: readData answers its decoded streams as typed arrays, readChunks the
// table in windows of rows, writeParquet writes the table as a Parquet file, streamed from the
// row-range source. They take the addon they run on, so that the main thread and the pool's
// workers build them alike.
'use strict';
const path = require('node:path');
const { Worker, MessageChannel, receiveMessageOnPort } = require('node:worker_threads');
const { checkArguments, orientationOptions } = require('../contract.js');
const { outputOverInput, fileBasename } = require('../paths.js');
const { openSource, COMPONENTS } = require('./source.js');
const { openOutputs } = require('./outputs.js');
const { writeReason } = require('../reasons.js');
const gates = require('../run/gate.js');
const { writeMember, quaternionStart } = require('./parquet.js');
const { factorOf, spacedTicks, timedTicks, checkTimeZone, wallClockInstant } = require('./table-time.js');

const TIMED = new Set(['events', 'events2', 'radioTime']);

// The options object of readData, readChunks and writeParquet: { timezone } (an IANA name).
function dataOptions(caller, options) {
  if (options === undefined || options === null) return { timezone: null };
  if (typeof options !== 'object') throw new TypeError(`${caller}: options must be an object`);
  return { ...options, timezone: options.timezone === undefined || options.timezone === null ? null : checkTimeZone(options.timezone, caller) };
}

// The source's own options among a caller's: { orientation, maxRows } when given.
function sourceOptions(caller, options, set = false) {
  const out = { caller, set };
  for (const key of ['orientation', 'maxRows']) if (options[key] !== undefined) out[key] = options[key];
  return out;
}

// Rows (of the table) or samples (of a stream read beside it) a range of wholeStreams holds.
const RANGE = 1 << 18;

// Every stream of a single recording's source, whole: { <stream>: { rate, time, <component>... } }
// as the addon answers a range, time in a buffer of its own and the components in one more. The
// spaced streams the table shows come from its rows (the orientation exists nowhere else); every
// other stream, and the events the table places one a row, are read beside the table.
function wholeStreams(source) {
  const member = source.members[0];
  const out = {};
  const filled = {};
  const beside = [];
  for (const [name, { samples, rate, carried }] of Object.entries(member.streams)) {
    if (samples === 0) continue;
    const data = new ArrayBuffer(samples * COMPONENTS[name].length * 8);
    out[name] = { rate, time: new Float64Array(samples) };
    COMPONENTS[name].forEach((k, j) => (out[name][k] = new Float64Array(data, j * samples * 8, samples)));
    filled[name] = 0;
    if (!carried || TIMED.has(name)) beside.push(name);
  }
  const put = (name, part) => {
    const at = filled[name];
    const n = part.time.length;
    if (at + n > out[name].time.length) throw new Error(`readData: ${member.file}: the recording changed while it was read`);
    out[name].time.set(part.time, at);
    for (const k of COMPONENTS[name]) out[name][k].set(part[k], at);
    filled[name] = at + n;
  };
  if (beside.length < Object.keys(out).length) {
    for (let first = 0; first < member.rows; first += RANGE) {
      for (const [name, part] of Object.entries(source.samples(0, first, Math.min(member.rows, first + RANGE)))) {
        if (out[name] !== undefined && !beside.includes(name)) put(name, part);
      }
    }
  }
  for (const name of beside) {
    while (filled[name] < out[name].time.length) {
      const part = source.stream(0, name, filled[name], Math.min(RANGE, out[name].time.length - filled[name]));
      if (part === null) break;
      put(name, part);
    }
  }
  for (const name of Object.keys(out)) {
    const n = filled[name];
    if (n === out[name].time.length) continue;
    // A scan counts records that the decode may drop (a damaged one); a table's rows never.
    if (!beside.includes(name)) throw new Error(`readData: ${member.file}: the recording changed while it was read`);
    if (n === 0) {
      delete out[name];
      continue;
    }
    const data = new ArrayBuffer(n * COMPONENTS[name].length * 8);
    const cut = { rate: out[name].rate, time: out[name].time.slice(0, n) };
    COMPONENTS[name].forEach((k, j) => (cut[k] = new Float64Array(data, j * n * 8, n)).set(out[name][k].subarray(0, n)));
    out[name] = cut;
  }
  return out;
}

// Index of the first quaternion sample that holds the filter's answer (0, 0, 0, 0 before it).
function firstRotation(q) {
  let i = 0;
  while (i < q.w.length && q.w[i] === 0 && q.x[i] === 0 && q.y[i] === 0 && q.z[i] === 0) ++i;
  return i;
}

function makeData(addon, addonPath = null, gate = null) {
  // { config, summary, frequency, startTime, timezone, streams }. Every array sits in a buffer
  // of its own that postMessage can move to another thread (a worker's answer). Every stream
  // gains `tick` (see table-time.js); the quaternion's samples before the filter starts become
  // NaN, and the stream says which is its first rotation (`firstValid`). Built on the row
  // source: the arrays plus one range are held, never a second copy of the recording.
  function decode(recordingPath, options = {}) {
    const { timezone = null } = options;
    const opening = { ...orientationOptions('readData', options), ...(options.maxRows === undefined ? {} : { maxRows: options.maxRows }) };
    const source = openSource(addon, [recordingPath], { ...opening, caller: 'readData' });
    let streams;
    try {
      streams = wholeStreams(source);
    } finally {
      source.close();
    }
    const { config, summary, frequency } = source.members[0];
    for (const [name, stream] of Object.entries(streams)) {
      stream.tick = TIMED.has(name) ? timedTicks(stream.time, frequency) : spacedTicks(stream.time.length, factorOf(frequency, stream.rate));
    }
    if (streams.quaternion) {
      const q = streams.quaternion;
      q.firstValid = firstRotation(q);
      for (const k of COMPONENTS.quaternion) q[k].fill(NaN, 0, q.firstValid);
    }
    const start = timezone === null ? null : wallClockInstant(config.createdAt, timezone);
    return {
      config,
      summary,
      frequency,
      timezone,
      startTime: start === null ? null : new Date(start),
      streams,
    };
  }

  function readData(...args) {
    const [recordingPath] = checkArguments('readData', args);
    return decode(recordingPath, dataOptions('readData', args[1]));
  }

  // Windows of the table of one recording, `rows` rows each: { first, last, tick, time,
  // streams }, where each stream of the table holds the samples on those rows ({ tick,
  // <component>... }, as readData names them). Concatenated, the windows' streams are readData's
  // for the streams the table shows. Memory is that of the source and one window.
  async function* readChunks(...args) {
    const [recordingPath] = checkArguments('readData', args);
    const options = dataOptions('readChunks', args[1]);
    const rows = options.rows === undefined ? 65536 : options.rows;
    if (!Number.isInteger(rows) || rows < 1 || rows > 1 << 24) throw new RangeError('readChunks: options.rows must be an integer from 1 to 16777216');
    const source = openSource(addon, [recordingPath], sourceOptions('readChunks', options));
    try {
      const member = source.members[0];
      const { columns, firstTick } = member;
      const groups = new Map();
      columns.forEach((c, k) => {
        if (c.stream === null || !c.cells) return;
        if (!groups.has(c.stream)) groups.set(c.stream, []);
        groups.get(c.stream).push(k);
      });
      // The quaternion is NaN until its first rotation, as readData answers it.
      let rotating = !groups.has('quaternion');
      for (let first = 0; first < member.rows; first += rows) {
        const last = Math.min(member.rows, first + rows);
        const filled = source.fill(0, first, last);
        const window = { first, last, tick: new Float64Array(last - first), time: new Float64Array(filled[0].values), streams: {} };
        for (let r = 0; r < last - first; ++r) window.tick[r] = firstTick + first + r;
        for (const [name, ks] of groups) {
          // The rows with a sample: a stream's cells are all filled or all empty on a row.
          const { valid, nulls } = filled[ks[0]];
          const n = last - first - nulls;
          const stream = { tick: new Float64Array(n) };
          const from = ks.map((k) => filled[k].values);
          const to = ks.map((k, j) => (stream[COMPONENTS[name][j]] = new Float64Array(n)));
          for (let r = 0, i = 0; i < n; ++r) {
            if (!((valid[r >> 3] >> (r & 7)) & 1)) continue;
            stream.tick[i] = firstTick + first + r;
            for (let j = 0; j < ks.length; ++j) to[j][i] = from[j][r];
            ++i;
          }
          if (name === 'quaternion' && !rotating) {
            let i = 0;
            while (i < n && stream.w[i] === 0 && stream.x[i] === 0 && stream.y[i] === 0 && stream.z[i] === 0) ++i;
            for (const c of COMPONENTS.quaternion) stream[c].fill(NaN, 0, i);
            rotating = i < n;
          }
          window.streams[name] = stream;
        }
        yield window;
      }
    } finally {
      source.close();
    }
  }

  // Writes the tables of paths (one recording, or a synchronised set) as Parquet files at
  // outputs, through the module's one output path: all complete or none in place.
  async function writeTables(caller, paths, outputs, options) {
    const { arrow, pq } = loadParquetWriter();
    const set = paths.length > 1 || options.set === true;
    const opening = sourceOptions(caller, options, set);
    const source = openSource(addon, paths, opening);
    let outs = null;
    try {
      outs = openOutputs(addon, outputs, paths);
      if (outs.code !== undefined) throw outputError(caller, outs.path, paths, outs.code);
      // The metadata says where the orientation starts before the first row is written: a
      // look ahead from row 0, on a second opening when the source only goes forward.
      const firstRotationRow = (m) => {
        if (!source.members[m].columns.some((c) => c.stream === 'quaternion' && c.cells)) return -1;
        const ahead = source.seekable ? source : openSource(addon, paths, opening);
        try {
          return quaternionStart(ahead, m);
        } finally {
          if (ahead !== source) ahead.close();
        }
      };
      const sync = set ? { method: source.method, members: source.members.map((mb) => ({ file: path.basename(mb.file), shift: mb.shift })) } : null;
      for (const m of outs.order) {
        const member = source.members[m];
        const extra = { timezone: options.timezone, sync, clock: source.members[0], quatStart: firstRotationRow(m) };
        // The ranges are filled on a thread of their own, from a source opened alike.
        const filler = { addonPath: addonPath || require('../addon.js').addonPath, paths, opening, gate };
        const ok = await writeMember(arrow, pq, source, m, extra, (bytes) => outs.write(m, bytes), { filler });
        if (!ok) throw outputError(caller, outputs[m], paths, 'KX_WRITE_FAILED');
      }
      if (!outs.commit()) throw outputError(caller, outputs[0], paths, 'KX_WRITE_FAILED');
      return source.members.map((mb) => mb.summary);
    } finally {
      if (outs !== null && outs.close !== undefined) outs.close();
      source.close();
    }
  }

  // The streamed writer, answering a Promise of the summary text as read() answers it.
  async function writeParquetAsync(...args) {
    const [recordingPath, parquetPath] = checkArguments('writeParquet', args);
    const options = dataOptions('writeParquet', args[2]);
    // Refused before any work; the write itself checks again, by file identity.
    if (outputOverInput([{ path: parquetPath }], [{ path: recordingPath }]) !== null) {
      throw outputError('writeParquet', parquetPath, [recordingPath], 'KX_OUTPUT_IS_INPUT');
    }
    loadParquetWriter();
    const [summary] = await writeTables('writeParquet', [recordingPath], [parquetPath], options);
    return JSON.stringify(summary);
  }

  // The synchronous form: the stream writer answers only through Promises, so the conversion
  // runs in a thread of its own while this one waits for its answer.
  function writeParquet(...args) {
    const [recordingPath, parquetPath] = checkArguments('writeParquet', args);
    const options = dataOptions('writeParquet', args[2]);
    if (outputOverInput([{ path: parquetPath }], [{ path: recordingPath }]) !== null) {
      throw outputError('writeParquet', parquetPath, [recordingPath], 'KX_OUTPUT_IS_INPUT');
    }
    loadParquetWriter();
    return runBlocking(addonPath || require('../addon.js').addonPath, 'writeParquet', [recordingPath, parquetPath, options]);
  }

  // The Parquet twin of readAndSync2: the same synchronised tables, written as
  // <outDir>/<name>.parquet for every recording, all together or none. Answers readAndSync2's
  // status texts.
  async function syncParquet(recordingPaths, outDir, options) {
    const [paths, dir] = checkArguments('readAndSync2', [recordingPaths, outDir]);
    const checked = dataOptions('syncParquet', options);
    if (paths.length === 0) return 'OK';
    const outputs = paths.map((p) => `${dir}/${fileBasename(p)}.parquet`);
    try {
      await writeTables('syncParquet', paths, outputs, { ...checked, set: true });
      return 'OK';
    } catch (err) {
      if (err && err.code === 'KX_SYNC') return err.status;
      // A table over the limit is a recording not read, as readAndSync2 answers it.
      if (err && err.code === 'KX_TOO_MANY_ROWS') return '-10';
      if (err && err.code === 'KX_NO_PARQUET_WRITER') throw err;
      return '-12';
    }
  }

  return { readData, readChunks, writeParquet, writeParquetAsync, syncParquet, decode };
}

// Runs a call of the pool's worker in a thread kept for these calls and waits for it: the
// answer, or the error it threw, rebuilt with its type, code and path. The thread is started
// on the first call (with the writer's module, about a quarter of a second) and never keeps
// the process alive.
let blocking = null;

function runBlocking(addonPath, fn, args) {
  // A message waiting between calls can only be the thread's last: it has ended.
  if (blocking !== null && receiveMessageOnPort(blocking.port) !== undefined) blocking = null;
  if (blocking === null) {
    const flag = new Int32Array(new SharedArrayBuffer(4));
    const { port1, port2 } = new MessageChannel();
    // Gated like the pool's threads, so that a process exiting on a signal waits for its call.
    const gate = gates.newGate();
    const worker = new Worker(path.join(__dirname, '..', 'run', 'worker.js'), { workerData: { addonPath, gate, blocking: { flag, port: port2 } }, transferList: [port2] });
    worker.once('exit', () => gates.forget(gate));
    worker.unref();
    port1.unref();
    blocking = { worker, port: port1, flag };
  }
  const { worker, port, flag } = blocking;
  Atomics.store(flag, 0, 0);
  port.postMessage({ fn, args });
  Atomics.wait(flag, 0, 0);
  const received = receiveMessageOnPort(port);
  if (received === undefined || received.message.ended) {
    // The thread ended (its flag is raised on exit): the next call starts another.
    blocking = null;
    port.close();
    worker.terminate();
    throw new Error(`${fn}: its thread ended without an answer`);
  }
  const { answer, error } = received.message;
  if (error === undefined) return answer;
  const ErrorType = error.name === 'TypeError' ? TypeError : error.name === 'RangeError' ? RangeError : Error;
  throw Object.assign(new ErrorType(error.message), error.code === undefined ? {} : { code: error.code }, error.path === undefined ? {} : { path: error.path }, error.rows === undefined ? {} : { rows: error.rows });
}

function outputError(caller, file, recordingPaths, status) {
  const why = status === 'KX_OUTPUT_IS_INPUT' ? `is the recording ${recordingPaths.length === 1 ? recordingPaths[0] : 'of the set'}; writing it would lose the recording` : writeReason(status);
  return Object.assign(new Error(`${caller}: ${file}: ${why}`), { code: status, path: file });
}

// The buffers a readData answer holds, for postMessage's transfer list.
function transferList(data) {
  const buffers = new Set();
  for (const stream of Object.values(data.streams)) {
    for (const v of Object.values(stream)) if (ArrayBuffer.isView(v)) buffers.add(v.buffer);
  }
  return [...buffers];
}

// --- Parquet, through apache-arrow and parquet-wasm: loaded on the first writeParquet only ---

let writer = null;

function loadParquetWriter() {
  if (writer !== null) return writer;
  try {
    writer = { arrow: require('apache-arrow'), pq: require('parquet-wasm') };
  } catch (err) {
    if (err && err.code === 'MODULE_NOT_FOUND') {
      throw Object.assign(new Error('writeParquet needs the packages apache-arrow and parquet-wasm: npm install apache-arrow parquet-wasm'), { code: 'KX_NO_PARQUET_WRITER' });
    }
    throw err;
  }
  return writer;
}

module.exports = { makeData, transferList, loadParquetWriter, dataOptions };
