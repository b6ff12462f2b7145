#pragma once
// Holding an adapter across processes: every program of ours that sends reports takes
// this lock for the length of its exchanges, so a second updater is refused before it
// sends anything instead of interleaving its reports with the first one's.
//
// Backends: Linux an advisory flock on the adapter's node (any path works, a plain
// file too); Windows a named semaphore derived from the device interface path; macOS
// none (IOKit devices have no node to lock; Take always answers Held). The system
// frees the lock when its holder dies, SIGKILL or a crash included.
#include <cstdint>
#include <string>
#include <string_view>

namespace korbex {

enum class AdapterLockStatus {
  Held,    // this lock holds the adapter now
  Busy,    // another holder has it; nothing was sent
  Failed,  // the node could not be opened for the lock (gone, no permission); see why
};

// Who holds an adapter, where the system can tell (Linux: /proc/locks and the
// holder's /proc/PID/comm); pid 0 and an empty program when it cannot.
struct AdapterHolder {
  std::uint32_t pid = 0;
  std::string program;
  // "korbex-update, pid 1234", "pid 1234", or empty when nothing is known.
  std::string Describe() const;
};

class AdapterLock {
 public:
  AdapterLock() = default;
  ~AdapterLock() { Release(); }
  AdapterLock(AdapterLock&& other) noexcept : handle_(other.handle_) { other.handle_ = kNone; }
  AdapterLock& operator=(AdapterLock&& other) noexcept {
    if (this != &other) {
      Release();
      handle_ = other.handle_;
      other.handle_ = kNone;
    }
    return *this;
  }
  AdapterLock(const AdapterLock&) = delete;
  AdapterLock& operator=(const AdapterLock&) = delete;

  // Takes the adapter at path (UTF-8: a hidraw node, a Windows device interface path,
  // any file on Linux) without waiting, releasing whatever this lock held before.
  // Busy fills holder where the system names it; Failed fills why. Never blocks.
  AdapterLockStatus Take(const std::string& path, AdapterHolder* holder = nullptr, std::string* why = nullptr);
  bool Held() const { return handle_ != kNone; }
  // Lets go of the adapter; nothing when not held.
  void Release();

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;  // fd on Linux, HANDLE on Windows, a marker on macOS
};

// The name of the Windows object for a device interface path, without its namespace:
// "KorbexUpdate-adapter-" and 16 hex digits of a hash of the path with ASCII letters
// upper-cased (Windows hands out the same path in either case).
std::string AdapterLockName(std::string_view path);

}  // namespace korbex
