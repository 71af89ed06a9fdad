// The command line's side of the output formats: the --format option, the format an output's
// name asks for, and standard output. The formats themselves are lib/formats.js's list; the
// page view writes is the one more kind of output an extension may name.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { usageError } = require('./errors.js');
const { FORMATS } = require('../formats.js');

// What each extension names, in messages: every format's name is its extension.
const KINDS = {
  ...Object.fromEntries(Object.entries(FORMATS).map(([f, { title }]) => [f, `a ${title} file`])),
  html: 'an HTML page',
};

// The name that stands for standard output, as in most command-line tools.
const STDOUT = '-';

// The --format option of a command that writes one of `formats` (the first is the default,
// after the output's extension when the command takes an output's name).
function formatOption(formats, { named = false } = {}) {
  const fallback = named ? `the output's extension, else ${formats[0]}` : formats[0];
  return { type: 'string', short: 'f', arg: 'format', help: `output format: ${formats.join(' or ')} (default: ${fallback})` };
}

// The format an output's name asks for (by its extension, in any case), or undefined.
function formatOfName(file) {
  const ext = path.extname(file).toLowerCase().slice(1);
  return Object.hasOwn(KINDS, ext) ? ext : undefined;
}

// The format a command writes: --format, else the output's extension, else the first of
// `formats`. A --format the command cannot write, an output named for another format, and a
// --format that contradicts the output's name are wrong command lines.
function outputFormat(command, formats, given, output) {
  if (given !== undefined && !formats.includes(given)) throw usageError(`${command}: --format must be ${formats.join(' or ')}, got "${given}"`);
  const named = output === undefined || output === STDOUT ? undefined : formatOfName(output);
  if (named !== undefined && given !== undefined && named !== given) {
    throw usageError(`${command}: --format ${given} contradicts the output's name ${output} (${KINDS[named]})`);
  }
  if (named !== undefined && !formats.includes(named)) {
    throw usageError(`${command}: ${output} names ${KINDS[named]}; ${command} writes ${formats.map((f) => KINDS[f]).join(' or ')}`);
  }
  const format = given !== undefined ? given : named !== undefined ? named : formats[0];
  if (format !== 'csv' && output !== undefined && isStandardOutput(output)) throw usageError(`${command}: only CSV can be written to standard output`);
  return format;
}

// True when `file` is this process's standard output (-, /dev/stdout, or the file or pipe it
// goes to): the summary then goes to standard error, so the output holds the table alone.
function isStandardOutput(file) {
  if (file === STDOUT) return true;
  try {
    const a = fs.statSync(file);
    const b = fs.fstatSync(1);
    return a.ino !== 0 && a.dev === b.dev && a.ino === b.ino;
  } catch {
    return false;
  }
}

module.exports = { STDOUT, formatOption, outputFormat, isStandardOutput };
