#!/usr/bin/env node
// npm's install step: keep the addon that already loads (the prebuilt binary under prebuilds/
// or an earlier build), otherwise build it from source. npm_config_build_from_source=true
// (`npm install --build-from-source`) forces the build. node-gyp-build's own install command
// would run node-gyp, which knows no CMake project; its loader (lib/addon.js) is used here.
'use strict';
const { spawnSync } = require('node:child_process');
const path = require('node:path');

const root = path.resolve(__dirname, '..');

function addonLoads() {
  const env = { ...process.env };
  delete env.KX_ADDON_PATH;
  const r = spawnSync(process.execPath, ['-e', "require('./lib/addon.js')"], { cwd: root, env, encoding: 'utf8' });
  if (r.status !== 0 && /verbose|silly/.test(process.env.npm_config_loglevel || '')) process.stderr.write(r.stderr);
  return r.status === 0;
}

if (process.env.npm_config_build_from_source === 'true' || !addonLoads()) {
  const r = spawnSync(process.execPath, [path.join(__dirname, 'build.js'), '--addon'], { cwd: root, stdio: 'inherit' });
  process.exit(r.status === null ? 1 : r.status);
}
