#!/usr/bin/env node
// The main job on the bundled example: prints each recording's configuration.
'use strict';
const path = require('node:path');
const addon = require('../index.js');

const data = path.join(__dirname, 'data');
for (const name of ['left.bin', 'right.bin']) {
  const file = path.join(data, name);
  console.log(`${name}: readConfig ${addon.readConfig(file)}`);
  console.log(`${name}: readConfigDeviceId ${addon.readConfigDeviceId(file)}`);
}
