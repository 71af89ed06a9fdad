// Loads the built addon in one place: ./build/addon.node, or the file named by KX_ADDON_PATH.
'use strict';
const path = require('node:path');

const addonPath = path.resolve(process.env.KX_ADDON_PATH || path.join(__dirname, '..', 'build', 'addon.node'));

module.exports = { addon: require(addonPath), addonPath };
