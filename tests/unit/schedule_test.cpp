// The supervisor's pacing in milliseconds of a fake clock: restarts after the
// pause, one pause apart, the update checks' period and what follows an
// installation. The programs are real children.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ClearTable.h"
#include "FakeEnv.h"
#include "SingletonBase.h"
#include "ToolHelper.h"
#include "platform/Timing.h"
#include "supervision/Loop.h"
#include "supervision/ProgramTable.h"
#include "update/Check.h"
#include "update/Update.h"

namespace {

namespace fs = std::filesystem;

PRO_INFO Sleeper() {
  PRO_INFO info;
  info.path = "/bin/sleep";
  info.param_str = "60";
  info.run_tick = kUnlimitedRuns;
  return info;
}

// The entry at index i, copied under the lock.
PRO_INFO EntryAt(size_t i) {
  TableLock table;
  return table.entries().at(i);
}

// Kills entry i's program and waits until it has ended, without reaping it:
// the next ReapEnded sees it at the fake clock's time.
void EndProgram(size_t i) {
  pid_t pid = EntryAt(i).pid;
  ASSERT_GT(pid, 0);
  kill(pid, SIGKILL);
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
}

class SupervisionSchedule : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearProgramTable();
    std::vector<PRO_INFO> list = {Sleeper(), Sleeper()};
    ReplacePrograms(list);
    LoadProcessList();
  }
  void TearDown() override { ClearProgramTable(); }

  FakeEnv env;
  std::deque<pid_t> ended;
};

TEST_F(SupervisionSchedule, EndedProgramStartsAgainOnePauseAfterItsEnd) {
  env.now = 5000;
  const pid_t first = EntryAt(0).pid;
  EndProgram(0);
  // Every wait of the pause comes before its end, and the entry still waits.
  env.on_wait = [&](long long ms) {
    EXPECT_LE(env.now + ms, 5000 + timing::kRestartPauseMs);
    EXPECT_EQ(EntryAt(0).state, ProgramState::kWaiting);
    EXPECT_EQ(EntryAt(0).pid, first);
  };
  SupervisionPass(ended);
  EXPECT_EQ(env.now, 5000 + timing::kRestartPauseMs);
  PRO_INFO again = EntryAt(0);
  EXPECT_EQ(again.state, ProgramState::kRunning);
  EXPECT_NE(again.pid, first);
  EXPECT_EQ(EntryAt(1).state, ProgramState::kRunning);
  EXPECT_TRUE(ended.empty());
}

TEST_F(SupervisionSchedule, ProgramsEndingTogetherStartAgainOnePauseApart) {
  env.now = 1000;
  const pid_t second = EntryAt(1).pid;
  EndProgram(0);
  EndProgram(1);
  SupervisionPass(ended);
  EXPECT_EQ(env.now, 1000 + timing::kRestartPauseMs);
  EXPECT_EQ(EntryAt(0).state, ProgramState::kRunning);
  EXPECT_EQ(EntryAt(1).state, ProgramState::kWaiting);  // its turn is the next pass
  EXPECT_EQ(ended, std::deque<pid_t>{second});

  SupervisionPass(ended);
  EXPECT_EQ(env.now, 1000 + 2 * timing::kRestartPauseMs);
  EXPECT_EQ(EntryAt(1).state, ProgramState::kRunning);
  EXPECT_NE(EntryAt(1).pid, second);
}

TEST_F(SupervisionSchedule, WithoutEndsAPassWaitsForAChild) {
  SupervisionPass(ended);
  EXPECT_EQ(env.now, 1000);
  EXPECT_EQ(EntryAt(0).state, ProgramState::kRunning);
}

// The update thread's schedule with a check that takes kCheckMs.
constexpr long long kCheckMs = 7000;
FakeEnv* g_env = nullptr;
std::vector<long long> g_checks;
int g_result = kUpdateCurrent;
size_t g_rounds = 0;

int FakeCheck() {
  g_checks.push_back(g_env->now);
  g_env->now += kCheckMs;
  return g_result;
}
bool MoreChecks() { return g_checks.size() < g_rounds; }

class UpdateSchedule : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearProgramTable();
    g_env = &env;
    g_checks.clear();
  }
  void TearDown() override {
    ClearProgramTable();
    g_env = nullptr;
  }
  FakeEnv env;
};

TEST_F(UpdateSchedule, ChecksComeEveryPeriodCountedFromThePreviousEnd) {
  g_result = kUpdateCurrent;
  g_rounds = 2;
  RunUpdateChecks(FakeCheck, MoreChecks);
  const long long period = 1LL * timing::kUpdateTicks * timing::kUpdateTickMs;
  ASSERT_EQ(g_checks.size(), 2u);
  EXPECT_EQ(period, 1800 * 1000);  // the production values
  EXPECT_EQ(g_checks[0], period);
  EXPECT_EQ(g_checks[1], period + kCheckMs + period);
}

// After an installation: a pause, the new list, a pause, then its programs
// start. The list lies in the application directory, the test's own.
TEST_F(UpdateSchedule, InstallationIsFollowedByTwoPausesTheNewListAndItsStart) {
  const fs::path bin = fs::path(SingletonBase<qmToolHelper>::Instance().GetAppDir()) / "bin";
  ASSERT_FALSE(fs::exists(bin)) << "the test's own directory";
  fs::create_directory(bin);
  fs::create_symlink("/bin/sleep", bin / "sleeper");
  std::ofstream(bin / "config.json") << R"({"list": [{"path": "sleeper", "param": "60"}]})";

  struct Sleep {
    long long at;
    unsigned ms;
    size_t entries;
    ProgramState first;
  };
  std::vector<Sleep> sleeps;
  env.on_sleep = [&](unsigned ms) {
    TableLock table;
    sleeps.push_back(
        {env.now, ms, table.entries().size(),
         table.entries().empty() ? ProgramState::kNeverStarted : table.entries()[0].state});
  };
  g_result = kUpdateInstalled;
  g_rounds = 1;
  RunUpdateChecks(FakeCheck, MoreChecks);
  const PRO_INFO started = EntryAt(0);
  fs::remove_all(bin);

  const long long installed = 1LL * timing::kUpdateTicks * timing::kUpdateTickMs + kCheckMs;
  ASSERT_GE(sleeps.size(), 3u);
  const Sleep* after = &sleeps[sleeps.size() - 3];
  EXPECT_EQ(after[0].at, installed);
  EXPECT_EQ(after[0].ms, timing::kInstallPauseMs);
  EXPECT_EQ(after[0].entries, 0u);  // the old list until the first pause is over
  EXPECT_EQ(after[1].at, installed + timing::kInstallPauseMs);
  EXPECT_EQ(after[1].ms, timing::kInstallPauseMs);
  EXPECT_EQ(after[1].entries, 1u);  // the new list, not started yet
  EXPECT_EQ(after[1].first, ProgramState::kNeverStarted);
  EXPECT_EQ(after[2].at, installed + 2 * timing::kInstallPauseMs);
  EXPECT_EQ(after[2].ms, timing::kUpdateTickMs);
  EXPECT_EQ(after[2].first, ProgramState::kRunning);  // started before the next tick
  EXPECT_EQ(started.path, bin.string() + "/sleeper");
  EXPECT_EQ(started.state, ProgramState::kRunning);
}

}  // namespace
