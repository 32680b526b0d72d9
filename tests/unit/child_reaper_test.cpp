// Reaping orphans as process 1 does, in a test process that is made the
// reaper of its orphans (a child subreaper).
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "ChildProcess.h"

namespace {

pid_t g_owned = 0;
bool Owned(pid_t pid) { return pid == g_owned; }

bool HasChildren() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

class OrphanReaper : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }
  void TearDown() override {
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    g_owned = 0;
  }

  static pid_t Ended(int status) {
    pid_t pid = fork();
    if (pid == 0) _exit(status);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    return pid;
  }
};

TEST_F(OrphanReaper, LeavesHelpersStatusToItsOwner) {
  // The shell ends at once and stays a zombie while Run still reads the
  // output its orphaned child holds open; then the orphan ends too.
  std::atomic<bool> done{false};
  int status = -1;
  std::string out;
  std::thread owner([&] {
    status = qmChildProcess::RunShell("(sleep 0.3; echo orphan) & exit 3", &out);
    done = true;
  });
  while (!done) {
    EXPECT_FALSE(qmChildProcess::ReapOrphans(Owned));
    usleep(1000);
  }
  owner.join();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(out, "orphan\n");
  // The orphan has ended by now (the output's end came with it).
  for (int i = 0; i < 5000 && HasChildren(); ++i) {
    qmChildProcess::ReapOrphans(Owned);
    usleep(1000);
  }
  EXPECT_FALSE(HasChildren());
}

TEST_F(OrphanReaper, ReapsStraysAndStopsAtAnOwnedChild) {
  pid_t stray = Ended(0);
  g_owned = Ended(5);
  EXPECT_TRUE(qmChildProcess::ReapOrphans(Owned));
  EXPECT_EQ(waitpid(stray, nullptr, WNOHANG), -1);  // reaped
  int status = 0;
  ASSERT_EQ(waitpid(g_owned, &status, 0), g_owned);  // left to its owner
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5);
  EXPECT_FALSE(qmChildProcess::ReapOrphans(Owned));  // nothing left
}

}  // namespace
