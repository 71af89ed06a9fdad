// The command-line tool: subcommands over the addon's functions and the batch converter, with
// plain or JSON output and exit codes that say what failed.
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { parseArgs } = require('node:util');
const { fileBasename } = require('./batch.js');

const PROGRAM = 'kx-binreader';

// Exit codes; documented in the README and in --help.
const EXIT = {
  OK: 0,
  SOME_FAILED: 1, // batch: at least one task failed (each is named on standard error)
  USAGE: 2, // the command line is wrong
  INPUT: 3, // a recording could not be read
  OUTPUT: 4, // an output file could not be written
  NO_ORIENTATION: 5, // sync: a recording has no accelerometer and gyroscope at one rate
  NO_SYNC: 6, // sync: the recordings could not be put on one time base
  BAD_CONFIG_TEXT: 7, // write-config: the configuration text was refused
  INTERRUPTED: 130, // batch stopped by SIGINT
  INTERNAL: 70,
};

const EXIT_HELP = `Exit codes:
  0  success
  1  batch: some tasks failed (each one is named on standard error)
  2  wrong command line
  3  a recording could not be read (missing, too short, not a recording, read error)
  4  an output file or directory could not be written
  5  sync: a recording has no accelerometer and gyroscope at one rate (no orientation)
  6  sync: the recordings could not be put on one time base
  7  write-config: the configuration text was refused
  130 batch: interrupted (the conversions already running were finished)`;

const COMMON = {
  json: { type: 'boolean', help: 'print JSON on standard output instead of plain text' },
  help: { type: 'boolean', short: 'h', help: 'describe the command' },
};

const COMMANDS = {
  read: {
    usage: 'read <recording> [<csv>]',
    summary: 'convert one recording to CSV (orientation quaternions included)',
    details: 'Without <csv>, writes <name>.csv into the current directory. Prints the recording\'s\nsummary: dates, base frequency, firmware version and measurement id.',
    options: {},
    positionals: [1, 2],
  },
  sync: {
    usage: 'sync [-o <dir>] <recording> <recording>...',
    summary: 'synchronise recordings of devices worn together, one CSV per recording',
    details: 'Writes <dir>/<name>.csv for every recording (default <dir>: the current directory).\nThe time base comes from the time marks, the radio channel sensor or the radio frame\nof the recordings, chosen by the first recording.',
    options: { 'out-dir': { type: 'string', short: 'o', arg: 'dir', help: 'directory of the CSV files (default: .)' } },
    positionals: [1, Infinity],
  },
  config: {
    usage: 'config <recording>',
    summary: 'print the configuration of a recording',
    details: 'Prints every configured sensor, the device and radio settings and the dates.',
    options: {},
    positionals: [1, 1],
  },
  'device-id': {
    usage: 'device-id <recording>',
    summary: 'print the device identifier of a recording',
    details: 'Prints -1 when the recording names no device.',
    options: {},
    positionals: [1, 1],
  },
  'write-config': {
    usage: 'write-config <file> <text>',
    summary: 'write a configuration file from a configuration text',
    details: 'The text holds sections separated by ":", fields by ",", for example\n  accel,100,8,0,0,0,1,1,1:gyro,100,2000,0,0,0,1,1,1:baro,25:device,12,1,2\nAn existing file is replaced only when the new one was written completely.',
    options: {},
    positionals: [2, 2],
  },
  batch: {
    usage: 'batch [-o <dir>] [-j <n>] [--sets <file>] [<recording>...]',
    summary: 'convert many recordings and device sets in parallel',
    details: [
      'Converts every <recording> into <dir>/<name>.csv (default <dir>: the current directory),',
      'using <n> worker threads (default: the number of cores). --sets names a JSON file listing',
      'device sets to synchronise: an array whose entries are arrays of recording paths or',
      '{"name": "...", "recordings": [...]}; paths are relative to the file. Set k (from 1) is',
      'written into <dir>/<name>, or <dir>/set-<k> without a name.',
      'A progress bar is drawn on standard error when it is a terminal (--progress forces it,',
      '--no-progress turns it off). Ctrl-C stops after the conversions already running;',
      'a second Ctrl-C ends at once.',
    ].join('\n'),
    options: {
      'out-dir': { type: 'string', short: 'o', arg: 'dir', help: 'directory of the CSV files (default: .)' },
      jobs: { type: 'string', short: 'j', arg: 'n', help: 'conversions running at once (default: the number of cores)' },
      sets: { type: 'string', arg: 'file', help: 'JSON file listing device sets to synchronise' },
      progress: { type: 'boolean', help: 'draw the progress bar even when standard error is not a terminal' },
      'no-progress': { type: 'boolean', help: 'never draw the progress bar' },
    },
    positionals: [0, Infinity],
  },
};

