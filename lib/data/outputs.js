// Output sets over the addon's one output path: every file of a set is staged beside its target,
// refused when it is one of the inputs (links followed), and all are put in place or none.
'use strict';

// Opens paths as one set: { order, write(i, bytes), commit(), close() }, or { code, path } when
// refused (KX_OUTPUT_IS_INPUT, KX_OPEN_FAILED). Contents go in `order` (targets that are staged
// first); write answers false once a write of member i failed, commit false unless all went in.
// close() abandons an uncommitted set, leaving every target as it was.
function openOutputs(addon, paths, inputs) {
  const opened = addon._openOutputs(paths, inputs);
  if (opened.handle === undefined) return { code: opened.code, path: opened.path };
  let handle = opened.handle;
  const live = () => {
    if (handle === null) throw new Error('the output set is closed');
    return handle;
  };
  return {
    order: opened.order,
    write: (i, bytes) => addon._writeOutput(live(), i, bytes),
    commit() {
      const ok = addon._commitOutputs(live());
      handle = null;
      return ok;
    },
    close() {
      if (handle !== null) addon._closeOutputs(handle);
      handle = null;
    },
  };
}

// Writes whole files (contents[i], a typed array or Buffer, to paths[i]) as one set. Answers
// { code: 'OK' }, or { code, path } naming the file: KX_OUTPUT_IS_INPUT and KX_OPEN_FAILED
// before any target is touched, KX_WRITE_FAILED with every target as it was (naming the first
// file when the set failed as it was put in place).
function writeFiles(addon, paths, contents, inputs) {
  if (!Array.isArray(contents) || contents.length !== paths.length || !contents.every((c) => ArrayBuffer.isView(c))) {
    throw new TypeError('writeFiles: contents: expected one typed array per path');
  }
  const set = openOutputs(addon, paths, inputs);
  if (set.code !== undefined) return set;
  try {
    for (const i of set.order) {
      if (!set.write(i, contents[i])) return { code: 'KX_WRITE_FAILED', path: paths[i] };
    }
    return set.commit() ? { code: 'OK' } : { code: 'KX_WRITE_FAILED', path: paths[0] };
  } finally {
    set.close();
  }
}

module.exports = { openOutputs, writeFiles };
