// What the command-line tool says about itself: the commands with their options and arguments,
// and the help texts built from them.
'use strict';
const { PROGRAM } = require('./errors.js');
const { QUEUE_COMMANDS } = require('./queue-commands.js');
const { formatOption } = require('./formats.js');
const { FORMATS } = require('../formats.js');
const { LIMIT_OPTION } = require('./tasks.js');

// What each exit code means; a command's help lists the codes of its `exits`.
const EXIT_TEXT = {
  0: 'success',
  1: 'some tasks failed (each one is named on standard error)',
  2: 'wrong command line',
  3: 'a recording could not be read (missing, too short, not a recording, read error)',
  4: 'an output file or directory could not be written',
  5: 'a recording has no accelerometer and gyroscope at one rate (no orientation)',
  6: 'the recordings could not be put on one time base',
  7: 'the configuration text was refused',
  69: 'the Redis server could not be reached',
  130: 'interrupted by Ctrl-C (SIGINT); unfinished output files were removed, and earlier\n      outputs were left as they were',
  143: 'stopped by SIGTERM; unfinished output files were removed',
};
const SIGNALLED = [130, 143];

// Options every command takes.
const COMMON = {
  json: { type: 'boolean', help: 'print JSON on standard output instead of plain text' },
  help: { type: 'boolean', short: 'h', help: 'describe the command' },
};

