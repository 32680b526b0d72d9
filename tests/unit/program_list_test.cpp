// The program table: parsing the list text, and the operations that start,
// stop, reap and restart its programs, with real child processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>

#include "ClearTable.h"
#include "supervision/Launcher.h"
#include "supervision/Loop.h"
#include "supervision/ProgramList.h"

namespace {

struct ListCase {
  const char* label;
  const char* text;
  ListParseOutcome result;
  std::vector<std::tuple<std::string, std::string, int>> entries;  // path, param, run_tick
};

TEST(ParseProgramList, Table) {
  const ListCase cases[] = {
      {"empty text is an object without list", "", ListParseOutcome::kNoList, {}},
      {"not json", "{\"list\": [", ListParseOutcome::kNotJson, {}},
      {"top-level array", "[1]", ListParseOutcome::kNoList, {}},
      {"list is a string", "{\"list\": \"x\"}", ListParseOutcome::kNoList, {}},
      {"list is an object", "{\"list\": {\"path\": \"a\"}}", ListParseOutcome::kEntries, {}},
      {"empty list", "{\"list\": []}", ListParseOutcome::kEntries, {}},
      {"run kinds",
       R"({"list": [{"path": "a", "param": "-p 1", "run": 3},
                    {"path": "b", "run": "2"},
                    {"path": "c", "run": 0},
                    {"path": "d"},
                    {"path": "e", "run": "x7"},
                    {"path": "f", "run": false},
                    {"path": "g", "run": -1},
                    {"path": "h", "run": 2.5},
                    {"path": "i", "run": " 4z"},
                    {"path": "j", "run": 99999999}]})",
       ListParseOutcome::kEntries,
       {{"/app/bin/a", "-p 1", 3},
        {"/app/bin/b", "", 2},
        {"/app/bin/c", "", kUnlimitedRuns},
        {"/app/bin/d", "", kUnlimitedRuns},
        {"/app/bin/e", "", kUnlimitedRuns},
        {"/app/bin/f", "", kUnlimitedRuns},
        {"/app/bin/g", "", -1},
        {"/app/bin/h", "", 2},
        {"/app/bin/i", "", 4},
        {"/app/bin/j", "", kUnlimitedRuns}}},
      {"paths stay under bin, duplicates kept, non-objects skipped",
       R"({"list": [{"path": "/opt/x"}, 7, {"path": "/opt/x"}, [], {"param": "p"}]})",
       ListParseOutcome::kEntries,
       {{"/app/bin//opt/x", "", kUnlimitedRuns},
        {"/app/bin//opt/x", "", kUnlimitedRuns},
        {"/app/bin/", "p", kUnlimitedRuns}}},
      {"paths with a .. component are left out",
       R"({"list": [{"path": ".."}, {"path": "../sbin/x"}, {"path": "a/../../x"},
                    {"path": "a/.."}, {"path": "..x/y..", "run": 1}, {"path": "./a"}]})",
       ListParseOutcome::kEntries,
       {{"/app/bin/..x/y..", "", 1}, {"/app/bin/./a", "", kUnlimitedRuns}}},
  };
  for (const ListCase& c : cases) {
    std::vector<PRO_INFO> entries;
    std::vector<std::string> skipped;
    EXPECT_EQ(ParseProgramList(c.text, "/app/bin/", &entries, &skipped), c.result) << c.label;
    for (const std::string& path : skipped)
      EXPECT_NE(path.find(".."), std::string::npos) << c.label << ": " << path;
    ASSERT_EQ(entries.size(), c.entries.size()) << c.label;
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].pid, 0) << c.label;
      EXPECT_EQ(entries[i].path, std::get<0>(c.entries[i])) << c.label << " #" << i;
      EXPECT_EQ(entries[i].param_str, std::get<1>(c.entries[i])) << c.label << " #" << i;
      EXPECT_EQ(entries[i].run_tick, std::get<2>(c.entries[i])) << c.label << " #" << i;
      EXPECT_FALSE(entries[i].running()) << c.label;
    }
  }
}

