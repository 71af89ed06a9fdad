// The argument contract of the five functions and of readData and writeParquet, checked in JavaScript so that the Promise API
// rejects exactly as the synchronous functions throw: counts before types, string primitives
// only, no NUL character in a path, extra arguments ignored.
'use strict';
const { types } = require('node:util');

// Per function: the kind of each needed argument. A path may not hold a NUL character (the file
// system would act on the text before it); a text ends at its first NUL, as the addon reads it.
const CONTRACT = {
  read: ['path', 'path'],
  readAndSync2: ['paths', 'path'],
  readConfig: ['path'],
  readConfigDeviceId: ['path'],
  writeConfig: ['path', 'text'],
  readData: ['path'],
  writeParquet: ['path', 'path'],
};

// The functions that take an options object { maxRows, orientation } after their arguments.
const LIMITED = new Set(['read', 'readAndSync2']);

const wrongCount = () => new TypeError('Wrong number of arguments');
const wrongArgs = () => new TypeError('Wrong arguments');

const isPath = (v) => typeof v === 'string' && !v.includes('\0');

// Answers the arguments to pass on (the needed ones, array elements copied), or throws the
// TypeError the addon would throw.
function checkArguments(name, args) {
  const kinds = CONTRACT[name];
  if (args.length < kinds.length) throw wrongCount();
  // Types first, in argument order; a proxy is not an array to the addon.
  for (let i = 0; i < kinds.length; i++) {
    const v = args[i];
    const ok = kinds[i] === 'paths' ? Array.isArray(v) && !types.isProxy(v) : typeof v === 'string';
    if (!ok) throw wrongArgs();
  }
  const out = [];
  for (let i = 0; i < kinds.length; i++) {
    const v = args[i];
    if (kinds[i] === 'paths') {
      const list = [];
      for (let k = 0; k < v.length; k++) {
        const element = v[k];
        if (!isPath(element)) throw wrongArgs();
        list.push(element);
      }
      out.push(list);
    } else {
      if (kinds[i] === 'path' && !isPath(v)) throw wrongArgs();
      out.push(v);
    }
  }
  // read and readAndSync2 take { maxRows, orientation } after their paths (checked by the addon).
  const options = args[kinds.length];
  if (LIMITED.has(name) && options !== null && typeof options === 'object') out.push({ maxRows: options.maxRows, orientation: options.orientation });
  return out;
}

// The orientation filters: the specified tracker (default) and the one that estimates the
// gyroscope's bias.
const ORIENTATIONS = ['specified', 'bias-corrected'];

// The options object of readData, writeParquet, report and batch: { orientation }. Answers
// what to hand the addon (undefined for the default), or throws a TypeError naming the option.
function orientationOptions(fn, options) {
  if (options === undefined) return undefined;
  if (options === null || typeof options !== 'object' || Array.isArray(options)) {
    throw new TypeError(`${fn}: options: expected an object, got ${options === null ? 'null' : typeof options}`);
  }
  const { orientation } = options;
  if (orientation === undefined) return undefined;
  if (!ORIENTATIONS.includes(orientation)) {
    throw new TypeError(`${fn}: options.orientation: expected one of ${ORIENTATIONS.map((o) => `'${o}'`).join(', ')}, got ${JSON.stringify(orientation)}`);
  }
  return { orientation };
}

// The row limit of an options object: undefined or a positive integer, else a TypeError naming
// the option.
function checkMaxRows(fn, maxRows) {
  if (maxRows !== undefined && !(Number.isSafeInteger(maxRows) && maxRows >= 1)) {
    throw new TypeError(`${fn}: options.maxRows: expected a positive integer, got ${String(maxRows)}`);
  }
}

module.exports = { CONTRACT, checkArguments, ORIENTATIONS, orientationOptions, checkMaxRows };
