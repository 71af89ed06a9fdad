// The output formats of the tool: the one list that every command's --format, the extensions
// it recognises and its help texts come from.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { usageError } = require('./errors.js');

const FORMATS = {
  csv: { ext: '.csv', what: 'a CSV file' },
  parquet: { ext: '.parquet', what: 'a Parquet file' },
  html: { ext: '.html', what: 'an HTML page' },
};

// What the converting commands write: the table of a recording. view writes an HTML page.
const TABLE_FORMATS = ['csv', 'parquet'];

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
  const ext = path.extname(file).toLowerCase();
  return Object.keys(FORMATS).find((f) => FORMATS[f].ext === ext);
}

// The format a command writes: --format, else the output's extension, else the first of
// `formats`. A --format the command cannot write, an output named for another format, and a
// --format that contradicts the output's name are wrong command lines.
function outputFormat(command, formats, given, output) {
  if (given !== undefined && !formats.includes(given)) throw usageError(`${command}: --format must be ${formats.join(' or ')}, got "${given}"`);
  const named = output === undefined || output === STDOUT ? undefined : formatOfName(output);
  if (named !== undefined && given !== undefined && named !== given) {
    throw usageError(`${command}: --format ${given} contradicts the output's name ${output} (${FORMATS[named].what})`);
  }
  if (named !== undefined && !formats.includes(named)) {
    throw usageError(`${command}: ${output} names ${FORMATS[named].what}; ${command} writes ${formats.map((f) => FORMATS[f].what).join(' or ')}`);
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
    return a.dev === b.dev && a.ino === b.ino;
  } catch {
    return false;
  }
}

module.exports = { FORMATS, TABLE_FORMATS, STDOUT, formatOption, formatOfName, outputFormat, isStandardOutput };
