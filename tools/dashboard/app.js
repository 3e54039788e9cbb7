// The dashboard page: cards per servo, commands as JSON POSTs, and a chart of
// the positions streamed by the server (GET /api/events).
'use strict';

const { GOAL_MIN, GOAL_MAX, GOAL_CENTER, PARAM_MIN, PARAM_MAX } = FACTS; // facts.js
const HISTORY = 36000; // samples kept: an hour at ten updates a second
const COLORS = ['#1f77b4', '#d62728', '#2ca02c', '#9467bd', '#ff7f0e', '#17becf', '#8c564b', '#e377c2'];

const $ = (selector, root = document) => root.querySelector(selector);

// ---------------------------------------------------------------------------
// Talking to the server

class RequestError extends Error {
  constructor(body, status) {
    super(body.error || `the server answered ${status}`);
    this.flags = body.flags || [];
    this.servo = body.servo;
  }
}

async function call(method, path, body) {
  const options = { method, headers: {} };
  if (method === 'POST') {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body || {});
  }
  let response;
  try {
    response = await fetch(path, options);
  } catch (e) {
    throw new RequestError({ error: 'the server cannot be reached (is zavctl serve still running?)' }, 0);
  }
  const text = await response.text();
  let json = {};
  try {
    json = text ? JSON.parse(text) : {};
  } catch (e) {
    json = { error: text };
  }
  if (!response.ok) throw new RequestError(json, response.status);
  return json;
}

function describe(error) {
  return error.flags && error.flags.length ? `${error.flags.join(' | ')}: ${error.message}` : error.message;
}

function showMessage(element, text, isError = true) {
  element.textContent = text || '';
  element.hidden = !text;
  element.classList.toggle('error', isError);
}

// ---------------------------------------------------------------------------
// History of positions: fixed-size rings, so an hour-long page stays the same size

const history = {
  times: new Float64Array(HISTORY),
  servos: new Map(), // id -> { present: Float32Array, goal: Float32Array }
  next: 0,
  count: 0,
  lastTime: -Infinity,

  clear() {
    this.servos.clear();
    this.next = 0;
    this.count = 0;
    this.lastTime = -Infinity;
  },

  add(snapshot) {
    if (snapshot.time < this.lastTime) this.clear(); // the server was restarted
    this.lastTime = snapshot.time;
    const i = this.next;
    this.times[i] = snapshot.time;
    const seen = new Set();
    for (const s of snapshot.servos) {
      let rings = this.servos.get(s.id);
      if (!rings) {
        rings = { present: new Float32Array(HISTORY).fill(NaN), goal: new Float32Array(HISTORY).fill(NaN) };
        this.servos.set(s.id, rings);
      }
      rings.present[i] = s.answering ? s.present : NaN;
      rings.goal[i] = s.answering && s.torque ? s.goal : NaN;
      seen.add(s.id);
    }
    for (const [id, rings] of this.servos) {
      if (!seen.has(id)) {
        rings.present[i] = NaN;
        rings.goal[i] = NaN;
      }
    }
    this.next = (i + 1) % HISTORY;
    this.count = Math.min(this.count + 1, HISTORY);
  },

  // Ring positions of the samples from time since on, oldest first; the
  // work grows with the window, not with the hour of history.
  indices(since) {
    const out = [];
    for (let k = 1; k <= this.count; k++) {
      const i = (this.next - k + HISTORY) % HISTORY;
      if (this.times[i] < since) break;
      out.push(i);
    }
    return out.reverse();
  },

  csv() {
    const ids = [...this.servos.keys()].sort((a, b) => a - b);
    const lines = [['time_s', ...ids.flatMap((id) => [`servo${id}_present`, `servo${id}_goal`])].join(',')];
    const cell = (v) => (Number.isNaN(v) ? '' : String(v));
    for (const i of this.indices(-Infinity)) {
      const row = [this.times[i].toFixed(3)];
      for (const id of ids) {
        const rings = this.servos.get(id);
        row.push(cell(rings.present[i]), cell(rings.goal[i]));
      }
      lines.push(row.join(','));
    }
    return lines.join('\n') + '\n';
  },
};

