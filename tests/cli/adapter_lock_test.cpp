// The adapter lock on Linux: one holder per node (per inode, whatever the path), the
// holder named from /proc/locks, and a holder killed with SIGKILL leaves the adapter
// free. Plain files stand in for hidraw nodes: flock treats both alike.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "hid/AdapterLock.h"

namespace {

using korbex::AdapterHolder;
using korbex::AdapterLock;
using korbex::AdapterLockStatus;

class AdapterLockTest : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/korbex-lock-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string File(const std::string& name) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path).put('\0');
    return path;
  }
  std::string dir_;
};

std::string OwnProgramName() {
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

TEST_F(AdapterLockTest, SecondHolderIsRefusedAndToldWhoHoldsIt) {
  const std::string node = File("hidraw0");
  const std::string other = File("hidraw1");
  const std::string alias = dir_ + "/korbex-adapter";
  ASSERT_EQ(symlink(node.c_str(), alias.c_str()), 0);

  AdapterLock first;
  ASSERT_EQ(first.Take(node), AdapterLockStatus::Held);
  // Every path to the same node conflicts: the lock is the inode's.
  for (const std::string& path : {node, alias}) {
    AdapterLock second;
    AdapterHolder holder;
    EXPECT_EQ(second.Take(path, &holder), AdapterLockStatus::Busy) << path;
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(holder.pid, static_cast<std::uint32_t>(getpid())) << path;
    EXPECT_EQ(holder.program, OwnProgramName()) << path;
    EXPECT_EQ(holder.Describe(), OwnProgramName() + ", pid " + std::to_string(getpid()));
  }
  // Another adapter is another lock.
  AdapterLock elsewhere;
  EXPECT_EQ(elsewhere.Take(other), AdapterLockStatus::Held);

  // Let go (moved out first: the moved-to lock is the holder now).
  AdapterLock moved = std::move(first);
  EXPECT_FALSE(first.Held());
  AdapterLock third;
  EXPECT_EQ(third.Take(node), AdapterLockStatus::Busy);
  moved.Release();
  EXPECT_EQ(third.Take(node), AdapterLockStatus::Held);
}

TEST_F(AdapterLockTest, HolderKilledWithSigkillLeavesTheAdapterFree) {
  const std::string node = File("hidraw0");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    AdapterLock lock;
    const char held = lock.Take(node) == AdapterLockStatus::Held ? 'y' : 'n';
    (void)!write(ready[1], &held, 1);
    for (;;) pause();
  }
  close(ready[1]);
  char held = 0;
  ASSERT_EQ(read(ready[0], &held, 1), 1);
  close(ready[0]);
  ASSERT_EQ(held, 'y');

  AdapterLock lock;
  AdapterHolder holder;
  EXPECT_EQ(lock.Take(node, &holder), AdapterLockStatus::Busy);
  EXPECT_EQ(holder.pid, static_cast<std::uint32_t>(child));

  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(lock.Take(node), AdapterLockStatus::Held);
}

TEST_F(AdapterLockTest, NodeThatCannotBeOpenedFailsWithWhy) {
  AdapterLock lock;
  std::string why;
  EXPECT_EQ(lock.Take(dir_ + "/gone", nullptr, &why), AdapterLockStatus::Failed);
  EXPECT_FALSE(lock.Held());
  EXPECT_FALSE(why.empty());
}

}  // namespace
