// The dashboard: tiles and alarms from /api/devices every two seconds, the
// plots from /api/history, refreshed while the page is open. The banner and
// the ages count on in the page between polls, so a host that stopped
// answering shows as such rather than as a frozen page.
'use strict';

const READINGS = [
  { key: 'temperature', label: 'Temperature', unit: '°C' },
  { key: 'loadCurrent', label: 'Load current', unit: 'A' },
  { key: 'dcVoltage', label: 'DC voltage', unit: 'V' },
  { key: 'acVoltage', label: 'AC voltage', unit: 'V' },
  { key: 'acCurrent', label: 'AC current', unit: 'A' },
];
const PLOT_REFRESH = { hour: 5000, day: 60000, month: 600000, year: 3600000 };
// The plug-in's fixed alarm limits, drawn on the plots of the values they judge.
const LIMITS = {
  dcVoltage: [{ key: 'dc_low', v: 40 }, { key: 'dc_high', v: 59 }],
  acVoltage: [{ key: 'mains_fail', v: 90 }, { key: 'ac_low', v: 150 }, { key: 'ac_high', v: 280 }],
};
// Without an answer for this long the host counts as unreachable.
const CONTACT_LOST_S = 6;

let range = 'hour';
let device = '';
let plotTimer = null;
const charts = {};
let site = null;        // the latest /api/devices answer
let contactAt = 0;      // when it came, in this browser's seconds
let lastFailure = '';   // why the latest poll failed; '' when it did not
const nowS = () => Date.now() / 1000;

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
  return `${spanText(age)} ago`;
}