class CliError extends Error {
  constructor(code, message) {
    super(message);
    this.code = code;
  }
}

const usageError = (message) => new CliError(EXIT.USAGE, message);

function mainHelp() {
  const lines = Object.entries(COMMANDS).map(([name, c]) => `  ${name.padEnd(13)} ${c.summary}`);
  return `Usage: ${PROGRAM} <command> [options] [arguments]

Commands:
${lines.join('\n')}

Options of every command:
${optionLines(COMMON).join('\n')}
Run ${PROGRAM} <command> --help for the arguments of a command.

${PROGRAM} --version prints the package version.

${EXIT_HELP}`;
}

function optionLines(options) {
  const left = Object.entries(options).map(([k, o]) => `  ${o.short ? `-${o.short}, ` : '    '}--${k}${o.arg ? ` <${o.arg}>` : ''}`);
  const width = Math.max(...left.map((l) => l.length));
  return Object.values(options).map((o, i) => `${left[i].padEnd(width)}  ${o.help}`);
}

// parseArgs takes only the parser's own keys of each option.
function parserOptions(options) {
  const out = {};
  for (const [k, o] of Object.entries(options)) out[k] = o.short ? { type: o.type, short: o.short } : { type: o.type };
  return out;
}

function commandHelp(name) {
  const c = COMMANDS[name];
  return `Usage: ${PROGRAM} ${c.usage}

${c.summary[0].toUpperCase()}${c.summary.slice(1)}.
${c.details}

Options:
${optionLines({ ...c.options, ...COMMON }).join('\n')}

${EXIT_HELP}`;
}

// --- Diagnosis: turning the reader's short answers into messages that name the file ---

// Why a recording cannot be read, or null when it looks readable.
function recordingProblem(addon, file) {
  let st;
  try {
    st = fs.statSync(file);
  } catch (err) {
    return err.code === 'ENOENT' ? 'no such file' : `cannot open it (${err.code || err.message})`;
  }
  if (st.isDirectory()) return 'is a directory';
  try {
    fs.accessSync(file, fs.constants.R_OK);
  } catch (err) {
    return `cannot open it (${err.code})`;
  }
  if (st.size < 512) return `only ${st.size} bytes, shorter than one 512-byte block`;
  if (addon.readConfig(file) === '') return 'not a recording (no header frames in its first block)';
  return null;
}

// Why a file cannot be written into `dir`, or null when nothing is visibly wrong.
function directoryProblem(dir) {
  let st;
  try {
    st = fs.statSync(dir);
  } catch {
    return `directory ${dir} does not exist`;
  }
  if (!st.isDirectory()) return `${dir} is not a directory`;
  try {
    fs.accessSync(dir, fs.constants.W_OK);
  } catch {
    return `no permission to write into ${dir}`;
  }
  return null;
}

// Why a recording gives no orientation: no accelerometer and gyroscope at one rate.
function orientationProblem(addon, file) {
  const text = addon.readConfig(file);
  if (text === '') return 'not a recording';
  const c = JSON.parse(text);
  if (!c.accel) return 'has no accelerometer';
  if (!c.gyro) return 'has no gyroscope';
  if (c.accel.frequency !== c.gyro.frequency) {
    return `its accelerometer (${c.accel.frequency} Hz) and gyroscope (${c.gyro.frequency} Hz) run at different rates`;
  }
  return null;
}

// --- Commands ---

function summaryLines(s) {
  return [
    `  created    ${s.createdAt}`,
    `  ended      ${s.endDate}`,
    `  frequency  ${s.frequency} Hz`,
    `  firmware   ${s.version}.${s.majorVersion}.${s.minorVersion}`,
    `  measure    ${s.measureId}`,
  ];
}

function readFailure(addon, recording, csv) {
  const input = recordingProblem(addon, recording);
  if (input) return new CliError(EXIT.INPUT, `${recording}: ${input}`);
  const out = directoryProblem(path.dirname(path.resolve(csv)));
  if (out) return new CliError(EXIT.OUTPUT, `${csv}: cannot write: ${out}`);
  if (fs.existsSync(csv) && fs.statSync(csv).isDirectory()) return new CliError(EXIT.OUTPUT, `${csv}: cannot write: is a directory`);
  return new CliError(EXIT.OUTPUT, `${csv}: could not be written completely from ${recording} (disk full, file-size limit or I/O error), or ${recording} could not be read in full`);
}

