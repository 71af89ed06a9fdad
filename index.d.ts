// Type declarations of the package: the addon's five synchronous functions, readData and
// writeParquet, the Promise API (`promises`), the batch converter (`batch`) and the report page
// (`report`).
//
// The five functions answer strings; failures inside the reader are answered as text, only
// argument errors throw. Their argument contract: fewer arguments than needed throws
// TypeError "Wrong number of arguments" (checked first); an argument that is not a string
// primitive, a readAndSync2 list that is not an array or holds a non-string, or a path holding a
// NUL character throws TypeError "Wrong arguments", and no file is touched. Extra arguments are
// ignored.

/** The answer of `read` for a recording that was converted (parse it with JSON.parse). */
export interface ReadSummary {
  /** start of the recording, "YYYY-MM-DD hh:mm:ss" ("0000-00-00 00:00:00" without a date frame) */
  createdAt: string;
  /** end of the recording, same format */
  endDate: string;
  /** base tick rate in Hz: the time step of the CSV rows */
  frequency: number;
  /** firmware version parts, as decimal texts */
  version: string;
  minorVersion: string;
  majorVersion: string;
  /** measurement identifier, -1 when the recording gives none */
  measureId: number;
}

/** The answer of `read` when nothing was converted: the recording could not be read (missing,
 *  shorter than 512 bytes, not a recording, a failed read) or the CSV file could not be written
 *  completely. No CSV file is left behind. */
export interface ReadError {
  error: "Error during data loading.";
}

/** Status texts of `readAndSync2`, decided in this order:
 *  "OK"  every recording read, given quaternions, synchronised and written (also for an empty list);
 *  "-10" a recording could not be read (no file is written);
 *  "-13" a recording has no orientation (no accelerometer and gyroscope at one rate);
 *  "-11" the recordings could not be synchronised (fewer than two, no time marks and not exactly
 *        one radio master on one channel, no radio time samples; a one-line reason goes to
 *        standard error);
 *  "-12" a CSV file could not be written (the output directory is not created). */
export type SyncStatus = "OK" | "-10" | "-11" | "-12" | "-13";

/** Calibration of the accelerometer or gyroscope in the readConfig answer. */
export interface InertialConfig {
  frequency: number;
  /** full scale: g for the accelerometer, deg/s for the gyroscope */
  range: number;
  offsetX: number;
  offsetY: number;
  offsetZ: number;
  gainX: number;
  gainY: number;
  gainZ: number;
}

/** The answer of `readConfig` (parse it with JSON.parse); members in this order. */
export interface ConfigAnswer {
  /** base64 of the raw header frames the reader does not decode */
  unknownFrames: string;
  gyro?: InertialConfig;
  accel?: InertialConfig;
  baro?: { frequency: number };
  gps?: { frequency: number };
  /** present when the recording has a device or firmware frame */
  deviceId?: number;
  deviceType?: number;
  bodyLocation?: number;
  version?: number;
  majorVersion?: number;
  minorVersion?: number;
  radioMode?: number;
  radioChannel?: number;
  createdAt: string;
  endDate: string;
  /** base tick rate in Hz, 0 when not given */
  frequency: number;
  /** -1 when not given */
  measureId: number;
}

/**
 * The limit on a table's rows: a table over it is refused before anything is written.
 * Without it, at most 1024 rows per data record of the recording, and never fewer than 65536.
 */
export interface TableLimits {
  /** most rows a table may have (a positive integer; otherwise a TypeError) */
  maxRows?: number;
}

/**
 * Decodes a recording, adds the orientation quaternion stream and writes the CSV file at
 * `csvPath` (replaced only once complete).
 * @param recordingPath path of the recording (UTF-8, no NUL character)
 * @param csvPath path of the CSV file to write, used as given (no directory is created)
 * @param options the orientation filter and the limit on the table's rows (a table over it gives
 *   the {@link ReadError})
 * @returns JSON text of a {@link ReadSummary}, or of a {@link ReadError}
 *   (`{"error":"Error during data loading."}`)
 * @throws {TypeError} "Wrong number of arguments" with fewer than two arguments;
 *   "Wrong arguments" when an argument is not a string primitive or holds a NUL character
 */
