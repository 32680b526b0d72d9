// The installation's journal and rejected record as they are read back, the
// health settings, and the watch's judgement on a fake clock and a fake set
// of programs; the health check as a real child.
#include "update/Journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "FakeEnv.h"
#include "ScratchDir.h"
#include "TestFiles.h"
#include "platform/Timing.h"
#include "supervision/ProgramControl.h"
#include "update/Rejected.h"
#include "update/UpdateObserver.h"
#include "update/UpdateSettings.h"
#include "update/Watch.h"

namespace {

TEST(Journal, ReadBackAsWritten) {
  INSTALL_JOURNAL j;
  j.phase = JournalPhase::kRollingBack;
  j.crc = "4204838306";
  j.old_crc = "0";
  j.timestamp = 1765400000;
  j.signature = "untrusted comment: x\nRWQ...\n";
  j.added = {"bin/new", "data"};
  j.fresh = {12, 18446744073709551615ul};
  j.why = "program /opt/app/bin/x ended 3 times";
  INSTALL_JOURNAL back;
  ASSERT_TRUE(ParseJournal(JournalText(j), &back));
  EXPECT_EQ(back.phase, j.phase);
  EXPECT_EQ(back.crc, j.crc);
  EXPECT_EQ(back.old_crc, j.old_crc);
  EXPECT_EQ(back.timestamp, j.timestamp);
  EXPECT_EQ(back.signature, j.signature);
  EXPECT_EQ(back.added, j.added);
  EXPECT_EQ(back.fresh, j.fresh);
  EXPECT_EQ(back.why, j.why);
}

TEST(Journal, AnythingButAnIntactJournalIsRefused) {
  const std::string good =
      R"({"phase":"moving","crc":"1","old_crc":"0","timestamp":0,"signature":"","added":[],"fresh":[],"why":""})";
  INSTALL_JOURNAL ok;
  ASSERT_TRUE(ParseJournal(good, &ok));
  const char* bad[] = {
      "",
      "not json",
      R"({"phase":"done","crc":"1","old_crc":"0","timestamp":0,"signature":"","added":[],"fresh":[],"why":""})",
      R"({"phase":"moving","crc":"","old_crc":"0","timestamp":0,"signature":"","added":[],"fresh":[],"why":""})",
      R"({"phase":"moving","crc":"1","old_crc":"0","timestamp":-1,"signature":"","added":[],"fresh":[],"why":""})",
      R"({"phase":"moving","crc":"1","old_crc":"0","timestamp":0,"signature":"","added":{},"fresh":[],"why":""})",
      R"({"phase":"moving","crc":"1","old_crc":"0","timestamp":0,"signature":"","added":[1],"fresh":[],"why":""})",
      // Names the rollback would remove outside the application directory.
      R"({"phase":"moving","crc":"1","old_crc":"0","timestamp":0,"signature":"","added":["../x"],"fresh":[],"why":""})",
      R"({"phase":"moving","crc":"1","old_crc":"0","timestamp":0,"signature":"","added":["/etc"],"fresh":[],"why":""})",
      R"({"phase":"moving","crc":"1","old_crc":"0","timestamp":0,"signature":"","added":["a//b"],"fresh":[],"why":""})",
      R"({"phase":"moving","crc":"1","old_crc":"0","timestamp":0,"signature":"","added":["."],"fresh":[],"why":""})",
      R"({"phase":"moving","crc":"1","old_crc":"0","timestamp":0,"signature":"","added":[],"fresh":[]})",
      R"({"phase":"moving","crc":"1","old_crc":"0","timestamp":0,"signature":"","added":[],"why":""})",
      R"({"phase":"moving","crc":"1","old_crc":"0","timestamp":0,"signature":"","added":[],"fresh":[-1],"why":""})",
      R"({"phase":"moving","crc":"1","old_crc":"0","timestamp":0,"signature":"","added":[],"fresh":["7"],"why":""})",
  };
  for (const char* text : bad) {
    INSTALL_JOURNAL out = ok;
    EXPECT_FALSE(ParseJournal(text, &out)) << text;
    EXPECT_EQ(out.crc, "1") << "left as it was: " << text;
  }
}

TEST(Journal, FileWrittenReadAndDropped) {
  ScratchDir dir("journal_test");
  INSTALL_JOURNAL j, back;
  std::string why;
  EXPECT_EQ(ReadJournal(dir.path(), &back, &why), 0);
  j.crc = "7";
  ASSERT_EQ(WriteJournal(dir.path(), j), "");
  EXPECT_EQ(ReadJournal(dir.path(), &back, &why), 1);
  EXPECT_EQ(back.crc, "7");
  WriteFile(dir / "update.journal",
            "{\"phase\":");  // a torn write never happens, but a disk may lie
  EXPECT_EQ(ReadJournal(dir.path(), &back, &why), -1);
  EXPECT_EQ(why, "not an intact journal");
  DropJournal(dir.path());
  EXPECT_EQ(ReadJournal(dir.path(), &back, &why), 0);
}

TEST(Journal, OnlyARegularFileIsRead) {
  ScratchDir dir("journal_test");
  ScratchDir elsewhere("journal_test");
  INSTALL_JOURNAL j, back;
  j.crc = "7";
  ASSERT_EQ(WriteJournal(elsewhere.path(), j), "");
  const std::string journal = dir / "update.journal";
  // Each stands at the journal's name in turn; none is read, none blocks.
  auto link = [&] { return symlink((elsewhere / "update.journal").c_str(), journal.c_str()); };
  auto folder = [&] { return mkdir(journal.c_str(), 0700); };
  auto fifo = [&] { return mkfifo(journal.c_str(), 0600); };
  for (const auto& plant :
       {std::function<int()>(link), std::function<int()>(folder), std::function<int()>(fifo)}) {
    ASSERT_EQ(plant(), 0);
    std::string why;
    EXPECT_EQ(ReadJournal(dir.path(), &back, &why), -1);
    EXPECT_EQ(why, "not an intact journal");
    DropJournal(dir.path());
  }
}

TEST(Rejected, ReadBackAsWritten) {
  ScratchDir dir("rejected_test");
  REJECTED_RELEASE r{"99", 1765400000, "check healthy exit:4"}, back;
  EXPECT_FALSE(ReadRejected(dir.path(), &back));
  ASSERT_EQ(WriteRejected(dir.path(), r), "");
  ASSERT_TRUE(ReadRejected(dir.path(), &back));
  EXPECT_EQ(back.crc, r.crc);
  EXPECT_EQ(back.time, r.time);
  EXPECT_EQ(back.why, r.why);
  EXPECT_FALSE(ParseRejected(R"({"crc":"","time":1,"why":""})", &back));
}

TEST(HealthSettings, TakenOrRefusedWhole) {
  const struct {
    const char* text;
    bool on;
    unsigned long watch_s, max_ends;
    const char* check;
    const char* refused;
  } cases[] = {
      {R"({})", false, 300, 3, "", ""},
      {R"({"health":null})", false, 300, 3, "", ""},
      {R"({"health":{}})", true, 300, 3, "", ""},
      {R"({"health":{"watch_s":60,"max_ends":1,"check":"probe --quick"}})", true, 60, 1,
       "probe --quick", ""},
      {R"({"health":5})", false, 300, 3, "", "health is not an object"},
      {R"({"health":{"watch_s":0}})", false, 300, 3, "",
       "watch_s is not a whole number of seconds from 1 up"},
      {R"({"health":{"watch_s":2.5}})", false, 300, 3, "",
       "watch_s is not a whole number of seconds from 1 up"},
      {R"({"health":{"max_ends":"3"}})", false, 300, 3, "",
       "max_ends is not a whole number from 1 up"},
      {R"({"health":{"check":"../../bin/sh -c x"}})", false, 300, 3, "",
       "check is not a program under bin/ with its parameters"},
      {R"({"health":{"check":"/bin/true"}})", false, 300, 3, "",
       "check is not a program under bin/ with its parameters"},
      {R"({"health":{"check":7}})", false, 300, 3, "",
       "check is not a program under bin/ with its parameters"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    HEALTH_SETTINGS h = ParseUpdateSettings(c.text, "/app/config.json").health;
    EXPECT_EQ(h.on, c.on);
    EXPECT_EQ(h.watch_s, c.watch_s);
    EXPECT_EQ(h.max_ends, c.max_ends);
    EXPECT_EQ(h.check, c.check);
    EXPECT_EQ(h.refused, c.refused);
  }
}

// Programs whose failures a test sets, tick by tick.
class FakePrograms : public ProgramControl {
 public:
  void StopAll() override {}
  void ReadList() override {}
  void EndStopped(unsigned) override {}
  void StartAll() override {}
  std::vector<PROGRAM_FAILURES> Failures() override { return table; }
  std::vector<PROGRAM_FAILURES> table;
};

class Watched : public UpdateObserver {
 public:
  void InstalledVersion(const std::string&) override {}
  void CheckEnded(const CHECK_RECORD&) override {}
  void NextCheck(time_t) override {}
  void MetricsFile(const std::string&) override {}
  void Watch(const std::string& c, time_t u) override {
    crc = c;
    until = u;
  }
  void Confirmed(const std::string&, time_t) override {}
  void RolledBack(const REJECTED_RELEASE&) override {}
  void Rejected(const REJECTED_RELEASE&) override {}
  void Rollout(bool, double, double) override {}
  std::string crc;
  time_t until = 0;
};

TEST(Watch, FailsWhenOneProgramFailsMaxEndsTimesSinceItBegan) {
  FakeEnv env(1000000);
  Watched told;
  SetUpdateObserver(&told);
  FakePrograms programs;
  // Failures from before the watch do not count.
  programs.table = {{"/app/bin/a", 5, "exit:1"}, {"/app/bin/b", 0, ""}};
  HEALTH_SETTINGS health;
  health.on = true;
  health.watch_s = 60;
  health.max_ends = 3;
  env.on_sleep = [&](unsigned) {
    if (env.now >= 10000) programs.table[1] = {"/app/bin/b", 1, "exit:2"};
    if (env.now >= 20000) programs.table[1] = {"/app/bin/b", 3, "signal:SIGSEGV core"};
    if (env.now >= 25000) programs.table[0].failures = 7;
  };
  EXPECT_EQ(WatchRelease(health, programs, "/app", "42"),
            "program /app/bin/b ended 3 times within the watch, last signal:SIGSEGV core");
  EXPECT_EQ(env.now, 20000 + timing::kUpdateTickMs);
  EXPECT_EQ(told.crc, "42");
  EXPECT_EQ(told.until, 1000000 + 60);
  SetUpdateObserver(nullptr);
}

TEST(Watch, PassesAfterWatchSecondsWithoutEnoughFailures) {
  FakeEnv env;
  FakePrograms programs;
  programs.table = {{"/app/bin/a", 0, ""}};
  HEALTH_SETTINGS health;
  health.on = true;
  health.watch_s = 300;
  health.max_ends = 3;
  env.on_sleep = [&](unsigned) {
    if (env.now >= 100000) programs.table[0] = {"/app/bin/a", 2, "exit:1"};
  };
  EXPECT_EQ(WatchRelease(health, programs, "/app", "42"), "");
  EXPECT_EQ(env.now, 300000);
}

class HealthCheck : public ::testing::Test {
 protected:
  void Program(const std::string& name, const std::string& script) {
    mkdir((dir_ / "bin").c_str(), 0755);
    WriteFile(dir_ / ("bin/" + name), "#!/bin/sh\n" + script + "\n");
    chmod((dir_ / ("bin/" + name)).c_str(), 0755);
  }
  ScratchDir dir_{"health_check"};
};

TEST_F(HealthCheck, ItsEndTellsThePassOrWhy) {
  Program("check", "[ \"$1\" = ok ] && exit 0; [ \"$1\" = kill ] && kill -9 $$; exit 4");
  EXPECT_EQ(RunHealthCheck("check ok", dir_.path()), "");
  EXPECT_EQ(RunHealthCheck("check fails", dir_.path()), "check check fails exit:4");
  EXPECT_EQ(RunHealthCheck("check kill", dir_.path()), "check check kill signal:SIGKILL");
  EXPECT_EQ(RunHealthCheck("missing", dir_.path()), "check missing exit:127");
}

TEST_F(HealthCheck, NoAnswerInTimeEndsItsWholeGroup) {
  Program("stuck", "sleep 600 & sleep 600");
  FakeEnv env;  // the deadline passes as the wait sleeps, without waiting
  EXPECT_EQ(RunHealthCheck("stuck", dir_.path()), "check stuck gave no answer within 30 s");
  EXPECT_GE(env.now, timing::kHealthCheckTimeoutMs);
}

}  // namespace
