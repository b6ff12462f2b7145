#include "web/WebHidChannel.h"

#include <emscripten.h>

#include <cstring>

namespace korbex::web {
namespace {

// Module.kxHost is the page's host object: host.device (the HIDDevice handed to the
// engine, or null), host.usable() (that device, while it is open and not gone),
// host.read(ms) (the next input report's 64 bytes, null on time-out, false when the
// device is gone). The bytes are copied before the await: the heap may grow meanwhile.
EM_ASYNC_JS(int, JsSendReport, (const std::uint8_t* data), {
  const host = Module['kxHost'];
  const device = host && host.usable();
  if (!device) return 0;
  const bytes = HEAPU8.slice(data, data + 64);
  try {
    await device.sendReport(0, bytes);
    return 1;
  } catch (e) {
    return 0;
  }
});

// 0: a report was copied to dst; 1: time-out; 2: the device is gone or closed.
EM_ASYNC_JS(int, JsReadReport, (std::uint8_t* dst, int timeoutMs), {
  const host = Module['kxHost'];
  if (!host || !host.usable()) return 2;
  const got = await host.read(timeoutMs);
  if (got === false) return 2;
  if (got === null) return 1;
  HEAPU8.set(got, dst);
  return 0;
});

EM_JS(int, JsHasDevice, (), {
  const host = Module['kxHost'];
  return host && host.device ? 1 : 0;
});

}  // namespace

int WebHidChannel::WriteRaw(const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return 0;
  // Chromium refuses a non-zero id on a device without numbered reports, and sends a
  // short report short on Linux but padded on Windows: always id 0 and 64 bytes, so
  // the adapter gets what the other channels put on the wire. Every caller hands over
  // the id and 64 bytes; a shorter write goes out padded with zeros, as Windows pads.
  std::uint8_t data[kReportDataSize] = {};
  const std::size_t n = count - 1 < kReportDataSize ? count - 1 : kReportDataSize;
  std::memcpy(data, bytes + 1, n);
  const int written = JsSendReport(data);
  if (!written) ++failedWrites_;
  return written;
}

std::uint32_t WebHidChannel::ReadRaw(std::uint8_t (&report)[kReportSize]) {
  std::uint8_t data[kReportDataSize];
  switch (JsReadReport(data, kWebHidReadTimeoutMs)) {
    case 0:
      report[0] = 0x00;  // no numbered reports: id 0 in front, as Windows delivers it
      std::memcpy(report + 1, data, kReportDataSize);
      return kReadOk;
    case 1:
      return kReadTimeout;
    default:
      ++failedReads_;
      return kReadWebHidGone;
  }
}

bool WebHidChannel::IsReadOpen() const { return JsHasDevice() != 0; }

void WebClock::SleepMs(std::uint32_t ms) { emscripten_sleep(ms); }

std::uint64_t WebClock::NowMs() { return static_cast<std::uint64_t>(emscripten_get_now()); }

}  // namespace korbex::web
