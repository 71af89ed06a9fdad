// Parquet files from a row-range source, streamed: ranges of rows become Arrow record batches,
// parquet-wasm's stream writer turns them into row groups, and its bytes go to the output as
// they come. Nothing holds the whole table.
'use strict';
const { factorOf, wallClockInstant } = require('./table-time.js');
const { startFiller } = require('./filler.js');

// Rows per Parquet row group: about 1.5 hours at 100 Hz, so that a reader can take a day-long
// file a group at a time. The writer holds one group's encoded pages until it is full; with the
// filling thread's source and batches beside it, a group of 2^20 rows took a week's write past
// 400 MB.
const ROW_GROUP_ROWS = 1 << 19;
// Rows per range asked of the source and per record batch handed to the writer: about 5 MB of
// values for the widest table (a few wait between the threads), a multiple of 8 so that
// validity bits start on a byte.
const BATCH_ROWS = 1 << 15;

const UNITS = {
  Time: ['s', 'time of the row since the start, summed one base-rate step at a time as the CSV prints it; Tick / frequency up to rounding'],
  Gyro: ['deg/s', 'angular rate about the gyroscope axis'],
  Accel: ['g', 'acceleration along the accelerometer axis'],
  Pressure: ['mBar', 'barometric pressure'],
  Temperature: ['degree C', 'temperature of the barometer'],
  Event: ['', 'event value as the device records it: a numeric code, which the format gives no names for'],
  Quat: ['', 'orientation quaternion component (unit quaternion); null on the rows before the filter has started'],
  Mag: ['counts', 'magnetometer reading, raw counts as the device records them (unscaled)'],
  Tick: ['tick', 'base-rate tick of the row, exact: Time = Tick / frequency; readData streams carry the same tick per sample'],
  Timestamp: ['us', 'UTC instant of the row: the recording start (createdAt, a wall-clock time read in the given time zone) plus the recording\'s own clock at the row (that of the samples on the first row, then one base-rate step a row); in a synchronised set, the first recording\'s start and clock'],
};

function fieldMetadata(name) {
  const [unit, description] = UNITS[name] || UNITS[name.split(' ')[0]];
  const axis = / ([WXYZ])$/.exec(name);
  return new Map([['unit', unit], ['description', axis && name !== 'Tick' ? `${description} (${axis[1]})` : description]]);
}

// The first row whose quaternion cells hold the filter's answer: the rows before it hold
// 0, 0, 0, 0, which is no rotation. Scans the source from row 0; -1 when the table has no
// quaternion, `rows` when the filter never starts.
function quaternionStart(source, m) {
  const { rows, columns } = source.members[m];
  const w = columns.findIndex((c) => c.stream === 'quaternion');
  if (w < 0 || !columns[w].cells) return -1;
  for (let first = 0; first < rows; first += BATCH_ROWS) {
    const last = Math.min(rows, first + BATCH_ROWS);
    const filled = source.fill(m, first, last);
    for (let r = 0; r < last - first; ++r) {
      if (!((filled[w].valid[r >> 3] >> (r & 7)) & 1)) continue;
      if (filled[w].values[r] !== 0 || filled[w + 1].values[r] !== 0 || filled[w + 2].values[r] !== 0 || filled[w + 3].values[r] !== 0) return first + r;
    }
  }
  return rows;
}

// The extra columns beyond the CSV's and how rows get them: Tick always, Timestamp with a zone,
// the magnetometer when the member has its samples (read in ranges from the source).
function plan(member, options) {
  const { timezone = null, quatStart = -1, sync = null, clock = member } = options;
  const mag = member.magnetometer || null;
  let startUs = null;
  if (timezone !== null) {
    // The instant of row 0: a recording's start plus its clock at that row. A set's members
    // all read the first recording's clock, so that one row is one instant in every file.
    const t = wallClockInstant(clock.config.createdAt, timezone);
    if (t !== null) startUs = t * 1000 + Math.round((member.rowZeroTime + member.shift - clock.shift) * 1e6);
  }
  const magFactor = mag === null ? 0 : factorOf(member.frequency, mag.rate);
  return { timezone, startUs, mag: magFactor === 0 ? null : mag, magFactor, quatStart, sync };
}

