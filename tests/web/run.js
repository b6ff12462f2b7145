// The web page in Debian's chromium (headless, puppeteer-core) against the simulated
// adapter behind a fake navigator.hid. Each scenario checks what the user sees and
// what the adapter's flash holds. Usage: node run.js --group update|faults|ui|bench
// [--only NAME]. Environment from tests/web/CMakeLists.txt.
import fs from 'node:fs';
import path from 'node:path';

import {Checks, env, fakeScript, launch, makeFile, serve, simModule, tempDir} from './harness.js';

const TITLE = 'Korbex Update v2.16';
const RESULT_OK = 'Updated successful!';
const RESULT_FAILED = 'Updated failed!';
const INSTRUCTIONS_ZH = '1. 将接收器连接到 PC。\n\n' +
    '2. 将手柄的模式开关移动到 2.4G 位置，按下 HOME 键开启手柄。\n\n' +
    '3. 按住手柄的 LB+RB+L3+R3+P1+P2 键 5 秒使接收器进入升级模式。\n\n' +
    '4. 点击 Update 按钮选择固件开始更新。';
const INSTRUCTIONS_EN_START = '1. Connect the adapter to the PC.';

// Records, from before the page's own scripts run, the page's data-state changes
// with their times and the highest position the progress bar showed (the engine puts
// it back to 0 when a run succeeds).
const stateRecorder = `(() => {
  window.korbexStates = [];
  window.korbexMaxProgress = 0;
  const seen = () => {
    const s = document.documentElement.getAttribute('data-state');
    const last = window.korbexStates[window.korbexStates.length - 1];
    if (s !== null && (!last || last[0] !== s)) window.korbexStates.push([s, performance.now()]);
    const bar = document.getElementById('progress');
    if (bar) window.korbexMaxProgress = Math.max(window.korbexMaxProgress, bar.value);
  };
  new MutationObserver(seen).observe(document, {attributes: true, subtree: true, attributeFilter: ['data-state', 'value']});
  document.addEventListener('DOMContentLoaded', seen);
})();`;

// ---- page helpers
async function openPage(ctx, {fake = null, width = 1000, url = ctx.origin + '/', noHid = false} = {}) {
  const page = await ctx.browser.newPage();
  await page.setViewport({width, height: 900});
  page.on('pageerror', (e) => ctx.pageErrors.push(String(e)));
  page.on('console', (m) => {
    // A missing file shows as a response below, with its address.
    if (m.type() === 'error' && !m.text().startsWith('Failed to load resource')) ctx.pageErrors.push('console: ' + m.text());
  });
  page.on('response', (r) => {
    if (r.status() >= 400 && !r.url().endsWith('/favicon.ico')) ctx.pageErrors.push(`${r.status()} ${r.url()}`);
  });
  await page.evaluateOnNewDocument(stateRecorder);
  if (fake) await page.evaluateOnNewDocument(fakeScript(fake));
  // A browser without WebHID: the attribute is not there at all.
  if (noHid) await page.evaluateOnNewDocument('delete Navigator.prototype.hid;');
  await page.goto(url, {waitUntil: 'load'});
  if (fake) await page.evaluate(() => window.korbexFake.ready);
  // The page is usable once its texts are in: the buttons are labelled only after the
  // engine has loaded and the handlers are wired.
  await page.waitForFunction(() => document.querySelector('#connect').textContent.trim() !== '', {timeout: 10000});
  return page;
}

const state = (page) => page.evaluate(() => document.documentElement.dataset.state);
const text = (page, sel) => page.$eval(sel, (e) => e.textContent.replace(/\r\n/g, '\n').trim()).catch(() => null);
const visible = (page, sel) =>
  page.$eval(sel, (e) => !e.hidden && getComputedStyle(e).display !== 'none' && e.getClientRects().length > 0)
      .catch(() => false);
const disabled = (page, sel) => page.$eval(sel, (e) => e.disabled).catch(() => null);
const states = (page) => page.evaluate(() => window.korbexStates.map((s) => s[0]));

async function waitState(page, wanted, timeout = 20000) {
  const list = Array.isArray(wanted) ? wanted : [wanted];
  try {
    await page.waitForFunction((l) => l.includes(document.documentElement.dataset.state), {timeout, polling: 20}, list);
  } catch (e) {
    throw new Error(`page never reached data-state ${list.join('|')} (now ${await state(page)}; ` +
                    `seen ${(await states(page)).join(' > ')}; status "${await text(page, '#status')}"; ` +
                    `result "${await text(page, '#result')}" / "${await text(page, '#result-cause')}")`);
  }
  return state(page);
}

async function connect(page) {
  await page.click('#connect');
  await waitState(page, 'ready');
}

