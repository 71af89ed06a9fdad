#!/usr/bin/env node
// Builds the prebuilt addons into prebuilds/<platform>-<arch>/, the layout and names of
// prebuildify that node-gyp-build loads. One Node-API binary serves every Node.js and Electron
// runtime ("napi"); Linux binaries are tagged with the C library they need.
//   node scripts/prebuild.js          the binary for this machine only
//   node scripts/prebuild.js --all    (npm run prebuild:all, run by npm pack) on Linux x64 also
//                                     Linux arm64 and Windows x64, cross-built
// A target whose compiler is missing stops the build with the Debian packages to install, unless
// KX_PREBUILD_SKIP_MISSING=1, which leaves it out with a warning (a tarball without it then
// builds from source there, or cannot install on Windows).
'use strict';
const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const root = path.resolve(__dirname, '..');

function onPath(tool) {
  return spawnSync('sh', ['-c', `command -v ${tool}`], { stdio: 'ignore' }).status === 0;
}

// The Linux builds here link libstdc++ and libgcc statically and pin glibc to 2.28
// (KX_PREBUILT): one binary for RHEL/Rocky 8, Debian 10 and every newer glibc system.
const CROSS = [
  {
    name: 'linux-x64',
    file: 'node.napi.glibc.node',
    compiler: 'g++',
    packages: 'g++',
    cmake: ['-DKX_PREBUILT=ON'],
  },
  {
    name: 'linux-arm64',
    file: 'node.napi.glibc.node',
    compiler: 'aarch64-linux-gnu-g++',
    packages: 'g++-aarch64-linux-gnu libc6-arm64-cross',
    cmake: ['-DKX_PREBUILT=ON', `-DCMAKE_TOOLCHAIN_FILE=${path.join(root, 'cmake', 'aarch64-linux-gnu.cmake')}`],
  },
  {
    name: 'win32-x64',
    file: 'node.napi.node',
    compiler: 'x86_64-w64-mingw32-g++-posix',
    packages: 'g++-mingw-w64-x86-64-posix',
    cmake: ['-DKX_PREBUILT=ON', `-DCMAKE_TOOLCHAIN_FILE=${path.join(root, 'cmake', 'x86_64-w64-mingw32.cmake')}`],
  },
];

function targets(all) {
  const here = `${os.platform()}-${os.arch()}`;
  if (here === 'linux-x64') return all ? CROSS : CROSS.slice(0, 1);
  // Elsewhere (macOS, a Linux arm64 machine): the plain build for this machine.
  const file = os.platform() === 'linux' ? 'node.napi.glibc.node' : 'node.napi.node';
  return [{ name: here, file, compiler: null, cmake: [] }];
}

function build(target) {
  const buildDir = path.join(root, 'build-prebuild', target.name);
  execFileSync(process.execPath, [path.join(__dirname, 'build.js'), '--addon', ...target.cmake], {
    cwd: root,
    stdio: 'inherit',
    env: { ...process.env, KX_BUILD_DIR: buildDir },
  });
  const dir = path.join(root, 'prebuilds', target.name);
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir, { recursive: true });
  const out = path.join(dir, target.file);
  fs.copyFileSync(path.join(buildDir, 'addon.node'), out);
  console.log(`prebuilt addon: ${path.relative(root, out)} (${fs.statSync(out).size} bytes)`);
}

const chosen = targets(process.argv.includes('--all'));
const missing = chosen.filter((t) => t.compiler && !onPath(t.compiler));
if (missing.length > 0 && process.env.KX_PREBUILD_SKIP_MISSING !== '1') {
  console.error(`prebuild: no compiler for ${missing.map((t) => t.name).join(', ')}; install the Debian packages ` +
    `${missing.map((t) => t.packages).join(' ')} (or set KX_PREBUILD_SKIP_MISSING=1 to leave them out)`);
  process.exit(1);
}
for (const t of missing) {
  // An older binary left there would be packed as if it were this version's.
  fs.rmSync(path.join(root, 'prebuilds', t.name), { recursive: true, force: true });
  console.warn(`prebuild: WARNING: ${t.name} left out, ${t.compiler} not found`);
}
for (const t of chosen) if (!missing.includes(t)) build(t);