export function read(recordingPath: string, csvPath: string, options?: ReadOptions): string;

/**
 * The orientation filter of the quaternion columns and streams. "specified" (the default) is the
 * tracker every output used so far, bit for bit; "bias-corrected" is an error-state filter that
 * also estimates the gyroscope's bias (README: "Which orientation filter"). Anything but an object
 * in read's and readAndSync2's third place is ignored, as extra arguments always were; an
 * unknown filter name is a TypeError.
 */
export interface OrientationOptions {
  orientation?: "specified" | "bias-corrected";
}

/** The options of read and readAndSync2: the orientation filter and the limit on a table's rows. */
export interface ReadOptions extends OrientationOptions, TableLimits {}

/**
 * Reads several recordings of devices worn together, adds quaternions, puts them on one time
 * base and window, and writes `<outDir>/<file name without extension>.csv` for each.
 * @param recordingPaths the recordings; the first one chooses the synchronisation method
 * @param outDir an existing directory
 * @param options the orientation filter and the limit on each recording's table's rows (a table
 *   over it gives "-10")
 * @returns a {@link SyncStatus}
 * @throws {TypeError} "Wrong number of arguments" with fewer than two arguments;
 *   "Wrong arguments" when recordingPaths is not an array, outDir is not a string, an element
 *   is not a string, or a path holds a NUL character (no file is read)
 */
export function readAndSync2(recordingPaths: readonly string[], outDir: string, options?: ReadOptions): SyncStatus;

/**
 * Answers the configuration of a recording as compact JSON: a {@link ConfigAnswer}.
 * @param recordingPath path of the recording (UTF-8, no NUL character)
 * @returns the JSON text, or '' when the file cannot be read or holds no header frames
 * @throws {TypeError} "Wrong number of arguments" without an argument;
 *   "Wrong arguments" when recordingPath is not a string primitive or holds a NUL character
 */
export function readConfig(recordingPath: string): string;

/**
 * Answers the device identifier of a recording as `{"deviceId":N}` (-1 without a device frame).
 * @returns the JSON text, or '' when the file cannot be read or holds no header frames
 * @throws {TypeError} as readConfig
 */
export function readConfigDeviceId(recordingPath: string): string;

/**
 * Writes a configuration file made of header frames described by `configText`
 * (sections "key,value,...", separated by ":"; keys accel, gyro, baro, device, firmware, radio,
 * unknownFrames). The file is replaced only when the text is valid and the write succeeded.
 * @returns "OK" when written, "ERROR" otherwise (any existing file then keeps its content)
 * @throws {TypeError} "Wrong number of arguments" with fewer than two arguments;
 *   "Wrong arguments" when an argument is not a string primitive or the path holds a NUL character
 */
export function writeConfig(path: string, configText: string): "OK" | "ERROR";

/** A stream's samples: `time` in seconds (tick / base frequency), ascending, and one
 *  Float64Array per component, all of one length, holding the decoded values unrounded (the
 *  samples the CSV prints rounded, in the same order). */