async function chooseFile(page, file) {
  const input = await page.$('#file');
  await input.uploadFile(file);
  await page.waitForFunction(() => document.querySelector('#verdict').textContent.trim() !== '', {timeout: 5000});
}

// Starts the update, and answers the confirmation with OK (after a screenshot when asked).
async function startUpdate(ctx, page, c, {shot = null} = {}) {
  await page.waitForFunction(() => !document.querySelector('#update').disabled, {timeout: 5000});
  await page.click('#update');
  await waitState(page, 'confirm');
  c.ok(await page.$eval('#confirm', (d) => d.open), 'the confirmation dialog is open');
  c.eq(await text(page, '#confirm-text'), 'firmware V2.16', 'confirmation text');
  if (shot) await ctx.shot(page, shot);
  await page.click('#confirm-ok');
}

async function flashHolds(page, file) {
  return page.evaluate((b) => window.korbexFake.flashHoldsFile(new Uint8Array(b)), Array.from(file));
}


// Drops a file on #drop the way a browser does: dragenter, dragover, drop, each a
// DragEvent whose DataTransfer holds a File of these bytes. Returns which of them the
// page cancelled (a cancelled dragover is what lets a real browser drop there).
async function dropFile(page, name, bytes) {
  return page.evaluate((name, data) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File([new Uint8Array(data)], name));
    const zone = document.querySelector('#drop');
    const cancelled = {};
    for (const type of ['dragenter', 'dragover', 'drop']) {
      const e = new DragEvent(type, {bubbles: true, cancelable: true, composed: true, dataTransfer: transfer});
      cancelled[type] = !zone.dispatchEvent(e);
    }
    return cancelled;
  }, name, Array.from(bytes));
}

// What the page made of a file: #verdict cleared first, then the action (a drop or a
// choice), then the verdict the page writes, with #update's state right after it.
async function verdictAfter(page, action) {
  await page.evaluate(() => { document.querySelector('#verdict').textContent = ''; });
  const extra = await action();
  await page.waitForFunction(() => document.querySelector('#verdict').textContent.trim() !== '', {timeout: 5000})
      .catch(() => {});
  return {
    verdict: await text(page, '#verdict'),
    accepted: await page.$eval('#verdict', (e) => e.dataset.accepted),
    updateDisabled: await disabled(page, '#update'),
    extra,
  };
}

// ---- keyboard helpers: page.keyboard only, never the mouse
const focusedId = (page) => page.evaluate(() => (document.activeElement && document.activeElement.id) || '');

// Presses Tab until the element with this id has focus; fails after max presses.
async function tabTo(page, id, max = 12) {
  for (let i = 0; i < max; ++i) {
    await page.keyboard.press('Tab');
    if (await focusedId(page) === id) return;
  }
  throw new Error(`Tab never reached #${id} (focus on "${await focusedId(page)}")`);
}

// Whether the focused element shows that it has focus: an outline or a box-shadow.
const focusShown = (page) => page.evaluate(() => {
  const e = document.activeElement;
  const s = getComputedStyle(e);
  const outline = s.outlineStyle !== 'none' && parseFloat(s.outlineWidth) > 0;
  return {id: e.id, outline: outline ? `${s.outlineStyle} ${s.outlineWidth}` : '', boxShadow: s.boxShadow,
          shown: outline || (s.boxShadow !== 'none' && s.boxShadow !== '')};
});

// Opens the file chooser of the focused file input with a key. Headless chromium now
// and then lets the input's click (trusted, with user activation) go without opening
// a chooser (no Page.fileChooserOpened at all); the key is pressed again then.
async function openChooserByKey(page, key, tries = 3) {
  const opened = page.waitForFileChooser({timeout: tries * 1500});
  for (let i = 0; i < tries; ++i) {
    await page.keyboard.press(key);
    const chooser = await Promise.race([opened, new Promise((r) => setTimeout(() => r(null), 1500))]);
    if (chooser) return chooser;
    if (i + 1 < tries) console.log(`  (no file chooser after ${key} on #${await focusedId(page)}: pressed again)`);
  }
  return opened;
}

function checkFocusShown(c, f, id) {
  c.ok(f.id === id && f.shown, `#${id} shows its keyboard focus (outline or box-shadow)`, f);
}

// ---- scenarios
const FLASHLOADER = 'latency-ms=1';
const TWOSTAGE = 'product=0x6E41,version=1.2,latency-ms=1';