// ---------------------------------------------------------------------------
// Chart

const chart = {
  plot: null,
  ids: [],
  paused: false,
  windowSeconds: 120,
  pending: false,

  selected() {
    return [...cards.values()].filter((c) => c.plotToggle.checked).map((c) => c.id).sort((a, b) => a - b);
  },

  rebuild() {
    this.ids = this.selected();
    if (this.plot) this.plot.destroy();
    this.plot = null;
    const element = $('#chart');
    element.textContent = '';
    $('#chart-note').textContent = this.ids.length ? '' : 'Tick "chart" on a servo to plot it.';
    if (!this.ids.length) return;
    const series = [{ label: 'time (s)', value: (u, v) => (v == null ? '' : v.toFixed(1)) }];
    this.ids.forEach((id, n) => {
      const stroke = COLORS[n % COLORS.length];
      series.push({ label: `${id} present`, stroke, width: 2, points: { show: false } });
      series.push({ label: `${id} goal`, stroke, width: 1, dash: [6, 4], points: { show: false } });
    });
    const options = {
      width: Math.max(element.clientWidth, 300),
      height: 280,
      series,
      scales: { x: { time: false }, y: { range: (u, min, max) => [Math.min(min ?? GOAL_MIN, GOAL_MIN), Math.max(max ?? GOAL_MAX, GOAL_MAX)] } },
      axes: [{ label: 'seconds' }, { label: 'position', size: 60 }],
      legend: { live: true },
    };
    this.plot = new uPlot(options, this.data(), element);
  },

  data() {
    const newest = history.count ? history.lastTime : 0;
    const indices = history.indices(newest - this.windowSeconds);
    const columns = [indices.map((i) => history.times[i])];
    for (const id of this.ids) {
      const rings = history.servos.get(id);
      for (const ring of rings ? [rings.present, rings.goal] : [null, null]) {
        columns.push(indices.map((i) => (ring && !Number.isNaN(ring[i]) ? ring[i] : null)));
      }
    }
    return columns;
  },

  // At most one redraw a frame, however fast updates come.
  update() {
    if (this.paused || this.pending) return;
    this.pending = true;
    requestAnimationFrame(() => {
      this.pending = false;
      if (this.plot && !this.paused) this.plot.setData(this.data());
    });
  },
};

// ---------------------------------------------------------------------------
// Servo cards

const cards = new Map(); // id -> card

// The card template's ranges, scale and tooltips, from facts.js.
function applyFacts(template) {
  for (const input of template.querySelectorAll('.goal-slider, .goal-input')) {
    input.min = GOAL_MIN;
    input.max = GOAL_MAX;
  }
  for (const input of template.querySelectorAll('.sc1-input, .sc2-input')) {
    input.min = PARAM_MIN;
    input.max = PARAM_MAX;
  }
  $('.scale-min', template).textContent = GOAL_MIN;
  $('.scale-center', template).textContent = GOAL_CENTER;
  $('.scale-max', template).textContent = GOAL_MAX;
  for (const element of template.querySelectorAll('[data-register]')) {
    element.title = REGISTERS[element.dataset.register].meaning;
  }
}

