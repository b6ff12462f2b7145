#pragma once
// The process-wide session values the version query and the update share: what the
// query learned of the adapter's version (and so which version texts the update
// uses), and the flags that keep a query and an update apart. Here rather than with
// the engine so that the version query does not depend on the update sequence; the
// engine includes this header.
#include <atomic>
#include <cstdint>

namespace korbex {

inline constexpr std::uint32_t kVersionNotRead = 0x5A5A5A5A;

// Process-wide update state shared by the UI thread and the worker.
struct UpdateSession {
  std::atomic<int> updateRunning{0};
  std::atomic<std::uint32_t> deviceVersion{kVersionNotRead};
  std::atomic<std::uint32_t> deviceVersionMinor{0};
  std::atomic<std::uint32_t> deviceBeta{0};
  std::atomic<int> singleNumberVersion{0};  // set by the version query, read and cleared by the update
  std::atomic<int> fileOpened{0};
};

}  // namespace korbex
