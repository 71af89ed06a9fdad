// The report page's script, run by the browser: draws the plots of the inlined model with
// uPlot, keeps their time axes together, draws finer envelopes (or, on a served page, the
// samples asked of the command) as the zoom narrows, and marks the events.
/* global uPlot */
(function () {
  'use strict';
  const model = JSON.parse(document.getElementById('kx-data').textContent);
  const [spanMin, spanMax] = model.span;
  // At most this many events are drawn as lines across the plots; more become a strip of ticks.
  const EVENT_LINES = 12;
  const STRIP_PX = 12;
  const AXIS_PX = 40;
  let plots = [];

  // Seconds from the start of the time base as h:mm:ss, with as many decimals as the zoom needs
  // (rounded first, so that 59.96 s never reads 0:00:60.0).
  function clock(seconds, decimals) {
    const sign = seconds < 0 ? '-' : '';
    const scale = 10 ** decimals;
    const units = Math.round(Math.abs(seconds) * scale);
    const whole = Math.floor(units / scale);
    const h = Math.floor(whole / 3600);
    const m = Math.floor((whole % 3600) / 60);
    let text = `${sign}${h}:${String(m).padStart(2, '0')}:${String(whole % 60).padStart(2, '0')}`;
    if (decimals > 0) text += `.${String(units % scale).padStart(decimals, '0')}`;
    return text;
  }

  // Decimals the tick step needs: none for whole seconds, down to milliseconds.
  const stepDecimals = (step) => (step >= 0.999 ? 0 : step >= 0.099 ? 1 : step >= 0.0099 ? 2 : 3);

  // Base64 of little-endian floats as an array, NaN (nothing sampled) as null: a break.
  function floats(text, Type) {
    const bin = atob(text);
    const bytes = new Uint8Array(bin.length);
    for (let i = 0; i < bin.length; i++) bytes[i] = bin.charCodeAt(i);
    const typed = new Type(bytes.buffer);
    const out = new Array(typed.length);
    for (let i = 0; i < typed.length; i++) out[i] = Number.isNaN(typed[i]) ? null : typed[i];
    return out;
  }

  // The drawn data of a model or a served window, decoded once: per device and plot either
  // { raw: { x, y: [] } } or { levels: [{ t0, step, min: [], max: [] }] }.
  function decode(answer) {
    return answer.data.map((plotsOf) => {
      const out = {};
      for (const [id, p] of Object.entries(plotsOf)) {
        out[id] = p.raw
          ? { raw: { x: floats(p.raw.x, Float64Array), y: p.raw.y.map((y) => floats(y, Float32Array)) } }
          : { levels: p.levels.map((l) => ({ t0: answer.grid.t0, step: l.step, min: l.min.map((a) => floats(a, Float32Array)), max: l.max.map((a) => floats(a, Float32Array)) })) };
      }
      return out;
    });
  }
  const pageData = decode(model);
  // The last window the command answered (served pages): { from, to, data }.
  let served = null;

  const events = model.events.slice().sort((a, b) => a[0] - b[0]);
  // Index of the first event at or after t.
  function eventAt(t) {
    let lo = 0;
    let hi = events.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (events[mid][0] < t) lo = mid + 1;
      else hi = mid;
    }
    return lo;
  }

  // The plots of the page, as views: each lists its lines (device, plot, component).
  const several = model.devices.length > 1;
  let layout = several ? 'overlay' : 'single';
  function viewsOf(mode) {
    const views = [];
    if (mode === 'overlay') {
      // One plot per axis, the devices overlaid in their colours.
      for (const p of model.plots) {
        p.components.forEach((c, j) => {
          const lines = model.devices.map((d, di) => ({ device: di, plot: p.id, component: j, label: d.name, colour: d.colour, circular: p.circular[j] }))
            .filter((l) => pageData[l.device][p.id]);
          if (lines.length) views.push({ id: p.components.length > 1 ? `${p.id}-${c}` : p.id, title: p.components.length > 1 ? `${p.title} ${c}` : p.title, unit: p.unit, lines, column: 0 });
        });
      }
      return views;
    }
    // One plot per sensor, its components in their hues; one column of them per device.
    model.devices.forEach((d, di) => {
      for (const p of model.plots) {
        if (!pageData[di][p.id]) continue;
        const lines = p.components.map((c, j) => ({
          device: di, plot: p.id, component: j, label: c, circular: p.circular[j],
          colour: p.components.length === 1 ? (several ? d.colour : model.devices[0].colour) : model.componentColours[j],
        }));
        views.push({ id: several ? `${p.id}@${di}` : p.id, title: several ? `${d.name}: ${p.title}` : p.title, unit: p.unit, lines, column: di });
      }
    });
    return views;
  }

  // Where a line's points come from at the window [min, max] drawn across `pixels`: the
  // served window when it covers this one and is finer, else the page's samples, else the
  // coarsest envelope level with at least one column per pixel.
  function sourceOf(line, min, max, pixels) {
    const wanted = (max - min) / pixels;
    const fromServed = served && served.from <= min && served.to >= max ? served.data[line.device][line.plot] : null;
    const own = pageData[line.device][line.plot];
    if (own.raw) return { raw: own.raw, kind: 'every sample' };
    let pick = own.levels[0];
    for (const l of own.levels) if (l.step <= wanted) pick = l;
    if (fromServed && (fromServed.raw || fromServed.levels[0].step < pick.step)) {
      return fromServed.raw ? { raw: fromServed.raw, kind: 'every sample' } : { level: fromServed.levels[0], kind: 'served' };
    }
    return { level: pick, kind: 'envelope' };
  }

  // A line's table for uPlot: [x, y] or [x, min, max] over the window (with a point either
  // side), broken where a circular angle wraps at ±180°.
  function tableOf(line, min, max, pixels) {
    const src = sourceOf(line, min, max, pixels);
    const x = [];
    // A line drawn as a band keeps its two series when samples replace the envelope.
    const pairs = line.band !== undefined ? line.band : !src.raw;
    const ys = pairs ? [[], []] : [[]];
    // A circular angle is unwrapped along the window (each point moved by whole turns next to
    // the one before), so its wrap at ±180° draws no jump across the plot; past one and a half
    // turns it is moved back and broken there.
    let lastMid = null;
    let turns = 0;
    const push = (t, vals) => {
      if (line.circular && vals[0] !== null) {
        const mid = vals.length === 1 ? vals[0] : (vals[0] + vals[1]) / 2;
        if (lastMid !== null) {
          while (mid + turns - lastMid > 180) turns -= 360;
          while (mid + turns - lastMid < -180) turns += 360;
          if (Math.abs(mid + turns) > 540) {
            turns = 0;
            x.push(t - 1e-9);
            for (const y of ys) y.push(null);
          }
        }
        lastMid = mid + turns;
        vals = vals.map((v) => v + turns);
      }
      x.push(t);
      vals.forEach((v, k) => ys[k].push(v));
    };
    if (src.raw) {
      const { x: rx, y } = src.raw;
      const values = y[line.component];
      let i = Math.max(0, lowerBound(rx, min) - 1);
      const end = Math.min(rx.length, lowerBound(rx, max) + 1);
      for (; i < end; i++) push(rx[i], pairs ? [values[i], values[i]] : [values[i]]);
    } else {
      const l = src.level;
      const lo = l.min[line.component];
      const hi = l.max[line.component];
      const first = Math.max(0, Math.floor((min - l.t0) / l.step) - 1);
      const last = Math.min(lo.length, Math.ceil((max - l.t0) / l.step) + 1);
      for (let c = first; c < last; c++) push(l.t0 + (c + 0.5) * l.step, [lo[c], hi[c]]);
    }
    return { table: [x, ...ys], kind: src.kind, step: src.level ? src.level.step : 0 };
  }

  function lowerBound(a, t) {
    let lo = 0;
    let hi = a.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (a[mid] < t) lo = mid + 1;
      else hi = mid;
    }
    return lo;
  }

  // uPlot's data of a view at the window: its lines' tables joined on one x.
  function dataOf(u, min, max) {
    const pixels = Math.max(100, u.bbox.width / (window.devicePixelRatio || 1));
    const tables = u.kxView.lines.map((line) => tableOf(line, min, max, pixels));
    u.kxStep = Math.max(...tables.map((t) => t.step));
    u.kxKind = tables.some((t) => t.kind !== 'every sample') ? tables.find((t) => t.kind !== 'every sample').kind : 'every sample';
    const data = tables.length === 1 ? tables[0].table : uPlot.join(tables.map((t) => t.table));
    return data;
  }

  // Every plot follows the zoom of the one the user moved, and its points are redrawn at the
  // resolution the new window needs.
  let syncing = false;
  let refreshQueued = false;
  function followZoom(source) {
    if (syncing) return;
    syncing = true;
    const { min, max } = source.scales.x;
    for (const p of plots) if (p !== source) p.setScale('x', { min, max });
    syncing = false;
    document.getElementById('kx-window').textContent = `${clock(min, 1)} to ${clock(max, 1)}`;
    if (!refreshQueued) {
      refreshQueued = true;
      setTimeout(refresh, 0);
    }
  }

  function refresh() {
    refreshQueued = false;
    if (plots.length === 0) return;
    const { min, max } = plots[0].scales.x;
    syncing = true;
    for (const u of plots) {
      u.setData(dataOf(u, min, max), false);
      // Setting the window again fits the value axis to what it shows.
      u.setScale('x', { min, max });
    }
    syncing = false;
    const kinds = new Set(plots.map((u) => u.kxKind));
    const finest = Math.min(...plots.map((u) => u.kxStep).filter((s) => s > 0));
    document.getElementById('kx-shown').textContent = kinds.size === 1 && kinds.has('every sample')
      ? 'Shown: every sample.'
      : `Shown: envelopes of one column per ${finest < 1 ? `${Math.round(finest * 1000)} ms` : `${finest.toFixed(1)} s`}${kinds.has('served') ? ', asked of the command for this window' : ''}.`;
    if (model.serve) askWindow(min, max);
  }

  // Served pages: the samples of the visible window, asked once the zoom rests.
  let asking = null;
  let askTimer = null;
  function askWindow(min, max) {
    if (served && served.from <= min && served.to >= max && plots.every((u) => u.kxKind !== 'envelope')) return;
    clearTimeout(askTimer);
    askTimer = setTimeout(() => {
      const width = max - min;
      const from = Math.max(spanMin, min - width / 2);
      const to = Math.min(spanMax, max + width / 2);
      const columns = Math.round(2 * plots[0].bbox.width / (window.devicePixelRatio || 1) * (to - from) / width);
      const url = `window?token=${encodeURIComponent(model.serve.token)}&from=${from}&to=${to}&columns=${columns}`;
      const mine = (asking = url);
      document.body.dataset.asking = 'true';
      fetch(url).then((r) => {
        if (!r.ok) throw new Error(`the command answered ${r.status}`);
        return r.json();
      }).then((answer) => {
        if (mine !== asking) return;
        served = { from: answer.span[0], to: answer.span[1], data: decode(answer) };
        delete document.body.dataset.asking;
        refresh();
      }).catch((err) => {
        delete document.body.dataset.asking;
        document.getElementById('kx-shown').textContent = `The command did not answer (${err.message}): is view --serve still running?`;
      });
    }, 150);
  }

  function setWindow(min, max) {
    const width = Math.min(max - min, spanMax - spanMin);
    if (min < spanMin) min = spanMin;
    if (min + width > spanMax) min = spanMax - width;
    plots[0].setScale('x', { min, max: min + width });
  }

  function zoomAround(u, centre, factor) {
    const { min, max } = u.scales.x;
    setWindow(centre - (centre - min) * factor, centre + (max - centre) * factor);
  }

  function pan(fraction) {
    const { min, max } = plots[0].scales.x;
    const d = (max - min) * fraction;
    setWindow(min + d, max + d);
  }

  const eventLabel = (e) => `E${several ? ` ${model.devices[e[2]].name}` : ''}: ${e[1]}`;
  const eventColour = (e) => (several ? model.devices[e[2]].colour : '#555');

  // Events: a handful as dashed lines across the plot, labelled where a label fits beside the
  // ones already placed; more as a strip of ticks under the time axis, their values on hover.
  function drawEvents(u) {
    const { ctx } = u;
    const { left, top, width, height } = u.bbox;
    const dpr = window.devicePixelRatio || 1;
    const { min, max } = u.scales.x;
    const first = eventAt(min);
    const last = eventAt(max + 1e-9);
    u.kxLabels = [];
    u.kxEventMode = last - first > EVENT_LINES ? 'strip' : 'lines';
    if (last === first) return;
    ctx.save();
    if (u.kxEventMode === 'strip') {
      const y = top + height + AXIS_PX * dpr;
      ctx.fillStyle = '#f4f4f4';
      ctx.fillRect(left, y, width, STRIP_PX * dpr);
      ctx.lineWidth = dpr;
      for (let i = first; i < last; i++) {
        const x = Math.round(u.valToPos(events[i][0], 'x', true)) + 0.5;
        ctx.strokeStyle = eventColour(events[i]);
        ctx.beginPath();
        ctx.moveTo(x, y);
        ctx.lineTo(x, y + STRIP_PX * dpr);
        ctx.stroke();
      }
      ctx.restore();
      return;
    }
    ctx.beginPath();
    ctx.rect(left, top, width, height);
    ctx.clip();
    ctx.lineWidth = 1.5 * dpr;
    ctx.setLineDash([4 * dpr, 3 * dpr]);
    ctx.font = `${11 * dpr}px sans-serif`;
    // uPlot leaves the alignment of its last axis labels on the context.
    ctx.textAlign = 'left';
    ctx.textBaseline = 'alphabetic';
    const rows = [-Infinity, -Infinity, -Infinity];
    for (let i = first; i < last; i++) {
      const e = events[i];
      const x = Math.round(u.valToPos(e[0], 'x', true));
      ctx.strokeStyle = eventColour(e);
      ctx.beginPath();
      ctx.moveTo(x, top);
      ctx.lineTo(x, top + height);
      ctx.stroke();
      // A label goes to the first row where it clears the last label; with none free, it is left
      // to the hover.
      const text = eventLabel(e);
      const w = ctx.measureText(text).width;
      const row = rows.findIndex((end) => x + 3 * dpr > end + 4 * dpr);
      if (row < 0) continue;
      rows[row] = x + 3 * dpr + w;
      ctx.fillStyle = eventColour(e);
      const y = top + (12 + 13 * row) * dpr;
      ctx.fillText(text, x + 3 * dpr, y);
      u.kxLabels.push({ left: (x + 3 * dpr) / dpr, right: (x + 3 * dpr + w) / dpr, top: y / dpr - 11, bottom: y / dpr + 2 });
    }
    ctx.restore();
  }

  // The event nearest the pointer in the strip or on a line, within a few pixels, as a tooltip.
  const tip = document.createElement('div');
  tip.className = 'kx-tip';
  tip.hidden = true;
  document.body.appendChild(tip);
  function hoverEvent(u, e) {
    const rect = u.root.querySelector('canvas').getBoundingClientRect();
    const x = e.clientX - rect.left;
    const y = e.clientY - rect.top;
    const { left, top, width, height } = u.bbox;
    const dpr = window.devicePixelRatio || 1;
    const inStrip = u.kxEventMode === 'strip' && y >= (top + height) / dpr + AXIS_PX && y <= (top + height) / dpr + AXIS_PX + STRIP_PX;
    const inLines = u.kxEventMode === 'lines' && y >= top / dpr && y <= (top + height) / dpr;
    if ((!inStrip && !inLines) || x < left / dpr || x > (left + width) / dpr) {
      tip.hidden = true;
      return;
    }
    const t = u.posToVal(x - left / dpr, 'x');
    const near = (3 / (width / dpr)) * (u.scales.x.max - u.scales.x.min);
    const candidates = [eventAt(t) - 1, eventAt(t)].filter((i) => i >= 0 && i < events.length && Math.abs(events[i][0] - t) <= near);
    if (candidates.length === 0) {
      tip.hidden = true;
      return;
    }
    const best = candidates.sort((a, b) => Math.abs(events[a][0] - t) - Math.abs(events[b][0] - t))[0];
    tip.textContent = `${eventLabel(events[best])} at ${clock(events[best][0], 2)}`;
    tip.style.left = `${e.pageX + 10}px`;
    tip.style.top = `${e.pageY + 10}px`;
    tip.hidden = false;
  }

  function optionsOf(view, width) {
    const series = [{ label: 'time', value: (u, v) => (v == null ? '' : clock(v, 2)) }];
    const bands = [];
    // Every line has a min series (drawn, labelled, its legend value "min – max") and, for an
    // envelope, a max series whose legend row is hidden: one legend entry per line.
    view.lines.forEach((line) => {
      const index = series.length;
      series.push({
        label: line.label,
        stroke: line.colour,
        width: 1,
        value: (u, v, si, i) => {
          if (v == null) return '–';
          const hi = u.kxMaxOf[si] ? u.data[u.kxMaxOf[si]][i] : null;
          return hi == null || hi === v ? v.toPrecision(5) : `${v.toPrecision(5)} – ${hi.toPrecision(5)}`;
        },
      });
      line.index = index;
    });
    return {
      width,
      height: 200 + STRIP_PX + 4,
      series,
      bands,
      scales: { x: { time: false } },
      axes: [
        { values: (u, ticks, axis, space, step) => ticks.map((t) => clock(t, stepDecimals(step))), space: 70, size: AXIS_PX + STRIP_PX + 4 },
        { label: view.unit, size: 60 },
      ],
      cursor: { sync: { key: 'kx', setSeries: false }, drag: { x: true, y: false } },
      legend: { live: true },
      hooks: {
        setScale: [(u, key) => key === 'x' && followZoom(u)],
        draw: [drawEvents],
      },
    };
  }

  const container = document.getElementById('kx-plots');

  function build() {
    for (const u of plots) u.destroy();
    plots = [];
    container.textContent = '';
    const views = viewsOf(layout);
    const columns = layout === 'columns' ? model.devices.length : 1;
    container.style.gridTemplateColumns = `repeat(${columns}, minmax(0, 1fr))`;
    const widthOf = () => Math.max(320, Math.floor((container.clientWidth - 4 - 12 * (columns - 1)) / columns));
    const cells = Array.from({ length: columns }, () => {
      const cell = document.createElement('div');
      container.appendChild(cell);
      return cell;
    });
    for (const view of views) {
      const section = document.createElement('section');
      section.className = 'kx-plot';
      section.id = `kx-plot-${view.id}`;
      const h = document.createElement('h2');
      h.textContent = `${view.title} (${view.unit})`;
      section.appendChild(h);
      cells[view.column].appendChild(section);
      // An envelope line is two series (min and max) and a band; a line of samples is one.
      const probe = view.lines.map((line) => tableOf(line, spanMin, spanMax, widthOf()));
      const opts = optionsOf(view, widthOf());
      const maxOf = {};
      let added = 0;
      probe.forEach((t, k) => {
        view.lines[k].band = t.table.length === 3;
        if (view.lines[k].band) {
          const minIndex = view.lines[k].index + added;
          opts.series.splice(minIndex + 1, 0, { label: `${view.lines[k].label} max`, stroke: view.lines[k].colour, width: 1 });
          opts.bands.push({ series: [minIndex + 1, minIndex], fill: `${view.lines[k].colour}40` });
          maxOf[minIndex] = minIndex + 1;
          added++;
        }
      });
      const data = probe.length === 1 ? probe[0].table : uPlot.join(probe.map((t) => t.table));
      const u = new uPlot(opts, data, section);
      u.kxView = view;
      u.kxMaxOf = maxOf;
      u.kxId = view.id;
      // The max series' legend rows are hidden: their value shows beside the min's.
      const rows = u.root.querySelectorAll('.u-legend .u-series');
      for (const i of Object.values(maxOf)) if (rows[i]) rows[i].style.display = 'none';
      plots.push(u);
      u.over.addEventListener('wheel', (e) => {
        e.preventDefault();
        if (e.shiftKey || Math.abs(e.deltaX) > Math.abs(e.deltaY)) {
          pan(Math.sign(e.deltaX || e.deltaY) * 0.1);
        } else {
          zoomAround(u, u.posToVal(e.offsetX, 'x'), e.deltaY < 0 ? 0.8 : 1.25);
        }
      }, { passive: false });
      u.root.addEventListener('mousemove', (e) => hoverEvent(u, e));
      u.root.addEventListener('mouseleave', () => { tip.hidden = true; });
    }
    window.kxPlots = plots;
  }

  build();
  if (plots.length === 0) {
    container.textContent = 'No samples to plot: the recording holds no accelerometer, gyroscope, barometer or orientation samples.';
    document.querySelector('.kx-bar').hidden = true;
    window.kxPlots = plots;
    document.body.dataset.ready = 'true';
    return;
  }
  window.addEventListener('resize', () => {
    const { min, max } = plots[0].scales.x;
    build();
    setWindow(min, max);
  });
  const reset = () => setWindow(spanMin, spanMax);
  document.getElementById('kx-left').addEventListener('click', () => pan(-0.25));
  document.getElementById('kx-right').addEventListener('click', () => pan(0.25));
  document.getElementById('kx-in').addEventListener('click', () => {
    const { min, max } = plots[0].scales.x;
    zoomAround(plots[0], (min + max) / 2, 0.5);
  });
  document.getElementById('kx-out').addEventListener('click', () => {
    const { min, max } = plots[0].scales.x;
    zoomAround(plots[0], (min + max) / 2, 2);
  });
  document.getElementById('kx-reset').addEventListener('click', reset);
  document.addEventListener('keydown', (e) => {
    if (e.key === 'ArrowLeft') pan(-0.1);
    else if (e.key === 'ArrowRight') pan(0.1);
    else if (e.key === '+' || e.key === '=') document.getElementById('kx-in').click();
    else if (e.key === '-') document.getElementById('kx-out').click();
    else if (e.key === 'Escape') reset();
  });
  for (const input of document.querySelectorAll('input[name="kx-layout"]')) {
    input.addEventListener('change', () => {
      const { min, max } = plots[0].scales.x;
      layout = input.value;
      build();
      setWindow(min, max);
    });
  }
  reset();
  // For scripts that look at the page (the tests): the plots, a way to set the window, and a
  // sign that drawing ended.
  window.kxSetWindow = setWindow;
  document.body.dataset.ready = 'true';
})();
