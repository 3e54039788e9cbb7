// The HTTP interface of `zavctl serve` checked directly: every bad or foreign
// request gets a 4xx with a sentence and moves nothing; the process refuses a
// port or a device that is taken and stops quickly with streams open.
import assert from 'node:assert/strict';
import http from 'node:http';
import { after, before, describe, test } from 'node:test';

import { post, Program, rawExchange, request, Simulator, startServe, until, zavctlCommand } from './harness.mjs';

const LIMIT = { timeout: 180000 }; // a hung server fails its test instead of stalling the run

describe('zavctl --sim serve', LIMIT, () => {
  let server;
  before(async () => {
    server = await startServe(['--sim']);
  });
  after(async () => {
    await server.stop();
  });

  test('refuses bad and foreign requests with a 4xx and changes nothing', async () => {
    const url = server.url;
    const host = `127.0.0.1:${server.port}`;
    const json = { 'Content-Type': 'application/json' };
    const body = (value) => JSON.stringify(value);
    const cases = [
      // What another site's page or a rebound name could send.
      ['GET with a foreign Host', 'GET', '/api/servos', { Host: `attacker.example:${server.port}` }, undefined, 403],
      ['command with a foreign Host', 'POST', '/api/servos/1/move', { ...json, Host: `attacker.example:${server.port}` }, body({ goal: 4000 }), 403],
      ['command with the wrong port in Host', 'POST', '/api/servos/1/move', { ...json, Host: '127.0.0.1:1' }, body({ goal: 4000 }), 403],
      ['command from another origin', 'POST', '/api/servos/1/move', { ...json, Origin: 'http://attacker.example' }, body({ goal: 4000 }), 403],
      ['command from an opaque origin', 'POST', '/api/servos/1/move', { ...json, Origin: 'null' }, body({ goal: 4000 }), 403],
      ['command as text/plain (a simple cross-site request)', 'POST', '/api/servos/1/move', { 'Content-Type': 'text/plain' }, body({ goal: 4000 }), 415],
      ['command as a form', 'POST', '/api/scan', { 'Content-Type': 'application/x-www-form-urlencoded' }, 'goal=4000', 415],
      ['command without a content type', 'POST', '/api/servos/1/release', {}, '{}', 415],
      ['content type that only starts like JSON', 'POST', '/api/servos/1/move', { 'Content-Type': 'application/jsonp' }, body({ goal: 4000 }), 415],
      ['chunked body', 'POST', '/api/servos/1/move', { ...json, 'Transfer-Encoding': 'chunked' }, '10\r\n{"goal": 4000}  \r\n0\r\n\r\n', 411],
      ['huge body', 'POST', '/api/servos/1/move', json, body({ goal: 4000, pad: 'x'.repeat(5000) }), 413],
      // Malformed commands.
      ['malformed JSON', 'POST', '/api/servos/1/move', json, '{"goal": 4000', 400],
      ['JSON that is not an object', 'POST', '/api/servos/1/move', json, '[4000]', 400],
      ['goal below the range', 'POST', '/api/servos/1/move', json, body({ goal: 2999 }), 400],
      ['goal above the range', 'POST', '/api/servos/1/move', json, body({ goal: 12001 }), 400],
      ['goal as a string', 'POST', '/api/servos/1/move', json, body({ goal: '4000' }), 400],
      ['goal with a fraction', 'POST', '/api/servos/1/move', json, body({ goal: 4000.5 }), 400],
      ['goal far beyond 64 bits', 'POST', '/api/servos/1/move', json, '{"goal": 1e400}', 400],
      ['move without a goal', 'POST', '/api/servos/1/move', json, '{}', 400],
      ['misspelt field', 'POST', '/api/servos/1/move', json, body({ gaol: 4000 }), 400],
      ['field on a command that takes none', 'POST', '/api/servos/1/release', json, body({ goal: 4000 }), 400],
      ['parameter 0', 'POST', '/api/servos/1/params', json, body({ sc1: 0 }), 400],
      ['parameter 128', 'POST', '/api/servos/1/params', json, body({ sc2: 128 }), 400],
      ['parameters without a value', 'POST', '/api/servos/1/params', json, '{}', 400],
      ['sync without goals', 'POST', '/api/sync', json, '{}', 400],
      ['sync with no servo', 'POST', '/api/sync', json, body({ goals: {} }), 400],
      ['sync with id 40', 'POST', '/api/sync', json, body({ goals: { 1: 4000, 40: 4000 } }), 400],
      ['sync with a name for an id', 'POST', '/api/sync', json, body({ goals: { one: 4000 } }), 400],
      ['sync with a goal out of range', 'POST', '/api/sync', json, body({ goals: { 1: 4000, 2: 99999 } }), 400],
      ['sync of 23 servos', 'POST', '/api/sync', json, body({ goals: Object.fromEntries([...Array(23).keys()].map((id) => [id, 4000])) }), 400],
      // Servos and routes that do not exist.
      ['servo id 99', 'POST', '/api/servos/99/move', json, body({ goal: 4000 }), 404],
      ['servo not found by the scan', 'POST', '/api/servos/7/move', json, body({ goal: 4000 }), 404],
      ['sync naming a servo not found by the scan', 'POST', '/api/sync', json, body({ goals: { 1: 4000, 7: 4000 } }), 404],
      ['registers of servo 99', 'GET', '/api/servos/99/registers', {}, undefined, 404],
      ['unknown route', 'GET', '/api/nothing', {}, undefined, 404],
      ['unknown file', 'GET', '/nothing.js', {}, undefined, 404],
      ['command by GET', 'GET', '/api/servos/1/move', {}, undefined, 405],
      ['read by POST', 'POST', '/api/servos', json, '{}', 405],
      ['PUT', 'PUT', '/api/servos/1/move', json, body({ goal: 4000 }), 405],
      ['DELETE', 'DELETE', '/api/servos/1', {}, undefined, 405],
    ];
    const servos = async () => (await request(url, 'GET', '/api/servos')).json.servos;
    const positions = (list) => list.map(({ id, torque, goal, present, sc1, sc2 }) => ({ id, torque, goal, present, sc1, sc2 }));
    const initial = await servos();
    assert.deepEqual(initial.map((s) => s.id), [0, 1, 2, 3, 4, 5]);

    const failures = [];
    for (const [name, method, target, headers, payload, status] of cases) {
      const answer = await request(url, method, target, { headers: { Host: host, ...headers }, body: payload });
      const wellFormed = answer.json && typeof answer.json.error === 'string' && answer.json.error.length > 0 &&
        Array.isArray(answer.json.flags);
      if (answer.status !== status || !wellFormed || answer.headers['content-type'] !== 'application/json') {
        failures.push(`${name}: ${answer.status} ${answer.text}`);
      }
    }
    // What only raw bytes show: what follows a refused command on its connection
    // (a page of another site sends both in one go), and a command without a length.
    const inner = `POST /api/servos/1/move HTTP/1.1\r\nHost: ${host}\r\nContent-Type: application/json\r\n` +
      'Content-Length: 14\r\n\r\n{"goal": 9000}';
    const rawCases = [
      ['a refused command carrying another', `POST /api/scan HTTP/1.1\r\nHost: ${host}\r\nOrigin: http://attacker.example\r\n` +
        `Content-Type: text/plain\r\nContent-Length: ${inner.length}\r\n\r\n`, inner, ['403']],
      ['command without a Content-Length', `POST /api/servos/1/release HTTP/1.1\r\nHost: ${host}\r\n` +
        'Content-Type: application/json\r\n\r\n', undefined, ['411']],
    ];
    for (const [name, head, payload, statuses] of rawCases) {
      const text = await rawExchange(url, head, payload);
      const answered = [...text.matchAll(/HTTP\/1\.1 (\d{3}) /g)].map((match) => match[1]);
      if (answered.join() !== statuses.join()) failures.push(`${name}: ${text}`);
    }
    assert.deepEqual(failures, []);
    assert.deepEqual(positions(await servos()), positions(initial), 'a refused request changed a servo');

    // The same commands sent as the page sends them go through.
    for (const [target, payload] of [['/api/servos/1/move', { goal: 4000 }], ['/api/servos/2/params', { sc1: 50, sc2: 60 }],
      ['/api/sync', { goals: { 3: 5000, 4: 6000 } }]]) {
      const answer = await post(url, target, payload);
      assert.equal(answer.status, 200, `${target}: ${answer.text}`);
    }
    const alias = await request(url, 'POST', '/api/servos/5/hold', {
      headers: { Host: `localhost:${server.port}`, Origin: `http://localhost:${server.port}`, 'Content-Type': 'application/json; charset=utf-8' },
      body: '',
    });
    assert.equal(alias.status, 200, alias.text);
    const after = await until('servos 1, 3 and 4 arrive', async () => {
      const list = await servos();
      const byId = Object.fromEntries(list.map((s) => [s.id, s]));
      return [[1, 4000], [3, 5000], [4, 6000]].every(([id, goal]) => byId[id].torque && byId[id].goal === goal &&
        Math.abs(byId[id].present - goal) <= 10) && byId;
    });
    assert.equal(after[2].sc1, 50);
    assert.equal(after[2].sc2, 60);
    assert.equal(after[5].torque, true);
    assert.equal(after[0].torque, false);
  });

  test('serves the page, its libraries and their licences', async () => {
    const page = await request(server.url, 'GET', '/');
    assert.equal(page.status, 200);
    assert.match(page.headers['content-type'], /^text\/html/);
    assert.match(page.headers['content-security-policy'], /frame-ancestors 'none'/);
    for (const [file, type] of [['/app.js', /javascript/], ['/uPlot.iife.min.js', /javascript/], ['/app.css', /css/],
      ['/uPlot.min.css', /css/]]) {
      assert.match(page.text, new RegExp(file.replace(/\./g, '\\.')), `the page does not load ${file}`);
      const asset = await request(server.url, 'GET', file);
      assert.equal(asset.status, 200, file);
      assert.match(asset.headers['content-type'], type, file);
    }
    const licences = await request(server.url, 'GET', '/licenses.txt');
    for (const name of ['uPlot', 'cpp-httplib', 'nlohmann/json']) assert.match(licences.text, new RegExp(name));
    assert.match(licences.text, /Permission is hereby granted/);
  });

  test('a register table as zavctl read shows it', async () => {
    const answer = await request(server.url, 'GET', '/api/servos/1/registers');
    assert.equal(answer.status, 200, answer.text);
    const rows = Object.fromEntries(answer.json.registers.map((r) => [r.name, r]));
    assert.deepEqual(Object.keys(rows), ['id', 'torque_enable', 'goal_position', 'sc2_value', 'sc1_value',
      'present_position', 'sc3_value', 'sc4_value']);
    assert.equal(rows.id.value, 1);
    assert.equal(rows.goal_position.value, 4000);
    assert.equal(rows.goal_position.raw, 'A0 0F');
  });
});

