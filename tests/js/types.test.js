// The type declarations compile against a typed use of every export (tsc --noEmit), and declare
// exactly what the package exports.
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');

function findTsc() {
  try {
    return require.resolve('typescript/bin/tsc', { paths: [root] });
  } catch {
    return null;
  }
}

const tsc = findTsc();

test('tests/types/example.ts compiles with the declarations', { skip: tsc ? false : 'typescript is not installed (run npm install for the development dependencies)' }, () => {
  const r = spawnSync(process.execPath, [tsc, '-p', path.join(root, 'tests', 'types', 'tsconfig.json')], { encoding: 'utf8' });
  assert.equal(r.status, 0, `tsc reported:\n${r.stdout}${r.stderr}`);
});

test('every export is declared, and every declared value is exported', () => {
  const kx = require('../../index.js');
  const dts = fs.readFileSync(path.join(root, 'index.d.ts'), 'utf8');
  const declared = [...dts.matchAll(/^export (?:function|const) (\w+)/gm)].map((m) => m[1]);
  assert.deepEqual([...new Set(declared)].sort(), Object.keys(kx).sort());
  const promiseApi = dts.slice(dts.indexOf('export interface PromiseAPI'), dts.indexOf('export const promises'));
  assert.deepEqual([...promiseApi.matchAll(/^ {2}(\w+)\(/gm)].map((m) => m[1]).sort(), Object.keys(kx.promises).sort());
});
