// The Promise API: the five functions run in the worker pool, with the synchronous functions'
// argument contract checked before dispatch so that errors reject with the same TypeErrors.
'use strict';
const { CONTRACT, checkArguments } = require('../contract.js');

// Builds the five functions over a pool getter (the pool is made on first use).
function makePromises(getPool) {
  const api = {};
  for (const name of Object.keys(CONTRACT)) {
    const fn = {
      async [name](...args) {
        const checked = checkArguments(name, args);
        return getPool().run(name, checked);
      },
    }[name];
    api[name] = fn;
  }
  return Object.freeze(api);
}

module.exports = { makePromises };
