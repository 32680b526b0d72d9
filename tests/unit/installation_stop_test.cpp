// What an installation's stop means to the supervision loop: the programs it
// stopped are neither queued nor started again until LoadProcessList, and ends
// whose entries are gone or stopped cost the loop no pause.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>

#include "Launcher.h"
#include "ProgramList.h"
#include "Supervisor.h"

namespace {

PRO_INFO Entry(pid_t pid, int run_tick, bool running) {
  PRO_INFO info;
  info.pid = pid;
  info.path = "/bin/sleep";
  info.param_str = "60";
  info.run_tick = run_tick;
  info.running = running;
  return info;
}

// Owns the table for one test and ends whatever it started.
class InstallationStop : public ::testing::Test {
 protected:
  void TearDown() override {
    std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
    for (const PRO_INFO& info : m_all_process) {
      if (info.running && info.pid > 0) {
        kill(info.pid, SIGKILL);
        waitpid(info.pid, nullptr, 0);
      }
    }
    RetiredChildren().clear();
    m_all_process.clear();
  }

  static pid_t EndedAndReaped() {
    pid_t pid = RunProcess("/bin/true", "");
    waitpid(pid, nullptr, 0);
    return pid;
  }
};

TEST_F(InstallationStop, StoppedProgramsWaitForLoadProcessList) {
  pid_t live = RunProcess("/bin/sleep", "60");
  pid_t queued = EndedAndReaped();  // ended before the stop, still waiting its turn
  ASSERT_GT(live, 0);
  {
    std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
    m_all_process.push_back(Entry(live, kUnlimitedRuns, true));
    m_all_process.push_back(Entry(queued, 3, false));
  }
  testing::internal::CaptureStdout();
  killProcessList();
  testing::internal::GetCapturedStdout();
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(live), &info, WEXITED | WNOWAIT);

  std::deque<pid_t> ended;
  ReapEnded(ended);
  EXPECT_TRUE(ended.empty());  // its end would cost a pause of the new table's time
  for (pid_t pid : {live, queued}) {
    EXPECT_FALSE(WaitsOnEnded(pid)) << pid;
    EXPECT_FALSE(RestartEnded(pid)) << pid;  // the files are being replaced
  }
  {
    std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
    EXPECT_FALSE(m_all_process[0].running);
    EXPECT_EQ(m_all_process[0].pid, live);
    EXPECT_EQ(m_all_process[1].run_tick, 3);
  }

  // The list could not be read anew: the same entries start again, each once.
  LoadProcessList();
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  EXPECT_TRUE(m_all_process[0].running);
  EXPECT_NE(m_all_process[0].pid, live);
  EXPECT_TRUE(m_all_process[1].running);
  EXPECT_EQ(m_all_process[1].run_tick, 2);
  EXPECT_FALSE(m_all_process[0].stopped || m_all_process[1].stopped);
}

TEST_F(InstallationStop, LoopWaitsOnlyOnEndsTheTableStillHolds) {
  pid_t with_starts = EndedAndReaped(), exhausted = EndedAndReaped();
  pid_t dropped = EndedAndReaped();
  pid_t live = RunProcess("/bin/sleep", "60");
  {
    std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
    m_all_process.push_back(Entry(with_starts, 2, false));
    m_all_process.push_back(Entry(exhausted, 0, false));
    m_all_process.push_back(Entry(live, 2, true));
  }
  EXPECT_TRUE(WaitsOnEnded(with_starts));
  EXPECT_TRUE(WaitsOnEnded(exhausted));  // its pause paces the loop as before
  EXPECT_FALSE(WaitsOnEnded(dropped));   // its table was replaced
  EXPECT_FALSE(WaitsOnEnded(live));
}

}  // namespace
