// A program that holds an adapter and nothing else: win_adapter_holder PATH takes the
// lock for PATH, then waits to be killed (exit 1 when the lock was not taken).
#include <windows.h>

#include "hid/AdapterLock.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  korbex::AdapterLock lock;
  if (lock.Take(argv[1]) != korbex::AdapterLockStatus::Held) return 1;
  Sleep(INFINITE);
  return 0;
}