export interface DataStream {
  /** Hz, as configured */
  rate: number;
  /** the recording's own clock: its tick counter / base frequency, from 0 */
  time: Float64Array;
  /** the base-rate tick of the table row the sample sits on (integers, exact): the Parquet
   *  `Tick` of that row, whose CSV and Parquet `Time` is tick / frequency. Sample i of a stream
   *  at a slower rate sits on tick i x (frequency / rate) + 1; events and radio time on the
   *  first row whose Time reaches their time, one a row. NaN for a stream the table cannot
   *  place (a rate of 0 or above the base frequency). */
  tick: Float64Array;
}
export interface XyzStream extends DataStream {
  x: Float64Array;
  y: Float64Array;
  z: Float64Array;
}
export interface BaroStream extends DataStream {
  /** mBar */
  pressure: Float64Array;
  /** degree C */
  temperature: Float64Array;
}
export interface QuaternionStream extends DataStream {
  /** index of the first sample the filter computed; the samples before it (0, 0, 0, 0 in the
   *  CSV) are NaN. The stream's length when the filter never starts. */
  firstValid: number;
  w: Float64Array;
  x: Float64Array;
  y: Float64Array;
  z: Float64Array;
}
export interface ValueStream extends DataStream {
  value: Float64Array;
}

/** The answer of `readData`. A stream is present only when the recording has samples of it. */
export interface RecordingData {
  /** the readConfig answer, parsed */
  config: ConfigAnswer;
  /** the read answer, parsed */
  summary: ReadSummary;
  /** base tick rate in Hz */
  frequency: number;
  /** the IANA zone given as options.timezone (canonical spelling), or null */
  timezone: string | null;
  /** the recording's start (createdAt, a wall-clock time read in `timezone`) as an instant:
   *  that of `time` 0, so a sample's instant is startTime + its time. Null without a zone, or
   *  when createdAt is not a date */
  startTime: Date | null;
  streams: {
    /** g */
    accel?: XyzStream;
    /** deg/s */
    gyro?: XyzStream;
    baro?: BaroStream;
    /** raw counts */
    mag?: XyzStream;
    /** orientation (when accelerometer and gyroscope run at one rate, at most the base rate),
     *  at the gyroscope's rate */
    quaternion?: QuaternionStream;
    events?: ValueStream;
    events2?: ValueStream;
    /** radio tick count / base frequency, seconds */
    radioTime?: ValueStream;
  };
}

/** Codes of the errors `readData` and `writeParquet` throw: the system's own for a file that
 *  cannot be opened (ENOENT, EACCES, EISDIR...), or the module's. */
export type DataErrorCode =
  | "ENOENT" | "EACCES" | "EISDIR" | "ELOOP" | "ENAMETOOLONG" | "ENOTDIR" | "EIO"
  /** no header frames in the first block */
  | "KX_NOT_A_RECORDING"
  /** the file ends inside its configuration block or data */
  | "KX_TRUNCATED"
  /** the table would be implausibly large for the recording (see TableLimits); `rows` on the
   *  error says how many rows it would have */
  | "KX_TOO_MANY_ROWS"
  /** writeParquet: the output is the recording itself (through any link) */
  | "KX_OUTPUT_IS_INPUT"
  /** writeParquet: the output cannot be opened for writing */
  | "KX_OPEN_FAILED"
  /** writeParquet: the output could not be written in full; the target was left as it was */
  | "KX_WRITE_FAILED"
  /** writeParquet: the optional packages apache-arrow and parquet-wasm are not installed */
  | "KX_NO_PARQUET_WRITER"
  /** options.timezone is not an IANA time zone (a RangeError; a TypeError when not a text) */
  | "KX_BAD_TIMEZONE"
  /** readChunks, writeParquet, report: the table would have more rows than options.maxRows
   *  (or the default limit); the error's `rows` says how many */
  | "KX_TOO_MANY_ROWS"
  | string;

/** An Error thrown by `readData` or `writeParquet`: the message names the function, the file
 *  and why ("readData: walk.bin: no such file"). */
export interface DataError extends Error {
  code: DataErrorCode;
  /** the file concerned */
  path: string;
  /** KX_TOO_MANY_ROWS: the rows the table would have */
  rows?: number;
}

