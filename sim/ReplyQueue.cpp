// The simulated adapter's reply queue and the link's latency model.
#include "sim/ReplyQueue.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace korbex::sim {

void ReplyQueue::Push(const std::uint8_t* report, std::uint64_t readyAtMs) {
  if (count_ == kCapacity) {
    head_ = (head_ + 1) % kCapacity;  // the oldest unread report is lost
    --count_;
  }
  Reply& r = replies_[(head_ + count_) % kCapacity];
  std::memcpy(r.bytes, report, kReportSize);
  r.readyAtMs = readyAtMs;
  ++count_;
}

bool ReplyQueue::Pop(std::uint8_t (&report)[kReportSize]) {
  if (count_ == 0) return false;
  std::memcpy(report, replies_[head_].bytes, kReportSize);
  head_ = (head_ + 1) % kCapacity;
  --count_;
  return true;
}

bool ReplyQueue::NextReadyAt(std::uint64_t& readyAtMs) const {
  if (count_ == 0) return false;
  readyAtMs = replies_[head_].readyAtMs;
  return true;
}

LinkLatency::LinkLatency(Clock& clock, LinkConfig link)
    : clock_(clock), link_(link), virtualClock_(dynamic_cast<VirtualClock*>(&clock) != nullptr) {}

void LinkLatency::WaitUntil(std::uint64_t deadlineMs) {
  std::uint64_t now = clock_.NowMs();
  if (now >= deadlineMs) return;
  if (virtualClock_) {
    clock_.SleepMs(static_cast<std::uint32_t>(deadlineMs - now));
    return;
  }
  // Sleep to just before the deadline, then spin: a sleep may overshoot by a timer
  // tick, and the benchmark measures the host, not the timer.
  constexpr std::uint64_t kSpinMs = 2;
  if (deadlineMs - now > kSpinMs) clock_.SleepMs(static_cast<std::uint32_t>(deadlineMs - now - kSpinMs));
  // The spin is bounded in real time: a clock of the caller's that only moves when
  // slept on would otherwise never get there.
  const auto spinEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSpinMs + 1);
  while ((now = clock_.NowMs()) < deadlineMs) {
    if (std::chrono::steady_clock::now() > spinEnd) {
      clock_.SleepMs(static_cast<std::uint32_t>(deadlineMs - now));
      return;
    }
    std::this_thread::yield();
  }
}

}  // namespace korbex::sim
