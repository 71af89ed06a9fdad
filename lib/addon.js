// Loads the addon in one place: the file named by KX_ADDON_PATH; else build/addon.node, which a
// build in this directory writes (a development clone, or an install that built from source);
// else the prebuilt binary for this platform under prebuilds/, chosen by node-gyp-build.
'use strict';
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');

function locate() {
  if (process.env.KX_ADDON_PATH) return path.resolve(process.env.KX_ADDON_PATH);
  const built = path.join(root, 'build', 'addon.node');
  if (fs.existsSync(built)) return built;
  return require('node-gyp-build').path(root);
}

const addonPath = locate();

module.exports = { addon: require(addonPath), addonPath };