function makeCard(id) {
  const element = $('#servo-card').content.firstElementChild.cloneNode(true);
  const card = {
    id,
    element,
    state: null,
    editedGoal: false, // the person is choosing a goal: snapshots do not overwrite it
    editedParams: false,
    registerTimer: null,
    plotToggle: $('.plot-toggle', element),
    slider: $('.goal-slider', element),
    goalInput: $('.goal-input', element),
    sc1Input: $('.sc1-input', element),
    sc2Input: $('.sc2-input', element),
    message: $('.message', element), // the outcome of the last command
    status: $('.status-line', element), // why the servo does not answer its polls
  };
  element.dataset.id = id;
  $('.id', element).textContent = id;
  card.plotToggle.checked = cards.size < 4;
  card.plotToggle.addEventListener('change', () => chart.rebuild());

  card.slider.addEventListener('input', () => {
    card.editedGoal = true;
    card.goalInput.value = card.slider.value;
  });
  card.slider.addEventListener('change', () => move(card, Number(card.slider.value)));
  card.goalInput.addEventListener('input', () => {
    card.editedGoal = true;
    card.slider.value = card.goalInput.value;
  });
  $('.move', element).addEventListener('submit', (event) => {
    event.preventDefault();
    move(card, Number(card.goalInput.value));
  });
  $('.hold', element).addEventListener('click', () => command(card, `/api/servos/${id}/hold`, {}));
  $('.release', element).addEventListener('click', () => command(card, `/api/servos/${id}/release`, {}));
  for (const input of [card.sc1Input, card.sc2Input]) input.addEventListener('input', () => (card.editedParams = true));
  $('.params', element).addEventListener('submit', async (event) => {
    event.preventDefault();
    const body = { sc1: Number(card.sc1Input.value), sc2: Number(card.sc2Input.value) };
    if (await command(card, `/api/servos/${id}/params`, body)) card.editedParams = false;
  });
  $('.registers', element).addEventListener('toggle', (event) => {
    clearInterval(card.registerTimer);
    card.registerTimer = null;
    if (event.target.open) {
      loadRegisters(card);
      card.registerTimer = setInterval(() => loadRegisters(card), 1000);
    }
  });
  return card;
}

async function move(card, goal) {
  if (await command(card, `/api/servos/${card.id}/move`, { goal })) card.editedGoal = false;
}

// Runs a command for one servo; its failure shows on the servo's card.
async function command(card, path, body) {
  try {
    render(await call('POST', path, body));
    showMessage(card.message, '');
    return true;
  } catch (error) {
    showMessage(card.message, describe(error));
    return false;
  }
}

async function loadRegisters(card) {
  const tbody = $('.registers tbody', card.element);
  try {
    const answer = await call('GET', `/api/servos/${card.id}/registers`);
    const rows = answer.registers.map((r) => {
      const tr = document.createElement('tr');
      for (const value of [r.address, r.name, r.raw, r.value]) {
        const td = document.createElement('td');
        td.textContent = value;
        tr.append(td);
      }
      if (REGISTERS[r.name]) tr.title = REGISTERS[r.name].meaning;
      return tr;
    });
    tbody.replaceChildren(...rows);
  } catch (error) {
    showMessage(card.message, describe(error));
  }
}

function percent(position) {
  const p = ((position - GOAL_MIN) / (GOAL_MAX - GOAL_MIN)) * 100;
  return `${Math.min(100, Math.max(0, p))}%`;
}

function updateCard(card, s) {
  card.state = s;
  const e = card.element;
  e.classList.toggle('silent', !s.answering);
  e.classList.toggle('held', s.torque);
  $('.torque', e).textContent = s.torque ? 'torque on' : 'released';
  $('.present', e).textContent = s.present;
  $('.goal', e).textContent = s.torque ? s.goal : '–';
  $('.sc3', e).textContent = s.sc3;
  $('.sc4', e).textContent = s.sc4;
  $('.fill', e).style.width = percent(s.present);
  const mark = $('.goal-mark', e);
  mark.hidden = !s.torque;
  mark.style.left = percent(s.goal);
  $('.bar', e).setAttribute('aria-label', `present ${s.present}${s.torque ? `, goal ${s.goal}` : ''}`);
  showMessage(card.status, s.answering ? '' : `${(s.flags || []).join(' | ')}: ${s.error}`);
  if (!card.editedGoal && document.activeElement !== card.goalInput) {
    const goal = s.torque ? s.goal : Math.min(GOAL_MAX, Math.max(GOAL_MIN, s.present));
    card.slider.value = goal;
    card.goalInput.value = goal;
  }
  if (!card.editedParams) {
    card.sc1Input.value = s.sc1;
    card.sc2Input.value = s.sc2;
  }
}

let latestSeq = 0;