/**
 * Decodes a recording and adds its orientation stream, answering the samples as typed arrays,
 * filled range by range from the row source: memory is the arrays and one range.
 * @throws {DataError} when the recording cannot be read (missing, unreadable, not a recording,
 *   truncated) or its table would be over the row limit (KX_TOO_MANY_ROWS)
 * @throws {TypeError} "Wrong number of arguments" without an argument; "Wrong arguments" when
 *   recordingPath is not a string primitive or holds a NUL character
 */
export function readData(recordingPath: string, options?: DataOptions): RecordingData;

/** Options of readData, readChunks and writeParquet. */
export interface DataOptions extends TableLimits, OrientationOptions {
  /** IANA name of the zone whose wall-clock time the device showed (e.g. "Europe/Berlin"),
   *  checked through Intl: a RangeError with code KX_BAD_TIMEZONE when it is none. Gives
   *  readData its `startTime` and the Parquet file its `Timestamp` column. */
  timezone?: string;
}

/** One window of {@link readChunks}: rows [first, last) of the recording's table. */
export interface TableWindow {
  first: number;
  last: number;
  /** the rows' base-rate ticks (first + 1 ... last) */
  tick: Float64Array;
  /** the rows' Time, as the CSV prints it unrounded */
  time: Float64Array;
  /** per stream the table shows (gyro, accel, baro, the CSV's event channel, quaternion): the
   *  samples on these rows, as readData names them, with their `tick`. The quaternion is NaN
   *  before the filter starts, as in readData. */
  streams: { [stream: string]: { tick: Float64Array; [component: string]: Float64Array } };
}

/**
 * Walks the table of a recording in windows of `rows` rows (default 65,536; 1 to 16,777,216).
 * Concatenated, the windows' streams are exactly readData's streams for the streams the table
 * shows (values and ticks); the magnetometer, radio time and an event channel the table does
 * not show are readData's alone. Memory is that of the source plus one window.
 * @throws {DataError} as readData, on the first step
 */
export function readChunks(recordingPath: string, options?: TableLimits & OrientationOptions & { rows?: number }): AsyncIterableIterator<TableWindow>;

/**
 * Writes the CSV table of a recording as a Parquet file: the same columns in the same order,
 * one row per CSV row, values unrounded (float64; float32 for the quaternion columns), null
 * where the CSV cell is empty and on the quaternion rows before the filter starts; then `Tick`
 * (int64, the row's base-rate tick), `Timestamp` (TIMESTAMP(isAdjustedToUTC, MICROS), with
 * options.timezone: startTime plus the recording's clock at the row) and `Mag X/Y/Z` (raw counts, when the recording has magnetometer samples).
 * Every column carries field metadata `unit` and `description`. Key-value metadata: "config"
 * (readConfig answer), "summary" (read answer), "timezone" (the zone, or a note that times are
 * local and unzoned), "quaternionStart" ({ row, tick } of the first rotation, or null),
 * "codes", and "sync" ({ method, members: [{ file, shift }] }) for a synchronised set.
 * Zstd-compressed, written in row groups of 1,048,576 rows as the rows are filled, in bounded
 * memory. The file replaces its target only once complete. Needs the optional packages
 * apache-arrow and parquet-wasm, loaded on the first call; the synchronous form runs the
 * conversion in a worker thread and waits for it.
 * @returns JSON text of the {@link ReadSummary}, as `read` answers it
 * @throws {DataError} when the recording cannot be read or the file cannot be written
 * @throws {TypeError} "Wrong number of arguments" with fewer than two arguments; "Wrong
 *   arguments" when an argument is not a string primitive or holds a NUL character
 */
export function writeParquet(recordingPath: string, parquetPath: string, options?: DataOptions): string;

/**
 * The same five functions, run in a pool of worker threads (one per core, started on first
 * use, never keeping the process alive while idle) so the event loop keeps serving. Same
 * answers and same files as the synchronous functions. Argument errors reject with the same
 * TypeErrors, before any work is queued.
 */