// Every command: usage line, summary, details, options, [fewest, most] positional arguments
// (tooFew: what to say when there are fewer) and the exit codes it can give.
// A command listed here needs a runner of the same name in commands.js.
const COMMANDS = {
  read: {
    usage: 'read [-f csv|parquet] [--max-rows n] <recording> [<output>|-]',
    summary: 'convert one recording to CSV or Parquet (orientation quaternions included)',
    details: [
      'Without <output>, writes <name>.csv (or <name>.parquet) into the current directory. The',
      'format follows <output>\'s extension (.csv, .parquet) unless --format is given; the two',
      'must agree. - (or /dev/stdout) writes the CSV to standard output, and the summary then goes',
      'to standard error.',
      'Prints the recording\'s summary: dates, base frequency, firmware version and measurement id.',
      'The Parquet file holds the CSV\'s table: the same columns and rows, values unrounded,',
      'null for an empty cell.',
    ].join('\n'),
    options: {
      format: formatOption(Object.keys(FORMATS), { named: true }),
      orientation: { type: 'string', arg: 'filter', help: 'orientation filter: specified (default) or bias-corrected' },
      timezone: { type: 'string', arg: 'zone', help: 'IANA time zone the devices\' clocks showed (Europe/Berlin): Parquet gains a UTC Timestamp column' },
      'max-rows': LIMIT_OPTION,
    },
    positionals: [1, 2],
    exits: [0, 2, 3, 4, ...SIGNALLED],
  },
  sync: {
    usage: 'sync [-o <dir>] [-f csv|parquet] [--max-rows n] <recording> <recording>...',
    summary: 'synchronise recordings of devices worn together, one CSV or Parquet file per recording',
    details: [
      'Writes <dir>/<name>.csv, or <dir>/<name>.parquet with --format parquet, for every recording',
      '(default <dir>: the current directory); the files of the set are written all or none.',
      'The time base comes from the time marks, the radio channel sensor or the radio frame',
      'of the recordings, chosen by the first recording.',
    ].join('\n'),
    options: {
      'out-dir': { type: 'string', short: 'o', arg: 'dir', help: 'directory of the output files (default: .)' },
      format: formatOption(Object.keys(FORMATS)),
      orientation: { type: 'string', arg: 'filter', help: 'orientation filter: specified (default) or bias-corrected' },
      timezone: { type: 'string', arg: 'zone', help: 'IANA time zone the devices\' clocks showed (Europe/Berlin): Parquet gains a UTC Timestamp column' },
      'max-rows': LIMIT_OPTION,
    },
    positionals: [2, Infinity],
    tooFew: 'needs two or more recordings',
    exits: [0, 2, 3, 4, 5, 6, ...SIGNALLED],
  },
  view: {
    usage: 'view [-o <page.html>] [--from <time>] [--to <time>] [--serve] <recording>...',
    summary: 'write one HTML page to look at recordings: facts, warnings and plots',
    details: [
      'Writes one self-contained page (default: <name>.html in the current directory, the names',
      'of several recordings joined by "+"): the header facts and plain-word warnings (gaps in the',
      'ticks, clipping, a stream that ends early, a header end date the samples do not reach, no',
      'orientation), then the accelerometer, gyroscope, barometer and orientation (roll, pitch,',
      'heading) on one zoomable time axis, with the events marked. The page makes no request when',
      'opened. Long recordings are drawn as envelopes at several resolutions, finer as you zoom.',
      'Several recordings are synchronised as sync does and drawn on their common time base, one',
      'colour per device; when they cannot be synchronised, no page is written.',
      '--from and --to (h:mm:ss[.s], m:ss or seconds on the recording\'s or the set\'s time axis)',
      'make a page of that window, with every sample when it holds few enough.',
      '--serve writes no file: it serves the page on 127.0.0.1 with a random token, prints its',
      'address on the first line, and answers the samples of the window the page shows as you',
      'zoom, until Ctrl-C.',
    ].join('\n'),
    options: {
      out: { type: 'string', short: 'o', arg: 'page.html', help: 'the page to write' },
      orientation: { type: 'string', arg: 'filter', help: 'orientation filter: specified (default) or bias-corrected' },
      from: { type: 'string', arg: 'time', help: 'start of the window (default: the first sample)' },
      to: { type: 'string', arg: 'time', help: 'end of the window (default: the last sample)' },
      serve: { type: 'boolean', help: 'serve the page on 127.0.0.1 until Ctrl-C instead of writing it' },
      'max-rows': LIMIT_OPTION,
    },
    positionals: [1, Infinity],
    exits: [0, 2, 3, 4, 5, 6, ...SIGNALLED],
  },
  config: {
    usage: 'config <recording>',
    summary: 'print the configuration of a recording',
    details: 'Prints every configured sensor, the device and radio settings and the dates.',
    options: {},
    positionals: [1, 1],
    exits: [0, 2, 3, ...SIGNALLED],
  },
  'device-id': {
    usage: 'device-id <recording>',
    summary: 'print the device identifier of a recording',
    details: 'Prints -1 when the recording names no device.',
    options: {},
    positionals: [1, 1],
    exits: [0, 2, 3, ...SIGNALLED],
  },
  'write-config': {
    usage: 'write-config <file> <text>',
    summary: 'write a configuration file from a configuration text',
    details: 'The text holds sections separated by ":", fields by ",", for example\n  accel,100,8,0,0,0,1,1,1:gyro,100,2000,0,0,0,1,1,1:baro,25:device,12,1,2\nAn existing file is replaced only when the new one was written completely.',
    options: {},
    positionals: [2, 2],
    exits: [0, 2, 4, 7, ...SIGNALLED],
  },
  batch: {
    usage: 'batch [-o <dir>] [-j <n>] [-f csv|parquet] [--sets <file>] [--shard K/N] [--skip-existing] [--manifest <file>] [<recording>...]',
    summary: 'convert many recordings and device sets in parallel',
    details: [
      'Converts every <recording> into <dir>/<name>.csv, or <dir>/<name>.parquet with --format',
      'parquet (default <dir>: the current directory),',
      'using <n> worker threads (default: the number of cores; at most 256). --sets names a JSON',
      'file listing device sets to synchronise: an array whose entries are arrays of recording',
      'paths or {"name": "...", "recordings": [...]}; paths are relative to the file. Set k',
      '(from 1) is written into <dir>/<name>, or <dir>/set-<k> without a name.',
      'A progress bar is drawn on standard error when it is a terminal (--progress forces it,',
      '--no-progress turns it off). Ctrl-C stops after the conversions already running;',
      'a second Ctrl-C ends at once, removing the files left unfinished.',
      'Nothing is converted, and no directory created, when an argument is wrong or an output',
      'would be written over one of the recordings.',
      '',
      'On a cluster, each copy of the command takes its share of the task list (recordings, then',
      'sets): with --shard K/N the tasks at positions K, K+N, K+2N... (from 1). Without --shard,',
      'a Slurm job array gives it through SLURM_ARRAY_TASK_ID (counted from SLURM_ARRAY_TASK_MIN',
      'in steps of SLURM_ARRAY_TASK_STEP, of SLURM_ARRAY_TASK_COUNT), and an indexed Kubernetes',
      'Job through JOB_COMPLETION_INDEX (from 0) with --shards N. --skip-existing skips a task',
      'whose outputs all exist and are newer than its recordings, so a job cut short is simply',
      'run again. --manifest appends one JSON line per task (inputs, outputs, answer, ok,',
      'seconds, shard, host), whole, so the copies of a job can share one file.',
    ].join('\n'),
    options: {
      'out-dir': { type: 'string', short: 'o', arg: 'dir', help: 'directory of the output files (default: .)' },
      jobs: { type: 'string', short: 'j', arg: 'n', help: 'conversions running at once, 1 to 256 (default: the number of cores)' },
      format: formatOption(Object.keys(FORMATS)),
      timezone: { type: 'string', arg: 'zone', help: 'IANA time zone the devices\' clocks showed (Europe/Berlin): Parquet gains a UTC Timestamp column' },
      sets: { type: 'string', arg: 'file', help: 'JSON file listing device sets to synchronise' },
      progress: { type: 'boolean', help: 'draw the progress bar even when standard error is not a terminal' },
      'no-progress': { type: 'boolean', help: 'never draw the progress bar' },
      shard: { type: 'string', arg: 'K/N', help: 'convert only shard K of N of the task list' },
      shards: { type: 'string', arg: 'n', help: 'number of shards, with the index in JOB_COMPLETION_INDEX (Kubernetes)' },
      'skip-existing': { type: 'boolean', help: 'skip tasks whose outputs are newer than their recordings' },
      manifest: { type: 'string', arg: 'file', help: 'append one JSON line per task to <file>' },
      orientation: { type: 'string', arg: 'filter', help: 'orientation filter: specified (default) or bias-corrected' },
      'max-rows': LIMIT_OPTION,
    },
    positionals: [0, Infinity],
    exits: [0, 1, 2, 4, ...SIGNALLED],
  },
  ...QUEUE_COMMANDS,
};

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

