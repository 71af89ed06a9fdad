// The Promise API: the five functions run in the worker pool, with the synchronous functions'
// argument contract checked before dispatch so that errors reject with the same TypeErrors.
'use strict';
const { CONTRACT, checkArguments, orientationOptions } = require('../contract.js');

// Functions that take an options object after their arguments. read and readAndSync2 ignore
// anything but an object there, as the addon does.
const TAKES_OPTIONS = { read: 'object', readAndSync2: 'object', readData: 'any', writeParquet: 'any' };

const WITH_OPTIONS = new Set(['readData', 'writeParquet']);

// Builds the five functions over a pool getter (the pool is made on first use).
function makePromises(getPool) {
  const api = {};
  for (const name of Object.keys(CONTRACT)) {
    const fn = {
      async [name](...args) {
        const checked = checkArguments(name, args);
        const options = args[CONTRACT[name].length];
        const wanted = TAKES_OPTIONS[name] === 'any' || (TAKES_OPTIONS[name] === 'object' && options !== null && typeof options === 'object');
        // An unknown filter is refused before dispatch, as the synchronous functions refuse it.
        if (wanted) orientationOptions(name, options);
        // readData and writeParquet take an options object after their paths; read and
        // readAndSync2 already carry theirs (see checkArguments).
        if (WITH_OPTIONS.has(name) && args[checked.length] !== undefined) checked.push(args[checked.length]);
        return getPool().run(name, checked);
      },
    }[name];
    api[name] = fn;
  }
  return Object.freeze(api);
}

module.exports = { makePromises };
