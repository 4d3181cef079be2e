// The dashboard: tiles and alarms from /api/devices every two seconds, the
// plots from /api/history, refreshed while the page is open.
'use strict';

const READINGS = [
  { key: 'temperature', label: 'Temperature', unit: '°C' },
  { key: 'loadCurrent', label: 'Load current', unit: 'A' },
  { key: 'dcVoltage', label: 'DC voltage', unit: 'V' },
  { key: 'acVoltage', label: 'AC voltage', unit: 'V' },
  { key: 'acCurrent', label: 'AC current', unit: 'A' },
];
const PLOT_REFRESH = { hour: 5000, day: 60000, month: 600000, year: 3600000 };

let range = 'hour';
let device = '';
let plotTimer = null;
const charts = {};

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  for (const c of children) e.append(c);
  return e;
}

function fmt(v) {
  return v === null || v === undefined ? '–' : String(Math.round(v * 1000) / 1000);
}

function ageText(age) {
  if (age === null) return 'no round yet';
  if (age < 90) return `${Math.round(age)} s ago`;
  if (age < 5400) return `${Math.round(age / 60)} min ago`;
  return `${Math.round(age / 3600)} h ago`;
}

// One 24-hour format everywhere, as the records' own times are written.
const pad = (n) => String(n).padStart(2, '0');
function dayText(t) {
  const d = new Date(t * 1000);
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}`;
}
function clockText(t) {
  const d = new Date(t * 1000);
  return `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

function timeText(t) {
  return t ? `${dayText(t)} ${clockText(t)}` : 'before this run';
}

function stepText(h) {
  if (!h.step) return 'one per round';
  for (const [s, unit] of [[86400, 'd'], [3600, 'h'], [60, 'min']]) {
    if (h.step % s === 0) return `one per ${h.step / s} ${unit}`;
  }
  return `one per ${h.step} s`;
}

function tile(d) {
  const cls = ['tile'];
  if (d.stale) cls.push('stale');
  if (d.alarms.length) cls.push('alarm');
  const title = el('h3', {}, `${d.name} (data id ${d.dataId})`);
  if (d.stale) title.append(el('span', { class: 'badge stale' }, 'STALE'));
  const dl = el('dl');
  for (const r of READINGS) {
    dl.append(el('dt', {}, r.label),
              el('dd', { 'data-reading': r.key }, `${fmt(d.values && d.values[r.key])} ${r.unit}`));
  }
  const when = d.restored ? 'stored values, no round yet' : ageText(d.age);
  return el('div', { class: cls.join(' '), 'data-device': d.name }, title, dl,
            el('div', { class: 'age' }, when + (d.time ? ` (record ${d.time})` : '')));
}

function showDevices(site) {
  document.getElementById('tiles').replaceChildren(...site.devices.map(tile));
  const rows = [];
  for (const d of site.devices) {
    for (const a of d.alarms) {
      rows.push(el('tr', { 'data-signal': a.signalId }, el('td', {}, d.name), el('td', {}, a.name),
                   el('td', {}, a.signalId), el('td', {}, timeText(a.raisedAt))));
    }
  }
  document.querySelector('#alarms tbody').replaceChildren(...rows);
  document.getElementById('alarms').hidden = rows.length === 0;
  document.getElementById('no-alarms').hidden = rows.length !== 0;
  const select = document.getElementById('device');
  if (select.options.length !== site.devices.length) {
    select.replaceChildren(...site.devices.map((d) => el('option', { value: d.name }, d.name)));
    if (!device && site.devices.length) {
      device = site.devices[0].name;
      loadPlots();
    }
  }
  document.getElementById('status').textContent =
    `updated ${clockText(site.now)}`;
}

async function loadDevices() {
  try {
    const res = await fetch('/api/devices', { cache: 'no-store' });
    showDevices(await res.json());
  } catch (e) {
    document.getElementById('status').textContent = 'smd-host not reachable';
  }
}

function tickText(value) {
  if (range === 'hour') return clockText(value);
  return range === 'day' ? clockText(value).slice(0, 5) : dayText(value);
}

function plotFor(r) {
  if (charts[r.key]) return charts[r.key];
  const canvas = el('canvas', { 'data-reading': r.key, 'data-points': '0' });
  document.getElementById('plots').append(el('div', { class: 'plot' }, canvas));
  const line = (label, color, extra) => Object.assign(
    { label, data: [], borderColor: color, pointRadius: 0, borderWidth: 1.5 }, extra);
  charts[r.key] = new Chart(canvas, {
    type: 'line',
    data: { datasets: [
      line('min', '#9db4d0', { borderWidth: 0.5 }),
      line('max', '#9db4d0', { borderWidth: 0.5, fill: '-1', backgroundColor: '#9db4d040' }),
      line('mean', '#243447', {}),
    ] },
    options: {
      animation: false, maintainAspectRatio: false, parsing: false, normalized: true,
      plugins: { title: { display: true, text: `${r.label} (${r.unit})` }, legend: { display: false } },
      scales: { x: { type: 'linear', ticks: { callback: tickText, maxTicksLimit: 6 } } },
    },
  });
  return charts[r.key];
}

async function loadPlots() {
  clearTimeout(plotTimer);
  plotTimer = setTimeout(loadPlots, PLOT_REFRESH[range]);
  if (!device) return;
  if (typeof Chart === 'undefined') {
    document.getElementById('no-charts').hidden = false;
    return;
  }
  let h;
  try {
    const res = await fetch(`/api/history?device=${encodeURIComponent(device)}&range=${range}&points=600`,
                            { cache: 'no-store' });
    h = await res.json();
    if (!res.ok) throw new Error(h.error);
  } catch (e) {
    document.getElementById('tier').textContent = `history not available: ${e.message}`;
    return;
  }
  // A range the data fills only in part starts where the data does, rather
  // than squeezing a few minutes into the plot's right edge.
  const from = h.t.length ? Math.min(Math.max(h.from, h.t[0]), h.to - 10) : h.from;
  document.getElementById('tier').textContent = `${h.t.length} points, ${stepText(h)} (${h.tier})` +
    (from > h.from ? `, since ${timeText(from)}` : '');
  for (const r of READINGS) {
    const chart = plotFor(r);
    const series = h.readings[r.key];
    ['min', 'max', 'mean'].forEach((k, i) => {
      chart.data.datasets[i].data = h.t.map((t, j) => ({ x: t, y: series[k][j] }));
    });
    chart.data.datasets[2].pointRadius = h.t.length < 100 ? 2 : 0;  // a few points stay visible
    chart.options.scales.x.min = from;
    chart.options.scales.x.max = h.to;
    chart.update();
    chart.canvas.setAttribute('data-points', String(h.t.length));
  }
}

document.getElementById('device').addEventListener('change', (e) => {
  device = e.target.value;
  loadPlots();
});
for (const b of document.querySelectorAll('#ranges button')) {
  b.addEventListener('click', () => {
    range = b.dataset.range;
    for (const o of document.querySelectorAll('#ranges button')) o.classList.toggle('on', o === b);
    loadPlots();
  });
}
loadDevices();
setInterval(loadDevices, 2000);
