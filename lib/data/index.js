// The recording as data: readData answers its decoded streams as typed arrays, writeParquet
// writes the CSV table as a Parquet file. Both take the addon they run on, so that the main
// thread and the pool's workers build them alike.
'use strict';
const fs = require('node:fs');
const { checkArguments, orientationOptions } = require('../contract.js');
const { outputOverInput, fileBasename } = require('../paths.js');
const { REASONS, writeReason, notRegular } = require('../reasons.js');

// Rows per Parquet row group: about 3 hours at 100 Hz, 100 MB of values before compression,
// so a day-long file has a handful of groups that a reader can take one at a time.
const ROW_GROUP_ROWS = 1 << 20;

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

function makeData(addon) {
  // { config, summary, frequency, streams }. With `transferable`, every array sits in a buffer
  // that postMessage can move to another thread (a worker's answer); otherwise the arrays are
  // the decoder's own memory, handed over without a copy. orientation: { orientation } or
  // undefined (the default filter).
  function decode(recordingPath, transferable, orientation) {
    const raw = addon._readData(recordingPath, transferable, orientation);
    if (typeof raw === 'string') throw recordingError('readData', recordingPath, raw);
    return {
      config: JSON.parse(raw.config),
      summary: JSON.parse(raw.summary),
      frequency: raw.frequency,
      streams: raw.streams,
    };
  }

  function readData(...args) {
    const [recordingPath] = checkArguments('readData', args);
    return decode(recordingPath, false, orientationOptions('readData', args[1]));
  }

  // Writes the CSV table of the recording as a Parquet file and answers the summary text, as
  // read() answers it.
  function writeParquet(...args) {
    const [recordingPath, parquetPath] = checkArguments('writeParquet', args);
    const orientation = orientationOptions('writeParquet', args[2]);
    // Refused before any work; the write itself checks again, by file identity.
    if (outputOverInput([{ path: parquetPath }], [{ path: recordingPath }]) !== null) {
      throw outputError(parquetPath, recordingPath, 'KX_OUTPUT_IS_INPUT');
    }
    const { writeTable } = loadParquetWriter();
    const table = addon._tableColumns(recordingPath, orientation);
    if (typeof table === 'string') throw recordingError('writeParquet', recordingPath, table);
    const bytes = writeTable(table);
    const { code } = addon._writeFiles([parquetPath], [bytes], [recordingPath]);
    if (code !== 'OK') throw outputError(parquetPath, recordingPath, code);
    return table.summary;
  }

  // The Parquet twin of readAndSync2: the same synchronised tables, written as
  // <outDir>/<name>.parquet for every recording, all together or none. Answers readAndSync2's
  // status texts.
  function syncParquet(recordingPaths, outDir, options) {
    const [paths, dir] = checkArguments('readAndSync2', [recordingPaths, outDir]);
    const tables = addon._syncTables(paths, orientationOptions('syncParquet', options));
    if (typeof tables === 'string') return tables;
    const { writeTable } = loadParquetWriter();
    const outputs = paths.map((p) => `${dir}/${fileBasename(p)}.parquet`);
    const { code } = addon._writeFiles(outputs, tables.map((t) => writeTable(t)), paths);
    return code === 'OK' ? 'OK' : '-12';
  }

  return { readData, writeParquet, syncParquet, decode };
}

function outputError(file, recordingPath, status) {
  const why = status === 'KX_OUTPUT_IS_INPUT' ? `is the recording ${recordingPath}; writing it would lose the recording` : writeReason(status);
  return Object.assign(new Error(`writeParquet: ${file}: ${why}`), { code: status, path: file });
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
  let arrow;
  let pq;
  try {
    arrow = require('apache-arrow');
    pq = require('parquet-wasm');
  } catch (err) {
    if (err && err.code === 'MODULE_NOT_FOUND') {
      throw Object.assign(new Error('writeParquet needs the packages apache-arrow and parquet-wasm: npm install apache-arrow parquet-wasm'), { code: 'KX_NO_PARQUET_WRITER' });
    }
    throw err;
  }
  writer = { writeTable: (table, options) => writeTable(arrow, pq, table, options) };
  return writer;
}

// Encodes a table of the addon's columns as Parquet: nullable float64 columns (float32 for the
// orientation), one row group per ROW_GROUP_ROWS rows, and the configuration and summary as
// key-value metadata. Zstd-compressed; the sensor columns, which hold few distinct values (a
// 16-bit sensor has at most 65,536 per axis), get dictionary pages; the time and orientation
// columns, nearly all distinct, are split into byte streams, which zstd packs best (the
// smallest and among the fastest of the writer's options: bench/data.js). The other options are
// there to compare them.
function writeTable(arrow, pq, table, {
  compression = 'zstd', dictionary = 'sensors', encoding = 'byte-stream-split', rowGroupRows = ROW_GROUP_ROWS,
} = {}) {
  const fields = table.columns.map((c) => new arrow.Field(c.name, c.single ? new arrow.Float32() : new arrow.Float64(), true));
  const schema = new arrow.Schema(fields);
  const batches = [];
  // Validity bits are sliced by whole bytes, hence a multiple of 8 rows per batch.
  const step = Math.max(8, rowGroupRows - (rowGroupRows % 8));
  let start = 0;
  do {
    const length = Math.min(step, table.rows - start);
    const children = table.columns.map((c, k) => arrow.makeData({
      type: fields[k].type,
      length,
      nullCount: c.nulls === 0 ? 0 : -1, // -1: counted from the bits
      data: c.values.subarray(start, start + length),
      nullBitmap: c.nulls === 0 ? undefined : c.valid.subarray(start / 8, (start + length + 7) / 8),
    }));
    const struct = arrow.makeData({ type: new arrow.Struct(fields), length, nullCount: 0, children });
    batches.push(new arrow.RecordBatch(schema, struct));
    start += step;
  } while (start < table.rows);
  const ipc = arrow.tableToIPC(new arrow.Table(schema, batches), 'stream');
  const codec = {
    zstd: pq.Compression.ZSTD, snappy: pq.Compression.SNAPPY, lz4: pq.Compression.LZ4_RAW, gzip: pq.Compression.GZIP, brotli: pq.Compression.BROTLI, none: pq.Compression.UNCOMPRESSED,
  }[compression];
  let builder = new pq.WriterPropertiesBuilder()
    .setCompression(codec)
    .setDictionaryEnabled(dictionary === true)
    .setEncoding(encoding === 'byte-stream-split' ? pq.Encoding.BYTE_STREAM_SPLIT : pq.Encoding.PLAIN);
  // 'sensors': dictionaries for the decoded sensor columns only (few distinct values each).
  if (dictionary === 'sensors') {
    for (const c of table.columns) if (c.name !== 'Time' && !c.single) builder = builder.setColumnDictionaryEnabled(c.name, true);
  }
  const props = builder
    .setMaxRowGroupSize(step)
    .setKeyValueMetadata(new Map([['config', table.config], ['summary', table.summary]]))
    .build();
  const wasmTable = pq.Table.fromIPCStream(ipc);
  return pq.writeParquet(wasmTable, props);
}

module.exports = { makeData, transferList, loadParquetWriter, ROW_GROUP_ROWS };
