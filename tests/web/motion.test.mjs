// Motions in `zavctl serve`: the routes under /api/motion checked directly
// (a table of refused requests, the larger body they alone take, a motion
// that holds the bus, teach-in with a hand turning a servo), and the Motion
// panel in Chromium as a person uses it: two poses on a timeline played and
// followed on the chart, and a teach-in recorded and loaded into the timeline.
// MOTION_SCREENSHOT names the file for a picture of the panel (default: none).
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, before, describe, test } from 'node:test';
import { chromium } from 'playwright-core';

import { post, request, Simulator, startServe, until } from './harness.mjs';

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const WAIT = { timeout: 30000 };
const LIMIT = { timeout: 240000 };
const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
// Ticks long enough for a simulated bus that a loaded machine slows down.
const TICK_MS = 100;

const wave = await readFile(path.join(root, 'examples/wave.json'), 'utf8');
const motionText = (timeline, extra = {}) => JSON.stringify({ format: 'zavlib-motion', version: 1, ...extra, timeline });
const state = async (url) => (await request(url, 'GET', '/api/motion')).json;

describe('the motion routes', LIMIT, () => {
  let sim;
  let server;
  before(async () => {
    sim = await new Simulator(['--ids', '0-5', '--no-echo']).ready();
    server = await startServe(['--port', sim.link, '--no-echo', '--timeout-offset', '200']);
  });
  after(async () => {
    await server?.stop();
    await sim?.stop();
  });

  test('refuse what they cannot take with a sentence, and take motion files of a size no command takes', async () => {
    const url = server.url;
    const json = { 'Content-Type': 'application/json' };
    const body = (value) => JSON.stringify(value);
    // A recording of a minute, six servos moving: some 300 KB.
    const recording = motionText([...Array(3000).keys()].map((k) => ({
      at: k / 50, goals: Object.fromEntries([0, 1, 2, 3, 4, 5].map((id) => [id, 5000 + ((k * 7 + id * 13) % 3000)])),
    })));
    const cases = [
      ['check of a file', '/api/motion/check', json, body({ text: wave }), 200, /"servos":\[1,2\]/],
      ['check of a file of 300 KB', '/api/motion/check', json, body({ text: recording }), 200, /"duration":59\.98/],
      ['check of a file over 1 MB', '/api/motion/check', json, body({ text: recording.repeat(4) }), 413, /larger than 1048576/],
      ['a command with a body of 100 KB', '/api/servos/1/move', json, body({ goal: 4000, pad: 'x'.repeat(100000) }), 413, /larger than 4096/],
      ['check of a file that is not JSON', '/api/motion/check', json, body({ text: '{"format": "zavlib-motion",\n  "version": 1,,' }), 400, /the motion is refused: line 2, column \d+: not valid JSON/],
      ['check of a file with a goal beyond its limits', '/api/motion/check', json,
        body({ text: wave.replace('"1": [3500, 11000]', '"1": [3500, 8000]') }), 400,
        /timeline\[2\] \(at 1\.8 s, pose \\"wave_down\\"\): servo 1: goal 9000 is outside its limits 3500 to 8000/],
      ['check of a newer version', '/api/motion/check', json, body({ text: wave.replace('"version": 1', '"version": 2') }), 400, /version 2 is newer/],
      ['check of a motion given as an object', '/api/motion/check', json, body({ motion: JSON.parse(wave) }), 400, /unknown field 'motion'/],
      ['check without the text', '/api/motion/check', json, body({ text: 7 }), 400, /motion file's text as a string/],
      ['play from another origin', '/api/motion/play', { ...json, Origin: 'http://attacker.example' }, body({ text: wave }), 403, /own page/],
      ['play as text/plain', '/api/motion/play', { 'Content-Type': 'text/plain' }, body({ text: wave }), 415, /JSON body/],
      ['play with a tick of 0', '/api/motion/play', json, body({ text: wave, tick_ms: 0 }), 400, /tick_ms must be a number from 0.1 to 1000/],
      ['play 1.5 times', '/api/motion/play', json, body({ text: wave, loops: 1.5 }), 400, /loops must be a whole number/],
      ['play with release_at_end "yes"', '/api/motion/play', json, body({ text: wave, release_at_end: 'yes' }), 400, /true or false/],
      ['play of an empty timeline', '/api/motion/play', json, body({ text: motionText([]) }), 400, /no keyframes/],
      ['play with a tick shorter than the bus allows', '/api/motion/play', json, body({ text: wave, tick_ms: 0.1 }), 409,
        /a tick of 0\.1 ms is shorter than this bus allows for 2 servos at 115200 baud: at least/],
      ['play of a servo that is not there', '/api/motion/play', json, body({ text: motionText([{ at: 0, goals: { 9: 5000 } }]) }), 409,
        /servo 9/],
      ['record without ids', '/api/motion/record', json, body({ seconds: 1 }), 400, /ids must be a list of servo ids 0 to 31/],
      ['record of servo 40', '/api/motion/record', json, body({ ids: [1, 40] }), 400, /ids must be a list/],
      ['record for an hour', '/api/motion/record', json, body({ ids: [1], seconds: 3600 }), 400, /seconds must be a number from 0.01 to 600/],
      ['pose of no servo', '/api/motion/pose', json, body({ ids: [] }), 400, /ids must be a list/],
      ['stop with a field', '/api/motion/stop', json, body({ now: true }), 400, /takes none/],
      ['the recording before any', '/api/motion/recording', {}, undefined, 404, /nothing has been recorded/],
    ];
    const failures = [];
    for (const [name, target, headers, payload, status, pattern] of cases) {
      const answer = await request(url, payload === undefined ? 'GET' : 'POST', target, { headers, body: payload });
      if (answer.status !== status || !pattern.test(answer.text)) failures.push(`${name}: ${answer.status} ${answer.text.slice(0, 300)}`);
    }
    assert.deepEqual(failures, []);
    assert.equal((await state(url)).state, 'idle');
  });

  test('a motion holds the bus: other commands are refused, a release stops it, and it ends where it should', async () => {
    const url = server.url;
    const started = await post(url, '/api/motion/play', { text: wave, tick_ms: TICK_MS, loops: 0 });
    assert.equal(started.status, 200, started.text);
    assert.match(started.json.state, /^(playing|starting)$/);
    assert.equal((await post(url, '/api/motion/play', { text: wave })).status, 409);
    const move = await post(url, '/api/servos/3/move', { goal: 4000 });
    assert.equal(move.status, 409);
    assert.match(move.json.error, /moving servo 3 was not sent: a motion is playing/);
    assert.equal((await post(url, '/api/motion/pose', { ids: [1] })).status, 409);
    // The servo list and its stream keep coming while it plays.
    const servos = await request(url, 'GET', '/api/servos');
    assert.equal(servos.status, 200);
    assert.equal(servos.json.motion.progress.kind, 'play');

    // A release always goes through: the motion stops first.
    const released = await post(url, '/api/servos/2/release', {});
    assert.equal(released.status, 200, released.text);
    assert.equal(released.json.servos.find((s) => s.id === 2).torque, false);
    const last = (await until('the motion has ended', async () => {
      const s = await state(url);
      return s.state === 'idle' && s;
    })).last;
    assert.equal(last.ended, 'stopped');
    assert.ok(last.ticks.ticks > 0);

    // Played once to its end, the servos hold the last keyframe, pose rest.
    const once = await post(url, '/api/motion/play', { text: wave, tick_ms: TICK_MS, speed: 4 });
    assert.equal(once.status, 200, once.text);
    const done = (await until('the motion has ended', async () => {
      const s = await state(url);
      return s.state === 'idle' && s;
    }, 30000)).last;
    assert.equal(done.ended, 'done');
    assert.equal(done.plan.servos, 2);
    const list = (await request(url, 'GET', '/api/servos')).json.servos;
    assert.deepEqual([1, 2].map((id) => [list.find((s) => s.id === id).torque, list.find((s) => s.id === id).goal]),
      [[true, 7500], [true, 7500]]);
  });

  test('teach-in records a hand turning a servo, and the recording plays back', async () => {
    const url = server.url;
    const started = await post(url, '/api/motion/record', { ids: [1, 2], seconds: 2, rate_hz: 10 });
    assert.equal(started.status, 200, started.text);
    await sim.command('turn 1 5000');
    const last = (await until('the recording has ended', async () => {
      const s = await state(url);
      return s.state === 'idle' && s;
    }, 30000)).last;
    assert.equal(last.kind, 'record');
    assert.equal(last.ended, 'done');
    const recording = await request(url, 'GET', '/api/motion/recording');
    assert.equal(recording.status, 200);
    const { timeline } = recording.json.motion;
    assert.equal(timeline.at(-1).at, 2);
    assert.equal(timeline.at(-1).goals['1'], 5000);
    assert.notEqual(timeline[0].goals['1'], 5000);
    const list = (await request(url, 'GET', '/api/servos')).json.servos;
    assert.deepEqual([1, 2].map((id) => list.find((s) => s.id === id).torque), [false, false]);

    const played = await post(url, '/api/motion/play', { text: recording.json.text, tick_ms: TICK_MS });
    assert.equal(played.status, 200, played.text);
    await until('the recording was played', async () => (await state(url)).state === 'idle', 30000);
    const after = (await request(url, 'GET', '/api/servos')).json.servos;
    assert.equal(after.find((s) => s.id === 1).goal, 5000);
  });
});

describe('the Motion panel in a browser', LIMIT, () => {
  let sim;
  let server;
  let browser;
  let page;
  const problems = [];

  before(async () => {
    sim = await new Simulator(['--ids', '0-5', '--no-echo']).ready();
    server = await startServe(['--port', sim.link, '--no-echo', '--timeout-offset', '200']);
    browser = await chromium.launch({ executablePath: CHROMIUM, headless: true });
    page = await browser.newPage({ viewport: { width: 1280, height: 1400 }, acceptDownloads: true });
    page.on('console', (m) => m.type() === 'error' && problems.push(m.text()));
    page.on('pageerror', (e) => problems.push(String(e)));
    await page.goto(server.url);
    await page.waitForFunction(() => document.querySelectorAll('article.servo').length === 6, null, WAIT);
    await page.locator('#motion-tick').fill(String(TICK_MS));
  });

  after(async () => {
    await browser?.close();
    await server?.stop();
    await sim?.stop();
  });

  const card = (id) => page.locator(`article.servo[data-id="${id}"]`);
  const idle = () => page.locator('#motion-state', { hasText: 'idle' }).waitFor(WAIT);
  const arrives = (id, goal) => page.waitForFunction(([id, goal]) => {
    const present = document.querySelector(`article.servo[data-id="${id}"] .present`);
    return present && Math.abs(Number(present.textContent) - goal) <= 10;
  }, [id, goal], WAIT);

  test('two poses on a timeline play, and the servos arrive on the chart', async () => {
    // Pose "down": servo 1 moved to 4000 with its card; pose "up": to 10000.
    await card(1).locator('.goal-input').fill('4000');
    await card(1).locator('.move-button').click();
    await arrives(1, 4000);
    await page.locator('#pose-name').fill('down');
    await page.locator('#pose-capture button').click();
    await page.locator('#pose-list li[data-pose="down"]').waitFor(WAIT);
    await card(1).locator('.goal-input').fill('10000');
    await card(1).locator('.move-button').click();
    await arrives(1, 10000);
    await page.locator('#pose-name').fill('up');
    await page.locator('#pose-capture button').click();
    await page.locator('#pose-list li[data-pose="up"]').waitFor(WAIT);
    assert.match(await page.locator('#pose-list li[data-pose="down"] .goals').textContent(), /1=40\d\d/);

    // The timeline: down, then up 1.5 s later with the smooth ease.
    await page.locator('#pose-list li[data-pose="down"] button', { hasText: '+' }).click();
    await page.locator('#pose-list li[data-pose="up"] button', { hasText: '+' }).click();
    await page.locator('#timeline tbody tr').nth(1).locator('input').fill('1.5');
    await page.locator('#timeline tbody tr').nth(1).locator('input').dispatchEvent('change');
    assert.equal(await page.locator('#timeline-note').textContent(), '2 keyframes, 1.50 s');

    await page.locator('#motion-play').click();
    await page.locator('#motion-state', { hasText: /starting|playing/ }).waitFor(WAIT);
    await idle();
    assert.match(await page.locator('#motion-message').textContent(), /^Played: \d+ ticks/);
    await arrives(1, 10000);
    assert.equal(await card(1).locator('.torque').textContent(), 'torque on');
    if (process.env.MOTION_SCREENSHOT) {
      // The chart above the panel: the way the timeline took.
      const top = await page.locator('.chart-panel').boundingBox();
      const bottom = await page.locator('#motion').boundingBox();
      await page.screenshot({ path: process.env.MOTION_SCREENSHOT, fullPage: true,
        clip: { x: top.x, y: top.y, width: top.width, height: bottom.y + bottom.height - top.y } });
    }

    // The chart recorded the way: down to about 4000, then up to 10000.
    const [download] = await Promise.all([page.waitForEvent('download', WAIT), page.click('#csv')]);
    const [header, ...rows] = (await readFile(await download.path(), 'utf8')).trim().split('\n').map((l) => l.split(','));
    const column = header.indexOf('servo1_present');
    const way = rows.filter((r) => r[column] !== '').map((r) => Number(r[column]));
    const lowest = way.lastIndexOf(Math.min(...way));
    assert.ok(Math.min(...way) <= 4100, `never down: ${way.join(' ')}`);
    assert.ok(way.slice(lowest).some((p) => p > 6000 && p < 9000), 'no sample on the way up');
    assert.ok(Math.abs(way.at(-1) - 10000) <= 10, `the record ends at ${way.at(-1)}`);

    // Download, then upload what was downloaded: the same timeline comes back.
    const [file] = await Promise.all([page.waitForEvent('download', WAIT), page.click('#motion-download')]);
    const text = await readFile(await file.path(), 'utf8');
    assert.match(text, /"timeline": \[\n {4}\{"at": 0\.0, "pose": "down"\},\n {4}\{"at": 1\.5, "pose": "up", "ease": "smooth"\}/);
    await page.locator('#timeline tbody tr').nth(0).locator('button', { hasText: '×' }).click();
    await page.locator('#motion-upload').setInputFiles(await file.path());
    await page.locator('#motion-message', { hasText: /^Loaded .+: servos 0,1,2,3,4,5, 1\.50 s\.$/ }).waitFor(WAIT);
    assert.equal(await page.locator('#timeline tbody tr').count(), 2);
  });

  test('a teach-in is recorded with a countdown and loaded into the timeline', async () => {
    await page.locator('#record-seconds').fill('2');
    await page.locator('#record-rate').fill('10');
    await page.locator('#record').click();
    await page.locator('#record-note', { hasText: /^Recording servos 0,1,2,3,4,5 in 3…$/ }).waitFor(WAIT);
    await page.locator('#motion-state', { hasText: 'recording' }).waitFor(WAIT);
    await sim.command('turn 4 5000');
    await idle();
    await page.locator('#motion-message', { hasText: /^Recorded \d+ keyframes over 2\.00 s/ }).waitFor(WAIT);
    await page.waitForFunction(() => document.querySelector('#timeline-note').textContent.endsWith('keyframes, 2.00 s'),
      null, WAIT);
    const last = await page.locator('#timeline tbody tr').last().locator('td.goals').textContent();
    assert.match(last, /(^| )4=5000( |$)/);
    assert.equal(await card(4).locator('.torque').textContent(), 'released');
    // The poses captured before the recording are still there.
    assert.equal(await page.locator('#pose-list li').count(), 2);
    assert.deepEqual(problems.filter((p) => !/status of 409/.test(p)), []);
  });
});
