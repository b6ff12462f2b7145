#include "hid/AdapterLock.h"

#include <cstdio>

namespace korbex {

std::string AdapterHolder::Describe() const {
  if (pid == 0) return program;
  const std::string p = "pid " + std::to_string(pid);
  return program.empty() ? p : program + ", " + p;
}

std::string AdapterLockName(std::string_view path) {
  // FNV-1a, 64 bits: stable across builds and compilers, which std::hash is not, and
  // the dialog and the command-line tool must derive the same name.
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : path) {
    const unsigned char u = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    hash = (hash ^ u) * 0x100000001b3ull;
  }
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
  return std::string("KorbexUpdate-adapter-") + digits;
}

}  // namespace korbex
