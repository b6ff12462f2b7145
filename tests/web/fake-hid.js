// A fake navigator.hid over the simulated adapter (korbex-sim.js, the wasm module of
// sim/): test code, injected by the tests before the page's own scripts run. It
// implements only the part of WebHID the page uses, with Chromium's behaviour where
// the page could tell the difference:
//   - sendReport(0, 64 bytes) hands the adapter the 65-byte report (id 0 first); any
//     other id or length, a closed device or an adapter that is gone is refused.
//   - replies arrive as `inputreport` events (DataView of the 64 data bytes) at their
//     ready time: latency-ms after their report. setTimeout is clamped to 4 ms when
//     nested, so the last few milliseconds are waited out on a MessageChannel.
//   - requestDevice needs a user gesture and returns the adapter when it passes the
//     filters (as if the user picked it); getDevices returns it once granted.
//   - Finish restarts the adapter: `disconnect`, then `connect` of a new HIDDevice with
//     the adapter's product id now. Chromium keeps the grant only for a device that
//     comes back as the same device (a serial number, the same ids); otherwise it is
//     back but not granted, and only requestDevice finds it.
//   - An Unplug fault takes it off the bus (`disconnect`); the test plugs it back in
//     with window.korbexFake.replug() (`connect`).
//   - openFails: open() rejects as Chromium's does on Linux when the hidraw node is not
//     the user's (no udev rule): NotAllowedError "Failed to open the device.".
// window.korbexFake is the test's handle on the adapter (flash, stats, replug).
/* global KorbexSim */
function installFakeHid(options) {
  'use strict';
  const opts = Object.assign(
      {
        settings: '',           // korbex-update --simulate settings (KEY=VALUE,…)
        granted: false,         // granted before the page loads (getDevices finds it)
        keepsGrant: null,       // after a restart; null: when its product id is unchanged
        offBusAfterMs: 30,      // Finish -> off the bus
        backAfterMs: 300,       // off the bus -> back
        productName: 'Korbex 2.4G adapter',
        openFails: false,       // open() rejects: no permission on the hidraw node
      },
      options || {});

  const ready = KorbexSim().then((M) => {
    const handle = M.ccall('sim_create', 'number', ['string'], [opts.settings]);
    if (!handle) throw new Error('simulated adapter: ' + M.UTF8ToString(M._sim_last_error()));
    return {M, handle, buf: M._malloc(65)};
  });
  let sim = null;  // set once ready
  const events = [];  // what happened, for the test's log: [ms, text]
  const note = (text) => events.push([Math.round(performance.now()), text]);

  const hid = new EventTarget();
  let current = null;     // the adapter's HIDDevice while it is on the bus
  let granted = false;    // whether the page may see `current`
  let restartsSeen = 0;
  let sent = 0;           // reports the adapter received
  const reportTimes = [];  // performance.now() of each

  const kVendor = 0x35b2;
  const collections = Object.freeze([{
    usagePage: 0xff00, usage: 1, type: 1, children: [],
    inputReports: [{reportId: 0, items: []}], outputReports: [{reportId: 0, items: []}], featureReports: [],
  }]);

  class FakeHIDDevice extends EventTarget {
    constructor(productId) {
      super();
      this.vendorId = kVendor;
      this.productId = productId;
      this.productName = opts.productName;
      this.collections = collections;
      this._opened = false;
      this._gone = false;
    }
    get opened() { return this._opened; }
    async open() {
      if (this._gone) throw new DOMException('Failed to open the device.', 'NotAllowedError');
      if (opts.openFails) {
        note('open refused ' + this.productId.toString(16));
        throw new DOMException('Failed to open the device.', 'NotAllowedError');
      }
      if (this._opened) throw new DOMException('The device is already open.', 'InvalidStateError');
      this._opened = true;
      note('open ' + this.productId.toString(16));
    }
    async close() {
      this._opened = false;
      note('close');
    }
    async sendReport(reportId, data) {
      if (!this._opened) throw new DOMException('The device must be opened first.', 'InvalidStateError');
      let bytes;
      if (data instanceof ArrayBuffer) bytes = new Uint8Array(data);
      else if (ArrayBuffer.isView(data)) bytes = new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
      else throw new TypeError('data is not a BufferSource');
      // The adapter has no report ids and 64-byte reports: anything else never reaches it.
      if (reportId !== 0 || bytes.length !== 64 || this._gone) {
        note('sendReport refused: id ' + reportId + ', ' + bytes.length + ' bytes' + (this._gone ? ', gone' : ''));
        throw new DOMException('Failed to write the report.', 'NotAllowedError');
      }
      const {M, handle, buf} = sim;
      M.HEAPU8[buf] = 0;
      M.HEAPU8.set(bytes, buf + 1);
      const readyAtUs = Math.round((performance.now() + M._sim_latency_ms(handle)) * 1000);
      M._sim_handle_output(handle, buf, 65, readyAtUs);
      ++sent;
      reportTimes.push(performance.now());
      if (M._sim_disconnected(handle)) {
        // Off the bus: the OS notices a moment later.
        setTimeout(() => goOffBus('unplugged'), 1);
      } else if (M._sim_restarts(handle) !== restartsSeen) {
        restartsSeen = M._sim_restarts(handle);
        setTimeout(() => restart(), opts.offBusAfterMs);
      }
      pump();
    }
  }

  // Replies: delivered at their ready time to the device that is on the bus and open.
  const channel = new MessageChannel();
  let timer = null, spinning = false;
  channel.port1.onmessage = () => { spinning = false; pump(); };
  function pump() {
    if (!sim) return;
    const {M, handle, buf} = sim;
    for (;;) {
      const at = M._sim_next_ready(handle);
      if (at < 0) return;
      const waitMs = at / 1000 - performance.now();
      if (waitMs > 0) {
        if (waitMs > 6) {
          if (timer === null) timer = setTimeout(() => { timer = null; pump(); }, waitMs - 5);
        } else if (!spinning) {
          spinning = true;
          channel.port2.postMessage(0);
        }
        return;
      }
      M._sim_pop_input(handle, buf);
      const data = new DataView(M.HEAPU8.slice(buf + 1, buf + 65).buffer);
      const dev = current;
      if (!dev || !dev._opened) continue;  // nobody reads it: lost, as with a closed device
      const e = new Event('inputreport');
      Object.defineProperties(e, {device: {value: dev}, reportId: {value: 0}, data: {value: data}});
      dev.dispatchEvent(e);
    }
  }

  function dropReplies() {
    const {M, handle, buf} = sim;
    while (M._sim_pop_input(handle, buf)) {}
  }

  function connectionEvent(type, device) {
    const e = new Event(type);
    Object.defineProperty(e, 'device', {value: device});
    note(type + ' ' + device.productId.toString(16));
    hid.dispatchEvent(e);
  }

  function goOffBus(why) {
    const dev = current;
    if (!dev) return;
    dropReplies();
    dev._gone = true;
    dev._opened = false;
    current = null;
    note('off the bus: ' + why);
    // Chromium tells a page only about devices it may see.
    if (granted) connectionEvent('disconnect', dev);
  }

  function comeBack(keepGrant) {
    current = new FakeHIDDevice(sim.M._sim_product_id(sim.handle));
    granted = keepGrant;
    if (granted) connectionEvent('connect', current);
    else note('back, not granted: ' + current.productId.toString(16));
  }

  function restart() {
    const before = current ? current.productId : 0;
    goOffBus('restart');
    setTimeout(() => {
      const now = sim.M._sim_product_id(sim.handle);
      comeBack(opts.keepsGrant === null ? now === before : !!opts.keepsGrant);
    }, opts.backAfterMs);
  }

  function matches(filter, dev) {
    if (filter.vendorId !== undefined && filter.vendorId !== dev.vendorId) return false;
    if (filter.productId !== undefined && filter.productId !== dev.productId) return false;
    const c = dev.collections[0];
    if (filter.usagePage !== undefined && filter.usagePage !== c.usagePage) return false;
    if (filter.usage !== undefined && filter.usage !== c.usage) return false;
    return true;
  }

  hid.getDevices = async () => {
    await ready;
    return current && granted ? [current] : [];
  };
  hid.requestDevice = async (request) => {
    if (!navigator.userActivation || !navigator.userActivation.isActive) {
      throw new DOMException('Must be handling a user gesture to show a permission request.', 'SecurityError');
    }
    if (!request || !Array.isArray(request.filters)) throw new TypeError('requestDevice needs filters');
    await ready;
    note('requestDevice ' + JSON.stringify(request.filters));
    // The chooser lists what passes the filters (no filters: everything).
    const fits = current && (request.filters.length === 0 || request.filters.some((f) => matches(f, current)));
    if (!fits) return [];
    granted = true;
    return [current];
  };

  Object.defineProperty(Navigator.prototype, 'hid', {configurable: true, enumerable: true, get: () => hid});

  ready.then((s) => {
    sim = s;
    current = new FakeHIDDevice(s.M._sim_product_id(s.handle));
    granted = !!opts.granted;
    note('adapter ' + current.productId.toString(16) + (granted ? ' granted' : ''));
  });

  // The test's handle.
  window.korbexFake = {
    ready: ready.then(() => true),
    events,
    sent: () => sent,
    reportTimes,
    present: () => current !== null,
    granted: () => granted,
    productId: () => sim.M._sim_product_id(sim.handle),
    restarts: () => sim.M._sim_restarts(sim.handle),
    stats() {
      const {M, handle} = sim;
      const p = M._malloc(44);
      M._sim_stats(handle, p);
      const v = Array.from(M.HEAPU32.slice(p >> 2, (p >> 2) + 11));
      M._free(p);
      const names = ['exchanges', 'erases', 'dataPackets', 'records', 'checks', 'saveHeads', 'imageInfos',
                     'finishes', 'queries', 'versionRequests', 'naks'];
      return Object.fromEntries(names.map((n, i) => [n, v[i]]));
    },
    // 1 when the flash holds every block an update writes from these file bytes.
    flashHoldsFile(bytes) {
      const {M, handle} = sim;
      const p = M._malloc(bytes.length);
      M.HEAPU8.set(bytes, p);
      const r = M._sim_flash_holds_file(handle, p, bytes.length);
      M._free(p);
      return r;
    },
    // Plugs an unplugged adapter back in: `connect` (the grant kept).
    replug() {
      if (current || !sim.M._sim_replug(sim.handle)) return false;
      comeBack(true);
      return true;
    },
  };
}