function spanText(age) {
  if (age < 90) return `${Math.round(age)} s`;
  if (age < 5400) return `${Math.round(age / 60)} min`;
  if (age < 172800) return `${Math.round(age / 3600)} h`;
  return `${Math.round(age / 86400)} d`;
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

// Seconds since the latest answer; what the host's clock says now.
const sinceContact = () => (contactAt ? nowS() - contactAt : Infinity);
const reachable = () => !lastFailure && sinceContact() < CONTACT_LOST_S;
const hostNow = () => site.now + sinceContact();

function tile(d) {
  const cls = ['tile'];
  if (d.stale) cls.push('stale');
  if (d.alarms.length) cls.push('alarm');
  if (d.stale || !reachable()) cls.push('off');
  const title = el('h3', {}, `${d.name} (data id ${d.dataId})`);
  if (d.stale) title.append(el('span', { class: 'badge stale' }, 'STALE'));
  const dl = el('dl');
  for (const r of READINGS) {
    dl.append(el('dt', {}, r.label),
              el('dd', { 'data-reading': r.key }, `${fmt(d.values && d.values[r.key])} ${r.unit}`));
  }
  return el('div', { class: cls.join(' '), 'data-device': d.name }, title, dl,
            el('div', { class: 'age' }, ''));
}

// The parts that count on between polls: banner, ages, alarm durations.
function tick() {
  if (!site && !lastFailure) return;
  const up = reachable();
  const banner = document.getElementById('banner');
  const devices = site ? site.devices : [];
  const alarms = devices.reduce((n, d) => n + d.alarms.length, 0);
  const stale = devices.filter((d) => d.stale).map((d) => d.name);
  // The worst first: a host that does not answer vouches for nothing below.
  const parts = [];
  if (!up) parts.push('smd-host unreachable');
  else if (stale.length) parts.push(`STALE: ${stale.join(', ')}`);
  if (alarms) parts.push(`${alarms} alarm${alarms > 1 ? 's' : ''}`);
  const state = !up ? 'unreachable' : stale.length ? 'stale' : alarms ? 'alarm' : 'ok';
  banner.dataset.state = state;
  document.getElementById('banner-text').textContent = parts.length ? parts.join(' · ') : 'OK';
  document.getElementById('contact').textContent = contactAt
    ? `last contact ${spanText(sinceContact())} ago` + (up ? '' : ` (${lastFailure || 'no answer'})`)
    : `no contact yet (${lastFailure})`;
  if (!site) return;
  for (const t of document.querySelectorAll('.tile')) t.classList.toggle('off', !up || t.classList.contains('stale'));
  for (const d of devices) {
    const age = d.age === null ? null : d.age + sinceContact();
    const t = document.querySelector(`.tile[data-device="${CSS.escape(d.name)}"] .age`);
    if (t) t.textContent = (d.restored ? 'stored values, no round yet' : `last round ${ageText(age)}`) +
      (d.time ? ` (record ${d.time})` : '');
  }
  for (const c of document.querySelectorAll('#alarms td[data-raised]')) {
    const raised = Number(c.dataset.raised);
    c.textContent = raised ? spanText(Math.max(0, hostNow() - raised)) : '–';
  }
}

function alarmCell(a) {
  return el('td', {}, a.name, el('code', {}, `${a.alarm || '?'} · ${a.signalId}`));
}

function showDevices() {
  document.getElementById('tiles').replaceChildren(...site.devices.map(tile));
  const rows = [];
  const recent = [];
  for (const d of site.devices) {
    for (const a of d.alarms) {
      rows.push(el('tr', { 'data-signal': a.signalId, 'data-alarm': a.alarm }, el('td', {}, d.name),
                   alarmCell(a), el('td', {}, timeText(a.raisedAt)),
                   el('td', { 'data-raised': String(a.raisedAt || 0) }, '')));
    }
    for (const t of d.recent || []) recent.push({ device: d.name, ...t });
  }
  document.querySelector('#alarms tbody').replaceChildren(...rows);
  document.getElementById('alarms').hidden = rows.length === 0;
  document.getElementById('no-alarms').hidden = rows.length !== 0;
  recent.sort((a, b) => b.at - a.at);
  const trs = recent.slice(0, 20).map((t) => el('tr', { 'data-alarm': t.alarm },
    el('td', {}, timeText(t.at)), el('td', {}, t.device), alarmCell(t),
    el('td', {}, el('span', { class: t.raised ? 'raised' : 'cleared' }, t.raised ? 'raised' : 'cleared'))));
  document.querySelector('#transitions tbody').replaceChildren(...trs);
  document.getElementById('transitions').hidden = trs.length === 0;
  document.getElementById('no-transitions').hidden = trs.length !== 0;
  const select = document.getElementById('device');
  if (select.options.length !== site.devices.length) {
    select.replaceChildren(...site.devices.map((d) => el('option', { value: d.name }, d.name)));
    if (!device && site.devices.length) {
      device = site.devices[0].name;
      loadPlots();
    }
  }
  tick();
}

async function loadDevices() {
  const abort = new AbortController();
  const timer = setTimeout(() => abort.abort(), 3000);
  try {
    const res = await fetch('/api/devices', { cache: 'no-store', signal: abort.signal });
    if (!res.ok) throw new Error(`HTTP ${res.status}`);
    site = await res.json();
    contactAt = nowS();
    lastFailure = '';
    showDevices();
  } catch (e) {
    lastFailure = e.name === 'AbortError' ? 'no answer in 3 s' : 'no connection';
    tick();
  } finally {
    clearTimeout(timer);
  }
}

// Dates join the clock on ticks once a plot spans more than one day.
function tickText(value) {
  if (range === 'month' || range === 'year') return dayText(value);
  const clock = range === 'hour' ? clockText(value) : clockText(value).slice(0, 5);
  return dayText(this.min) === dayText(this.max) ? clock : `${dayText(value).slice(5)} ${clock.slice(0, 5)}`;
}

// Shades the alarm periods and draws the alarm limits, under the lines.
const overlay = {
  id: 'overlay',
  beforeDatasetsDraw(chart) {
    const { ctx, chartArea: a, scales: { x, y } } = chart;
    ctx.save();
    ctx.beginPath();
    ctx.rect(a.left, a.top, a.width, a.height);
    ctx.clip();
    ctx.fillStyle = '#c0392b30';
    for (const [from, to] of chart.$alarmSpans || []) {
      const left = x.getPixelForValue(from);
      ctx.fillRect(left, a.top, Math.max(2, x.getPixelForValue(to) - left), a.height);
    }
    ctx.strokeStyle = '#c0392b';
    ctx.fillStyle = '#c0392b';
    ctx.setLineDash([5, 4]);
    ctx.font = '10px sans-serif';
    for (const l of chart.$limits || []) {
      const py = y.getPixelForValue(l.v);
      ctx.beginPath();
      ctx.moveTo(a.left, py);
      ctx.lineTo(a.right, py);
      ctx.stroke();
      ctx.fillText(`${l.key} ${l.v}`, a.left + 4, py - 3);
    }
    ctx.restore();
  },
};

function plotFor(r) {
  if (charts[r.key]) return charts[r.key];
  const canvas = el('canvas', { 'data-reading': r.key, 'data-points': '0', 'data-gaps': '0' });
  document.getElementById('plots').append(el('div', { class: 'plot' }, canvas));
  const line = (label, color, extra) => Object.assign(
    { label, data: [], borderColor: color, pointRadius: 0, borderWidth: 1.5, spanGaps: false }, extra);
  const limits = LIMITS[r.key] || [];
  const values = limits.map((l) => l.v);
  const margin = values.length ? (Math.max(...values) - Math.min(...values)) * 0.1 || 5 : 0;
  charts[r.key] = new Chart(canvas, {
    type: 'line',
    data: { datasets: [
      line('min', '#9db4d0', { borderWidth: 0.5 }),
      line('max', '#9db4d0', { borderWidth: 0.5, fill: '-1', backgroundColor: '#9db4d040' }),
      line('mean', '#243447', {}),
    ] },
    plugins: [overlay],
    options: {
      animation: false, maintainAspectRatio: false, parsing: false, normalized: true,
      plugins: { title: { display: true, text: `${r.label} (${r.unit})` }, legend: { display: false } },
      scales: {
        x: { type: 'linear', ticks: { callback: tickText, maxTicksLimit: 5, maxRotation: 0 } },
        // The limits stay in view, so the distance to each shows.
        y: values.length ? { suggestedMin: Math.min(...values) - margin, suggestedMax: Math.max(...values) + margin } : {},
      },
    },
  });
  charts[r.key].$limits = limits;
  return charts[r.key];
}

// Where rounds are missing: a step of the tier missed twice, or for raw
// rounds three poll intervals (with the round's own time) without one.
function gapAfter(h) {
  if (h.step) return 2 * h.step;
  const d = site && site.devices.find((x) => x.name === device);
  return Math.max(5, 3 * ((d ? d.pollIntervalMs : 1000) / 1000 + 0.8));
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
  // A point of no value between two rounds far apart breaks the lines there.
  const gap = gapAfter(h);
  const breaks = [];
  const spans = [];
  const width = h.step || gap / 3;
  h.t.forEach((t, j) => {
    if (j && t - h.t[j - 1] > gap) breaks.push(j);
    if (h.alarms[j]) {
      const end = j + 1 < h.t.length && h.t[j + 1] - t <= gap ? h.t[j + 1] : t + width;
      const last = spans[spans.length - 1];
      if (last && last[1] >= t) last[1] = end;
      else spans.push([t, end]);
    }
  });
  for (const r of READINGS) {
    const chart = plotFor(r);
    const series = h.readings[r.key];
    ['min', 'max', 'mean'].forEach((k, i) => {
      const data = [];
      h.t.forEach((t, j) => {
        if (breaks.includes(j)) data.push({ x: (t + h.t[j - 1]) / 2, y: null });
        data.push({ x: t, y: series[k][j] });
      });
      chart.data.datasets[i].data = data;
    });
    chart.data.datasets[2].pointRadius = h.t.length < 100 ? 2 : 0;  // a few points stay visible
    chart.$alarmSpans = spans;
    chart.options.scales.x.min = from;
    chart.options.scales.x.max = h.to;
    chart.update();
    chart.canvas.setAttribute('data-points', String(h.t.length));
    chart.canvas.setAttribute('data-gaps', String(breaks.length));
    chart.canvas.setAttribute('data-alarm-spans', String(spans.length));
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
setInterval(tick, 1000);
