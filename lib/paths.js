// Path helpers shared by the batch converter and the command-line tool: the names outputs get
// from their recordings, what counts as a usable path, when two paths name one file, and the
// temporary files a conversion leaves while it writes.
'use strict';
const fs = require('node:fs');
const path = require('node:path');
const { notRegular } = require('./reasons.js');

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

// The file of format `format` ('csv' or 'parquet', also its extension) a recording is
// converted into inside `dir`.
const outputPathIn = (dir, recording, format) => path.join(dir, `${fileBasename(recording)}.${format}`);

// What tells files apart: device and inode of an existing file (links followed), the absolute
// path of one that does not exist yet.
function fileKey(p) {
  try {
    const st = fs.statSync(p);
    return `file:${st.dev}:${st.ino}`;
  } catch {
    return `path:${path.resolve(p)}`;
  }
}

// The first output that is the same file as an input, as { output, input }, or null.
// outputs, inputs: arrays of { path, owner }, owner being whatever the caller names them by.
function outputOverInput(outputs, inputs) {
  const byKey = new Map();
  for (const input of inputs) {
    const key = fileKey(input.path);
    if (!byKey.has(key)) byKey.set(key, input);
  }
  for (const output of outputs) {
    const input = byKey.get(fileKey(output.path));
    if (input !== undefined) return { output, input };
  }
  return null;
}

// Whether the real path `real` is `root` or lies beneath it (both absolute, links resolved).
function isWithin(real, root) {
  const rel = path.relative(root, real);
  return rel === '' || (rel !== '..' && !rel.startsWith(`..${path.sep}`) && !path.isAbsolute(rel));
}

// Why a conversion reading `inputs` and writing `outputs` reaches outside the folder `root`, or
// null when it stays inside. Relative paths count from `root`. Every recording must be a regular
// file whose path, links resolved, is inside; for every output, the deepest part of its path
// that exists, links resolved, must be inside, so that the folders made for it and the file
// written are inside too. A link to a missing file is refused: writing it would create the file
// it names. Paths with ".." are refused whole, since the system resolves ".." after links.
// Checked before the conversion: a folder the caller does not own could still change after it.
function outsideRoot(root, inputs, outputs) {
  let realRoot;
  try {
    realRoot = fs.realpathSync(root);
  } catch (err) {
    return `the root folder ${root} cannot be used (${err.code || err.message})`;
  }
  const why = (f, err) => (err.code === 'ENOENT' ? `${f}: no such file` : `${f}: cannot be resolved (${err.code || err.message})`);
  const outside = (f) => `${f} is outside the root folder ${realRoot}`;
  for (const f of [...inputs, ...outputs]) {
    if (f.split(/[\\/]/).includes('..')) return `${f}: a path with ".." is not taken`;
  }
  for (const f of inputs) {
    let real;
    try {
      real = fs.realpathSync(path.resolve(realRoot, f));
    } catch (err) {
      return why(f, err);
    }
    if (!isWithin(real, realRoot)) return outside(f);
    const st = fs.statSync(real);
    if (!st.isFile()) return `${f}: ${notRegular(st)}`;
  }
  for (const f of outputs) {
    let p = path.resolve(realRoot, f);
    for (;;) {
      try {
        fs.lstatSync(p);
        break;
      } catch (err) {
        if (err.code !== 'ENOENT' || path.dirname(p) === p) return why(f, err);
        p = path.dirname(p);
      }
    }
    let real;
    try {
      real = fs.realpathSync(p);
    } catch (err) {
      return err.code === 'ENOENT' ? `${f}: a link to a missing file` : why(f, err);
    }
    if (!isWithin(real, realRoot)) return outside(f);
  }
  return null;
}

// Temporary files of a conversion sit beside its target until they are renamed over it:
// ".kx-<pid>-XXXXXX.tmp", or ".<name>.<pid>.<n>.<random>.tmp" from earlier versions. Answers
// the writer's process id, or -1 for any other name.
const TEMP_NAMES = [/^\.kx-(\d+)-[A-Za-z0-9]{6}\.tmp$/, /^\..+\.(\d+)\.\d+\.[0-9a-f]{8}\.tmp$/];
function tempFileOwner(name) {
  for (const pattern of TEMP_NAMES) {
    const m = pattern.exec(name);
    if (m !== null) return Number(m[1]);
  }
  return -1;
}

// The directories a conversion writing `file` puts its temporary file into: beside the path
// given and, when it is a link, beside the file it names.
function tempDirsOf(file) {
  const dirs = [path.dirname(path.resolve(file))];
  try {
    dirs.push(path.dirname(fs.realpathSync(file)));
  } catch {
    // not there yet: written beside the path given
  }
  return dirs;
}

// Removes the temporary files this process (`pid`) left in `dirs`; never another process's.
// Answers the paths removed.
function removeOwnTempFiles(dirs, pid = process.pid) {
  const removed = [];
  for (const dir of new Set(dirs)) {
    let names;
    try {
      names = fs.readdirSync(dir);
    } catch {
      continue;
    }
    for (const name of names) {
      if (tempFileOwner(name) !== pid) continue;
      try {
        fs.unlinkSync(path.join(dir, name));
        removed.push(path.join(dir, name));
      } catch {
        // already renamed or removed by its writer
      }
    }
  }
  return removed;
}

module.exports = {
  isPath, PATH_WANTED, fileBasename, csvPathIn, outputPathIn, fileKey, outputOverInput, outsideRoot, tempFileOwner, tempDirsOf, removeOwnTempFiles,
};