TEST(ParseProgramList, LargeAndDeepLists) {
  std::string many = "{\"list\": [";
  for (int i = 0; i < 5000; ++i)
    many += (i ? "," : "") + std::string("{\"path\": \"p") + std::to_string(i) +
            "\", \"param\": \"" + std::string(2000, 'x') + "\", \"run\": 2}";
  many += "]}";  // about 10 MB
  std::vector<PRO_INFO> entries;
  ASSERT_EQ(ParseProgramList(many, "/app/bin/", &entries), ListParseOutcome::kEntries);
  ASSERT_EQ(entries.size(), 5000u);
  EXPECT_EQ(entries[4999].path, "/app/bin/p4999");
  EXPECT_EQ(entries[4999].param_str.size(), 2000u);

  const size_t depth = 1000000;
  std::string deep_element = "{\"list\": [" + std::string(depth, '[') + std::string(depth, ']') +
                             ", {\"path\": \"after\"}]}";
  entries.clear();
  EXPECT_EQ(ParseProgramList(deep_element, "/app/bin/", &entries), ListParseOutcome::kEntries);
  ASSERT_EQ(entries.size(), 1u);  // the nested array is no program
  EXPECT_EQ(entries[0].path, "/app/bin/after");

  std::string deep_path =
      "{\"list\": [{\"path\": " + std::string(depth, '[') + std::string(depth, ']') + "}]}";
  entries.clear();
  EXPECT_EQ(ParseProgramList(deep_path, "/app/bin/", &entries), ListParseOutcome::kEntries);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].path, "/app/bin/_a_r_r_a_y_");

  entries.clear();
  EXPECT_EQ(ParseProgramList(std::string(depth, '['), "/app/bin/", &entries),
            ListParseOutcome::kNotJson);
}

PRO_INFO Entry(pid_t pid, const char* path, int run_tick, bool running) {
  PRO_INFO info;
  info.pid = pid;
  info.path = path;
  info.param_str = "";
  info.run_tick = run_tick;
  info.state = running ? ProgramState::kRunning : IdleState(pid, run_tick);
  return info;
}

// An entry for /bin/sleep 60.
PRO_INFO Sleeping(pid_t pid, int run_tick, bool running) {
  PRO_INFO info = Entry(pid, "/bin/sleep", run_tick, running);
  info.param_str = "60";
  return info;
}

// Owns the table's contents for one test and reaps whatever it started.
class ProgramTable : public ::testing::Test {
 protected:
  void TearDown() override { ClearProgramTable(); }

  static pid_t StartSleeper() {
    pid_t pid = RunProcess("/bin/sleep", "60");
    EXPECT_GT(pid, 0);
    return pid;
  }

  static pid_t EndedAndReaped() {
    pid_t pid = RunProcess("/bin/true", "");
    waitpid(pid, nullptr, 0);
    return pid;
  }

  // Waits until pid has ended, without reaping it.
  static void AwaitEnd(pid_t pid) {
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  }
};

TEST_F(ProgramTable, KillSignalsOnlyLiveChildren) {
  pid_t live = StartSleeper();
  pid_t retired = StartSleeper();
  pid_t reaped = EndedAndReaped();
  {
    TableLock table;
    table.entries().push_back(Entry(0, "/never/started", -1, false));
    table.entries().push_back(Entry(-1, "/fork/failed", 3, false));
    table.entries().push_back(Entry(reaped, "/ended", 0, false));
    table.entries().push_back(Entry(live, "/bin/sleep", 2, true));
    table.retired().push_back(Entry(retired, "/bin/sleep", 1, true));
  }
  testing::internal::CaptureStdout();
  killProcessList();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "kill process pid:" + std::to_string(live) +
                     "\nkill process pid:" + std::to_string(retired) + "\n");
  for (pid_t pid : {live, retired}) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  }
  TableLock table;
  table.entries()[3].state = ProgramState::kStopped;  // reaped above
  table.retired().clear();
}