export interface PromiseAPI {
  read(recordingPath: string, csvPath: string, options?: ReadOptions): Promise<string>;
  readAndSync2(recordingPaths: readonly string[], outDir: string, options?: ReadOptions): Promise<SyncStatus>;
  readConfig(recordingPath: string): Promise<string>;
  readConfigDeviceId(recordingPath: string): Promise<string>;
  writeConfig(path: string, configText: string): Promise<"OK" | "ERROR">;
  /** readData in a worker thread; the arrays are moved (transferred) to this thread, not copied */
  readData(recordingPath: string, options?: DataOptions): Promise<RecordingData>;
  writeParquet(recordingPath: string, parquetPath: string, options?: DataOptions): Promise<string>;
  /** {@link report} in a worker thread of its own; rejects as report throws. */
  report(recordingPaths: readonly string[], pagePath: string, options?: ReportOptions): Promise<ReportAnswer>;
}
export const promises: PromiseAPI;

/** The window of a {@link report} page, in seconds on the recording's or the set's time axis;
 *  a single recording whose table would be over maxRows gives an Error with code
 *  "KX_TOO_MANY_ROWS" and no page. */
export interface ReportOptions extends OrientationOptions, TableLimits {
  /** start of the window (default: the first sample) */
  from?: number;
  /** end of the window, after from (default: the last sample) */
  to?: number;
}

/** What {@link report} answers. */
export interface ReportAnswer {
  /** the page written, as given */
  page: string;
  /** its size in bytes */
  bytes: number;
  /** the number of recordings drawn */
  devices: number;
  /** true when several recordings were synchronised onto their common time base */
  synchronised: boolean;
}

/** The Error report throws when several recordings cannot be synchronised. */
export interface ReportSyncError extends Error {
  code: "KX_SYNC";
  /** readAndSync2's status for the same recordings */
  status: Exclude<SyncStatus, "OK" | "-12">;
}

/**
 * Writes one self-contained HTML page (styles, uPlot, script and data inlined; it makes no
 * request when opened) to look at recordings: per device the header facts (file, device id and
 * type, body location, firmware, dates, duration, sensor rates) and warnings (gaps in the ticks
 * over 1 s, samples at the accelerometer's or gyroscope's full scale, a stream ending early, a
 * header end date the samples do not reach, no orientation), then accelerometer, gyroscope,
 * barometer and orientation (roll, pitch, heading in degrees) plots on one zoomable time axis,
 * events marked. Streams of more than 60,000 samples (shared by a set's devices) are sent as
 * min/max envelopes at several resolutions that the page draws finer as it zooms. Several
 * recordings are synchronised as readAndSync2 does and drawn on their common time base, one
 * colour per device. The page is written whole (temporary file, then renamed) or not at all.
 * @param recordingPaths one recording, or several of devices worn together
 * @param pagePath the HTML file to write
 * @param options a window of the recording: the page shows every sample when it fits
 * @returns a {@link ReportAnswer}
 * @throws {TypeError} when recordingPaths is not a non-empty array of non-empty path strings
 *   without NUL, pagePath is not such a string, or options.from / options.to are not finite
 *   seconds with to after from (the message names the argument)
 * @throws {ReportSyncError} when several recordings cannot be synchronised (no page written)
 * @throws {Error} when a recording cannot be read (message naming the file) or the page cannot
 *   be written (the file system's error, with its code)
 */
export function report(recordingPaths: readonly string[], pagePath: string, options?: ReportOptions): ReportAnswer;

/** One recording to convert with `read` (format "csv") or `writeParquet` (format "parquet").
 *  Its output is named by the format's key: without `csv`, options.outDir/<name>.csv; without
 *  `parquet`, options.outDir/<name>.parquet. */
export interface ReadTask {
  recording: string;
  csv?: string;
  parquet?: string;
}

/** One set of devices worn together, synchronised with `readAndSync2` into `outDir`
 *  (default options.outDir); with format "parquet", the same tables as <name>.parquet files,
 *  all written or none. */