// Shows a snapshot ({seq, time, servos}) unless a newer one is already shown.
function render(snapshot) {
  if (!snapshot || !Array.isArray(snapshot.servos) || snapshot.seq < latestSeq) return;
  latestSeq = snapshot.seq;
  const ids = new Set(snapshot.servos.map((s) => s.id));
  let changed = false;
  for (const [id, card] of cards) {
    if (ids.has(id)) continue;
    clearInterval(card.registerTimer);
    card.element.remove();
    cards.delete(id);
    changed = true;
  }
  for (const s of snapshot.servos) {
    let card = cards.get(s.id);
    if (!card) {
      card = makeCard(s.id);
      cards.set(s.id, card);
      // In id order. Cards already shown never move: moving one would take the focus from its fields.
      const next = [...cards.values()].filter((c) => c.id > s.id && c.element.isConnected).sort((a, b) => a.id - b.id)[0];
      $('#servos').insertBefore(card.element, next ? next.element : null);
      changed = true;
    }
    updateCard(card, s);
  }
  $('#no-servos').hidden = snapshot.servos.length > 0;
  if (changed) chart.rebuild();
  document.dispatchEvent(new CustomEvent('snapshot', { detail: snapshot })); // the Motion panel (motion.js)
}

// ---------------------------------------------------------------------------
// Page controls and the event stream

let updates = 0;

function connect() {
  const connection = $('#connection');
  const events = new EventSource('/api/events');
  events.onopen = () => {
    connection.textContent = 'live';
    connection.className = 'connection live';
    latestSeq = 0; // it may be a new server, counting from 1 again
  };
  events.onerror = () => {
    connection.textContent = 'connection lost: retrying…';
    connection.className = 'connection lost';
    // The browser retries a dropped stream by itself, but not one refused with an error status.
    if (events.readyState === EventSource.CLOSED) setTimeout(connect, 3000);
  };
  events.onmessage = (event) => {
    const snapshot = JSON.parse(event.data);
    updates += 1;
    $('#updates').textContent = `${updates} updates`;
    history.add(snapshot);
    render(snapshot);
    chart.update();
  };
}

async function busCommand(button, path, body) {
  const message = $('#bus-message');
  button.disabled = true;
  try {
    render(await call('POST', path, body));
    showMessage(message, '');
    return true;
  } catch (error) {
    const card = cards.get(error.servo);
    showMessage(card ? card.message : message, describe(error));
    if (card) showMessage(message, `${button.textContent}: servo ${error.servo} failed (see its card)`);
    return false;
  } finally {
    button.disabled = false;
  }
}

function setup() {
  applyFacts($('#servo-card').content);
  $('#scan').addEventListener('click', () => busCommand($('#scan'), '/api/scan', {}));
  $('#move-all').addEventListener('click', async () => {
    const goals = {};
    for (const card of cards.values()) {
      if (card.state && card.state.answering) goals[card.id] = Number(card.goalInput.value);
    }
    if (!Object.keys(goals).length) return showMessage($('#bus-message'), 'No servo is answering.');
    if (await busCommand($('#move-all'), '/api/sync', { goals })) {
      for (const card of cards.values()) card.editedGoal = false;
    }
  });
  $('#pause').addEventListener('click', (event) => {
    chart.paused = !chart.paused;
    event.target.textContent = chart.paused ? 'Resume' : 'Pause';
    event.target.setAttribute('aria-pressed', String(chart.paused));
    $('#chart-note').textContent = chart.paused ? 'Paused: still recording.' : '';
    chart.update();
  });
  $('#window').addEventListener('change', (event) => {
    chart.windowSeconds = Number(event.target.value);
    chart.update();
  });
  $('#csv').addEventListener('click', () => {
    const blob = new Blob([history.csv()], { type: 'text/csv' });
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = `servo-positions-${new Date().toISOString().replace(/[:.]/g, '-')}.csv`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 1000);
  });
  new ResizeObserver(() => {
    if (chart.plot) chart.plot.setSize({ width: Math.max($('#chart').clientWidth, 300), height: 280 });
  }).observe($('#chart'));

  chart.rebuild();
  call('GET', '/api/servos').then(render, (error) => showMessage($('#bus-message'), describe(error)));
  connect();
}

setup();
