// The adapter lock where there is none (macOS): IOKit HID devices have no node a
// program could lock, and the exclusive open (kIOHIDOptionsTypeSeizeDevice) cannot be
// tested here. Take always answers Held and nothing is refused.
#include "hid/AdapterLock.h"

namespace korbex {

AdapterLockStatus AdapterLock::Take(const std::string&, AdapterHolder*, std::string*) {
  Release();
  handle_ = 0;
  return AdapterLockStatus::Held;
}

void AdapterLock::Release() { handle_ = kNone; }

}  // namespace korbex
