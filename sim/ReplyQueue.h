#pragma once
// Replies on their way to the host, and the link's latency: the bounded queue of input
// reports the simulated adapter has sent and the host has not read yet, each readable
// from its ready time, and the clock-side model of when a reply is ready (the latency
// after its request) and how a reader waits for that time.
#include <array>
#include <cstddef>
#include <cstdint>

#include "hid/ReportChannel.h"

namespace korbex::sim {

struct LinkConfig {
  std::uint32_t latencyMs = 0;  // per exchange: a reply is readable this long after its request
  std::uint32_t readTimeoutMs = 200;
};

// The adapter's input reports not read yet, oldest first. It holds kCapacity reports;
// when the host does not read, the oldest is lost (as in the OS's HID input buffer).
// Allocates nothing. Not thread-safe: its owner (AdapterModel) locks around it.
class ReplyQueue {
 public:
  static constexpr std::size_t kCapacity = 32;

  // Queues a report (report id first, kReportSize bytes) readable from readyAtMs on.
  void Push(const std::uint8_t* report, std::uint64_t readyAtMs);
  // Takes the oldest report, whatever its ready time. False if none.
  bool Pop(std::uint8_t (&report)[kReportSize]);
  // True with the ready time of the oldest report; false when none is queued.
  bool NextReadyAt(std::uint64_t& readyAtMs) const;
  void Clear() { head_ = count_ = 0; }

 private:
  struct Reply {
    std::uint8_t bytes[kReportSize];
    std::uint64_t readyAtMs;
  };
  std::array<Reply, kCapacity> replies_{};
  std::size_t head_ = 0, count_ = 0;
};

// When a reply becomes readable, and the wait for it. On a VirtualClock waiting means
// advancing the clock; on a real clock it sleeps to just before the deadline and spins
// the rest, so timer slack does not show up in measurements.
class LinkLatency {
 public:
  LinkLatency(Clock& clock, LinkConfig link);

  std::uint64_t NowMs() const { return clock_.NowMs(); }
  // The ready time of a reply to a request sent now.
  std::uint64_t ReplyReadyAt() const { return clock_.NowMs() + link_.latencyMs; }
  std::uint32_t ReadTimeoutMs() const { return link_.readTimeoutMs; }
  // Returns once the clock reads deadlineMs or later.
  void WaitUntil(std::uint64_t deadlineMs);

 private:
  Clock& clock_;
  LinkConfig link_;
  bool virtualClock_;
};

}  // namespace korbex::sim
