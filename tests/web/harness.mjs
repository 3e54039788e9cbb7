// Starts zavsim and `zavctl serve` as processes and talks HTTP to them.
// ZAVCTL and ZAVSIM name the programs (ZAVCTL may be a command with a prefix,
// e.g. "wine64 build-x64/zavctl.exe"); the default is the Linux build in build/.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
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
    await this.waitFor(new RegExp(`zavsim: servos ${line.split(' ')[1]} (are silent|answer again)`), 30000, before);
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
  const match = await program.waitFor(/^serving (http:\/\/([^/]+):(\d+)\/)$/m, 60000);
  program.url = match[1];
  program.host = match[2];
  program.port = Number(match[3]);
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
      { host: url.hostname, port: url.port, method, path: url.pathname, headers, agent: false, timeout: timeoutMs },
      (res) => {
        let text = '';
        res.setEncoding('utf8');
        res.on('data', (d) => (text += d));
        res.on('end', () => {
          let json;
          try {
            json = JSON.parse(text);
          } catch {
            json = undefined;
          }
          resolve({ status: res.statusCode, headers: res.headers, text, json });
        });
      },
    );
    req.on('timeout', () => req.destroy(new Error(`${method} ${target}: no answer within ${timeoutMs} ms`)));
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
    const socket = net.connect(Number(url.port), url.hostname, () => socket.write(head));
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
        socket.write(body, () => {});
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
