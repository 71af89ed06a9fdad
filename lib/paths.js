// Path helpers shared by the batch converter and the command-line tool: the names outputs get
// from their recordings, and what counts as a usable path.
'use strict';
const path = require('node:path');

// A path the addon accepts and the file system reads as written: a non-empty string without
// NUL characters (the file system would act on the text before a NUL).
const isPath = (v) => typeof v === 'string' && v.length > 0 && !v.includes('\0');
const PATH_WANTED = 'a non-empty path string without NUL characters';

// The CSV name the synchronisation gives a recording: its file name without directory and
// without its last extension.
function fileBasename(p) {
  const name = p.slice(Math.max(p.lastIndexOf('/'), p.lastIndexOf('\\')) + 1);
  const dot = name.lastIndexOf('.');
  return dot < 0 ? name : name.slice(0, dot);
}

// The CSV file a recording is converted into inside `dir`.
const csvPathIn = (dir, recording) => path.join(dir, `${fileBasename(recording)}.csv`);

module.exports = { isPath, PATH_WANTED, fileBasename, csvPathIn };