function cmdRead(ctx, { positionals }) {
  const [recording, given] = positionals;
  const csv = given !== undefined ? given : `${fileBasename(recording)}.csv`;
  const answer = ctx.addon.read(recording, csv);
  const parsed = JSON.parse(answer);
  if ('error' in parsed) throw readFailure(ctx.addon, recording, csv);
  if (ctx.json) ctx.out({ recording, csv, summary: parsed });
  else ctx.print([`${recording} -> ${csv}`, ...summaryLines(parsed)].join('\n'));
  return EXIT.OK;
}

function syncFailure(addon, status, recordings, outDir) {
  switch (status) {
    case '-10': {
      const bad = recordings.map((r) => [r, recordingProblem(addon, r)]).filter(([, p]) => p);
      const detail = bad.length ? bad.map(([r, p]) => `${r}: ${p}`).join('; ') : `one of ${recordings.join(', ')} could not be read in full`;
      return new CliError(EXIT.INPUT, detail);
    }
    case '-13': {
      const bad = recordings.map((r) => [r, orientationProblem(addon, r)]).filter(([, p]) => p);
      const detail = bad.length ? bad.map(([r, p]) => `${r}: ${p}`).join('; ') : `one of ${recordings.join(', ')} has no inertial samples`;
      return new CliError(EXIT.NO_ORIENTATION, `no orientation: ${detail}`);
    }
    case '-11':
      return new CliError(EXIT.NO_SYNC, recordings.length < 2
        ? `${recordings[0]}: synchronising needs at least two recordings`
        : `${recordings.join(', ')}: no common time base (no time marks, or not exactly one radio master on one channel, or no radio time samples)`);
    case '-12': {
      const problem = directoryProblem(outDir);
      return new CliError(EXIT.OUTPUT, problem ? `cannot write the CSV files: ${problem}` : `${outDir}: a CSV file could not be written completely`);
    }
    default:
      return new CliError(EXIT.INTERNAL, `unexpected answer "${status}"`);
  }
}

function cmdSync(ctx, { values, positionals }) {
  const outDir = values['out-dir'] !== undefined ? values['out-dir'] : '.';
  // Recordings with one file name would write one CSV file, the later over the earlier.
  const seen = new Map();
  for (const r of positionals) {
    const csv = `${fileBasename(r)}.csv`;
    if (seen.has(csv)) throw usageError(`${seen.get(csv)} and ${r} would both be written to ${path.join(outDir, csv)}`);
    seen.set(csv, r);
  }
  const status = ctx.addon.readAndSync2(positionals, outDir);
  if (status !== 'OK') throw syncFailure(ctx.addon, status, positionals, outDir);
  const files = positionals.map((r) => path.join(outDir, `${fileBasename(r)}.csv`));
  if (ctx.json) ctx.out({ status, files });
  else ctx.print(files.map((f, i) => `${positionals[i]} -> ${f}`).join('\n'));
  return EXIT.OK;
}

function configAnswer(ctx, file, fn) {
  const text = ctx.addon[fn](file);
  if (text === '') throw new CliError(EXIT.INPUT, `${file}: ${recordingProblem(ctx.addon, file) || 'not a recording'}`);
  return JSON.parse(text);
}

function cmdConfig(ctx, { positionals }) {
  const c = configAnswer(ctx, positionals[0], 'readConfig');
  if (ctx.json) {
    ctx.out(c);
    return EXIT.OK;
  }
  const lines = [];
  for (const [k, v] of Object.entries(c)) {
    if (v !== null && typeof v === 'object') {
      lines.push(`${k}:`);
      for (const [kk, vv] of Object.entries(v)) lines.push(`  ${kk.padEnd(10)} ${vv}`);
    } else {
      lines.push(`${k.padEnd(14)} ${v === '' ? '(none)' : v}`);
    }
  }
  ctx.print(lines.join('\n'));
  return EXIT.OK;
}

function cmdDeviceId(ctx, { positionals }) {
  const c = configAnswer(ctx, positionals[0], 'readConfigDeviceId');
  if (ctx.json) ctx.out(c);
  else ctx.print(String(c.deviceId));
  return EXIT.OK;
}

