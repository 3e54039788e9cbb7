// The dashboard in a real browser (Debian's chromium, driven by playwright-core)
// against zavsim, used as a person would: see the servos, move one and watch
// it arrive on the card and the chart, release it, lose one and see it marked.
// SCREENSHOT names the file for a picture of the page (default: none).
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { after, before, describe, test } from 'node:test';
import { chromium } from 'playwright-core';

import { request, Simulator, startServe } from './harness.mjs';

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const WAIT = { timeout: 30000 };

describe('the dashboard in a browser', { timeout: 300000 }, () => {
  let sim;
  let server;
  let browser;
  let page;
  const problems = []; // console errors and uncaught exceptions of the page

  const card = (id) => page.locator(`article.servo[data-id="${id}"]`);
  const number = async (locator) => Number(await locator.textContent());
  const updates = async () => Number((await page.locator('#updates').textContent()).split(' ')[0]);
  // Waits until the card's present position is within 10 of goal.
  const arrives = (id, goal) => page.waitForFunction(([id, goal]) => {
    const present = document.querySelector(`article.servo[data-id="${id}"] .present`);
    return present && Math.abs(Number(present.textContent) - goal) <= 10;
  }, [id, goal], WAIT).catch(async (e) => {
    const text = await page.locator('body').innerText();
    throw new Error(`servo ${id} did not arrive at ${goal}: ${e.message}\n${text}`);
  });

  before(async () => {
    sim = await new Simulator(['--ids', '0-5']).ready();
    // A loaded machine may delay the simulated replies: a generous reply time-out.
    server = await startServe(['--port', sim.link, '--timeout-offset', '100']);
    browser = await chromium.launch({ executablePath: CHROMIUM, headless: true });
    page = await browser.newPage({ viewport: { width: 1280, height: 1000 }, acceptDownloads: true });
    page.on('console', (m) => m.type() === 'error' && problems.push(m.text()));
    page.on('pageerror', (e) => problems.push(String(e)));
    await page.goto(server.url);
  });

  after(async () => {
    await browser?.close();
    await server?.stop();
    await sim?.stop();
  });

  test('shows a card for every scanned servo and keeps updating', async () => {
    await page.waitForFunction(() => document.querySelectorAll('article.servo').length === 6, null, WAIT);
    const ids = await page.locator('article.servo').evaluateAll((cards) => cards.map((c) => Number(c.dataset.id)));
    assert.deepEqual(ids, [0, 1, 2, 3, 4, 5]);
    const start = await updates();
    await page.waitForFunction((n) => Number(document.querySelector('#updates').textContent.split(' ')[0]) >= n,
      start + 3, WAIT);
    assert.equal(await page.locator('#connection').textContent(), 'live');

    // A rescan lists the same servos.
    await page.click('#scan');
    await page.waitForFunction(() => !document.querySelector('#scan').disabled, null, WAIT);
    assert.equal(await page.locator('article.servo').count(), 6);
    assert.equal(await page.locator('#bus-message').isHidden(), true);

    // The register table of a servo, as zavctl read shows it.
    await card(2).locator('.registers summary').click();
    await card(2).locator('.registers tbody tr').nth(7).waitFor(WAIT);
    const rows = await card(2).locator('.registers tbody tr').evaluateAll((trs) =>
      trs.map((tr) => [...tr.children].map((td) => td.textContent)));
    assert.deepEqual(rows.map((r) => r[1]), ['id', 'torque_enable', 'goal_position', 'sc2_value', 'sc1_value',
      'present_position', 'sc3_value', 'sc4_value']);
    assert.deepEqual(rows[0], ['0', 'id', '02', '2']);
    await card(2).locator('.registers summary').click();
  });

  test('ranges, scale and tooltips come from the table of facts (facts.js)', async () => {
    const facts = await page.evaluate(() => ({ FACTS, REGISTERS }));
    const servo = card(2);
    for (const field of ['.goal-slider', '.goal-input']) {
      assert.equal(Number(await servo.locator(field).getAttribute('min')), facts.FACTS.GOAL_MIN);
      assert.equal(Number(await servo.locator(field).getAttribute('max')), facts.FACTS.GOAL_MAX);
      assert.equal(await servo.locator(field).getAttribute('title'), facts.REGISTERS.goal_position.meaning);
    }
    assert.equal(Number(await servo.locator('.sc1-input').getAttribute('max')), facts.FACTS.PARAM_MAX);
    assert.deepEqual(await servo.locator('.scale span').allTextContents(),
      [facts.FACTS.GOAL_MIN, facts.FACTS.GOAL_CENTER, facts.FACTS.GOAL_MAX].map(String));
    assert.match(await servo.locator('[data-register="sc4_value"]').getAttribute('title'), /^Reading of sub-code 4/);
  });

  test('a servo moved with its slider arrives, followed by its card and the chart', async () => {
    const servo = card(1);
    const from = await number(servo.locator('.present'));
    await servo.locator('.goal-slider').fill('4000'); // as a drag that ends at 4000
    await arrives(1, 4000);
    assert.equal(await servo.locator('.torque').textContent(), 'torque on');
    assert.equal(await number(servo.locator('.goal')), 4000);
    assert.equal(await servo.locator('.message').isHidden(), true);
    assert.equal(await page.locator('#chart canvas').count(), 1);
    assert.match(await page.locator('#chart .u-legend').textContent(), /1 present/);

    // What the chart recorded: the way from the start to the goal.
    const [download] = await Promise.all([page.waitForEvent('download', WAIT), page.click('#csv')]);
    const [header, ...rows] = (await readFile(await download.path(), 'utf8')).trim().split('\n').map((l) => l.split(','));
    const present = header.indexOf('servo1_present');
    const goal = header.indexOf('servo1_goal');
    assert.ok(present > 0 && goal > 0, header.join(','));
    // A poll that missed its reply (a loaded machine) leaves a gap, not a position.
    const way = rows.filter((r) => r[present] !== '').map((r) => Number(r[present]));
    assert.ok(Math.abs(way[0] - from) <= 10, `the record starts at ${way[0]}, the servo at ${from}`);
    assert.ok(Math.abs(way.at(-1) - 4000) <= 10, `the record ends at ${way.at(-1)}`);
    assert.ok(way.some((p) => p < from - 100 && p > 4100), 'no sample on the way');
    assert.ok(way.every((p, i) => i === 0 || p <= way[i - 1] + 1), `the position went back on the way: ${way.join(' ')}`);
    assert.equal(Number(rows.at(-1)[goal]), 4000);
  });

  test('move all sends every goal in one go, and release lets go', async () => {
    await card(0).locator('.goal-input').fill('9000');
    await card(2).locator('.goal-input').fill('5000');
    await page.click('#move-all');
    await arrives(0, 9000);
    await arrives(2, 5000);
    assert.equal(await number(card(1).locator('.goal')), 4000);

    await card(1).locator('.release').click();
    await card(1).locator('.torque', { hasText: 'released' }).waitFor(WAIT);
    const servos = (await request(server.url, 'GET', '/api/servos')).json.servos;
    assert.equal(servos.find((s) => s.id === 1).torque, false);
    assert.equal(servos.find((s) => s.id === 0).torque, true);
  });

  test('a servo that stops answering is marked, not dropped, and its failures say why', async () => {
    const servo = card(3);
    await sim.command('silent 3');
    await page.locator('article.servo.silent[data-id="3"]').waitFor(WAIT);
    assert.equal(await page.locator('article.servo').count(), 6);
    assert.equal(await servo.locator('.badge.silent').isVisible(), true);
    assert.match(await servo.locator('.status-line').textContent(), /^ERR_TIMEOUT: no reply from servo 3 within \d+ ms/);
    if (process.env.SCREENSHOT) await page.screenshot({ path: process.env.SCREENSHOT, fullPage: true });

    // A command to it fails with the flags and a sentence next to it.
    await servo.locator('.hold').click();
    await servo.locator('.message', { hasText: /taking hold of servo 3 failed/ }).waitFor(WAIT);
    assert.match(await servo.locator('.message').textContent(), /^ERR_TIMEOUT.*: taking hold of servo 3 failed: no reply/);

    await sim.command('answer 3');
    await page.locator('article.servo:not(.silent)[data-id="3"]').waitFor(WAIT);
    assert.equal(await servo.locator('.status-line').isHidden(), true);
    // The browser logs the refused command; nothing else may go wrong.
    assert.deepEqual(problems.filter((p) => !/status of 409/.test(p)), []);
  });
});