export interface SyncTask {
  recordings: readonly string[];
  outDir?: string;
}

/** A task: a bare recording path (needs options.outDir), a {@link ReadTask} or a {@link SyncTask}. */
export type BatchTask = string | ReadTask | SyncTask;

export interface ReadResult {
  kind: "read";
  recording: string;
  /** the output file: `csv` with format "csv", `parquet` with format "parquet" */
  csv?: string;
  parquet?: string;
  /** the answer of `read` (or `writeParquet`); null when the worker thread itself failed or
   *  writeParquet threw (see `error`, a {@link DataError}) */
  answer: string | null;
  /** the answer parsed: the recording's summary; null when the task failed */
  summary: ReadSummary | null;
  /** true when the answer is a {@link ReadSummary} */
  ok: boolean;
  /** seconds the conversion took */
  seconds: number;
  error?: Error;
}

export interface SyncResult {
  kind: "sync";
  recordings: string[];
  outDir: string;
  answer: SyncStatus | null;
  /** true when the answer is "OK" */
  ok: boolean;
  /** seconds the conversion took */
  seconds: number;
  error?: Error;
}

export type BatchResult = ReadResult | SyncResult;

/** maxRows: the limit of every task's tables (a TypeError when not a positive integer); a task
 *  over it fails as read, readAndSync2 and writeParquet refuse it ("-10" for a set). */
export interface BatchOptions extends TableLimits {
  /** conversions running at once, each in its own worker thread, the threads reused from task
   *  to task; default: the number of cores. An integer from 1 to 256 (RangeError outside). */
  concurrency?: number;
  /** directory for the output files of bare paths and of tasks without csv/parquet/outDir */
  outDir?: string;
  /** output format: "csv" (the default) or "parquet" (TypeError otherwise) */
  format?: "csv" | "parquet";
  /** orientation filter of every task (see {@link OrientationOptions}; TypeError otherwise) */
  orientation?: "specified" | "bias-corrected";
  /** called after each task: tasks done so far, all tasks, the task's recording (read) or
   *  output directory (sync), its answer (null when the worker failed), and the full result.
   *  If it throws, no further task starts and the batch rejects with that error. */
  onProgress?: (done: number, total: number, path: string, answer: string | null, result: BatchResult) => void;
  /** aborting stops new tasks from starting; running ones finish; the batch then rejects with
   *  the signal's reason */
  signal?: AbortSignalLike;
}

/** What the batch reads of an AbortSignal (a Node.js AbortSignal fits). */
export interface AbortSignalLike {
  readonly aborted: boolean;
  readonly reason?: unknown;
}

/**
 * Converts many recordings and device sets in parallel worker threads. Arguments are checked
 * before any work starts: a TypeError or RangeError names the argument and what was expected,
 * and two tasks that would write the same file are refused (error code "KX_OUTPUT_CLASH"), as is
 * a task whose output is the same file as a recording of any task (TypeError, code
 * "KX_OUTPUT_IS_INPUT"); other argument errors carry code "KX_BAD_ARGUMENT". Resolves with one result per task,
 * in task order; a task that fails is reported in its result, not by rejecting.
 */
export function batch(tasks: readonly BatchTask[], options?: BatchOptions): Promise<BatchResult[]>;

/** Connection of the queue functions. Needs the optional packages bullmq and ioredis. */
export interface QueueConnectionOptions {
  /** the Redis server: redis://[user:password@]host:port[/db] or rediss://... (TypeError otherwise) */
  redis: string;
  /** the queue's name, without ":"; default "kx-binreader" */
  queue?: string;
}

/** The result of one queued task: a {@link BatchResult} with the host that converted it. A job
 *  that failed in its worker (or whose worker died too often) has ok false, answer null and `error`. */
export type QueueResult = BatchResult & { host?: string };

