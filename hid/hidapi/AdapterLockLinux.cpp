// The adapter lock on Linux: flock on a descriptor of the adapter's node, opened beside
// hidapi's own. flock belongs to the inode, so every program of ours that opens the
// same node conflicts, and the kernel drops it with the last descriptor, so a holder
// killed with SIGKILL leaves nothing behind.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "hid/AdapterLock.h"

namespace korbex {
namespace {

// /proc/locks lists every lock of the system; a busy host has a few hundred. Reading
// stops here so that naming the holder stays cheap whatever the system holds.
constexpr int kMaxLockLines = 10000;

// The pid of the FLOCK on the inode, from /proc/locks ("1: FLOCK  ADVISORY  WRITE
// 1234 00:05:567 0 EOF"; waiters are the "->" lines); 0 when not found.
std::uint32_t FlockHolderPid(const struct stat& st) {
  std::FILE* locks = std::fopen("/proc/locks", "re");
  if (!locks) return 0;
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  std::uint32_t pid = 0;
  char line[256];
  for (int n = 0; n < kMaxLockLines && !pid && std::fgets(line, sizeof line, locks); ++n) {
    char kind[16], mode[16], access[16], id[64];
    unsigned long p = 0;
    if (std::strstr(line, "->")) continue;
    if (std::sscanf(line, "%*d: %15s %15s %15s %lu %63s", kind, mode, access, &p, id) != 5) continue;
    if (std::strcmp(kind, "FLOCK") == 0 && std::strcmp(id, wanted) == 0) pid = static_cast<std::uint32_t>(p);
  }
  std::fclose(locks);
  return pid;
}

std::string ProgramName(std::uint32_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/comm";
  std::FILE* f = std::fopen(path.c_str(), "re");
  if (!f) return {};
  char name[64] = {};
  const bool read = std::fgets(name, sizeof name, f) != nullptr;
  std::fclose(f);
  if (!read) return {};
  std::string out(name);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

}  // namespace

AdapterLockStatus AdapterLock::Take(const std::string& path, AdapterHolder* holder, std::string* why) {
  Release();
  // Read-only is enough for flock, and sends nothing to the device.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (why) *why = std::strerror(errno);
    return AdapterLockStatus::Failed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    handle_ = fd;
    return AdapterLockStatus::Held;
  }
  const int error = errno;
  if (error != EWOULDBLOCK) {
    ::close(fd);
    if (why) *why = std::strerror(error);
    return AdapterLockStatus::Failed;
  }
  if (holder) {
    *holder = {};
    struct stat st {};
    if (::fstat(fd, &st) == 0) holder->pid = FlockHolderPid(st);
    if (holder->pid) holder->program = ProgramName(holder->pid);
  }
  ::close(fd);
  return AdapterLockStatus::Busy;
}

void AdapterLock::Release() {
  if (handle_ == kNone) return;
  ::close(static_cast<int>(handle_));  // the last descriptor of ours: the flock goes with it
  handle_ = kNone;
}

}  // namespace korbex
