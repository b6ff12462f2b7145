#pragma once
// The report channel in the browser, over WebHID. The page holds the HIDDevice (it
// must: only a user's click may ask for one); this channel reaches it through the
// page's host object, and Asyncify turns the awaited promises into the blocking
// reads and writes the engine expects.
#include <cstddef>
#include <cstdint>

#include "hid/ReportChannel.h"

namespace korbex::web {

// The loader answers within a few milliseconds; the other channels wait the same.
inline constexpr int kWebHidReadTimeoutMs = 200;

// The status a read answers when the device is closed or gone: non-zero, neither a
// time-out nor "not open", and returned at once, as other channels do on unplug.
inline constexpr std::uint32_t kReadWebHidGone = 0xFFFFFFFFu;

class WebHidChannel final : public ReportChannel {
 public:
  // Writes the browser refused and reads that found the device gone: an adapter that
  // went away during a run leaves both.
  unsigned Failures() const { return failedWrites_ + failedReads_; }
  void ResetFailures() { failedWrites_ = failedReads_ = 0; }

 protected:
  // sendReport(0, the 64 data bytes after the report id), awaited. Non-zero when the
  // browser accepted the report.
  int WriteRaw(const std::uint8_t* bytes, std::size_t count) override;
  // The next input report from the page's queue, waiting up to kWebHidReadTimeoutMs.
  std::uint32_t ReadRaw(std::uint8_t (&report)[kReportSize]) override;
  // Open while the page has handed a device to the engine; a device that went away
  // stays "open" until the page lets go of it, so the engine sees the failure.
  bool IsReadOpen() const override;
  bool IsWriteOpen() const override { return IsReadOpen(); }

 private:
  unsigned failedWrites_ = 0;
  unsigned failedReads_ = 0;
};

// Time in the browser: sleeps yield to the page's event loop instead of blocking it.
class WebClock final : public Clock {
 public:
  void SleepMs(std::uint32_t ms) override;
  std::uint64_t NowMs() override;
};

}  // namespace korbex::web