async function wholeUpdate(ctx, c, {settings, family, caption, screenshots}) {
  const page = await openPage(ctx, {fake: {settings}});
  c.eq(await waitState(page, 'idle'), 'idle', 'state before Connect');
  c.eq(await text(page, '#caption'), TITLE, 'caption before Connect');
  c.eq(await page.title(), TITLE, 'document title before Connect');
  c.eq(await text(page, '#adapter'), '', '#adapter before Connect');
  c.ok((await text(page, '#instructions') || '').startsWith(INSTRUCTIONS_EN_START), 'English instructions');
  if (screenshots) await ctx.shot(page, 'idle');
  await connect(page);
  c.eq(await text(page, '#adapter'), family, '#adapter after Connect');
  c.eq(await text(page, '#caption'), caption, 'caption after Connect');
  c.eq(await page.title(), caption, 'document title after Connect');
  c.eq(await disabled(page, '#update'), true, '#update without a file');
  await chooseFile(page, ctx.fixtures.demo);
  await startUpdate(ctx, page, c, {shot: screenshots ? 'confirmation' : null});
  if (screenshots) {
    await page.waitForFunction(() => document.querySelector('#progress').value >= 30, {timeout: 20000, polling: 5});
    await ctx.shot(page, 'progress');
  }
  await waitState(page, 'done', 30000);
  const seen = await states(page);
  const i = seen.indexOf('updating');
  c.ok(i >= 0 && seen.indexOf('restarting', i) > i && seen.indexOf('done', i) > seen.indexOf('restarting', i),
       'updating, then restarting, then done', seen);
  c.eq(await text(page, '#result'), RESULT_OK, 'result');
  c.eq(await page.evaluate(() => window.korbexMaxProgress), 100, 'the progress bar reached 100');
  c.eq(await page.evaluate(() => window.korbexFake.restarts()), 1, 'Finish restarted the adapter once');
  c.eq(await flashHolds(page, ctx.fixtures.demoBytes), 1, "the adapter's flash holds the file");
  c.eq(await text(page, '#adapter'), family, '#adapter once the adapter is back');
  c.eq(await text(page, '#caption'), caption, 'caption once the adapter is back');
  c.ok((await text(page, '#log') || '').length > 0, 'the operation log is shown');
  if (screenshots) await ctx.shot(page, 'success');
  await page.close();
}

