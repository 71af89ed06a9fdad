#!/usr/bin/env node
// npm's prepack step: builds the addon alone in Release in its own build directory and copies it
// to prebuilds/<platform>-<arch>/, the layout node-gyp-build loads, so the packed tarball
// carries a binary for the platform it was packed on. One Node-API binary serves every Node.js
// and Electron runtime ("napi"); on Linux it is tagged with the C library it was built against.
'use strict';
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const buildDir = path.join(root, 'build-prebuild');

execFileSync(process.execPath, [path.join(__dirname, 'build.js'), '--addon'], {
  cwd: root,
  stdio: 'inherit',
  env: { ...process.env, KX_BUILD_DIR: buildDir },
});

const tags = ['node', 'napi', ...(os.platform() === 'linux' ? ['glibc'] : []), 'node'];
const dir = path.join(root, 'prebuilds', `${os.platform()}-${os.arch()}`);
fs.rmSync(dir, { recursive: true, force: true });
fs.mkdirSync(dir, { recursive: true });
const target = path.join(dir, tags.join('.'));
fs.copyFileSync(path.join(buildDir, 'addon.node'), target);
console.log(`prebuilt addon: ${path.relative(root, target)}`);
