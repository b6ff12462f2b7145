// The page around the engine: WebHID devices in, the engine's listener out. Every text
// comes from the engine's tables (kx_texts); this file holds none.
'use strict';
(() => {
  const VENDOR_ID = 0x35b2;
  const PRODUCT_IDS = [0x6e41, 0x2d93];
  // How long the page waits for the adapter to come back after Finish before it asks
  // for a new grant (an adapter back under another product id never shows up alone).
  const RESTART_WAIT_S = 20;
  const LANGUAGE = (navigator.language || '').toLowerCase().startsWith('zh') ? 2052 : 1033;

  const $ = (id) => document.getElementById(id);
  let T = {};
  let M = null;
  let state = 'idle';
  let running = false;
  let fileAccepted = false;
  let logBytes = null;
  let restartTimer = null;
  let title = '';

  const fmt = (text, ...args) => {
    let i = 0;
    return (text || '').replace(/\{\}/g, (m) => (i < args.length ? String(args[i++]) : m));
  };
  const hex4 = (v) => v.toString(16).padStart(4, '0');
  const isSupported = (d) => d && d.vendorId === VENDOR_ID && PRODUCT_IDS.includes(d.productId);

  // What the engine's WebHID channel and listener reach (Module.kxHost).
  const host = {
    device: null,
    gone: false,
    queue: [],
    waiter: null,
    usable() {
      return this.device && !this.gone && this.device.opened ? this.device : null;
    },
    // The next input report, null after ms without one, false when the device is gone.
    read(ms) {
      if (this.queue.length) return Promise.resolve(this.queue.shift());
      if (!this.usable()) return Promise.resolve(false);
      return new Promise((resolve) => {
        const timer = setTimeout(() => {
          this.waiter = null;
          resolve(null);
        }, ms);
        this.waiter = (v) => {
          clearTimeout(timer);
          this.waiter = null;
          resolve(v);
        };
      });
    },
    push(bytes) {
      if (this.waiter) this.waiter(bytes);
      else this.queue.push(bytes);
    },
    lose() {
      this.gone = true;
      if (this.waiter) this.waiter(false);
    },
    onProgress(position, text) {
      $('progress').value = position;
      if (text) $('progress-text').textContent = text;
    },
    onMessage(text) {
      lastMessage = text;
    },
    onUpdateButton() {},
    onLog(bytes) {
      logBytes = bytes;
      $('log').textContent = new TextDecoder('utf-16le').decode(bytes);
      $('log-download').disabled = false;
    },
    confirm(text) {
      const dialog = $('confirm');
      $('confirm-text').textContent = text;
      setState('confirm');
      dialog.returnValue = '';
      return new Promise((resolve) => {
        dialog.addEventListener(
          'close',
          () => {
            setState('updating');
            resolve(dialog.returnValue === 'ok');
          },
          { once: true }
        );
        dialog.showModal();
        $('confirm-ok').focus();
      });
    },
  };
  let lastMessage = '';

  // One call into the engine at a time: a call suspended in Asyncify must finish
  // before the next one starts.
  let chain = Promise.resolve();
  const engine = (fn) => {
    const p = chain.then(fn);
    chain = p.catch(() => {});
    return p;
  };
  const call = (name, args = [], types = null) =>
    engine(() => M.ccall(name, 'string', types || args.map(() => 'number'), args, { async: true }));

  function setState(s) {
    state = s;
    document.documentElement.dataset.state = s;
    render();
  }
  function setStatus(text) {
    $('status').textContent = text;
  }
  function setCaption(text) {
    $('caption').textContent = text;
    document.title = text;
  }
  function render() {
    const busy = running || state === 'confirm' || state === 'updating';
    $('update').disabled = !(host.usable() && fileAccepted && !busy && state !== 'restarting');
    $('connect').disabled = busy || state === 'unsupported';
    $('file').disabled = busy;
  }

  // --- adapters -----------------------------------------------------------------

  const listening = new WeakSet();
  function listen(device) {
    if (listening.has(device)) return;
    listening.add(device);
    device.addEventListener('inputreport', (e) => {
      if (e.device && e.device !== host.device) return;
      if (e.device === undefined && device !== host.device) return;
      const report = new Uint8Array(64);
      report.set(new Uint8Array(e.data.buffer, e.data.byteOffset, Math.min(64, e.data.byteLength)));
      host.push(report);
    });
  }

  function dropDevice() {
    host.device = null;
    host.gone = false;
    host.queue = [];
    $('adapter').textContent = '';
    setCaption(title);
    render();
  }

  async function openDevice(device) {
    if (!isSupported(device) || running) return;
    if (host.device && host.device !== device && host.usable()) {
      try {
        await host.device.close();
      } catch (e) {
        /* already gone */
      }
    }
    try {
      if (!device.opened) await device.open();
    } catch (e) {
      setStatus(fmt(T.cannotOpen, (e && (e.message || e.name)) || String(e)));
      return;
    }
    listen(device);
    host.device = device;
    host.gone = false;
    host.queue = [];
    const r = JSON.parse(await call('kx_connect', [device.vendorId, device.productId]));
    if (host.device !== device) return; // unplugged meanwhile
    const ids = `${hex4(device.vendorId)}:${hex4(device.productId)}`;
    const described = `${r.family} ${ids}`;
    $('adapter').textContent = described;
    setCaption(r.caption || title);
    if (state === 'restarting' || (state === 'done' && !$('reconnect').hidden)) {
      clearTimeout(restartTimer);
      $('reconnect').hidden = true;
      setStatus(fmt(T.adapterBack, r.version || described));
      setState('done');
      return;
    }
    setStatus(
      r.twoStage && !r.versionRead ? `${fmt(T.adapterOpen, described)}; ${T.versionNoReply}` : fmt(T.adapterOpen, described)
    );
    if (state === 'idle') setState('ready');
    else render();
  }

  async function chooseDevice() {
    let devices = [];
    try {
      devices = await navigator.hid.requestDevice({
        filters: PRODUCT_IDS.map((productId) => ({ vendorId: VENDOR_ID, productId })),
      });
    } catch (e) {
      return; // chooser dismissed
    }
    if (devices && devices.length) await openDevice(devices[0]);
  }

  function onDisconnect(e) {
    if (!e.device || e.device !== host.device) return;
    host.lose();
    if (running) {
      setStatus(T.adapterUnplugged); // the engine's run fails on its own
      return;
    }
    dropDevice();
    if (state === 'restarting') {
      setStatus(T.waitingForRestart);
    } else {
      setStatus(T.adapterUnplugged);
      if (state === 'ready') setState('idle');
    }
  }

  function onConnect(e) {
    if (!isSupported(e.device) || running || host.usable()) return;
    openDevice(e.device);
  }

  // --- the file -------------------------------------------------------------------

  async function takeFile(file) {
    if (!file || running) return;
    let bytes;
    try {
      bytes = new Uint8Array(await file.arrayBuffer());
    } catch (e) {
      fileAccepted = false;
      $('verdict').textContent = `${file.name}: ${T.readingFile}`;
      $('verdict').dataset.accepted = 'false';
      render();
      return;
    }
    const r = JSON.parse(
      await engine(() => {
        const ptr = M._malloc(Math.max(1, bytes.length));
        M.HEAPU8.set(bytes, ptr);
        try {
          return M.ccall('kx_check_file', 'string', ['number', 'number'], [ptr, bytes.length]);
        } finally {
          M._free(ptr);
        }
      })
    );
    fileAccepted = r.accepted;
    $('verdict').textContent =
      `${file.name}: ${r.verdict}` + (r.firmware ? ` — ${fmt(T.firmwareLabel, r.firmware)}` : '');
    $('verdict').dataset.accepted = String(r.accepted);
    render();
  }

  // --- the update -----------------------------------------------------------------

  async function startUpdate() {
    if (!host.usable() || !fileAccepted || running) return;
    running = true;
    lastMessage = '';
    clearTimeout(restartTimer);
    $('reconnect').hidden = true;
    $('result').textContent = '';
    $('result-cause').textContent = '';
    $('progress').value = 0;
    $('progress-text').textContent = '';
    setState('updating');
    let r;
    try {
      r = JSON.parse(await call('kx_update'));
    } finally {
      running = false;
    }
    const gone = host.gone;
    if (gone) dropDevice();
    switch (r.ending) {
      case 'Success':
        $('result').textContent = r.result || T.updatedSuccessful;
        setStatus(T.waitingForRestart);
        setState('restarting');
        restartTimer = setTimeout(() => {
          if (state !== 'restarting') return;
          $('reconnect').hidden = false;
          setStatus(fmt(T.notBack, RESTART_WAIT_S));
          setState('done');
        }, RESTART_WAIT_S * 1000);
        break;
      case 'Cancelled':
        setStatus(r.causeText);
        setState(host.usable() ? 'ready' : 'idle');
        break;
      case 'NotRun':
        render();
        break;
      default:
        $('result').textContent = r.result || lastMessage || T.updatedFailed;
        $('result-cause').textContent = r.causeText;
        if (gone) setStatus(T.adapterUnplugged);
        setState('failed');
        // The adapter may be back already (a quick replug during the run).
        if (!host.device) navigator.hid.getDevices().then((ds) => ds.filter(isSupported)[0] && openDevice(ds.filter(isSupported)[0]));
    }
  }

  function downloadLog() {
    if (!logBytes) return;
    const url = URL.createObjectURL(new Blob([logBytes], { type: 'application/octet-stream' }));
    const a = document.createElement('a');
    a.href = url;
    a.download = '1.txt';
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 1000);
  }

  // --- start ----------------------------------------------------------------------

  function applyTexts() {
    title = T.table6;
    setCaption(title);
    document.documentElement.lang = LANGUAGE === 2052 ? 'zh-CN' : 'en';
    $('connect').textContent = T.connect;
    $('reconnect').textContent = T.reconnect;
    $('instructions').textContent = T.table14;
    $('file-label').textContent = T.chooseFile;
    $('drop-text').textContent = T.dropHere;
    $('verdict').textContent = T.noFile;
    $('update').textContent = T.table1;
    $('confirm-ok').textContent = T.confirmOk;
    $('confirm-cancel').textContent = T.confirmCancel;
    $('log-title').textContent = T.logTitle;
    $('log-download').textContent = T.logDownload;
  }

  function wire() {
    $('connect').addEventListener('click', chooseDevice);
    $('reconnect').addEventListener('click', chooseDevice);
    $('update').addEventListener('click', startUpdate);
    $('file').addEventListener('change', (e) => takeFile(e.target.files[0]));
    const drop = $('drop');
    drop.addEventListener('dragover', (e) => {
      e.preventDefault();
      drop.classList.add('over');
    });
    drop.addEventListener('dragleave', () => drop.classList.remove('over'));
    drop.addEventListener('drop', (e) => {
      e.preventDefault();
      drop.classList.remove('over');
      if (!running && e.dataTransfer && e.dataTransfer.files.length) takeFile(e.dataTransfer.files[0]);
    });
    $('log-download').addEventListener('click', downloadLog);
    // Leaving mid-update leaves a partly written adapter: ask first (text index 2).
    window.addEventListener('beforeunload', (e) => {
      if (!running) return;
      e.preventDefault();
      e.returnValue = T.table2;
    });
  }

  async function start() {
    M = await KorbexEngine({ kxHost: host });
    M.ccall('kx_set_language', null, ['number'], [LANGUAGE]);
    T = JSON.parse(M.ccall('kx_texts', 'string', [], []));
    applyTexts();
    wire();
    if (!('hid' in navigator) || !window.isSecureContext) {
      const notice = $('unsupported');
      notice.textContent = T.unsupported;
      notice.hidden = false;
      setState('unsupported');
      return;
    }
    navigator.hid.addEventListener('connect', onConnect);
    navigator.hid.addEventListener('disconnect', onDisconnect);
    setStatus(T.noAdapterOpen);
    setState('idle');
    const granted = (await navigator.hid.getDevices()).filter(isSupported);
    if (granted.length) await openDevice(granted[0]);
  }

  start();
})();