const scenarios = {
  update: {
    flashloader_whole_update: (ctx, c) => wholeUpdate(ctx, c, {
      settings: FLASHLOADER, family: 'FlashLoader 35b2:2d93', caption: TITLE, screenshots: true}),
    twostage_whole_update: async (ctx, c) => {
      await wholeUpdate(ctx, c, {settings: TWOSTAGE, family: 'TwoStage 35b2:6e41',
                                 caption: `${TITLE} (Device: v1.2)`, screenshots: false});
    },
    // The adapter comes back under the other product id: Chromium needs a new grant,
    // so only Reconnect (requestDevice) finds it.
    reconnect_after_restart: async (ctx, c) => {
      const page = await openPage(ctx, {fake: {settings: TWOSTAGE + ',product-after-finish=0x2D93'}});
      await connect(page);
      await chooseFile(page, ctx.fixtures.demo);
      await startUpdate(ctx, page, c);
      await waitState(page, 'restarting', 30000);
      await page.waitForFunction(() => {
        const b = document.querySelector('#reconnect');
        return b && !b.hidden && getComputedStyle(b).display !== 'none';
      }, {timeout: 60000, polling: 100});
      c.ok(/Reconnect/.test(await text(page, '#status')), '#status asks for Reconnect', await text(page, '#status'));
      c.eq(await page.evaluate(() => window.korbexFake.granted()), false, 'not granted before Reconnect');
      await page.click('#reconnect');
      await page.waitForFunction(() => document.querySelector('#adapter').textContent !== '', {timeout: 10000});
      c.eq(await state(page), 'done', 'state after Reconnect');
      // The family is the engine's decision: a 2d93 seen after this TwoStage adapter's
      // 6e41 is that adapter in its loader stage.
      c.ok(/ 35b2:2d93$/.test(await text(page, '#adapter')), '#adapter after Reconnect', await text(page, '#adapter'));
      c.eq(await visible(page, '#reconnect'), false, '#reconnect hidden again');
      c.eq(await text(page, '#result'), RESULT_OK, 'result');
      c.eq(await flashHolds(page, ctx.fixtures.demoBytes), 1, "the adapter's flash holds the file");
      await page.close();
    },
  },

  faults: {
    // A refused file: the verdict says why, Update stays off, nothing reaches the adapter.
    refused_files: async (ctx, c) => {
      const page = await openPage(ctx, {fake: {settings: FLASHLOADER}});
      await connect(page);
      const sentBefore = await page.evaluate(() => window.korbexFake.sent());
      for (const [name, file, reason] of ctx.fixtures.refused) {
        await chooseFile(page, file);
        const verdict = await text(page, '#verdict');
        c.ok(reason.test(verdict), `${name}: the verdict names the reason`, verdict);
        c.eq(await disabled(page, '#update'), true, `${name}: #update disabled`);
        await page.click('#update').catch(() => {});
        await new Promise((r) => setTimeout(r, 200));
        c.eq(await state(page), 'ready', `${name}: still ready`);
      }
      c.eq(await page.evaluate(() => window.korbexFake.sent()), sentBefore, 'no report sent for a refused file');
      // The good file after them is accepted again.
      await chooseFile(page, ctx.fixtures.demo);
      c.eq(await disabled(page, '#update'), false, 'the good file enables #update');
      await page.close();
    },
    // Faults the update recovers from: still a success with the file in flash.
    recoverable_faults: async (ctx, c) => {
      const table = [
        {name: 'no fault', fault: ''},
        {name: 'lost record reply', fault: 'drop:WriteRecord@5', extraRecords: 1},
        {name: "NAK'd record", fault: 'nak:WriteRecord@7', extraRecords: 1, naks: 1},
      ];
      let baseline = null;
      for (const row of table) {
        const settings = FLASHLOADER + (row.fault ? ',fault=' + row.fault : '');
        const page = await openPage(ctx, {fake: {settings}});
        await connect(page);
        await chooseFile(page, ctx.fixtures.demo);
        await startUpdate(ctx, page, c);
        await waitState(page, ['done', 'failed'], 30000);
        c.eq(await text(page, '#result'), RESULT_OK, `${row.name}: result`);
        c.eq(await flashHolds(page, ctx.fixtures.demoBytes), 1, `${row.name}: flash holds the file`);
        const stats = await page.evaluate(() => window.korbexFake.stats());
        if (baseline === null) baseline = stats;
        else c.eq(stats.records, baseline.records + row.extraRecords, `${row.name}: records sent (one resent)`);
        c.eq(stats.naks, row.naks || 0, `${row.name}: NAKs`);
        await page.close();
      }
    },
    // Unplugged mid-write: "Updated failed!" with the cause, the page usable; plugged
    // back in, the next update succeeds.
    unplug_then_retry: async (ctx, c) => {
      const page = await openPage(ctx, {fake: {settings: FLASHLOADER + ',fault=unplug:WriteRecord@100'}});
      await connect(page);
      await chooseFile(page, ctx.fixtures.demo);
      await startUpdate(ctx, page, c);
      await waitState(page, 'failed', 30000);
      c.eq(await text(page, '#result'), RESULT_FAILED, 'result after the unplug');
      const cause = await text(page, '#result-cause');
      c.ok(cause && cause.length > 3 && cause !== RESULT_FAILED, 'a cause in words', cause);
      c.eq(await text(page, '#adapter'), '', '#adapter empty while unplugged');
      await ctx.shot(page, 'failure');
      c.eq(await flashHolds(page, ctx.fixtures.demoBytes), 0, 'flash does not hold the file after the unplug');
      c.ok(await page.evaluate(() => window.korbexFake.replug()), 'replugged');
      // The failure stays shown; the page opens the adapter again for a retry.
      await page.waitForFunction(() => document.querySelector('#adapter').textContent !== '', {timeout: 10000});
      c.eq(await text(page, '#adapter'), 'FlashLoader 35b2:2d93', '#adapter after the replug');
      c.ok(['failed', 'ready'].includes(await state(page)), 'state after the replug', await state(page));
      if (await disabled(page, '#update')) await chooseFile(page, ctx.fixtures.demo);
      await startUpdate(ctx, page, c);
      await waitState(page, ['done', 'failed'], 30000);
      c.eq(await text(page, '#result'), RESULT_OK, 'result of the retry');
      c.eq(await flashHolds(page, ctx.fixtures.demoBytes), 1, 'flash holds the file after the retry');
      await page.close();
    },
  },

  ui: {
    chinese: async (ctx, c) => {
      // Headless chromium takes its language from --accept-lang; --lang alone leaves en-US.
      const zh = await launch(['--lang=zh-CN', '--accept-lang=zh-CN']);
      try {
        const page = await openPage({...ctx, browser: zh}, {fake: {settings: 'latency-ms=0'}});
        const lang = await page.evaluate(() => navigator.language);
        c.ok(lang.startsWith('zh'), 'navigator.language reads zh', lang);
        await waitState(page, 'idle');
        c.eq(await text(page, '#instructions'), INSTRUCTIONS_ZH, 'Chinese instructions (text 14)');
        c.eq(await text(page, '#caption'), TITLE, 'caption');
        await ctx.shot(page, 'idle-zh');
        await connect(page);
        await chooseFile(page, ctx.fixtures.demo);
        await startUpdate(ctx, page, c);
        await waitState(page, 'done', 30000);
        // The result is one of the engine's fixed texts, the same in both languages.
        c.eq(await text(page, '#result'), RESULT_OK, 'result');
        c.eq(await text(page, '#update'), '更新', 'Update button labelled with text 1 in Chinese');
        const status = await text(page, '#status');
        c.ok(/[\u4e00-\u9fff]/.test(status), 'status in Chinese', status);
        await ctx.shot(page, 'success-zh');
        await page.close();
      } finally {
        await zh.close();
      }
    },
    // No WebHID: at an address that is no secure context, and in a browser without it.
    no_webhid: async (ctx, c) => {
      const port = new URL(ctx.origin).port;
      const table = [
        {name: 'insecure context', url: `http://korbex.test:${port}/`, secure: false},
        {name: 'no navigator.hid', url: ctx.origin + '/', secure: true, noHid: true},
      ];
      for (const row of table) {
        const page = await openPage(ctx, {url: row.url, noHid: row.noHid});
        c.eq(await page.evaluate(() => window.isSecureContext), row.secure, `${row.name}: secure context`);
        c.eq(await page.evaluate(() => 'hid' in navigator), false, `${row.name}: no navigator.hid`);
        c.eq(await waitState(page, 'unsupported', 5000), 'unsupported', `${row.name}: state`);
        c.ok(await visible(page, '#unsupported'), `${row.name}: #unsupported shown`);
        const says = await text(page, '#unsupported');
        for (const name of ['Chrome', 'Edge', 'Opera']) c.ok(says.includes(name), `${row.name}: names ${name}`, says);
        if (!row.secure) await ctx.shot(page, 'unsupported');
        await page.close();
      }
    },
    // The whole update by keyboard alone: Tab and Enter/Space, the file chooser
    // opened from the keyboard, the confirmation answered with Escape (nothing
    // reaches the adapter) and then with Enter (OK has focus when the dialog opens).
    keyboard_only: async (ctx, c) => {
      const page = await openPage(ctx, {fake: {settings: FLASHLOADER}});
      await waitState(page, 'idle');
      await tabTo(page, 'connect');
      checkFocusShown(c, await focusShown(page), 'connect');
      await page.keyboard.press('Enter');
      await waitState(page, 'ready');
      c.eq(await text(page, '#adapter'), 'FlashLoader 35b2:2d93', '#adapter after Enter on Connect');

      await tabTo(page, 'file');
      checkFocusShown(c, await focusShown(page), 'file');
      const chooser = await openChooserByKey(page, 'Space');
      await chooser.accept([ctx.fixtures.demo]);
      await page.waitForFunction(() => !document.querySelector('#update').disabled, {timeout: 5000});

      await tabTo(page, 'update');
      checkFocusShown(c, await focusShown(page), 'update');
      const before = await page.evaluate(() => ({sent: window.korbexFake.sent(), stats: window.korbexFake.stats()}));
      await page.keyboard.press('Enter');
      await waitState(page, 'confirm');
      c.eq(await focusedId(page), 'confirm-ok', 'OK has focus when the confirmation opens');
      checkFocusShown(c, await focusShown(page), 'confirm-ok');
      await page.keyboard.press('Escape');
      await waitState(page, ['ready', 'updating', 'done', 'failed']);
      // Give a run that went on anyway the time to reach the adapter.
      await new Promise((r) => setTimeout(r, 300));
      c.eq(await state(page), 'ready', 'Escape on the confirmation cancels: back to ready');
      c.eq(await page.$eval('#confirm', (d) => d.open), false, 'the confirmation is closed after Escape');
      const after = await page.evaluate(() => ({sent: window.korbexFake.sent(), stats: window.korbexFake.stats()}));
      c.eq(after.sent, before.sent, 'no report reached the adapter after Escape');
      c.eq(JSON.stringify(after.stats), JSON.stringify(before.stats), "the adapter's counters unchanged after Escape");
      c.eq(await text(page, '#result'), '', 'no result after Escape');

      // Again, and this time OK by Enter. The dialog gave focus back to #update.
      if (await focusedId(page) !== 'update') await tabTo(page, 'update');
      await page.keyboard.press('Enter');
      await waitState(page, 'confirm');
      c.eq(await focusedId(page), 'confirm-ok', 'OK has focus when the confirmation opens again');
      await page.keyboard.press('Enter');
      await waitState(page, 'done', 30000);
      const seen = await states(page);
      c.ok(seen.lastIndexOf('restarting') > seen.lastIndexOf('updating'), 'updating, then restarting, then done', seen);
      c.eq(await text(page, '#result'), RESULT_OK, 'result');
      c.eq(await page.evaluate(() => window.korbexFake.restarts()), 1, 'Finish restarted the adapter once');
      c.eq(await flashHolds(page, ctx.fixtures.demoBytes), 1, "the adapter's flash holds the file");
      c.eq(await text(page, '#adapter'), 'FlashLoader 35b2:2d93', '#adapter once the adapter is back');

      // The log's download button is reachable and shows its focus too.
      await tabTo(page, 'log-download', 20);
      checkFocusShown(c, await focusShown(page), 'log-download');
      await page.close();
    },
    // The operation log after an update: #log shows the lines 1.txt gets, and
    // #log-download saves them as 1.txt, UTF-16LE with its BOM.
    log_download: async (ctx, c) => {
      const dir = tempDir();
      const cdp = await ctx.browser.target().createCDPSession();
      try {
        const page = await openPage(ctx, {fake: {settings: FLASHLOADER}});
        await connect(page);
        await chooseFile(page, ctx.fixtures.demo);
        c.eq(await disabled(page, '#log-download'), true, '#log-download disabled before any run');
        await startUpdate(ctx, page, c);
        await waitState(page, 'done', 30000);
        const shown = await page.$eval('#log', (e) => e.textContent);
        const lines = shown.split(/\r?\n/);
        for (const line of ['打开文件', '打开文件成功', '读取crc']) c.ok(lines.includes(line), `#log shows the line ${line}`, lines);

        const events = [];
        const completed = new Promise((resolve) => {
          cdp.on('Browser.downloadWillBegin', (e) => events.push(e));
          cdp.on('Browser.downloadProgress', (e) => { if (e.state !== 'inProgress') resolve(e.state); });
        });
        await cdp.send('Browser.setDownloadBehavior', {behavior: 'allow', downloadPath: dir, eventsEnabled: true});
        await page.click('#log-download');
        const outcome = await Promise.race([completed, new Promise((r) => setTimeout(() => r('no download within 10 s'), 10000))]);
        c.eq(outcome, 'completed', 'the download completed');
        c.eq(events.length === 1 ? events[0].suggestedFilename : events.map((e) => e.suggestedFilename), '1.txt',
             'the browser was offered one file, 1.txt');
        c.eq(JSON.stringify(fs.readdirSync(dir)), JSON.stringify(['1.txt']), 'the folder holds 1.txt alone');
        if (fs.existsSync(path.join(dir, '1.txt'))) {
          const saved = fs.readFileSync(path.join(dir, '1.txt'));
          const expected = Buffer.concat([Buffer.from([0xff, 0xfe]), Buffer.from(shown, 'utf16le')]);
          c.ok(saved.length > 2 && saved[0] === 0xff && saved[1] === 0xfe, '1.txt starts with the UTF-16LE BOM',
               Array.from(saved.subarray(0, 4)));
          c.ok(saved.equals(expected), '1.txt holds the lines #log shows, UTF-16LE',
               {saved: saved.length, expected: expected.length, head: saved.subarray(0, 24).toString('hex')});
        }
        await page.close();
      } finally {
        await cdp.send('Browser.setDownloadBehavior', {behavior: 'default'}).catch(() => {});
        await cdp.detach().catch(() => {});
        fs.rmSync(dir, {recursive: true, force: true});
      }
    },
    // A .dat dropped on #drop is judged as the same file chosen with #file: the same
    // verdict, #update on for the demo file, off with the reason for a refused one. A
    // drop while the update runs is ignored: the verdict stays and the flash gets the
    // first file.
    drop_file: async (ctx, c) => {
      const page = await openPage(ctx, {fake: {settings: FLASHLOADER}});
      await connect(page);
      const rows = [
        ...ctx.fixtures.refused.map(([name, file, reason]) => ({name, file, reason, accepted: false})),
        {name: 'demo file', file: ctx.fixtures.demo, reason: /V2\.16/, accepted: true},
      ];
      for (const row of rows) {
        const bytes = fs.readFileSync(row.file);
        const base = path.basename(row.file);
        const dropped = await verdictAfter(page, () => dropFile(page, base, bytes));
        c.eq(dropped.extra.dragover, true, `${row.name}: the drop zone takes the drag (dragover cancelled)`);
        c.eq(dropped.extra.drop, true, `${row.name}: the page handles the drop (drop cancelled)`);
        c.ok(dropped.verdict && dropped.verdict.startsWith(base + ': ') && row.reason.test(dropped.verdict),
             `${row.name}: the verdict of the dropped file`, dropped.verdict);
        c.eq(dropped.accepted, String(row.accepted), `${row.name}: dropped, data-accepted`);
        c.eq(dropped.updateDisabled, !row.accepted, `${row.name}: dropped, #update disabled`);
        const chosen = await verdictAfter(page, () => chooseFile(page, row.file));
        c.eq(dropped.verdict, chosen.verdict, `${row.name}: dropped and chosen, the same verdict`);
        c.eq(dropped.updateDisabled, chosen.updateDisabled, `${row.name}: dropped and chosen, the same #update`);
      }
      // Dropped last: the demo file is the one to write.
      const first = await verdictAfter(page, () => dropFile(page, 'demo.dat', ctx.fixtures.demoBytes));
      c.eq(first.updateDisabled, false, 'the dropped demo file enables #update');
      await startUpdate(ctx, page, c);
      await waitState(page, 'updating');
      await page.waitForFunction(() => document.querySelector('#progress').value > 0, {timeout: 20000, polling: 5});
      const during = await dropFile(page, 'bench.dat', ctx.fixtures.benchBytes);
      // Still cancelled: a drop the page let through would open the file in the tab,
      // leaving the page mid-update.
      c.eq(during.drop, true, 'the drop during the run is cancelled');
      c.eq(await state(page), 'updating', 'the second file was dropped while the update ran');
      c.eq(await text(page, '#verdict'), first.verdict, 'the verdict right after the drop during the run');
      c.eq(await disabled(page, '#update'), true, '#update stays disabled during the run');
      await waitState(page, ['done', 'failed'], 30000);
      // A file taken late would show once the engine is free again, right after the run.
      await new Promise((r) => setTimeout(r, 300));
      c.eq(await text(page, '#result'), RESULT_OK, 'result of the run the drop fell into');
      c.eq(await text(page, '#verdict'), first.verdict, 'the verdict after the run: still the first file');
      c.eq(await flashHolds(page, ctx.fixtures.demoBytes), 1, "the adapter's flash holds the first file");
      c.eq(await flashHolds(page, ctx.fixtures.benchBytes), 0, "the adapter's flash does not hold the dropped one");
      await page.close();
    },
    // An adapter that cannot be opened (on Linux: no udev rule, so Chromium's open()
    // rejects): no adapter, #update off even with an accepted file, #status names the
    // rule, and nothing reaches the adapter. Through Connect and on load when granted.
    cannot_open: async (ctx, c) => {
      const table = [
        {name: 'Connect', granted: false},
        {name: 'granted, on load', granted: true},
      ];
      for (const row of table) {
        const page = await openPage(ctx, {fake: {settings: FLASHLOADER, openFails: true, granted: row.granted}});
        await waitState(page, 'idle');
        await chooseFile(page, ctx.fixtures.demo);
        c.eq(await page.$eval('#verdict', (e) => e.dataset.accepted), 'true', `${row.name}: the demo file accepted`);
        if (!row.granted) await page.click('#connect');
        await page.waitForFunction(() => document.querySelector('#status').textContent.includes('70-korbex-adapter.rules'),
                                   {timeout: 5000, polling: 20}).catch(() => {});
        // Let a page that went on as if the adapter were open get that far.
        await new Promise((r) => setTimeout(r, 300));
        const status = await text(page, '#status');
        c.ok(status.includes('packaging/linux/70-korbex-adapter.rules'), `${row.name}: #status names the udev rule`, status);
        c.ok(status.includes('Failed to open the device'), `${row.name}: #status gives the browser's reason`, status);
        c.eq(await state(page), 'idle', `${row.name}: state`);
        c.eq(await text(page, '#adapter'), '', `${row.name}: #adapter`);
        c.eq(await disabled(page, '#update'), true, `${row.name}: #update disabled`);
        c.eq(await text(page, '#caption'), TITLE, `${row.name}: caption`);
        const fake = await page.evaluate(() => ({
          events: window.korbexFake.events.map((e) => e[1]), sent: window.korbexFake.sent(),
          stats: window.korbexFake.stats(),
        }));
        c.ok(fake.events.some((e) => e.startsWith('open refused')), `${row.name}: the page tried to open it`, fake.events);
        c.eq(fake.sent, 0, `${row.name}: no report reached the adapter`);
        c.eq(fake.stats.exchanges, 0, `${row.name}: the adapter saw no exchange`);
        await page.close();
      }
    },
    narrow_360: async (ctx, c) => {
      const page = await openPage(ctx, {fake: {settings: TWOSTAGE}, width: 360});
      await connect(page);
      await chooseFile(page, ctx.fixtures.demo);
      const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      c.ok(overflow <= 0, 'no horizontal scrolling at 360 px', overflow);
      await ctx.shot(page, 'ready-360');
      await page.close();
    },
  },

  // The whole update against the bound korbex-bench uses: exchanges × latency + 16 ms +
  // 2000 ms, timed from the first report to the end of the run, the time the
  // confirmation stood open left out.
  bench: {
    update_time_ratio: async (ctx, c) => {
      const latency = 1;
      const page = await openPage(ctx, {fake: {settings: `latency-ms=${latency}`}});
      await connect(page);
      await chooseFile(page, ctx.fixtures.bench);
      const before = await page.evaluate(() => ({stats: window.korbexFake.stats(), sent: window.korbexFake.sent()}));
      await startUpdate(ctx, page, c);
      await waitState(page, 'done', 120000);
      c.eq(await flashHolds(page, ctx.fixtures.benchBytes), 1, 'flash holds the 256 KiB image');
      const t = await page.evaluate((n) => ({
        states: window.korbexStates, stats: window.korbexFake.stats(), first: window.korbexFake.reportTimes[n],
      }), before.sent);
      const at = (s) => (t.states.find((x) => x[0] === s) || [null, NaN])[1];
      const first = t.first;
      const end = at('restarting');
      const confirmFrom = at('confirm');
      const confirmTo = (t.states.find((x) => x[0] === 'updating' && x[1] > confirmFrom) || [null, NaN])[1];
      const overlap = Math.max(0, Math.min(end, confirmTo) - Math.max(first, confirmFrom));
      const wall = end - first - overlap;
      const exchanges = t.stats.exchanges - before.stats.exchanges;
      const bound = exchanges * latency + 16 + 2000;
      const ratio = wall / bound;
      console.log(`browser update: ${exchanges} exchanges, wall ${wall.toFixed(1)} ms ` +
                  `(confirmation ${overlap.toFixed(1)} ms left out), bound ${bound} ms ` +
                  `(${exchanges} x ${latency} ms + 2016 ms)`);
      console.log(`ratio ${ratio.toFixed(4)}`);
      c.ok(ratio < 1.5, 'update time within 1.5 x the bound', ratio);
      c.ok(ratio > 0.9, 'update time not below the bound (the latency model holds)', ratio);
      await page.close();
    },
  },
};

