// Drives Debian's Chromium, headless, through puppeteer-core for the e2e web cases
// (tests/e2e/cases.py, inside the VM). One JSON argument in, one JSON line out (the
// last line of stdout); everything the browser did is in that line, the case judges it.
//
//   node web_driver.mjs '{"mode":"probe"|"update", "repo":…, "url":…, …}'
//
// probe: opens a bare page, lists navigator.hid.getDevices() (the managed policy's
//   grant), opens the first adapter, sends a 64-byte version request with report id 0
//   and times round trips of a QueryLoader report through WebHID.
// update: the page of build/web/site by its DOM contract: waits for the granted
//   adapter, chooses the firmware file, confirms, and waits through the restart for the
//   end, noting when data-state changed.
import { mkdirSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname } from 'node:path';
import { performance } from 'node:perf_hooks';

const args = JSON.parse(process.argv[2]);
const require = createRequire(`${args.repo}/tests/web/package.json`);
const puppeteer = require('puppeteer-core');

const timeoutMs = args.timeoutMs ?? 300000;
const result = { mode: args.mode };

function finish(code) {
  process.stdout.write(`${JSON.stringify(result)}\n`);
  process.exit(code);
}

async function launch() {
  const t0 = performance.now();
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    // Root in the VM: no sandbox. No GPU in the VM, and /dev/shm is a small tmpfs.
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--no-first-run', '--no-default-browser-check'],
    timeout: timeoutMs,
    protocolTimeout: timeoutMs,
  });
  result.launchMs = performance.now() - t0;
  result.browserVersion = await browser.version();
  return browser;
}

// The bare page's part: the grant, a version request (when request is given), round trips.
function measure(page, url, request, roundTrips) {
  return page.evaluate(
      async (request, query, roundTrips) => {
        const out = { hid: 'hid' in navigator, secure: window.isSecureContext };
        if (!out.hid) return out;
        const devices = await navigator.hid.getDevices();
        out.devices = devices.map((d) => ({ vendorId: d.vendorId, productId: d.productId, name: d.productName }));
        if (devices.length === 0) return out;
        const device = devices[0];
        await device.open();
        const replies = [];
        let waiting = null;
        device.addEventListener('inputreport', (e) => {
          const bytes = Array.from(new Uint8Array(e.data.buffer, e.data.byteOffset, e.data.byteLength));
          if (waiting) {
            const w = waiting;
            waiting = null;
            w(bytes);
          } else {
            replies.push(bytes);
          }
        });
        const exchange = (bytes) =>
          new Promise((resolve, reject) => {
            const timer = setTimeout(() => reject(new Error('no reply within 5 s')), 5000);
            waiting = (reply) => {
              clearTimeout(timer);
              resolve(reply);
            };
            // Always 64 data bytes with id 0: what every platform's Chromium passes on whole.
            const report = new Uint8Array(64);
            report.set(bytes);
            device.sendReport(0, report).catch(reject);
          });
        // The same exchange as the engine makes it: the write's promise settled before
        // the reply is awaited.
        const awaitedExchange = async (bytes) => {
          const reply = exchange.pending(bytes);
          await reply.written;
          return reply;
        };
        exchange.pending = (bytes) => {
          let written;
          const reply = new Promise((resolve, reject) => {
            const timer = setTimeout(() => reject(new Error('no reply within 5 s')), 5000);
            waiting = (r) => {
              clearTimeout(timer);
              resolve(r);
            };
            const report = new Uint8Array(64);
            report.set(bytes);
            written = device.sendReport(0, report);
          });
          return { written, then: (f, r) => reply.then(f, r) };
        };
        if (request) out.versionReply = await exchange(request);
        const timed = async (how) => {
          const times = [];
          for (let i = 0; i < 20 + roundTrips; ++i) {
            const t = performance.now();
            const reply = await how(query);
            if (reply[1] !== 5 || reply[4] !== query[1]) throw new Error(`round trip ${i + 1}: reply ${reply.slice(0, 8)}`);
            if (i >= 20) times.push(performance.now() - t);
          }
          times.sort((a, b) => a - b);
          return { median: times[times.length >> 1], min: times[0], p99: times[Math.floor(times.length * 0.99)],
                   max: times[times.length - 1] };
        };
        out.floorMs = await timed(exchange);
        out.awaitedFloorMs = await timed(awaitedExchange);
        out.unexpectedReplies = replies.length;
        await device.close();
        return out;
      },
      request,
      args.query,
      roundTrips,
    );
}

async function probe(page) {
  const t0 = performance.now();
  await page.goto(args.url, { waitUntil: 'load' });
  result.loadMs = performance.now() - t0;
  Object.assign(result, await measure(page, args.url, args.request, args.roundTrips ?? 200));
}