TEST_F(ProgramTable, KillOnEmptyTableSendsNothing) {
  testing::internal::CaptureStdout();
  killProcessList();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(ProgramTable, LoadStartsEntriesWithStartsLeftOnce) {
  pid_t running = StartSleeper();
  {
    TableLock table;
    table.entries().push_back(Entry(0, "/bin/sleep", 2, false));
    table.entries().push_back(Entry(0, "/bin/sleep", kUnlimitedRuns, false));
    table.entries().push_back(Entry(0, "/bin/sleep", 0, false));
    table.entries().push_back(Entry(0, "/bin/sleep", -3, false));
    table.entries().push_back(Entry(running, "/bin/sleep", 5, true));
    for (PRO_INFO& info : table.entries()) info.param_str = "60";
  }
  LoadProcessList();
  TableLock table;
  EXPECT_GT(table.entries()[0].pid, 0);
  EXPECT_TRUE(table.entries()[0].running());
  EXPECT_EQ(table.entries()[0].run_tick, 1);
  EXPECT_GT(table.entries()[1].pid, 0);
  EXPECT_EQ(table.entries()[1].run_tick, kUnlimitedRuns);
  EXPECT_EQ(table.entries()[2].pid, 0);
  EXPECT_EQ(table.entries()[3].pid, 0);
  EXPECT_EQ(table.entries()[4].pid, running);  // a live child is not started twice
  EXPECT_EQ(table.entries()[4].run_tick, 5);
}

TEST_F(ProgramTable, ReapQueuesProgramsAndDropsRetiredChildren) {
  pid_t program = RunProcess("/bin/true", "");
  pid_t retired = RunProcess("/bin/true", "");
  pid_t other = StartSleeper();
  {
    TableLock table;
    table.entries().push_back(Entry(program, "/bin/true", 1, true));
    table.entries().push_back(Entry(other, "/bin/sleep", 1, true));
    table.retired().push_back(Entry(retired, "/bin/true", 1, true));
  }
  AwaitEnd(program);
  AwaitEnd(retired);
  std::deque<pid_t> ended;
  ReapEnded(ended);
  EXPECT_EQ(ended, std::deque<pid_t>{program});
  TableLock table;
  EXPECT_FALSE(table.entries()[0].running());
  EXPECT_TRUE(table.entries()[1].running());
  EXPECT_TRUE(table.retired().empty());
  EXPECT_EQ(waitpid(retired, nullptr, WNOHANG), -1);  // already reaped
}

TEST_F(ProgramTable, RestartUsesStartsAndSkipsExhaustedOrLiveEntries) {
  pid_t a = EndedAndReaped(), b = EndedAndReaped(), c = EndedAndReaped();
  pid_t live = StartSleeper();
  {
    TableLock table;
    table.entries().push_back(Entry(a, "/bin/true", 2, false));
    table.entries().push_back(Entry(b, "/bin/true", kUnlimitedRuns, false));
    table.entries().push_back(Entry(c, "/bin/true", 0, false));
    table.entries().push_back(Entry(live, "/bin/sleep", 3, true));
  }
  EXPECT_TRUE(RestartEnded(a));
  EXPECT_TRUE(RestartEnded(b));
  EXPECT_FALSE(RestartEnded(c));
  EXPECT_FALSE(RestartEnded(live));
  EXPECT_FALSE(RetryFailedStart());
  TableLock table;
  EXPECT_EQ(table.entries()[0].run_tick, 1);
  EXPECT_NE(table.entries()[0].pid, a);
  EXPECT_EQ(table.entries()[1].run_tick, kUnlimitedRuns);
  EXPECT_EQ(table.entries()[2].pid, c);  // exhausted: keeps its last id
  EXPECT_EQ(table.entries()[3].run_tick, 3);
}

TEST_F(ProgramTable, FailedForkEntryIsRestartedInAPassWithoutChildren) {
  {
    TableLock table;
    table.entries().push_back(Entry(-1, "/bin/true", 2, false));
  }
  EXPECT_TRUE(RetryFailedStart());
  TableLock table;
  EXPECT_GT(table.entries()[0].pid, 0);
}

// What an installation's stop means to the loop: the programs it stopped are
// neither queued nor started again until LoadProcessList, and ends whose
// entries are gone or stopped cost the loop no pause.
TEST_F(ProgramTable, StoppedProgramsWaitForLoadProcessList) {
  pid_t live = RunProcess("/bin/sleep", "60");
  pid_t queued = EndedAndReaped();  // ended before the stop, still waiting its turn
  ASSERT_GT(live, 0);
  {
    TableLock table;
    table.entries().push_back(Sleeping(live, kUnlimitedRuns, true));
    table.entries().push_back(Sleeping(queued, 3, false));
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
    TableLock table;
    EXPECT_FALSE(table.entries()[0].running());
    EXPECT_EQ(table.entries()[0].pid, live);
    EXPECT_EQ(table.entries()[1].run_tick, 3);
  }

  // The list could not be read anew: the same entries start again, each once.
  LoadProcessList();
  TableLock table;
  EXPECT_TRUE(table.entries()[0].running());
  EXPECT_NE(table.entries()[0].pid, live);
  EXPECT_TRUE(table.entries()[1].running());
  EXPECT_EQ(table.entries()[1].run_tick, 2);
  EXPECT_FALSE(table.entries()[0].stopped() || table.entries()[1].stopped());
}

TEST_F(ProgramTable, LoopWaitsOnlyOnEndsTheTableStillHolds) {
  pid_t with_starts = EndedAndReaped(), exhausted = EndedAndReaped();
  pid_t dropped = EndedAndReaped();
  pid_t live = RunProcess("/bin/sleep", "60");
  {
    TableLock table;
    table.entries().push_back(Sleeping(with_starts, 2, false));
    table.entries().push_back(Sleeping(exhausted, 0, false));
    table.entries().push_back(Sleeping(live, 2, true));
  }
  EXPECT_TRUE(WaitsOnEnded(with_starts));
  EXPECT_TRUE(WaitsOnEnded(exhausted));  // no starts left, yet its pause paces the loop
  EXPECT_FALSE(WaitsOnEnded(dropped));   // its table was replaced
  EXPECT_FALSE(WaitsOnEnded(live));
}

TEST(RunProcess, NullArgumentsStartNothing) {
  EXPECT_EQ(RunProcess(nullptr, ""), 0);
  EXPECT_EQ(RunProcess("/bin/true", nullptr), 0);
}

}  // namespace
