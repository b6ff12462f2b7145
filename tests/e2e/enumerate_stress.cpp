// Lists the supported adapters as fast as it can for a given time, while something else
// (tests/e2e/cases.py) plugs an adapter in and out: nodes vanish in the middle of walks.
// Exit 0 with a count line when every walk ended; a crash is the failure it looks for.
//
//   enumerate_stress SECONDS
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "hid/hidapi/HidDevices.h"

int main(int argc, char** argv) {
  const int seconds = argc == 2 ? std::atoi(argv[1]) : 0;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: enumerate_stress SECONDS\n");
    return 2;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  unsigned long walks = 0, seen = 0;
  while (std::chrono::steady_clock::now() < end) {
    seen += !korbex::EnumerateHidDevices().empty();
    ++walks;
  }
  std::printf("%lu walks, %lu saw the adapter\n", walks, seen);
  return 0;
}
