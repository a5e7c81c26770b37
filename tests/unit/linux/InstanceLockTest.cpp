#include "platform/linux/InstanceLock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TempFolder.h"

namespace mixelot {
namespace {

TEST(InstanceLock, OneHolderAtATimeAndTheNextOneIsToldWho) {
  testsupport::TempFolder folder;
  const std::string path = folder / "sub/com.corvana.Mixelot.lock";
  {
    InstanceLock first(path);
    ASSERT_EQ(first.state(), InstanceLock::State::kHeld) << first.error();

    // Another process, as a second launch would be.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      InstanceLock second(path);
      _exit(second.state() == InstanceLock::State::kHeldElsewhere && second.holder() == getppid()
                ? 0
                : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  // Released with its holder.
  InstanceLock third(path);
  EXPECT_EQ(third.state(), InstanceLock::State::kHeld);

  InstanceLock nowhere("/proc/no-such-folder/x.lock");
  EXPECT_EQ(nowhere.state(), InstanceLock::State::kUnavailable);
  EXPECT_FALSE(nowhere.error().empty());
}

}  // namespace
}  // namespace mixelot
