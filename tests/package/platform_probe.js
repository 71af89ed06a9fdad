// Run by the node of another platform (under qemu-user or wine): loads one addon binary, converts
// the bundled example with the five functions and writes every answer and table into the output
// folder, which the package test compares byte by byte with the development build's. Results go
// to files only: node.exe under wine cannot write to a pipe. Plain ES2020, no package needed.
'use strict';
const fs = require('fs');
const path = require('path');

const [addonPath, dataDir, outDir] = process.argv.slice(2);
try {
  const kx = require(addonPath);
  const set = JSON.parse(fs.readFileSync(path.join(dataDir, 'set.json'), 'utf8'));
  const answers = {};
  // A temporary file of a process that no longer exists: the first write into the folder removes it.
  const stale = path.join(outDir, '.kx-999999-ABCDEF.tmp');
  fs.writeFileSync(stale, 'left by a killed process');
  for (const d of set.devices) {
    const file = path.join(dataDir, d.recording);
    answers[d.recording] = {
      deviceId: kx.readConfigDeviceId(file),
      config: kx.readConfig(file),
      read: kx.read(file, path.join(outDir, `${d.name}.csv`)),
    };
  }
  fs.mkdirSync(path.join(outDir, 'sync'));
  answers.sync = kx.readAndSync2(set.devices.map((d) => path.join(dataDir, d.recording)), path.join(outDir, 'sync'));
  // A second write over an existing table goes through the replace path of the output file.
  answers.writeConfig = kx.writeConfig(path.join(outDir, 'config.bin'), 'baro,25:device,12,1,2');
  answers.writeConfigAgain = kx.writeConfig(path.join(outDir, 'config.bin'), 'baro,50:device,12,1,2');
  // A file with a second name is written in place: both names see the new content.
  fs.linkSync(path.join(outDir, 'config.bin'), path.join(outDir, 'config-link.bin'));
  answers.writeConfigLinked = kx.writeConfig(path.join(outDir, 'config.bin'), 'baro,100:device,12,1,2');
  answers.linkSeesIt = fs.readFileSync(path.join(outDir, 'config-link.bin')).equals(fs.readFileSync(path.join(outDir, 'config.bin')));
  answers.staleRemoved = !fs.existsSync(stale);
  answers.leftovers = fs.readdirSync(outDir).filter((f) => f.endsWith('.tmp'));
  fs.writeFileSync(path.join(outDir, 'answers.json'), `${JSON.stringify(answers, null, 1)}\n`);
} catch (e) {
  fs.writeFileSync(path.join(outDir, 'error.txt'), String(e && e.stack ? e.stack : e));
  process.exitCode = 1;
}