async function text(page, selector) {
  return page.$eval(selector, (e) => e.textContent);
}

async function waitState(page, states, what) {
  const wanted = Array.isArray(states) ? states : [states];
  try {
    await page.waitForFunction((s) => s.includes(document.documentElement.dataset.state), { timeout: timeoutMs }, wanted);
  } catch (e) {
    throw new Error(`${what}: data-state stayed ${await page.evaluate(() => document.documentElement.dataset.state)}`);
  }
  return page.evaluate(() => document.documentElement.dataset.state);
}

async function update(page) {
  // Every data-state the page takes, with the page's clock, from its first script on.
  await page.evaluateOnNewDocument(() => {
    window.__states = [];
    const note = () => {
      const s = document.documentElement.dataset.state;
      const last = window.__states[window.__states.length - 1];
      if (s && (!last || last.state !== s)) window.__states.push({ state: s, t: performance.now() });
    };
    new MutationObserver(note).observe(document, { attributes: true, subtree: true, attributeFilter: ['data-state'] });
  });
  if (args.floorTrips) {
    // The floor of the WebHID stack in this browser, on this adapter, just before the
    // page takes it: a bare document of the same origin (the server's 404 page).
    await page.goto(new URL('e2e-floor', args.url).href, { waitUntil: 'load' });
    const m = await measure(page, args.url, null, args.floorTrips);
    result.webhidFloorMs = m.awaitedFloorMs;
  }
  const t0 = performance.now();
  await page.goto(args.url, { waitUntil: 'load' });
  result.loadMs = performance.now() - t0;
  await waitState(page, ['ready', 'unsupported'], 'the granted adapter opened');
  result.readyMs = performance.now() - t0;
  result.before = { adapter: await text(page, '#adapter'), caption: await text(page, '#caption') };

  const input = await page.$('#file');
  await input.uploadFile(args.file);
  await page.waitForFunction(() => !document.querySelector('#update').disabled, { timeout: 60000 }).catch(() => {});
  result.verdict = await text(page, '#verdict');
  result.updateEnabled = await page.$eval('#update', (b) => !b.disabled);
  if (!result.updateEnabled) return;

  const run = async () => {
    await page.click('#update');
    if ((await waitState(page, ['confirm', 'failed'], 'the confirmation')) === 'confirm') {
      result.confirmText = await text(page, '#confirm-text');
      await page.click('#confirm-ok');
      await waitState(page, ['done', 'failed'], 'the end of the update');
    }
  };
  await run();
  // Under emulation a reply now and then reaches the page after the read time-out, and a
  // check pass that got no answer ends as "Updated failed!" (never as a success). The
  // user's next step is to press Update again: one such retry, recorded for the case.
  if (args.retryOnce && (await page.evaluate(() => document.documentElement.dataset.state)) === 'failed') {
    result.firstAttempt = { result: await text(page, '#result'), cause: await text(page, '#result-cause') };
    await page.waitForFunction(() => !document.querySelector('#update').disabled, { timeout: 60000 });
    await run();
  }
  result.state = await page.evaluate(() => document.documentElement.dataset.state);
  result.states = await page.evaluate(() => window.__states);
  result.after = {
    result: await text(page, '#result'),
    cause: await text(page, '#result-cause'),
    status: await text(page, '#status'),
    adapter: await text(page, '#adapter'),
    caption: await text(page, '#caption'),
    log: await text(page, '#log'),
    reconnectHidden: await page.$eval('#reconnect', (e) => e.hidden || getComputedStyle(e).display === 'none'),
  };
  if (args.screenshot) {
    mkdirSync(dirname(args.screenshot), { recursive: true });
    // A picture for people to look at, not a check: a failed capture (the emulated GPU
    // path gives up now and then) is recorded, not fatal.
    try {
      await page.screenshot({ path: args.screenshot, fullPage: true });
    } catch (e) {
      try {
        await page.screenshot({ path: args.screenshot });
      } catch (e2) {
        result.screenshotError = String(e && e.message ? e.message : e);
      }
    }
  }
}

let browser;
try {
  browser = await launch();
  const page = await browser.newPage();
  page.setDefaultTimeout(timeoutMs);
  result.console = [];
  page.on('console', (m) => result.console.push(`${m.type()}: ${m.text()}`));
  page.on('pageerror', (e) => result.console.push(`pageerror: ${e.message}`));
  if (args.mode === 'probe') await probe(page);
  else await update(page);
  result.ok = true;
} catch (e) {
  result.ok = false;
  result.error = String(e && e.stack ? e.stack : e);
}
try {
  if (browser) await browser.close();
} catch (e) {
  result.closeError = String(e);
}
finish(0);
