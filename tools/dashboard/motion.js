// The Motion panel: poses captured from the servos, a timeline of them with
// durations and easing, playback, teach-in and motion files (routes under
// /api/motion). The page keeps no rule of the format beyond the shape it
// builds: the server checks every motion (POST /api/motion/check) and says
// where one is wrong. Uses call, describe, showMessage and cards of app.js.
'use strict';

const MOTION_FILE = Object.freeze({ format: 'zavlib-motion', version: 1 }); // what the page writes
const EASES = ['step', 'linear', 'smooth'];
const SHOWN_ROWS = 200; // a long recording shows its first keyframes only
const COUNTDOWN_SECONDS = 3;
const MAX_UPLOAD_BYTES = 1 << 20; // the server's limit for a motion file

const motion = {
  limits: {}, // as a loaded file had them; written back when saving
  poses: new Map(), // name -> { id: goal }, in the order they were captured
  rows: [], // { pose } or { goals }, each with after (s) and ease
  status: { state: 'idle' }, // the server's, from the snapshots
  awaitingRecording: false,
};

const motionMessage = (text, isError = true) => showMessage($('#motion-message'), text, isError);
const goalsText = (goals) => Object.entries(goals).map(([id, goal]) => `${id}=${goal}`).join(' ');
const round6 = (x) => Math.round(x * 1e6) / 1e6;

function answeringIds() {
  return [...cards.values()].filter((c) => c.state && c.state.answering).map((c) => c.id).sort((a, b) => a - b);
}

// The panel's poses and timeline as a motion file.
function toMotion() {
  const timeline = [];
  let at = 0;
  motion.rows.forEach((row, i) => {
    at = round6(i === 0 ? row.after : at + row.after);
    const keyframe = { at };
    if (row.pose !== undefined) keyframe.pose = row.pose;
    else keyframe.goals = row.goals;
    if (row.ease !== 'linear') keyframe.ease = row.ease;
    timeline.push(keyframe);
  });
  const file = { ...MOTION_FILE };
  if (Object.keys(motion.limits).length) file.limits = motion.limits;
  if (motion.poses.size) file.poses = Object.fromEntries(motion.poses);
  file.timeline = timeline;
  return file;
}

// A motion the server checked, into the panel. Recordings keep the poses captured so far.
function fromMotion(file, keepPoses = false) {
  motion.limits = file.limits || {};
  if (!keepPoses) motion.poses = new Map(Object.entries(file.poses || {}));
  else for (const [name, goals] of Object.entries(file.poses || {})) motion.poses.set(name, goals);
  let previous = 0;
  motion.rows = (file.timeline || []).map((keyframe, i) => {
    const row = { after: round6(i === 0 ? keyframe.at : keyframe.at - previous), ease: keyframe.ease || 'linear' };
    previous = keyframe.at;
    if (keyframe.pose !== undefined) row.pose = keyframe.pose;
    else row.goals = keyframe.goals;
    return row;
  });
  renderPoses();
  renderTimeline();
}

function button(text, title, onClick) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = text;
  b.title = title;
  b.addEventListener('click', onClick);
  return b;
}

function renderPoses() {
  const items = [...motion.poses].map(([name, goals]) => {
    const li = document.createElement('li');
    li.dataset.pose = name;
    const label = document.createElement('span');
    label.className = 'name';
    label.textContent = name;
    const values = document.createElement('span');
    values.className = 'goals';
    values.textContent = goalsText(goals);
    values.title = values.textContent;
    li.append(label, values,
      button('Go', `Move the servos to ${name} at a bounded speed`, () =>
        play({ ...MOTION_FILE, timeline: [{ at: 0, goals }] }, false)),
      button('+', `Add ${name} to the end of the timeline`, () => {
        // No segment ends at the first keyframe: its ease would say nothing.
        const first = !motion.rows.length;
        motion.rows.push({ pose: name, after: first ? 0 : 1, ease: first ? 'linear' : 'smooth' });
        renderTimeline();
      }),
      button('×', `Forget ${name}`, () => {
        const used = motion.rows.findIndex((r) => r.pose === name);
        if (used >= 0) return motionMessage(`Pose ${name} is keyframe ${used + 1} of the timeline: remove it there first.`);
        motion.poses.delete(name);
        renderPoses();
      }));
    return li;
  });
  $('#pose-list').replaceChildren(...items);
  $('#no-poses').hidden = motion.poses.size > 0;
}