function mainHelp() {
  const lines = Object.entries(COMMANDS).map(([name, c]) => `  ${name.padEnd(13)} ${c.summary}`);
  return `Usage: ${PROGRAM} <command> [options] [arguments]

Commands:
${lines.join('\n')}

Options of every command:
${optionLines(COMMON).join('\n')}
Run ${PROGRAM} <command> --help for the arguments of a command.

${PROGRAM} --version prints the package version.
${PROGRAM} simulate --out DIR writes simulated recordings to try it without one (simulate --help).

${exitHelp()}`;
}

function commandHelp(name) {
  const c = COMMANDS[name];
  return `Usage: ${PROGRAM} ${c.usage}

${c.summary[0].toUpperCase()}${c.summary.slice(1)}.
${c.details}

Options:
${optionLines({ ...c.options, ...COMMON }).join('\n')}

${exitHelp(name)}`;
}

// The exit codes of one command, or of all, each naming the commands that give it when not
// every command does.
function exitHelp(name) {
  const names = Object.keys(COMMANDS);
  const codes = Object.keys(EXIT_TEXT).map(Number).filter((code) => name === undefined || COMMANDS[name].exits.includes(code));
  const lines = codes.map((code) => {
    const by = names.filter((n) => COMMANDS[n].exits.includes(code));
    const who = name === undefined && by.length < names.length ? `${by.join(', ')}: ` : '';
    return `  ${String(code).padEnd(3)} ${who}${EXIT_TEXT[code]}`;
  });
  return `Exit codes:\n${lines.join('\n')}`;
}

module.exports = { COMMANDS, COMMON, mainHelp, commandHelp, parserOptions };
