#include "hid/ReportChannel.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace korbex {

std::uint32_t ReportChannel::ReadReport(std::uint8_t* dst, std::uint8_t n) {
  if (!IsReadOpen()) return kReadNotOpen;
  std::uint8_t report[kReportSize];
  const std::uint32_t status = ReadRaw(report);
  if (status == kReadOk && n != 0) {
    std::memcpy(dst, report + 1, n > kReportDataSize ? kReportDataSize : n);
  }
  return status;
}

int ReportChannel::WriteReport(const std::uint8_t* data, std::uint8_t n) {
  if (n > kReportDataSize) n = kReportDataSize;
  sharedOutputReport_[0] = 0x00;
  if (n) std::memcpy(sharedOutputReport_ + 1, data, n);
  if (!IsWriteOpen()) return 0;
  return WriteRaw(sharedOutputReport_, kReportSize);
}

int ReportChannel::WriteReportWithId(const std::uint8_t* data, std::uint8_t id, std::uint8_t n) {
  if (n > kReportDataSize) n = kReportDataSize;
  std::uint8_t report[kReportSize];
  report[0] = id;
  if (n) std::memcpy(report + 1, data, n);
  if (!IsWriteOpen()) return 0;
  return WriteRaw(report, static_cast<std::size_t>(n) + 1);
}

namespace {
class SteadyClock final : public Clock {
 public:
  void SleepMs(std::uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  std::uint64_t NowMs() override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }
};
}  // namespace

Clock& SystemClock() {
  static SteadyClock clock;
  return clock;
}

void VirtualClock::SleepMs(std::uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ += ms;
}

std::uint64_t VirtualClock::NowMs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

}  // namespace korbex
