// The report page as one HTML text: styles, uPlot, the page script and the data inlined, so
// that the file opens offline and makes no request.
'use strict';
const fs = require('node:fs');
const path = require('node:path');

// uPlot's distributed files, read from the installed package when a page is made.
function uplotFiles() {
  const dist = path.join(path.dirname(require.resolve('uplot/package.json')), 'dist');
  return {
    script: fs.readFileSync(path.join(dist, 'uPlot.iife.min.js'), 'utf8'),
    style: fs.readFileSync(path.join(dist, 'uPlot.min.css'), 'utf8'),
  };
}

const { clock } = require('./data.js');

const clockText = (t) => clock(t, true);
const escapeHtml = (text) => String(text).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);
// Inside a script element only "</script" (any case) and "<!--" can end or disturb it.
const inScript = (text) => text.replace(/<\/(script)/gi, '<\\/$1').replace(/<!--/g, '<\\!--');
// JSON whose text holds no "<", so no tag can end the element holding it.
const jsonInScript = (value) => JSON.stringify(value, (k, v) => (typeof v === 'number' && !Number.isInteger(v) ? Number(v.toPrecision(7)) : v)).replace(/</g, '\\u003c');

const STYLE = `
body { font: 14px/1.4 system-ui, sans-serif; margin: 16px 24px; color: #222; background: #fff; }
h1 { font-size: 20px; margin: 0 0 8px; }
h2 { font-size: 14px; margin: 12px 0 2px; }
.kx-devices { display: flex; flex-wrap: wrap; gap: 12px; }
.kx-device { border: 1px solid #ccc; border-left: 6px solid var(--colour); border-radius: 4px; padding: 8px 12px; min-width: 320px; flex: 1; }
.kx-device table { border-collapse: collapse; }
.kx-device th { text-align: left; font-weight: 600; padding: 1px 12px 1px 0; white-space: nowrap; vertical-align: top; }
.kx-device td { padding: 1px 0; }
.kx-warnings { margin: 6px 0 0; padding-left: 18px; color: #8a2c00; }
.kx-ok { color: #2a6a2a; margin: 6px 0 0; }
.kx-bar { position: sticky; top: 0; background: #fff; padding: 6px 0; border-bottom: 1px solid #ddd; z-index: 10; }
.kx-bar button { font: inherit; margin-right: 4px; }
.kx-help { color: #555; font-size: 13px; margin: 4px 0 0; }
.kx-plot .u-legend { font-size: 12px; }
#kx-plots { display: grid; gap: 12px; }
.kx-tip { position: absolute; background: #fffbe6; border: 1px solid #aaa; padding: 2px 6px; font-size: 12px; pointer-events: none; z-index: 20; }
.kx-layout { margin-left: 16px; }
`;

// The page for a model made by data.js's pageModel.
function pageHtml(model, title) {
  const u = uplotFiles();
  const devices = model.devices.map((d) => `
<div class="kx-device" style="--colour: ${escapeHtml(d.colour)}">
<table>${d.facts.map(([k, v]) => `<tr><th>${escapeHtml(k)}</th><td>${escapeHtml(v)}</td></tr>`).join('')}</table>
${d.warnings.length ? `<ul class="kx-warnings">${d.warnings.map((w) => `<li>${escapeHtml(w)}</li>`).join('')}</ul>` : '<p class="kx-ok">Nothing looks wrong: no gaps, no clipping, every stream runs to the end, orientation computed.</p>'}
</div>`).join('');
  let envelopeHelp = '';
  if (model.serve) envelopeHelp = ' Zoomed in, the page asks the running command for the samples of the window it shows (every sample once the window holds few enough).';
  else if (model.enveloped) envelopeHelp = ` A plot shows the envelope (the shaded band between each column's smallest and largest sample, so no spike is lost), finer as you zoom in, not the single samples; to see them, make a page of a window (view --from and --to, up to ${model.sampleBudget} samples a stream) or serve the page (view --serve).`;
  const layoutSwitch = model.devices.length > 1
    ? '<span class="kx-layout">Devices: <label><input type="radio" name="kx-layout" value="overlay" checked> overlaid, one plot per axis</label> <label><input type="radio" name="kx-layout" value="columns"> one column each</label></span>'
    : '';
  const windowNote = model.window ? `<p>Window ${escapeHtml(model.window.map((t) => clockText(t)).join(' to '))} of the recording${model.devices.length > 1 ? 's' : ''}: facts and warnings describe the samples in it.</p>` : '';
  return `<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:${model.serve ? "; connect-src 'self'" : ''}">
<title>${escapeHtml(title)}</title>
<style>${inScript(u.style)}${STYLE}</style>
</head>
<body>
<h1>${escapeHtml(title)}</h1>
${windowNote}${model.synchronised ? '<p>Synchronised: every device is drawn on the common time base of the set, cut to the window all of them recorded.</p>' : ''}
<div class="kx-devices">${devices}</div>
<div class="kx-bar">
<button id="kx-left" title="pan left (←)">◀</button><button id="kx-right" title="pan right (→)">▶</button>
<button id="kx-in" title="zoom in (+)">+</button><button id="kx-out" title="zoom out (−)">−</button>
<button id="kx-reset" title="whole recording (Esc)">Whole recording</button>
<span id="kx-window"></span>${layoutSwitch}
<p class="kx-help" id="kx-help">Drag across a plot to zoom in; the mouse wheel zooms around the pointer, Shift+wheel or the arrow keys pan, a double click or Esc shows everything again; every plot follows. Dashed lines mark a few events; many are ticks in a strip under the time axis, their values shown on hover. Time is h:mm:ss from the start of the time base. Resolution: ${escapeHtml(model.resolution)}.${envelopeHelp} <span id="kx-shown"></span></p>
</div>
<div id="kx-plots"></div>
<script type="application/json" id="kx-data">${jsonInScript(model)}</script>
<script>${inScript(u.script)}</script>
<script>${inScript(fs.readFileSync(path.join(__dirname, 'client.js'), 'utf8'))}</script>
</body>
</html>
`;
}

module.exports = { pageHtml };
