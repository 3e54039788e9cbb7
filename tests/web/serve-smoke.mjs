// A smoke check of `zavctl serve` from another build, e.g. zavctl.exe under
// Wine, answering a Linux client. Run it by name:
//   ZAVCTL="wine64 zavctl.exe" SERVE_OPTIONS="--port COM8" EXPECT_IDS=1,4 node --test tests/web/serve-smoke.mjs
import assert from 'node:assert/strict';
import http from 'node:http';
import { test } from 'node:test';

import { drip, post, request, startServe, until } from './harness.mjs';

const options = (process.env.SERVE_OPTIONS || '--sim').split(' ').filter(Boolean);
const ids = (process.env.EXPECT_IDS || '0,1,2,3,4,5').split(',').map(Number);

// The first update of the event stream.
function firstEvent(url) {
  return new Promise((resolve, reject) => {
    const req = http.get(new URL('/api/events', url), { agent: false }, (res) => {
      let text = '';
      res.setEncoding('utf8');
      res.on('data', (d) => {
        text += d;
        const line = text.split('\n').find((l) => l.startsWith('data: '));
        if (line) {
          req.destroy();
          resolve(JSON.parse(line.slice(6)));
        }
      });
    });
    req.on('error', reject);
  });
}

test('serves the page, the servos, their updates and commands', { timeout: 180000 }, async () => {
  const server = await startServe(options);
  let slow;
  try {
    const page = await request(server.url, 'GET', '/');
    assert.equal(page.status, 200);
    assert.match(page.text, /<title>Servo bus/);
    for (const file of ['/app.js', '/uPlot.iife.min.js', '/licenses.txt']) {
      assert.equal((await request(server.url, 'GET', file)).status, 200, file);
    }
    const servos = (await request(server.url, 'GET', '/api/servos')).json.servos;
    assert.deepEqual(servos.map((s) => s.id), ids);
    assert.deepEqual((await firstEvent(server.url)).servos.map((s) => s.id), ids);

    const moved = await post(server.url, `/api/servos/${ids[0]}/move`, { goal: 5000 });
    assert.equal(moved.status, 200, moved.text);
    await until(`servo ${ids[0]} arrives`, async () => {
      const servo = (await request(server.url, 'GET', '/api/servos')).json.servos[0];
      return servo.torque && Math.abs(servo.present - 5000) <= 10;
    });
    const refused = await request(server.url, 'POST', `/api/servos/${ids[0]}/release`, {
      headers: { 'Content-Type': 'text/plain' }, body: '{}',
    });
    assert.equal(refused.status, 415);

    // Clients that send a byte a second keep neither a release waiting nor the stop.
    slow = drip(server.url, 40);
    await until('the slow clients have started', () => slow.clients.every((c) => c.sent >= 2 || !c.open));
    const started = Date.now();
    const released = await post(server.url, `/api/servos/${ids[0]}/release`, {});
    const took = Date.now() - started;
    assert.equal(released.status, 200, released.text);
    assert.ok(took < 1000, `the release took ${took} ms`);
    assert.ok(slow.open() >= 40, `only ${slow.open()} slow clients were connected`);
  } finally {
    // Ctrl+C, as a person stops it (Wine passes SIGINT on as Ctrl+C).
    const stopped = await server.stop('SIGINT');
    slow?.stop();
    assert.equal(stopped.code, 0, server.err);
    console.log(`# stopped ${stopped.ms} ms after Ctrl+C`);
    assert.ok(stopped.ms < 2000, `stopping took ${stopped.ms} ms`);
  }
});
