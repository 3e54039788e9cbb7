// Starts zavsim and `zavctl serve` as processes and talks HTTP to them.
// ZAVCTL and ZAVSIM name the programs (ZAVCTL may be a command with a prefix,
// e.g. "wine64 build-x64/zavctl.exe"); the default is the Linux build in build/.
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const command = (variable, fallback) => (process.env[variable] || fallback).split(' ').filter(Boolean);
export const zavctlCommand = command('ZAVCTL', path.join(root, 'build/zavctl'));
export const zavsimCommand = command('ZAVSIM', path.join(root, 'build/zavsim'));

// A program with its output collected line by line.
export class Program {
  constructor(argv, { stdin = 'ignore' } = {}) {
    this.child = spawn(argv[0], argv.slice(1), { stdio: [stdin, 'pipe', 'pipe'] });
    this.out = '';
    this.err = '';
    this.waiters = new Set();
    this.exited = new Promise((resolve) => {
      this.child.on('exit', (code, signal) => {
        this.exitCode = code;
        this.exitSignal = signal;
        resolve({ code, signal });
        this.check();
      });
    });
    // Output of a Windows program under Wine has CRLF line ends.
    this.child.stdout.on('data', (d) => { this.out += d.toString().replace(/\r/g, ''); this.check(); });
    this.child.stderr.on('data', (d) => { this.err += d.toString().replace(/\r/g, ''); this.check(); });
  }

  check() {
    for (const waiter of this.waiters) waiter();
  }

  // Resolves with the first match of pattern in standard output (from the
  // given offset on); rejects on exit or after timeoutMs.
  waitFor(pattern, timeoutMs = 30000, from = 0) {
    return new Promise((resolve, reject) => {
      const done = (f, value) => {
        clearTimeout(timer);
        this.waiters.delete(test);
        f(value);
      };
      const test = () => {
        const match = this.out.slice(from).match(pattern);
        if (match) return done(resolve, match);
        if (this.exitCode !== undefined || this.exitSignal) {
          done(reject, new Error(`${this.child.spawnfile} exited (${this.exitCode}) before printing ${pattern}:\n${this.out}${this.err}`));
        }
      };
      const timer = setTimeout(() => done(reject, new Error(`no ${pattern} within ${timeoutMs} ms:\n${this.out}${this.err}`)), timeoutMs);
      this.waiters.add(test);
      test();
    });
  }

  // Stops with a signal; resolves with the exit and the time it took.
  async stop(signal = 'SIGTERM', timeoutMs = 10000) {
    const started = Date.now();
    if (this.exitCode === undefined && !this.exitSignal) this.child.kill(signal);
    let timer;
    const overdue = new Promise((resolve) => {
      timer = setTimeout(() => {
        this.child.kill('SIGKILL');
        resolve({ overdue: true });
      }, timeoutMs);
    });
    const result = await Promise.race([this.exited, overdue]);
    clearTimeout(timer);
    return { ...result, ms: Date.now() - started };
  }
}

// zavsim on a pseudo-terminal, its bus changed at run time through --commands.
export class Simulator extends Program {
  constructor(args = []) {
    const dir = mkdtempSync(path.join(tmpdir(), 'zavsim-web-'));
    const link = path.join(dir, 'ttyZAV');
    super([...zavsimCommand, '--link', link, '--commands', ...args], { stdin: 'pipe' });
    this.dir = dir;
    this.link = link;
  }

  async ready() {
    await this.waitFor(/^zavsim: servos .* on /m);
    return this;
  }

  // Sends one command and waits for its confirmation.
  async command(line) {
    const before = this.out.length;
    this.child.stdin.write(`${line}\n`);
    await this.waitFor(new RegExp(`zavsim: servos ${line.split(' ')[1]} (are silent|answer again|turned to)`), 30000, before);
  }

  async stop() {
    const result = await super.stop();
    rmSync(this.dir, { recursive: true, force: true });
    return result;
  }
}

// `zavctl OPTIONS serve --http-port 0 ...`, once it has printed its address.
export async function startServe(options, serveArgs = []) {
  const program = new Program([...zavctlCommand, ...options, 'serve', '--http-port', '0', ...serveArgs]);
  const match = await program.waitFor(/^serving (http:\/\/([^/]+):(\d+)\/)(?:\?token=([\w.~-]+))?$/m, 60000);
  program.url = match[1];
  program.host = match[2];
  program.port = Number(match[3]);
  program.token = match[4];
  return program;
}

// One HTTP request on a connection of its own: every header is under the
// test's control, Host and Origin included.
export function request(base, method, target, { headers = {}, body, timeoutMs = 20000 } = {}) {
  const url = new URL(target, base);
  const named = Object.keys(headers).map((h) => h.toLowerCase());
  if (body !== undefined && !named.includes('transfer-encoding')) {
    headers = { ...headers, 'Content-Length': Buffer.byteLength(body) };
  }
  return new Promise((resolve, reject) => {
    const req = http.request(
      { host: url.hostname, port: url.port, method, path: url.pathname + url.search, headers, agent: false },
      (res) => {
        const chunks = [];
        res.on('data', (d) => chunks.push(d));
        res.on('end', () => {
          const bytes = Buffer.concat(chunks);
          const text = bytes.toString('utf8');
          let json;
          try {
            json = JSON.parse(new TextDecoder('utf-8', { fatal: true }).decode(bytes));
          } catch {
            json = undefined; // not JSON, or not valid UTF-8
          }
          resolve({ status: res.statusCode, headers: res.headers, text, json });
        });
      },
    );
    // The whole answer within the time (an endless stream is no answer).
    const timer = setTimeout(() => req.destroy(new Error(`${method} ${target}: no answer within ${timeoutMs} ms`)), timeoutMs);
    req.on('close', () => clearTimeout(timer));
    req.on('error', reject);
    if (body !== undefined) req.write(body);
    req.end();
  });
}