function select(options, value, label, onChange) {
  const s = document.createElement('select');
  s.setAttribute('aria-label', label);
  for (const option of options) s.append(new Option(option, option, false, option === value));
  s.addEventListener('change', () => onChange(s.value));
  return s;
}

function renderTimeline() {
  const rows = motion.rows.slice(0, SHOWN_ROWS).map((row, i) => {
    const tr = document.createElement('tr');
    const cell = (...content) => {
      const td = document.createElement('td');
      td.append(...content);
      tr.append(td);
      return td;
    };
    cell(String(i + 1));
    if (row.pose !== undefined) {
      cell(select([...motion.poses.keys()], row.pose, `pose of keyframe ${i + 1}`, (v) => (row.pose = v)));
    } else {
      cell(goalsText(row.goals)).className = 'goals';
    }
    const after = document.createElement('input');
    after.type = 'number';
    after.min = i === 0 ? '0' : '0.01';
    after.step = '0.01';
    after.value = row.after;
    after.setAttribute('aria-label', `seconds to keyframe ${i + 1}`);
    after.addEventListener('change', () => {
      row.after = Number(after.value);
      renderTimelineNote();
    });
    cell(after);
    cell(select(EASES, row.ease, `ease of keyframe ${i + 1}`, (v) => (row.ease = v)));
    const move = (to) => () => {
      if (to < 0 || to >= motion.rows.length) return;
      [motion.rows[i], motion.rows[to]] = [motion.rows[to], motion.rows[i]];
      renderTimeline();
    };
    cell(button('↑', 'Earlier', move(i - 1)), button('↓', 'Later', move(i + 1)), button('×', 'Remove', () => {
      motion.rows.splice(i, 1);
      renderTimeline();
    }));
    return tr;
  });
  $('#timeline tbody').replaceChildren(...rows);
  renderTimelineNote();
}

function renderTimelineNote() {
  const total = toMotion().timeline.at(-1)?.at ?? 0;
  $('#timeline-note').textContent = !motion.rows.length
    ? 'Add poses with their + button; each keyframe is reached the given seconds after the one before.'
    : `${motion.rows.length} keyframes, ${total.toFixed(2)} s` +
      (motion.rows.length > SHOWN_ROWS ? ` (the first ${SHOWN_ROWS} are shown)` : '');
}

async function play(file, loop) {
  try {
    await call('POST', '/api/motion/play', {
      text: JSON.stringify(file),
      tick_ms: Number($('#motion-tick').value),
      speed: Number($('#motion-speed').value),
      loops: loop ? 0 : 1,
    });
    motionMessage('');
  } catch (error) {
    motionMessage(describe(error));
  }
}

function summary(last) {
  const t = last.ticks;
  const timing = `${t.ticks} ticks, ${t.late} late, ${t.skipped} skipped; lateness p99 ${t.p99_lateness_ms.toFixed(2)} ms`;
  if (last.kind === 'record') return `Recorded ${last.keyframes} keyframes over ${last.seconds.toFixed(2)} s (${timing}).`;
  return `Played: ${timing}; bus time ${t.bus_mean_ms.toFixed(2)} ms a tick (planned ${last.plan.tick_bus_ms.toFixed(2)} ms).` +
    (last.released ? ' The servos were released.' : ' The servos hold their last goals.');
}

async function loadRecording() {
  try {
    const answer = await call('GET', '/api/motion/recording');
    fromMotion(answer.motion, true);
  } catch (error) {
    motionMessage(describe(error));
  }
}