function writerProperties(pq, member, p, { compression = 'zstd', dictionary = 'sensors', encoding = 'byte-stream-split', rowGroupRows = ROW_GROUP_ROWS } = {}) {
  const codec = {
    zstd: pq.Compression.ZSTD, snappy: pq.Compression.SNAPPY, lz4: pq.Compression.LZ4_RAW, gzip: pq.Compression.GZIP, brotli: pq.Compression.BROTLI, none: pq.Compression.UNCOMPRESSED,
  }[compression];
  let builder = new pq.WriterPropertiesBuilder()
    .setCompression(codec)
    .setDictionaryEnabled(dictionary === true)
    .setEncoding(encoding === 'byte-stream-split' ? pq.Encoding.BYTE_STREAM_SPLIT : pq.Encoding.PLAIN);
  // 'sensors': dictionaries for the decoded sensor columns only (few distinct values each).
  if (dictionary === 'sensors') {
    for (const c of member.columns) if (c.name !== 'Time' && !c.single) builder = builder.setColumnDictionaryEnabled(c.name, true);
    if (p.mag !== null) for (const n of ['Mag X', 'Mag Y', 'Mag Z']) builder = builder.setColumnDictionaryEnabled(n, true);
  }
  // Counters and instants that rise by a step: their differences pack to a few bits.
  builder = builder.setColumnEncoding('Tick', pq.Encoding.DELTA_BINARY_PACKED);
  if (p.startUs !== null) builder = builder.setColumnEncoding('Timestamp', pq.Encoding.DELTA_BINARY_PACKED);
  const kv = [
    ['config', JSON.stringify(member.config)],
    ['summary', JSON.stringify(member.summary)],
    ['timezone', p.timezone === null ? 'none: createdAt and the times are the device\'s local wall-clock time, zone unknown; give a time zone for a Timestamp column' : p.timezone],
    ['codes', 'deviceType and bodyLocation (in config) and the Event values are numeric codes; the format gives no names for them'],
  ];
  if (p.quatStart >= 0) {
    kv.push(['quaternionStart', JSON.stringify(p.quatStart < member.rows ? { row: p.quatStart, tick: member.firstTick + p.quatStart } : null)]);
  }
  if (p.sync !== null) kv.push(['sync', JSON.stringify(p.sync)]);
  return builder
    .setMaxRowGroupSize(rowGroupRows)
    .setKeyValueMetadata(new Map(kv))
    .build();
}

// Writes 64-bit integers from Numbers (exact below 2^53) without a BigInt per value.
function int64Column(length, valueAt) {
  const out = new BigInt64Array(length);
  const words = new Int32Array(out.buffer);
  for (let i = 0; i < length; ++i) {
    const v = valueAt(i);
    const high = Math.floor(v / 4294967296);
    words[2 * i] = v - high * 4294967296;
    words[2 * i + 1] = high;
  }
  return out;
}

