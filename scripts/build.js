#!/usr/bin/env node
// Configures (once) and builds the CMake project into ./build (or $KX_BUILD_DIR). Extra CMake
// cache settings can be given as arguments, e.g. `node scripts/build.js -DKX_SANITIZE=ON`.
// `--addon` builds the addon alone in Release with the test suites off: the build a user's
// install runs, which needs CMake and a C++17 compiler and nothing outside the package.
'use strict';
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const buildDir = path.resolve(root, process.env.KX_BUILD_DIR || 'build');
const jobs = String(Math.max(1, os.availableParallelism ? os.availableParallelism() : os.cpus().length));

function run(cmd, args) {
  execFileSync(cmd, args, { stdio: 'inherit', cwd: root });
}

const addonOnly = process.argv.includes('--addon');
const defines = process.argv.slice(2).filter((a) => a !== '--addon');
if (addonOnly) defines.push('-DKX_BUILD_TESTS=OFF', '-DKX_SANITIZE=OFF', '-DKX_FUZZ=OFF', '-DKX_BUILD_ADDON=ON');

if (!fs.existsSync(path.join(buildDir, 'CMakeCache.txt')) || defines.length > 0) {
  run('cmake', ['-S', root, '-B', buildDir, '-DCMAKE_BUILD_TYPE=Release', ...defines]);
}
run('cmake', ['--build', buildDir, '-j', jobs, ...(addonOnly ? ['--target', 'addon'] : [])]);