describe('the serve process', LIMIT, () => {
  let sim;
  let first;
  before(async () => {
    sim = await new Simulator(['--ids', '1,2']).ready();
    first = await startServe(['--port', sim.link]);
  });
  after(async () => {
    await first.stop();
    await sim.stop();
  });

  test('a second serve on the same device or the same HTTP port is refused with a message', async () => {
    // Each must exit with a message; one still running after the deadline has taken the port or device.
    const exitOf = async (program) => {
      let timer;
      const deadline = new Promise((resolve) => (timer = setTimeout(resolve, 30000, { running: true })));
      const exit = await Promise.race([program.exited, deadline]);
      clearTimeout(timer);
      if (exit.running) await program.stop();
      return exit;
    };
    const sameDevice = new Program([...zavctlCommand, '--port', sim.link, 'serve', '--http-port', '0']);
    assert.equal((await exitOf(sameDevice)).code, 3, sameDevice.out);
    assert.match(sameDevice.err, /cannot open .*held by another program/);
    const samePort = new Program([...zavctlCommand, '--sim', 'serve', '--http-port', String(first.port)]);
    assert.equal((await exitOf(samePort)).code, 3, samePort.out);
    assert.match(samePort.err, /cannot listen on 127\.0\.0\.1 port \d+: another program/);
    // The first server still answers for the device it holds.
    const answer = await request(first.url, 'GET', '/api/servos');
    assert.deepEqual(answer.json.servos.map((s) => s.id), [1, 2]);
  });

  test('with the most pages open it still answers, and refuses one stream more', async () => {
    // Resolves with the response once its first update has come.
    const open = () => new Promise((resolve, reject) => {
      const req = http.get(new URL('/api/events', first.url), { agent: false }, (res) => {
        if (res.statusCode !== 200) return resolve(res);
        res.setEncoding('utf8');
        let text = '';
        res.on('data', (d) => {
          text += d;
          if (text.includes('data: ')) resolve(res);
        });
      });
      req.on('error', reject);
    });
    const streams = await Promise.all([...Array(16)].map(open));
    assert.deepEqual(streams.map((r) => r.statusCode), Array(16).fill(200));
    const refused = await open();
    refused.resume();
    assert.equal(refused.statusCode, 503);
    const started = Date.now();
    assert.equal((await request(first.url, 'GET', '/api/servos')).status, 200);
    assert.equal((await request(first.url, 'GET', '/')).status, 200);
    assert.ok(Date.now() - started < 5000, `answering took ${Date.now() - started} ms`);
    for (const res of streams) res.destroy();
    // Closed streams make room again.
    await until('a stream is accepted again', async () => {
      const res = await open();
      res.destroy();
      return res.statusCode === 200;
    });
  });

  test('streams updates and stops within two seconds of SIGTERM with streams and idle connections open', async () => {
    const events = [];
    let ended = false;
    const stream = http.get(new URL('/api/events', first.url), { agent: false }, (res) => {
      assert.equal(res.headers['content-type'], 'text/event-stream');
      res.setEncoding('utf8');
      res.on('data', (d) => events.push(...d.split('\n').filter((l) => l.startsWith('data: '))));
      res.on('end', () => (ended = true));
      res.on('error', () => (ended = true));
    });
    stream.on('error', () => (ended = true));
    await until('three updates', () => events.length >= 3);
    const update = JSON.parse(events.at(-1).slice(6));
    assert.deepEqual(update.servos.map((s) => s.id), [1, 2]);
    assert.ok(JSON.parse(events[1].slice(6)).seq > JSON.parse(events[0].slice(6)).seq);

    // An idle keep-alive connection, as a browser leaves one.
    const agent = new http.Agent({ keepAlive: true });
    await new Promise((resolve, reject) => http.get(new URL('/api/servos', first.url), { agent }, (res) => {
      res.resume();
      res.on('end', resolve);
    }).on('error', reject));

    const stopped = await first.stop('SIGTERM');
    agent.destroy();
    assert.equal(stopped.code, 0, first.err);
    assert.ok(stopped.ms < 4000, `stopping took ${stopped.ms} ms`);
    await until('the event stream ends', () => ended, 5000);
  });
});