function cmdWriteConfig(ctx, { positionals }) {
  const [file, text] = positionals;
  if (ctx.addon.writeConfig(file, text) !== 'OK') {
    // Tell a refused text from a failed write by writing the same text where writing works.
    const probe = path.join(os.tmpdir(), `${PROGRAM}-probe-${process.pid}-${Date.now()}.bin`);
    const textOk = ctx.addon.writeConfig(probe, text) === 'OK';
    fs.rmSync(probe, { force: true });
    if (!textOk) {
      throw new CliError(EXIT.BAD_CONFIG_TEXT, `${file}: configuration text refused (a known section with too few or non-numeric fields, a number outside 32 bits, or more than 512 bytes of frames); the file was not changed`);
    }
    const problem = directoryProblem(path.dirname(path.resolve(file)));
    throw new CliError(EXIT.OUTPUT, `${file}: cannot write${problem ? `: ${problem}` : ' it completely'}; the file was not changed`);
  }
  const bytes = fs.statSync(file).size;
  if (ctx.json) ctx.out({ file, bytes });
  else ctx.print(`wrote ${file} (${bytes} bytes)`);
  return EXIT.OK;
}

// --- batch ---

function readSets(file) {
  let list;
  try {
    list = JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch (err) {
    throw usageError(`${file}: cannot read the sets file: ${err.message}`);
  }
  if (!Array.isArray(list)) throw usageError(`${file}: expected a JSON array of device sets`);
  const base = path.dirname(file);
  return list.map((entry, k) => {
    const recordings = Array.isArray(entry) ? entry : entry && entry.recordings;
    const name = !Array.isArray(entry) && entry && entry.name !== undefined ? entry.name : `set-${k + 1}`;
    if (!Array.isArray(recordings) || !recordings.every((r) => typeof r === 'string' && r !== '')) {
      throw usageError(`${file}: set ${k + 1} must be an array of recording paths or {"name", "recordings": [...]}`);
    }
    if (typeof name !== 'string' || name === '' || name.includes('/') || name.includes('\\') || name === '.' || name === '..') {
      throw usageError(`${file}: set ${k + 1} has an unusable name ${JSON.stringify(name)}`);
    }
    return { name, recordings: recordings.map((r) => path.resolve(base, r)) };
  });
}

function progressBar(stream) {
  let last = '';
  return {
    update(done, total, current) {
      const width = Math.max(10, Math.min(40, (stream.columns || 80) - 40));
      const filled = Math.round((done / total) * width);
      const name = path.basename(current);
      const line = `[${'#'.repeat(filled)}${'-'.repeat(width - filled)}] ${done}/${total} ${String(Math.floor((100 * done) / total)).padStart(3)}% ${name}`;
      const cut = line.slice(0, Math.max(0, (stream.columns || 80) - 1));
      stream.write(`\r${cut}${' '.repeat(Math.max(0, last.length - cut.length))}`);
      last = cut;
    },
    end() {
      if (last !== '') stream.write(`\r${' '.repeat(last.length)}\r`);
    },
  };
}

function taskFailure(addon, r) {
  if (r.error) return `${r.kind === 'read' ? r.recording : r.outDir}: ${r.error.message}`;
  if (r.kind === 'read') return readFailure(addon, r.recording, r.csv).message;
  return syncFailure(addon, r.answer, r.recordings, r.outDir).message;
}

async function cmdBatch(ctx, { values, positionals }) {
  const outDir = values['out-dir'] !== undefined ? values['out-dir'] : '.';
  let concurrency;
  if (values.jobs !== undefined) {
    concurrency = Number(values.jobs);
    if (!Number.isInteger(concurrency) || concurrency < 1) throw usageError(`--jobs must be a positive integer, got "${values.jobs}"`);
  }
  const tasks = positionals.map((r) => ({ recording: r, csv: path.join(outDir, `${fileBasename(r)}.csv`) }));
  if (values.sets !== undefined) {
    for (const s of readSets(values.sets)) {
      const dir = path.join(outDir, s.name);
      fs.mkdirSync(dir, { recursive: true });
      tasks.push({ recordings: s.recordings, outDir: dir });
    }
  }
  if (tasks.length === 0) throw usageError('batch: nothing to convert (give recordings or --sets)');
  const showProgress = values['no-progress'] ? false : values.progress || Boolean(ctx.stderr.isTTY);
  const bar = showProgress ? progressBar(ctx.stderr) : null;
  const controller = new AbortController();
  const onSigint = () => {
    controller.abort();
    if (bar) bar.end();
    ctx.stderr.write(`${PROGRAM}: interrupted; finishing the conversions already running\n`);
  };
  process.once('SIGINT', onSigint);
  const started = process.hrtime.bigint();
  let results;
  try {
    results = await ctx.batch(tasks, {
      concurrency,
      signal: controller.signal,
      onProgress: (done, total, current) => { if (bar) bar.update(done, total, current); },
    });
  } catch (err) {
    if (controller.signal.aborted) {
      ctx.stderr.write(`${PROGRAM}: batch interrupted\n`);
      return EXIT.INTERRUPTED;
    }
    if (err instanceof TypeError || /would both write/.test(err.message)) throw usageError(err.message);
    throw err;
  } finally {
    process.removeListener('SIGINT', onSigint);
    if (bar) bar.end();
  }
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  const failed = results.filter((r) => !r.ok);
  for (const r of failed) ctx.stderr.write(`${PROGRAM}: ${taskFailure(ctx.addon, r)}\n`);
  if (ctx.json) {
    ctx.out({
      seconds: Number(seconds.toFixed(3)),
      converted: results.length - failed.length,
      failed: failed.length,
      results: results.map((r) => {
        const { error, answer, ...rest } = r;
        const item = { ...rest, answer };
        if (r.kind === 'read' && r.ok) item.answer = JSON.parse(answer);
        if (error) item.error = error.message;
        else if (!r.ok) item.error = taskFailure(ctx.addon, r);
        return item;
      }),
    });
  } else {
    ctx.print(`${results.length - failed.length} of ${results.length} converted in ${seconds.toFixed(2)} s${failed.length ? `; ${failed.length} failed` : ''}`);
  }
  return failed.length ? EXIT.SOME_FAILED : EXIT.OK;
}

const RUN = { read: cmdRead, sync: cmdSync, config: cmdConfig, 'device-id': cmdDeviceId, 'write-config': cmdWriteConfig, batch: cmdBatch };

// Runs one command line; answers the exit code. io: { stdout, stderr } writable streams.
async function main(argv, io = { stdout: process.stdout, stderr: process.stderr }) {
  const say = (stream, text) => stream.write(`${text}\n`);
  const fail = (code, message) => {
    say(io.stderr, `${PROGRAM}: ${message}`);
    return code;
  };
  // Options of every command may also come before the command's name.
  const leading = [];
  let k = 0;
  while (k < argv.length && argv[k] === '--json') leading.push(argv[k++]);
  const [name, ...tail] = argv.slice(k);
  const rest = [...tail, ...leading];
  if (name === undefined || name === '-h' || name === '--help' || name === 'help') {
    say(name === undefined ? io.stderr : io.stdout, mainHelp());
    return name === undefined ? EXIT.USAGE : EXIT.OK;
  }
  if (name === '--version' || name === '-v') {
    say(io.stdout, require('../package.json').version);
    return EXIT.OK;
  }
  const command = COMMANDS[name];
  if (!command) return fail(EXIT.USAGE, `unknown command "${name}"; run ${PROGRAM} --help`);
  let parsed;
  try {
    parsed = parseArgs({ args: rest, options: parserOptions({ ...command.options, ...COMMON }), allowPositionals: true, strict: true });
  } catch (err) {
    return fail(EXIT.USAGE, `${name}: ${err.message}; run ${PROGRAM} ${name} --help`);
  }
  if (parsed.values.help) {
    say(io.stdout, commandHelp(name));
    return EXIT.OK;
  }
  const [min, max] = command.positionals;
  const n = parsed.positionals.length;
  if (n < min || n > max) {
    return fail(EXIT.USAGE, `${name}: expected ${command.usage}; run ${PROGRAM} ${name} --help`);
  }
  if (parsed.positionals.some((p) => p.includes('\0'))) return fail(EXIT.USAGE, `${name}: an argument holds a NUL character`);
  const json = Boolean(parsed.values.json);
  // The addon is loaded only for a command that runs, so --help works without a build.
  const kx = require('../index.js');
  const ctx = {
    addon: kx,
    batch: kx.batch,
    json,
    stderr: io.stderr,
    print: (text) => say(io.stdout, text),
    out: (value) => say(io.stdout, JSON.stringify(value)),
  };
  try {
    return await RUN[name](ctx, parsed);
  } catch (err) {
    if (!(err instanceof CliError)) {
      return fail(EXIT.INTERNAL, `${name}: ${err && err.stack ? err.stack : err}`);
    }
    if (json) say(io.stdout, JSON.stringify({ error: { code: err.code, message: err.message } }));
    return fail(err.code, err.message);
  }
}

module.exports = { main, EXIT };