// ---- runner
async function main() {
  const args = process.argv.slice(2);
  const group = args[args.indexOf('--group') + 1];
  const only = args.includes('--only') ? args[args.indexOf('--only') + 1] : null;
  if (!scenarios[group]) throw new Error(`usage: run.js --group ${Object.keys(scenarios).join('|')} [--only NAME]`);
  const site = env('KORBEX_SITE');
  if (!fs.existsSync(path.join(site, 'index.html'))) throw new Error(`no page at ${site}/index.html: build the web preset`);

  // Firmware files of our own: the demo file, files the page must refuse, the bench image.
  const M = await simModule();
  const dir = tempDir();
  const write = (name, bytes) => { const p = path.join(dir, name); fs.writeFileSync(p, bytes); return p; };
  const demoBytes = makeFile(M);
  const benchBytes = makeFile(M, {s1: 256 * 1024, s2: 0, s3: 64});
  const otherModel = Buffer.from(demoBytes);
  otherModel.writeUInt32LE(0x1234, 12);  // section 1's model code
  const fixtures = {
    demo: write('demo.dat', demoBytes), demoBytes,
    bench: write('bench.dat', benchBytes), benchBytes,
    refused: [
      ['truncated download', write('truncated.dat', demoBytes.subarray(0, demoBytes.length - 100)), /section 3/i],
      ['not a firmware file', write('short.dat', Buffer.from('not firmware')), /section 1 header/i],
      ['another model', write('model.dat', otherModel), /section 1 pid/i],
    ],
  };

  const shotsDir = process.env.KORBEX_SCREENSHOTS;
  if (shotsDir) fs.mkdirSync(shotsDir, {recursive: true});
  const server = await serve(path.resolve(site));
  const browser = await launch();
  const ctx = {
    browser, fixtures, origin: `http://localhost:${server.address().port}`, pageErrors: [],
    async shot(page, name) {
      if (!shotsDir) return;
      await page.screenshot({path: path.join(shotsDir, `${name}.png`), fullPage: true});
    },
  };
  let failed = 0;
  try {
    for (const [name, run] of Object.entries(scenarios[group])) {
      if (only && name !== only) continue;
      const c = new Checks();
      const t0 = Date.now();
      ctx.pageErrors.length = 0;
      try {
        await run(ctx, c);
      } catch (e) {
        c.failures.push(`stopped: ${e.message}`);
      }
      c.ok(ctx.pageErrors.length === 0, 'no script errors on the page', ctx.pageErrors);
      const secs = ((Date.now() - t0) / 1000).toFixed(1);
      if (c.failures.length) {
        ++failed;
        console.log(`FAIL ${group}.${name} (${secs} s)`);
        for (const f of c.failures) console.log(`  - ${f}`);
      } else {
        console.log(`ok   ${group}.${name} (${c.count} checks, ${secs} s)`);
      }
    }
  } finally {
    await browser.close();
    server.close();
    fs.rmSync(dir, {recursive: true, force: true});
  }
  process.exit(failed ? 1 : 0);
}

main().catch((e) => {
  console.error(`web tests: ${e.message}`);
  process.exit(1);
});