/** maxRows: the limit of every job's tables, carried in the job's data, as batch takes it. */
export interface EnqueueOptions extends QueueConnectionOptions, TableLimits {
  /** directory for the CSV files of bare paths and of tasks without csv/outDir */
  outDir?: string;
  /** output format: "csv" (the default) or "parquet" (RangeError otherwise) */
  format?: "csv" | "parquet";
  /** orientation filter of every job, carried in the job's data */
  orientation?: "specified" | "bias-corrected";
  /** wait for every job to end and resolve with their results instead of their ids */
  wait?: boolean;
  /** with wait: called as each job ends, with its result, the jobs ended so far and all jobs */
  onResult?: (result: QueueResult, done: number, total: number) => void;
  /** the workers' root folder: when given, every recording and output must be inside it (links
   *  resolved, recordings regular files) or nothing is queued (error code "KX_BAD_ARGUMENT") */
  root?: string;
  /** with wait: milliseconds after which the jobs not yet ended resolve as failed, error code
   *  "KX_JOB_TIMEOUT" (they stay queued); default: no limit */
  timeoutMs?: number;
  /** with wait: milliseconds between looks at the jobs still waited for; a job the server no
   *  longer has resolves as failed, error code "KX_JOB_LOST"; default 5000 */
  pollMs?: number;
}

export interface WorkOptions extends QueueConnectionOptions {
  /** jobs running at once, each in its own worker thread; 1 to 256, default: the number of cores */
  concurrency?: number;
  /** milliseconds without a worker's heartbeat after which another worker takes its job over;
   *  default 30000 */
  stallMs?: number;
  /** times a job may be taken over from a dead worker before it fails for good; 1 to 1000, default 3 */
  stallLimit?: number;
  /** folder every recording and output of a job must be inside, links resolved, recordings
   *  regular files; a job that is not fails with its reason and nothing is touched; default:
   *  the current directory */
  root?: string;
  /** the highest row limit a job may carry: a job whose maxRows is above it fails with its
   *  reason and nothing is touched; default: any (a job without one has the default limit) */
  maxRows?: number;
  /** aborting stops taking jobs; the jobs already running finish, then work() resolves */
  signal?: AbortSignalLike & { addEventListener(type: "abort", listener: () => void, options?: { once?: boolean }): void };
  /** called as a job starts: the checked task (its outputs, inputs, kind) and the job's id */
  onStart?: (task: { kind: "read" | "sync"; inputs: string[]; outputs: string[]; path: string }, jobId: string) => void;
  /** called as a job ends and the server has recorded it, with its result and the job's id */
  onResult?: (result: QueueResult, jobId: string) => void;
  /** called with errors of the connection to Redis, which the client keeps retrying, and with
   *  the reason of each job refused (outside the root, not a task a batch may run) */
  onError?: (error: Error) => void;
}

export interface QueueAPI {
  /**
   * Adds one job per task (the task forms of {@link batch}; paths are made absolute, and must name
   * the same files on the workers). The tasks are checked as batch checks them, and rejected with
   * the same errors. Resolves with the job ids, or with `wait`, with one result per task in task
   * order once every job has ended. Rejects with an error of code "KX_NO_QUEUE_PACKAGE" when
   * bullmq or ioredis is not installed.
   */
  enqueue(tasks: readonly BatchTask[], options: EnqueueOptions & { wait: true }): Promise<QueueResult[]>;
  enqueue(tasks: readonly BatchTask[], options: EnqueueOptions): Promise<string[]>;
  /**
   * Runs jobs of the queue until options.signal aborts, then lets the running jobs finish and
   * resolves with the number of jobs this worker ran. A job whose worker died is taken over by
   * another worker after stallMs; its output is written whole or not at all.
   */
  work(options: WorkOptions): Promise<number>;
}

/** The Redis job queue (BullMQ), for conversions spread over several machines. */
export const queue: QueueAPI;
