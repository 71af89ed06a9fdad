// The package as a user gets it: `npm pack` of this clone, then the tarball installed into
// fresh projects. The first install runs on a PATH with node, npm and a shell and no build tool,
// so it must use the prebuilt binary; the second is forced to build from source and must do so
// without the test suites. Both must convert the bundled example to the same bytes as the
// development build. Takes a minute or two: the packing step and the second install compile.
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { addon: devAddon } = require('../../lib/addon.js');

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

    const packed = run(npmCli, ['pack', '--json', '--pack-destination', work], { cwd: root, env: userEnv({}) });
    // The packing step's build log comes first on standard output, then npm's JSON.
    const [info] = JSON.parse(packed.stdout.slice(packed.stdout.search(/^\[\s*\{/m)));
    const tarball = path.join(work, info.filename);
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
