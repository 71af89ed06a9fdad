// The report page's script, run by the browser: draws the plots of the inlined model with
// uPlot, keeps their time axes together and marks the events on every plot.
/* global uPlot */
(function () {
  'use strict';
  const model = JSON.parse(document.getElementById('kx-data').textContent);
  const plots = [];
  const [spanMin, spanMax] = model.span;

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

  // Every plot follows the zoom of the one the user moved.
  let syncing = false;
  function followZoom(source) {
    if (syncing) return;
    syncing = true;
    const { min, max } = source.scales.x;
    for (const p of plots) if (p !== source) p.setScale('x', { min, max });
    syncing = false;
    document.getElementById('kx-window').textContent = `${clock(min, 1)} to ${clock(max, 1)}`;
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

  // Events as vertical dashed lines in their device's colour, labelled with their value.
  function drawEvents(u) {
    const { ctx } = u;
    const { left, top, width, height } = u.bbox;
    const dpr = window.devicePixelRatio || 1;
    ctx.save();
    ctx.beginPath();
    ctx.rect(left, top, width, height);
    ctx.clip();
    ctx.lineWidth = 1.5 * dpr;
    ctx.setLineDash([4 * dpr, 3 * dpr]);
    ctx.font = `${11 * dpr}px sans-serif`;
    for (const e of model.events) {
      if (e.t < u.scales.x.min || e.t > u.scales.x.max) continue;
      const x = Math.round(u.valToPos(e.t, 'x', true));
      // One device: events in grey, apart from the component colours; several: the device's colour.
      const colour = model.devices.length > 1 ? model.devices[e.device].colour : '#555';
      ctx.strokeStyle = colour;
      ctx.beginPath();
      ctx.moveTo(x, top);
      ctx.lineTo(x, top + height);
      ctx.stroke();
      ctx.fillStyle = colour;
      ctx.fillText(`${e.channel === 2 ? 'E2' : 'E'}:${e.value}`, x + 3 * dpr, top + 12 * dpr);
    }
    ctx.restore();
  }

  function optionsOf(p, width) {
    const series = [{ label: 'time', value: (u, v) => (v == null ? '' : clock(v, 2)) }];
    const bands = [];
    p.series.forEach((s, i) => {
      const index = i + 1;
      if (s.kind === 'line') {
        series.push({ label: s.label, stroke: s.colour, dash: s.dash, width: 1 });
      } else if (s.kind === 'min') {
        series.push({ label: `${s.label} min`, stroke: s.colour, dash: s.dash, width: 1 });
      } else {
        series.push({ label: `${s.label} max`, stroke: s.colour, dash: s.dash, width: 1 });
        bands.push({ series: [index, index - 1], fill: `${s.colour}40` });
      }
    });
    return {
      width,
      height: 200,
      series,
      bands,
      scales: { x: { time: false } },
      axes: [
        { values: (u, ticks, axis, space, step) => ticks.map((t) => clock(t, stepDecimals(step))), space: 70 },
        { label: p.unit, size: 60 },
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
  const widthOf = () => Math.max(320, container.clientWidth - 4);
  for (const p of model.plots) {
    const section = document.createElement('section');
    section.className = 'kx-plot';
    section.id = `kx-plot-${p.id}`;
    const h = document.createElement('h2');
    h.textContent = `${p.title} (${p.unit})`;
    section.appendChild(h);
    container.appendChild(section);
    // Devices sampled at different times share one table; a point one device lacks is spanned,
    // a null it sent (a pause in its ticks) stays a gap.
    const tables = p.tables.map((t) => [t.x, ...t.columns]);
    const data = tables.length === 1 ? tables[0] : uPlot.join(tables);
    const u = new uPlot(optionsOf(p, widthOf()), data, section);
    u.kxId = p.id;
    plots.push(u);
    // Wheel zooms around the pointer; with Shift, or sideways, it pans.
    u.over.addEventListener('wheel', (e) => {
      e.preventDefault();
      if (e.shiftKey || Math.abs(e.deltaX) > Math.abs(e.deltaY)) {
        pan(Math.sign(e.deltaX || e.deltaY) * 0.1);
      } else {
        zoomAround(u, u.posToVal(e.offsetX, 'x'), e.deltaY < 0 ? 0.8 : 1.25);
      }
    }, { passive: false });
  }

  if (plots.length === 0) {
    container.textContent = 'No samples to plot: the recording holds no accelerometer, gyroscope, barometer or orientation samples.';
    document.querySelector('.kx-bar').hidden = true;
    window.kxPlots = plots;
    document.body.dataset.ready = 'true';
    return;
  }
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
  window.addEventListener('resize', () => {
    for (const u of plots) u.setSize({ width: widthOf(), height: 200 });
  });
  reset();
  // For scripts that look at the page (the tests): the plots, and a sign that drawing ended.
  window.kxPlots = plots;
  document.body.dataset.ready = 'true';
})();