function makeBatches(arrow, source, m, p, config) {
  const member = source.members[m];
  const fields = member.columns.map((c) => new arrow.Field(c.name, c.single ? new arrow.Float32() : new arrow.Float64(), true, fieldMetadata(c.name)));
  fields.push(new arrow.Field('Tick', new arrow.Int64(), false, fieldMetadata('Tick')));
  if (p.startUs !== null) fields.push(new arrow.Field('Timestamp', new arrow.TimestampMicrosecond('UTC'), false, fieldMetadata('Timestamp')));
  if (p.mag !== null) for (const n of ['Mag X', 'Mag Y', 'Mag Z']) fields.push(new arrow.Field(n, new arrow.Float64(), true, fieldMetadata(n)));
  const schema = new arrow.Schema(fields, new Map());
  const quat = member.columns.findIndex((c) => c.stream === 'quaternion');
  const { rows, firstTick, frequency } = member;
  const step = config.batchRows;

  // One batch of rows [first, last).
  return function batch(first) {
    const last = Math.min(rows, first + step);
    const length = last - first;
    const filled = source.fill(m, first, last);
    const columns = filled.map((c) => ({ values: c.values, valid: c.valid, nulls: c.nulls }));
    // Quaternion rows before the filter starts lose their validity (a copy of just those bits).
    if (quat >= 0 && p.quatStart > first) {
      const end = Math.min(last, p.quatStart) - first;
      for (let k = quat; k < quat + 4; ++k) {
        const bits = Uint8Array.from(columns[k].valid);
        let cleared = 0;
        for (let r = 0; r < end; ++r) {
          if ((bits[r >> 3] >> (r & 7)) & 1) ++cleared;
          bits[r >> 3] &= ~(1 << (r & 7));
        }
        columns[k] = { values: columns[k].values, valid: bits, nulls: columns[k].nulls + cleared };
      }
    }
    columns.push({ values: int64Column(length, (i) => firstTick + first + i), nulls: 0 });
    if (p.startUs !== null) {
      columns.push({ values: int64Column(length, (i) => p.startUs + Math.round(((first + i) * 1e6) / frequency)), nulls: 0 });
    }
    if (p.mag !== null) {
      // Sample i on row i x factor, as the table spaces its streams.
      const f = p.magFactor;
      const firstSample = Math.min(p.mag.samples, Math.ceil(first / f));
      const count = Math.min(p.mag.samples, Math.ceil(last / f)) - firstSample;
      const samples = source.magnetometer(m, firstSample, count);
      for (const axis of ['x', 'y', 'z']) {
        const values = new Float64Array(length);
        const valid = new Uint8Array((length + 7) >> 3);
        let filledCells = 0;
        for (let j = 0; j < count; ++j) {
          const r = (firstSample + j) * f - first;
          values[r] = samples[axis][j];
          valid[r >> 3] |= 1 << (r & 7);
          ++filledCells;
        }
        columns.push({ values, valid, nulls: length - filledCells });
      }
    }
    const children = columns.map((c, k) => arrow.makeData({
      type: fields[k].type,
      length,
      nullCount: c.nulls,
      data: c.values,
      nullBitmap: c.nulls === 0 ? undefined : c.valid,
    }));
    const struct = arrow.makeData({ type: new arrow.Struct(fields), length, nullCount: 0, children });
    return { batch: new arrow.RecordBatch(schema, struct), last };
  };
}

// Writes member m of the source as one Parquet file through output(bytes) (false: stop, the
// write failed). Answers whether every byte was taken.
async function writeMember(arrow, pq, source, m, extra, output, config = {}) {
  const member = source.members[m];
  const settings = { batchRows: BATCH_ROWS, ...config };
  const p = plan(member, extra);
  const next = makeBatches(arrow, source, m, p, settings);
  // With settings.filler ({ addonPath, paths, opening, gate }), a thread of its own fills the ranges
  // and builds their IPC bytes while this one encodes; otherwise this thread does both in turn.
  const filler = settings.filler && member.rows > 0 ? startFiller(settings.filler, m, extra, { batchRows: settings.batchRows }) : null;
  let first = 0;
  let done = member.rows === 0;
  const batches = new ReadableStream({
    async pull(controller) {
      if (done) {
        controller.close();
        return;
      }
      let ipc;
      if (filler !== null) {
        const filled = await filler.next();
        if (filled === null) throw new Error('writeParquet: the filling thread ended before the last row');
        ({ ipc } = filled);
        first = filled.last;
      } else {
        const { batch, last } = next(first);
        first = last;
        ipc = arrow.tableToIPC(new arrow.Table([batch]), 'stream');
      }
      done = first >= member.rows;
      const wasmTable = pq.Table.fromIPCStream(ipc);
      controller.enqueue(wasmTable.recordBatch(0));
      wasmTable.free();
    },
  }, { highWaterMark: 0 });
  // An empty table still has its schema: one batch of no rows.
  const input = member.rows === 0 ? emptyStream(arrow, pq, next) : batches;
  try {
    const bytes = await pq.transformParquetStream(input, writerProperties(pq, member, p, settings));
    for await (const chunk of bytes) {
      if (!output(chunk)) {
        await bytes.cancel().catch(() => {});
        return false;
      }
    }
    return true;
  } finally {
    if (filler !== null) filler.stop();
  }
}

function emptyStream(arrow, pq, next) {
  return new ReadableStream({
    start(controller) {
      const { batch } = next(0);
      controller.enqueue(pq.Table.fromIPCStream(arrow.tableToIPC(new arrow.Table([batch]), 'stream')).recordBatch(0));
      controller.close();
    },
  });
}

module.exports = { writeMember, quaternionStart, makeBatches, plan, ROW_GROUP_ROWS, BATCH_ROWS, UNITS };
