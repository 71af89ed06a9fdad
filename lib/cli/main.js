// The command-line tool: subcommands over the addon's functions and the batch converter, with
// plain or JSON output and exit codes that say what failed.
'use strict';
const { parseArgs } = require('node:util');
const { PROGRAM, EXIT, CliError } = require('./errors.js');
const { removeOwnTempFiles, tempDirsOf } = require('../paths.js');
const { COMMANDS, COMMON, mainHelp, commandHelp, parserOptions } = require('./help.js');
const { RUN } = require('./commands.js');

// SIGINT and SIGTERM while a command runs: the temporary files of the conversions they cut
// short are removed (only this process's, only in the folders it writes to), earlier outputs
// stay as they were, and the process ends with 128 + the signal's number. A command may take
// the first SIGINT for itself (batch lets the running conversions finish); a second one, or
// SIGTERM, ends at once; the queue worker takes the first SIGTERM as well.
// Removing the temporary file is also what keeps an interrupted conversion from replacing the
// earlier output: its final rename finds no file. process.exit waits for a conversion running
// in a worker thread to return; the addon is told to stop every output, so that call ends at
// its next write.
function guardSignals(stderr) {
  const dirs = new Set();
  let firstInterrupt = null;
  let firstTerm = null;
  const stop = (signal) => {
    // Conversions in worker threads end at their next write instead of running to the end,
    // which process.exit would wait for. Only an addon this command loaded is asked.
    const loaded = require.cache[require.resolve('../addon.js')];
    if (loaded) loaded.exports.addon._stopOutputs();
    // No worker thread may be inside the addon when the process exits: that would abort it.
    require('../run/gate.js').closeAll();
    const removed = removeOwnTempFiles([...dirs]);
    const what = removed.length ? `; removed ${removed.length} unfinished file${removed.length > 1 ? 's' : ''}` : '';
    stderr.write(`${PROGRAM}: ${signal === 'SIGTERM' ? 'terminated' : 'interrupted'}${what}\n`);
    process.exit(signal === 'SIGTERM' ? EXIT.TERMINATED : EXIT.INTERRUPTED);
  };
  const onSigint = () => {
    const take = firstInterrupt;
    firstInterrupt = null;
    if (take !== null) take();
    else stop('SIGINT');
  };
  const onSigterm = () => {
    const take = firstTerm;
    firstTerm = null;
    if (take !== null) take();
    else stop('SIGTERM');
  };
  // Windows delivers no SIGTERM (a kill ends the process outright); Ctrl-Break is its "stop".
  const termSignals = process.platform === 'win32' ? ['SIGTERM', 'SIGBREAK'] : ['SIGTERM'];
  process.on('SIGINT', onSigint);
  for (const s of termSignals) process.on(s, onSigterm);
  return {
    // Output files about to be written: their folders are searched for temporary files.
    writes(files) {
      for (const f of files) for (const d of tempDirsOf(f)) dirs.add(d);
    },
    onFirstInterrupt(fn) {
      firstInterrupt = fn;
    },
    // A command that stops gracefully (the queue worker) takes the first SIGTERM too.
    onFirstTerm(fn) {
      firstTerm = fn;
    },
    release() {
      process.removeListener('SIGINT', onSigint);
      for (const s of termSignals) process.removeListener(s, onSigterm);
    },
  };
}

// The first option of `args` that `options` lacks, as it was written (--fromat, -x), or null.
function unknownOption(args, options) {
  const { tokens } = parseArgs({ args, options: parserOptions(options), allowPositionals: true, strict: false, tokens: true });
  const token = tokens.find((t) => t.kind === 'option' && !Object.hasOwn(options, t.name));
  return token ? token.rawName : null;
}

// Edits that turn a into b: insertions, deletions, substitutions and swaps of two neighbours
// (the commonest typing slip: --fromat).
function editDistance(a, b) {
  const d = Array.from({ length: a.length + 1 }, (_, i) => [i, ...Array(b.length).fill(0)]);
  for (let j = 1; j <= b.length; ++j) d[0][j] = j;
  for (let i = 1; i <= a.length; ++i) {
    for (let j = 1; j <= b.length; ++j) {
      d[i][j] = Math.min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] === b[j - 1] ? 0 : 1));
      if (i > 1 && j > 1 && a[i - 1] === b[j - 2] && a[i - 2] === b[j - 1]) d[i][j] = Math.min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.length][b.length];
}

// The option a mistyped long option most likely meant: the only one it begins, else the
// closest within a third of its length; null when none is that close.
function nearestOption(written, options) {
  if (!written.startsWith('--')) return null;
  const typed = written.slice(2);
  const names = Object.keys(options);
  const starting = names.filter((k) => k.startsWith(typed));
  if (starting.length === 1) return `--${starting[0]}`;
  let best = null;
  let bestDistance = Math.max(1, Math.floor(typed.length / 3)) + 1;
  for (const k of names) {
    const distance = editDistance(typed, k);
    if (distance < bestDistance) [best, bestDistance] = [k, distance];
  }
  return best === null ? null : `--${best}`;
}

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
    say(io.stdout, require('../../package.json').version);
    return EXIT.OK;
  }
  // The simulator keeps its own command line; it needs no addon.
  if (name === 'simulate') return require('../../tools/simulate.js').main(rest, io);
  const command = Object.hasOwn(COMMANDS, name) ? COMMANDS[name] : undefined;
  if (!command) return fail(EXIT.USAGE, `unknown command "${name}"; run ${PROGRAM} --help`);
  const options = { ...command.options, ...COMMON };
  const unknown = unknownOption(rest, options);
  if (unknown !== null) {
    const near = nearestOption(unknown, options);
    return fail(EXIT.USAGE, `${name}: unknown option ${unknown}${near ? ` (did you mean ${near}?)` : ''}; run ${PROGRAM} ${name} --help`);
  }
  let parsed;
  try {
    parsed = parseArgs({ args: rest, options: parserOptions(options), allowPositionals: true, strict: true });
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
    const why = n < min && command.tooFew ? command.tooFew : `expected ${command.usage}`;
    return fail(EXIT.USAGE, `${name}: ${why}; run ${PROGRAM} ${name} --help`);
  }
  if (parsed.positionals.some((p) => p.includes('\0'))) return fail(EXIT.USAGE, `${name}: an argument holds a NUL character`);
  const json = Boolean(parsed.values.json);
  // The addon is loaded only for a command that runs, so --help works without a build.
  const kx = require('../../index.js');
  const signals = guardSignals(io.stderr);
  const ctx = {
    addon: kx,
    batch: kx.batch,
    json,
    env: io.env || process.env,
    stderr: io.stderr,
    print: (text) => say(io.stdout, text),
    out: (value) => say(io.stdout, JSON.stringify(value)),
    writes: signals.writes,
    onFirstInterrupt: signals.onFirstInterrupt,
    onFirstTerm: signals.onFirstTerm,
  };
  try {
    return await RUN[name](ctx, parsed);
  } catch (err) {
    if (!(err instanceof CliError)) {
      return fail(EXIT.INTERNAL, `${name}: ${err && err.stack ? err.stack : err}`);
    }
    if (json) say(io.stdout, JSON.stringify({ error: { code: err.code, message: err.message } }));
    return fail(err.code, err.message);
  } finally {
    signals.release();
  }
}

module.exports = { main, EXIT };
