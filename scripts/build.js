#!/usr/bin/env node
// Configures (once) and builds the CMake project into ./build. Extra CMake cache settings
// can be given as arguments, e.g. `node scripts/build.js -DKX_SANITIZE=ON`.
'use strict';
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const buildDir = path.join(root, process.env.KX_BUILD_DIR || 'build');
const jobs = String(Math.max(1, os.availableParallelism ? os.availableParallelism() : os.cpus().length));

function run(cmd, args) {
  execFileSync(cmd, args, { stdio: 'inherit', cwd: root });
}

if (!fs.existsSync(path.join(buildDir, 'CMakeCache.txt')) || process.argv.length > 2) {
  run('cmake', ['-S', root, '-B', buildDir, '-DCMAKE_BUILD_TYPE=Release', ...process.argv.slice(2)]);
}
run('cmake', ['--build', buildDir, '-j', jobs]);
