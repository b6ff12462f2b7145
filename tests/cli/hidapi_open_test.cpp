// How the hidapi channel tells a missing udev rule (exit 6, the message names the rule
// file) from a device that has gone (exit 3) and from a node that is no HID device.
// Real files and a real unprivileged process stand in for device nodes: the open
// meets the same errors. (Only paths that fail to open: Debian's hidapi 0.13.1 crashes
// in hid_open_path on a file that opens but is no hidraw node, which is why the tool
// opens only paths its enumeration listed.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "hid/hidapi/HidapiChannel.h"

namespace {

std::string MakeFile(mode_t mode) {
  char name[] = "/tmp/korbex-hidapi-XXXXXX";
  const int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  close(fd);
  chmod(name, mode);
  return name;
}

TEST(HidapiOpen, MissingNodeIsNotFound) {
  korbex::HidapiChannel channel;
  std::string message;
  EXPECT_EQ(channel.Open("/dev/hidraw-korbex-missing", message), korbex::HidOpenStatus::NotFound);
  EXPECT_FALSE(message.empty());
}

TEST(HidapiOpen, NodeWithoutPermissionIsPermissionDenied) {
  // A node only its owner may open, opened by another user: what a hidraw node
  // without the uaccess rule is to the logged-in user.
  const std::string path = MakeFile(0600);
  const bool root = geteuid() == 0;
  if (!root) chmod(path.c_str(), 0000);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (root && setuid(65534) != 0) _exit(3);  // nobody
    korbex::HidapiChannel channel;
    std::string message;
    const auto status = channel.Open(path, message);
    _exit(status == korbex::HidOpenStatus::PermissionDenied ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  unlink(path.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "3: could not become another user; 1: not reported as permission denied";
}

}  // namespace