function showStatus(status) {
  const before = motion.status.state;
  motion.status = status;
  const busy = status.state !== 'idle';
  const badge = $('#motion-state');
  badge.textContent = status.state;
  badge.className = `badge state ${status.state}`;
  for (const id of ['#motion-play', '#record', '#pose-capture button']) $(id).disabled = busy;
  for (const b of document.querySelectorAll('#pose-list button')) b.disabled = busy && b.textContent === 'Go';
  $('#motion-stop').disabled = !busy;

  const p = status.progress;
  const meter = $('#motion-meter');
  let text = '';
  meter.hidden = !p;
  if (p && p.kind === 'record') {
    text = `recording: ${(p.elapsed ?? 0).toFixed(1)} s of ${(p.total ?? 0).toFixed(1)} s`;
    meter.value = p.total ? Math.min(1, p.elapsed / p.total) : 0;
  } else if (p && p.kind === 'play') {
    text = p.loop === 0 ? 'moving to the start'
      : `loop ${p.loop}${p.loops ? ` of ${p.loops}` : ''}: ${(p.motion_time ?? 0).toFixed(1)} s of ${p.duration.toFixed(1)} s`;
    meter.value = p.duration ? Math.min(1, (p.motion_time ?? 0) / p.duration) : 0;
  }
  $('#motion-progress').textContent = text;

  if (before !== 'idle' && !busy && status.last) {
    const last = status.last;
    if (last.error) motionMessage(`${last.flags.length ? `${last.flags.join(' | ')}: ` : ''}${last.error}`);
    else motionMessage(summary(last), false);
    if (last.kind === 'record') {
      $('#record-note').textContent = 'Recorded: the timeline holds the recording.';
      if (motion.awaitingRecording && last.keyframes > 0) loadRecording();
      motion.awaitingRecording = false;
    }
  }
}

async function download() {
  try {
    const answer = await call('POST', '/api/motion/check', { text: JSON.stringify(toMotion()) });
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([answer.text], { type: 'application/json' }));
    link.download = `motion-${new Date().toISOString().replace(/[:.]/g, '-')}.json`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 1000);
    motionMessage('');
  } catch (error) {
    motionMessage(describe(error));
  }
}

async function upload(file) {
  if (file.size > MAX_UPLOAD_BYTES) {
    return motionMessage(`${file.name} is larger than ${MAX_UPLOAD_BYTES >> 20} MB, more than any motion needs.`);
  }
  try {
    const answer = await call('POST', '/api/motion/check', { text: await file.text() });
    fromMotion(answer.motion);
    motionMessage(`Loaded ${file.name}: servos ${answer.servos.join(',')}, ${answer.duration.toFixed(2)} s.`, false);
  } catch (error) {
    motionMessage(`${file.name}: ${describe(error)}`);
  }
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function record() {
  const ids = answeringIds();
  if (!ids.length) return motionMessage('No servo is answering.');
  const seconds = Number($('#record-seconds').value);
  const rate = Number($('#record-rate').value);
  const note = $('#record-note');
  $('#record').disabled = true;
  for (let n = COUNTDOWN_SECONDS; n > 0; n--) {
    note.textContent = `Recording servos ${ids.join(',')} in ${n}…`;
    await sleep(1000);
  }
  try {
    motion.awaitingRecording = true;
    await call('POST', '/api/motion/record', { ids, seconds, rate_hz: rate });
    note.textContent = 'Recording: move the servos by hand.';
    motionMessage('');
  } catch (error) {
    motion.awaitingRecording = false;
    note.textContent = '';
    motionMessage(describe(error));
    $('#record').disabled = motion.status.state !== 'idle';
  }
}

function setupMotion() {
  $('#pose-capture').addEventListener('submit', async (event) => {
    event.preventDefault();
    const name = $('#pose-name').value.trim();
    const ids = answeringIds();
    if (!name) return;
    if (!ids.length) return motionMessage('No servo is answering.');
    try {
      const answer = await call('POST', '/api/motion/pose', { ids });
      const replaced = motion.poses.has(name);
      motion.poses.set(name, answer.pose);
      renderPoses();
      renderTimeline();
      motionMessage(`${replaced ? 'Replaced' : 'Captured'} pose ${name}: ${goalsText(answer.pose)}`, false);
      $('#pose-name').value = '';
    } catch (error) {
      motionMessage(describe(error));
    }
  });
  $('#motion-play').addEventListener('click', () => {
    if (!motion.rows.length) return motionMessage('The timeline is empty: add poses with their + button.');
    play(toMotion(), $('#motion-loop').checked);
  });
  $('#motion-stop').addEventListener('click', () => call('POST', '/api/motion/stop', {}).catch((e) => motionMessage(describe(e))));
  $('#motion-download').addEventListener('click', download);
  $('#motion-upload').addEventListener('change', (event) => {
    const [file] = event.target.files;
    event.target.value = '';
    if (file) upload(file);
  });
  $('#record-form').addEventListener('submit', (event) => {
    event.preventDefault();
    record();
  });
  document.addEventListener('snapshot', (event) => {
    if (event.detail.motion) showStatus(event.detail.motion);
  });
  renderPoses();
  renderTimeline();
  call('GET', '/api/motion').then(showStatus, (error) => motionMessage(describe(error)));
}

setupMotion();
