// What every browser test needs: the site served on localhost by the test itself,
// Debian's chromium through puppeteer-core, the fake navigator.hid injected before
// the page loads, and firmware files made by the simulated adapter's module.
import fs from 'node:fs';
import http from 'node:http';
import {createRequire} from 'node:module';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(import.meta.url);

export const env = (name) => {
  const v = process.env[name];
  if (!v) throw new Error(`${name} is not set (the tests run through ctest --preset web)`);
  return v;
};

export function loadPuppeteer() {
  const modules = env('KORBEX_NODE_MODULES');
  const where = path.join(modules, 'puppeteer-core');
  if (!fs.existsSync(where)) {
    throw new Error(`puppeteer-core is missing in ${modules}: run \`npm ci --prefix tests/web\` (scripts/setup does)`);
  }
  return require(where);
}

const types = {
  '.html': 'text/html; charset=utf-8', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm',
  '.png': 'image/png', '.svg': 'image/svg+xml', '.ico': 'image/x-icon', '.json': 'application/json',
};

// A static server of one folder on 127.0.0.1, a free port.
export function serve(root) {
  const server = http.createServer((req, res) => {
    let rel = decodeURIComponent(new URL(req.url, 'http://x').pathname);
    if (rel.endsWith('/')) rel += 'index.html';
    const file = path.join(root, path.normalize(rel));
    if (!file.startsWith(root) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      res.writeHead(404);
      res.end('not found');
      return;
    }
    res.writeHead(200, {'Content-Type': types[path.extname(file)] || 'application/octet-stream', 'Cache-Control': 'no-store'});
    fs.createReadStream(file).pipe(res);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

export async function launch(extraArgs = []) {
  const puppeteer = loadPuppeteer();
  return puppeteer.launch({
    executablePath: process.env.KORBEX_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
           // korbex.test is this server under a name that is not a secure context.
           '--host-resolver-rules=MAP korbex.test 127.0.0.1', ...extraArgs],
  });
}

// The fake navigator.hid and the simulated adapter, as one script run before the page.
export function fakeScript(options) {
  const simJs = fs.readFileSync(env('KORBEX_SIM_JS'), 'utf8');
  const fakeJs = fs.readFileSync(path.join(here, 'fake-hid.js'), 'utf8');
  return `${simJs}\n;${fakeJs}\n;installFakeHid(${JSON.stringify(options)});`;
}

// Firmware files: the same maker as korbex-update make-demo-firmware, through the
// simulated adapter's module under node.
export async function simModule() {
  const factory = require(env('KORBEX_SIM_JS'));
  return factory();
}
export function makeFile(M, {s1 = 6 * 4096 + 1000, s2 = 2 * 4096, s3 = 3 * 4096, seed = 1} = {}) {
  const size = M._malloc(4);
  const p = M._sim_make_file(s1, s2, s3, seed, size);
  const bytes = M.HEAPU8.slice(p, p + M.HEAPU32[size >> 2]);
  M._free(p);
  M._free(size);
  return Buffer.from(bytes);
}

export function tempDir() { return fs.mkdtempSync(path.join(os.tmpdir(), 'korbex-web-')); }

// Checks: each failure is collected, so one run reports all of them.
export class Checks {
  constructor() { this.failures = []; this.count = 0; }
  ok(cond, what, detail) {
    ++this.count;
    if (!cond) this.failures.push(detail === undefined ? what : `${what}: ${JSON.stringify(detail)}`);
    return cond;
  }
  eq(actual, expected, what) { return this.ok(actual === expected, what, {actual, expected}); }
}
