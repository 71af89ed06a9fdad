// Package entry: loads the built addon in one place and re-exports it.
'use strict';
const path = require('node:path');

const addonPath = process.env.KX_ADDON_PATH || path.join(__dirname, 'build', 'addon.node');
module.exports = require(addonPath);