describe('the dashboard beyond loopback, in a browser', { timeout: 300000 }, () => {
  let server;
  let browser;
  before(async () => {
    server = await startServe(['--sim'], ['--listen', '0.0.0.0']);
    browser = await chromium.launch({ executablePath: CHROMIUM, headless: true });
  });
  after(async () => {
    await browser?.close();
    await server?.stop();
  });

  test('the printed address signs the browser in; the page then works on its HttpOnly cookie', async () => {
    const context = await browser.newContext();
    const page = await context.newPage();
    const problems = [];
    page.on('pageerror', (e) => problems.push(String(e)));
    const base = `http://127.0.0.1:${server.port}`;
    await page.goto(`${base}/?token=${server.token}`);
    await page.waitForURL(`${base}/`, WAIT);
    await page.waitForFunction(() => document.querySelectorAll('article.servo').length === 6, null, WAIT);
    assert.equal(await page.evaluate(() => document.cookie), '', 'the token is readable by scripts');
    const [cookie] = await context.cookies();
    assert.deepEqual([cookie.name, cookie.value, cookie.httpOnly, cookie.sameSite],
      [`zavctl_token_${server.port}`, server.token, true, 'Strict']);

    const servo = page.locator('article.servo[data-id="4"]');
    await servo.locator('.hold').click();
    await servo.locator('.torque', { hasText: 'torque on' }).waitFor(WAIT);
    await servo.locator('.release').click();
    await servo.locator('.torque', { hasText: 'released' }).waitFor(WAIT);
    await page.waitForFunction(() => Number(document.querySelector('#updates').textContent.split(' ')[0]) >= 3, null, WAIT);
    assert.deepEqual(problems, []);
    await context.close();
  });

  test('without the token a browser gets the sign-in page, and the token pasted there opens the dashboard', async () => {
    const context = await browser.newContext();
    const page = await context.newPage();
    const base = `http://127.0.0.1:${server.port}`;
    const first = await page.goto(`${base}/`);
    assert.equal(first.status(), 401);
    assert.equal(await page.locator('article.servo').count(), 0);
    await page.locator('input[name="token"]').fill('not-the-token-at-all');
    await Promise.all([page.waitForURL(/token=/, WAIT), page.locator('button[type="submit"]').click()]);
    assert.match(await page.locator('.error').textContent(), /not this server's token/);
    await page.locator('input[name="token"]').fill(server.token);
    await page.locator('button[type="submit"]').click();
    await page.waitForFunction(() => document.querySelectorAll('article.servo').length === 6, null, WAIT);
    await context.close();
  });
});