// Raw bytes on a kept-alive connection: head, then (once a whole answer has
// come) body; resolves with everything the server sent until it closed.
export function rawExchange(base, head, body, timeoutMs = 20000) {
  const url = new URL(base);
  return new Promise((resolve, reject) => {
    let text = '';
    let bodySent = body === undefined;
    // Bytes as written: one character, one byte (so '\xff' is the byte 0xFF).
    const socket = net.connect(Number(url.port), url.hostname, () => socket.write(Buffer.from(head, 'latin1')));
    const timer = setTimeout(() => {
      reject(new Error(`the connection was not closed within ${timeoutMs} ms:\n${text}`));
      socket.destroy();
    }, timeoutMs);
    socket.setEncoding('latin1');
    socket.on('data', (d) => {
      text += d;
      const end = text.indexOf('\r\n\r\n');
      const length = /\r\ncontent-length: *(\d+)/i.exec(text);
      if (!bodySent && end >= 0 && length && text.length >= end + 4 + Number(length[1])) {
        bodySent = true;
        socket.write(Buffer.from(body, 'latin1'), () => {});
      }
    });
    socket.on('error', (e) => (bodySent ? undefined : reject(e))); // a write after the server closed fails
    socket.on('close', () => {
      clearTimeout(timer);
      resolve(text);
    });
  });
}

// A command as the dashboard's page sends it.
export function post(base, target, body) {
  const origin = new URL(base).origin;
  return request(base, 'POST', target, {
    headers: { 'Content-Type': 'application/json', Origin: origin },
    body: JSON.stringify(body),
  });
}

// Polls fn until it returns a truthy value; rejects after timeoutMs.
export async function until(what, fn, timeoutMs = 20000, everyMs = 100) {
  const deadline = Date.now() + timeoutMs;
  let last;
  for (;;) {
    last = await fn();
    if (last) return last;
    if (Date.now() > deadline) throw new Error(`${what}: not within ${timeoutMs} ms`);
    await new Promise((resolve) => setTimeout(resolve, everyMs));
  }
}

// An event stream of /api/events, resolved with the response once its first
// update has come (or at once when refused); events collects the data lines.
export function openStream(base, headers = {}) {
  return new Promise((resolve, reject) => {
    const req = http.get(new URL('/api/events', base), { agent: false, headers }, (res) => {
      res.events = [];
      if (res.statusCode !== 200) return resolve(res);
      res.setEncoding('utf8');
      let text = '';
      res.on('data', (d) => {
        text += d;
        const lines = text.split('\n');
        text = lines.pop();
        res.events.push(...lines.filter((l) => l.startsWith('data: ')));
        if (res.events.length) resolve(res);
      });
    });
    req.on('error', reject);
  });
}

// Connections that send a request's head one byte a second, as a slow (or
// hostile) client does. Each records what the server sent before closing it.
export function drip(base, count) {
  const url = new URL(base);
  const head = `GET /api/servos HTTP/1.1\r\nHost: ${url.host}\r\nX-Slow: ${'x'.repeat(64)}`;
  const clients = [...Array(count)].map(() => {
    const client = { sent: 0, text: '', open: true, openedAt: Date.now() };
    const socket = net.connect(Number(url.port), url.hostname);
    socket.setEncoding('latin1');
    socket.on('data', (d) => (client.text += d));
    socket.on('error', () => {});
    client.closed = new Promise((resolve) => socket.on('close', () => {
      client.open = false;
      client.closedAt = Date.now();
      clearInterval(client.timer);
      resolve(client);
    }));
    client.timer = setInterval(() => {
      if (client.sent < head.length) socket.write(head[client.sent++]);
    }, 1000);
    socket.on('connect', () => socket.write(head[client.sent++]));
    client.socket = socket;
    return client;
  });
  return {
    clients,
    open: () => clients.filter((c) => c.open).length,
    stop: () => clients.forEach((c) => c.socket.destroy()),
  };
}

// A request whose headers never end: header lines of lineBytes until total
// bytes are sent or the server closes the connection; resolves with what was
// sent and what the server answered.
export function floodHeaders(base, total, lineBytes = 100) {
  const url = new URL(base);
  const line = `X-Flood: ${'a'.repeat(lineBytes - 12)}\r\n`;
  return new Promise((resolve) => {
    let sent = 0;
    let text = '';
    let closed = false;
    const socket = net.connect(Number(url.port), url.hostname);
    socket.setEncoding('latin1');
    socket.on('data', (d) => (text += d));
    socket.on('error', () => {});
    socket.on('close', () => {
      closed = true;
      resolve({ sent, text });
    });
    socket.on('connect', async () => {
      socket.write(`GET /api/servos HTTP/1.1\r\nHost: ${url.host}\r\n`);
      while (!closed && sent < total) {
        sent += line.length;
        if (!socket.write(line)) await new Promise((r) => { socket.once('drain', r); socket.once('close', r); });
      }
      socket.destroy();
    });
  });
}

// The resident memory of a process, in MB (Linux).
export function residentMB(pid) {
  const status = readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(/^VmRSS:\s+(\d+) kB/m.exec(status)[1]) / 1024;
}
