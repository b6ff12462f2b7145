#pragma once
// The walk over SetupAPI device interfaces, kept apart from SetupAPI so the retry
// rule can be exercised with a fake.
#include <cstdint>
#include <vector>

namespace korbex::win {

// A detail query that fails right after its size was asked for is tried once more
// with a fresh size; then the interface is skipped. (Without a bound a device whose
// path keeps changing length would hold discovery for ever.)
inline constexpr int kDetailAttemptsPerInterface = 2;

// Api provides, for the interface at an index:
//   bool Enumerate(std::uint32_t index)          -- false when there is none (end)
//   std::uint32_t RequiredSize(std::uint32_t index)  -- detail size, 0 on failure
//   bool Detail(std::uint32_t index, std::vector<std::uint8_t>& buffer)  -- fills buffer
// visit(index, buffer) returns true to stop the walk. The detail buffer is kept for
// the following interfaces while it is big enough, as the detail call reports.
template <class Api, class Visit>
void WalkInterfaceDetails(Api& api, Visit&& visit) {
  std::vector<std::uint8_t> buffer;
  int attempts = 0;
  for (std::uint32_t index = 0;;) {
    if (!api.Enumerate(index)) return;
    if (buffer.empty()) {
      const std::uint32_t size = api.RequiredSize(index);
      if (size == 0) {  // no size at all: nothing to read for this one
        ++index;
        attempts = 0;
        continue;
      }
      buffer.assign(size, 0);
    }
    if (!api.Detail(index, buffer)) {
      // A later path may be longer than the first: ask for the size again.
      buffer.clear();
      if (++attempts < kDetailAttemptsPerInterface) continue;
      ++index;
      attempts = 0;
      continue;
    }
    attempts = 0;
    if (visit(index, buffer)) return;
    ++index;
  }
}

}  // namespace korbex::win
