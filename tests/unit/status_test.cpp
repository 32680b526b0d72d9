// What the status tells: how a program's end is read from its wait status,
// the JSON and exposition texts (parsed back, with hostile paths), the
// writer's pacing on a fake clock, and the history a new list takes over.
#include "status/Status.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ClearTable.h"
#include "FakeEnv.h"
#include "ScratchDir.h"
#include "TestFiles.h"
#include "platform/ProgramEnd.h"
#include "platform/Report.h"
#include "platform/ReportCapture.h"
#include "platform/Timing.h"
#include "status/StatusText.h"
#include "update/Check.h"
#include "update/Update.h"

namespace {

namespace fs = std::filesystem;

// The wait status the kernel gives for these ends.
int Exited(int code) { return code << 8; }
int Killed(int sig, bool core) { return sig | (core ? 0x80 : 0); }

TEST(ProgramEndText, ReadFromTheWaitStatus) {
  const struct {
    int status;
    const char* text;
    PROGRAM_END::Kind kind;
  } cases[] = {
      {Exited(0), "exit:0", PROGRAM_END::kExit},
      {Exited(3), "exit:3", PROGRAM_END::kExit},
      {Exited(255), "exit:255", PROGRAM_END::kExit},
      {Killed(SIGKILL, false), "signal:SIGKILL", PROGRAM_END::kSignal},
      {Killed(SIGSEGV, true), "signal:SIGSEGV core", PROGRAM_END::kSignal},
      {Killed(SIGTERM, false), "signal:SIGTERM", PROGRAM_END::kSignal},
      {0x137f, "", PROGRAM_END::kUnknown},  // stopped by SIGSTOP: not an end
  };
  for (const auto& c : cases) {
    PROGRAM_END end = EndFromStatus(c.status, 1234);
    EXPECT_EQ(end.kind, c.kind) << c.text;
    EXPECT_EQ(end.time, 1234);
    EXPECT_EQ(EndText(end), c.text);
  }
}

TEST(ProgramEndText, SignalNames) {
  EXPECT_EQ(SignalName(SIGSEGV), "SIGSEGV");
  EXPECT_EQ(SignalName(SIGABRT), "SIGABRT");
  EXPECT_EQ(SignalName(SIGRTMIN), "SIGRTMIN");
  EXPECT_EQ(SignalName(SIGRTMIN + 2), "SIGRTMIN+2");
  EXPECT_EQ(SignalName(200), "SIG200");
}

TEST(StatusWords, EveryResultOfUpdateHasItsWord) {
  const struct {
    int result;
    const char* word;
  } cases[] = {
      {kUpdateInstalled, "installed"},        {kUpdateCurrent, "current"},
      {kUpdateNoCrcFile, "no crc file"},      {kUpdateNoArchive, "no archive"},
      {kUpdateWriteFailed, "write failed"},   {kUpdateCrcMismatch, "crc mismatch"},
      {kUpdateUnreadable, "archive refused"}, {kUpdateSignatureRefused, "signature refused"},
      {kUpdateRejected, "rejected"},          {7, "unknown"},
  };
  for (const auto& c : cases) EXPECT_STREQ(ResultWord(c.result), c.word);
}

TEST(StatusWords, StatesAsOperatorsSeeThem) {
  const struct {
    ProgramState state;
    const char* word;
  } cases[] = {
      {ProgramState::kNeverStarted, "never started"},
      {ProgramState::kRunning, "running"},
      {ProgramState::kWaiting, "waiting"},
      {ProgramState::kStartFailed, "waiting"},
      {ProgramState::kExhausted, "exhausted"},
      {ProgramState::kStopping, "stopped"},
      {ProgramState::kStopped, "stopped"},
  };
  for (const auto& c : cases) EXPECT_STREQ(StateWord(c.state), c.word);
}

TEST(StatusUtf8, InvalidSequencesAreReplaced) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},  // four bytes
      {"a\xFF"
       "b",
       "a" + r + "b"},
      {"\xC3", r},                          // cut short
      {"\xC0\xAF", r + r},                  // overlong '/'
      {"\xED\xA0\x80", r + r + r},          // a surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(ValidUtf8(c.in), c.out) << c.in;
}

PRO_INFO Entry(const std::string& path, const std::string& param, ProgramState state) {
  PRO_INFO info;
  info.path = path;
  info.param_str = param;
  info.state = state;
  info.run_tick = 2;
  return info;
}

SUPERVISOR_STATUS Sample() {
  SUPERVISOR_STATUS s;
  s.pid = 321;
  s.started = 1700000000;
  s.version = "3421780262";
  s.last_check.done = true;
  s.last_check.time = 1700000100;
  s.last_check.result = kUpdateNoCrcFile;
  s.last_check.message = "down crc file error! url:.crc";
  s.next_check = 1700001900;

  PRO_INFO running = Entry("/app/bin/web", "-p 80", ProgramState::kRunning);
  running.pid = 400;
  running.run_tick = kUnlimitedRuns;
  running.starts = 1;
  running.last_start = 1700000001;
  PRO_INFO crashed = Entry("/app/bin/job \"x\"\\\n", "a\xFF", ProgramState::kExhausted);
  crashed.pid = 401;
  crashed.run_tick = 0;
  crashed.starts = 3;
  crashed.last_end = EndFromStatus(Killed(SIGSEGV, true), 1700000050);
  crashed.last_end.pid = 401;
  crashed.signals = 3;
  PRO_INFO never = Entry("/app/bin/off", "", ProgramState::kNeverStarted);
  never.run_tick = -1;
  s.programs = {running, crashed, never, running};  // the last one repeats the first
  return s;
}

rapidjson::Document ParseStrict(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseValidateEncodingFlag>(text.c_str(), text.size());
  EXPECT_FALSE(doc.HasParseError()) << rapidjson::GetParseError_En(doc.GetParseError()) << "\n"
                                    << text;
  return doc;
}

TEST(StatusJsonText, HoldsEveryFact) {
  rapidjson::Document doc = ParseStrict(StatusJson(Sample()));
  ASSERT_TRUE(doc.IsObject());
  EXPECT_EQ(doc["pid"].GetInt(), 321);
  EXPECT_EQ(doc["started"].GetInt64(), 1700000000);
  EXPECT_STREQ(doc["version"].GetString(), "3421780262");
  const auto& last = doc["update"]["last"];
  EXPECT_EQ(last["time"].GetInt64(), 1700000100);
  EXPECT_EQ(last["result"].GetInt(), -1);
  EXPECT_STREQ(last["word"].GetString(), "no crc file");
  EXPECT_STREQ(last["message"].GetString(), "down crc file error! url:.crc");
  EXPECT_EQ(doc["update"]["next"].GetInt64(), 1700001900);

  const auto& programs = doc["programs"];
  ASSERT_EQ(programs.Size(), 4u);
  const auto& web = programs[0];
  EXPECT_STREQ(web["path"].GetString(), "/app/bin/web");
  EXPECT_STREQ(web["param"].GetString(), "-p 80");
  EXPECT_EQ(web["pid"].GetInt(), 400);
  EXPECT_STREQ(web["state"].GetString(), "running");
  EXPECT_STREQ(web["starts_left"].GetString(), "unlimited");
  EXPECT_EQ(web["starts"].GetInt(), 1);
  EXPECT_EQ(web["last_start"].GetInt64(), 1700000001);
  EXPECT_TRUE(web["last_end"].IsNull());

  const auto& job = programs[1];
  EXPECT_STREQ(job["path"].GetString(), "/app/bin/job \"x\"\\\n");
  EXPECT_STREQ(job["param"].GetString(), "a\xEF\xBF\xBD");
  EXPECT_STREQ(job["state"].GetString(), "exhausted");
  EXPECT_TRUE(job["pid"].IsNull());  // ended: its id may be another process's now
  EXPECT_EQ(job["last_end"]["pid"].GetInt(), 401);
  EXPECT_EQ(job["starts_left"].GetInt(), 0);
  EXPECT_STREQ(job["last_end"]["kind"].GetString(), "signal");
  EXPECT_STREQ(job["last_end"]["signal"].GetString(), "SIGSEGV");
  EXPECT_TRUE(job["last_end"]["core"].GetBool());
  EXPECT_EQ(job["last_end"]["time"].GetInt64(), 1700000050);

  const auto& off = programs[2];
  EXPECT_TRUE(off["pid"].IsNull());
  EXPECT_STREQ(off["state"].GetString(), "never started");
  EXPECT_EQ(off["starts_left"].GetInt(), 0);  // not a negative count
  EXPECT_TRUE(off["last_start"].IsNull());
}

// Each sample line of the exposition text: name, the text in braces, value.
struct Line {
  std::string name, labels, value;
};

std::vector<Line> Samples(const std::string& text) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    size_t brace = line.find('{');
    size_t space = line.rfind(' ');
    Line l;
    if (brace != std::string::npos && brace < space) {
      l.name = line.substr(0, brace);
      l.labels = line.substr(brace + 1, line.rfind('}') - brace - 1);
    } else {
      l.name = line.substr(0, space);
    }
    l.value = line.substr(space + 1);
    lines.push_back(l);
  }
  return lines;
}

std::vector<Line> Named(const std::vector<Line>& all, const std::string& name) {
  std::vector<Line> out;
  for (const Line& l : all)
    if (l.name == name) out.push_back(l);
  return out;
}

TEST(StatusJsonText, TheWatchAndTheLastRollback) {
  SUPERVISOR_STATUS s = Sample();
  s.watch_crc = "77";
  s.watch_until = 1700002000;
  s.last_rollback = {"66", 1700000500, "check healthy exit:4 \x1b"};
  s.rollbacks = 2;
  s.confirmed_crc = "55";
  s.confirmed_at = 1700000400;
  rapidjson::Document doc = ParseStrict(StatusJson(s));
  EXPECT_STREQ(doc["update"]["confirmed"]["crc"].GetString(), "55");
  EXPECT_EQ(doc["update"]["confirmed"]["time"].GetInt64(), 1700000400);
  const auto& update = doc["update"];
  EXPECT_STREQ(update["watch"]["crc"].GetString(), "77");
  EXPECT_EQ(update["watch"]["until"].GetInt64(), 1700002000);
  EXPECT_STREQ(update["last_rollback"]["crc"].GetString(), "66");
  EXPECT_EQ(update["last_rollback"]["time"].GetInt64(), 1700000500);
  EXPECT_STREQ(update["last_rollback"]["why"].GetString(), "check healthy exit:4 \x1b");
  EXPECT_STREQ(update["rejected"].GetString(), "66");

  const std::vector<Line> all = Samples(StatusMetrics(s));
  auto until = Named(all, "monitor_update_watch_until_seconds");
  ASSERT_EQ(until.size(), 1u);
  EXPECT_EQ(until[0].value, "1700002000");
  auto rollbacks = Named(all, "monitor_update_rollbacks_total");
  ASSERT_EQ(rollbacks.size(), 1u);
  EXPECT_EQ(rollbacks[0].value, "2");
  auto rejected = Named(all, "monitor_update_rejected_info");
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_EQ(rejected[0].labels, "crc=\"66\"");

  // Without a watch or a rollback: nulls, a zero count, no other sample.
  doc = ParseStrict(StatusJson(Sample()));
  EXPECT_TRUE(doc["update"]["watch"].IsNull());
  EXPECT_TRUE(doc["update"]["confirmed"].IsNull());
  EXPECT_TRUE(doc["update"]["last_rollback"].IsNull());
  EXPECT_TRUE(doc["update"]["rejected"].IsNull());
  const std::vector<Line> plain = Samples(StatusMetrics(Sample()));
  EXPECT_EQ(Named(plain, "monitor_update_watch_until_seconds").size(), 0u);
  EXPECT_EQ(Named(plain, "monitor_update_rollbacks_total")[0].value, "0");
  EXPECT_EQ(Named(plain, "monitor_update_rejected_info").size(), 0u);
}

// The place and the share as the host saw them, to the last bit: a
// publisher compares them with places computed elsewhere.
TEST(StatusJsonText, TheRolloutSeen) {
  SUPERVISOR_STATUS s = Sample();
  s.rollout_seen = true;
  s.rollout_place = 35.632192558981846;
  s.rollout_share = 0.1;
  rapidjson::Document doc = ParseStrict(StatusJson(s));
  EXPECT_EQ(doc["update"]["rollout"]["place"].GetDouble(), s.rollout_place);
  EXPECT_EQ(doc["update"]["rollout"]["share"].GetDouble(), 0.1);
  const std::vector<Line> all = Samples(StatusMetrics(s));
  auto place = Named(all, "monitor_update_rollout_place");
  auto share = Named(all, "monitor_update_rollout_share");
  ASSERT_EQ(place.size(), 1u);
  ASSERT_EQ(share.size(), 1u);
  EXPECT_EQ(strtod(place[0].value.c_str(), nullptr), s.rollout_place) << place[0].value;
  EXPECT_EQ(share[0].value, "0.1");

  // None seen (the host runs the published release): null, and no samples.
  doc = ParseStrict(StatusJson(Sample()));
  EXPECT_TRUE(doc["update"]["rollout"].IsNull());
  const std::vector<Line> plain = Samples(StatusMetrics(Sample()));
  EXPECT_EQ(Named(plain, "monitor_update_rollout_place").size(), 0u);
  EXPECT_EQ(Named(plain, "monitor_update_rollout_share").size(), 0u);
}

TEST(StatusJsonText, BeforeTheFirstCheck) {
  SUPERVISOR_STATUS s;
  rapidjson::Document doc = ParseStrict(StatusJson(s));
  EXPECT_TRUE(doc["update"]["last"].IsNull());
  EXPECT_TRUE(doc["update"]["next"].IsNull());
  EXPECT_STREQ(doc["version"].GetString(), "0");
  EXPECT_EQ(doc["programs"].Size(), 0u);
}

TEST(StatusMetricsText, OneSeriesPerProgramAndFact) {
  const std::string text = StatusMetrics(Sample());
  const std::vector<Line> all = Samples(text);
  EXPECT_EQ(text.find('\xFF'), std::string::npos);  // only UTF-8

  auto up = Named(all, "monitor_program_up");
  ASSERT_EQ(up.size(), 4u);
  EXPECT_EQ(up[0].labels, "path=\"/app/bin/web\",param=\"-p 80\"");
  EXPECT_EQ(up[0].value, "1");
  EXPECT_EQ(up[1].labels, "path=\"/app/bin/job \\\"x\\\"\\\\\\n\",param=\"a\xEF\xBF\xBD\"");
  EXPECT_EQ(up[1].value, "0");
  // The repeated program gets a label of its own, so no series comes twice.
  EXPECT_EQ(up[3].labels, "path=\"/app/bin/web\",param=\"-p 80\",copy=\"2\"");

  auto left = Named(all, "monitor_program_starts_left");
  EXPECT_EQ(left[0].value, "+Inf");
  EXPECT_EQ(left[1].value, "0");

  auto ends = Named(all, "monitor_program_ends_total");
  ASSERT_EQ(ends.size(), 8u);
  EXPECT_EQ(ends[3].labels.substr(ends[3].labels.size() - 13), "kind=\"signal\"");
  EXPECT_EQ(ends[3].value, "3");

  auto states = Named(all, "monitor_programs");
  ASSERT_EQ(states.size(), 5u);
  EXPECT_EQ(states[0].labels, "state=\"running\"");
  EXPECT_EQ(states[0].value, "2");
  EXPECT_EQ(states[3].labels, "state=\"exhausted\"");
  EXPECT_EQ(states[3].value, "1");
  EXPECT_EQ(states[4].labels, "state=\"never started\"");

  // Facts that do not exist yet have no sample rather than a made-up value.
  EXPECT_EQ(Named(all, "monitor_program_last_end_time_seconds").size(), 1u);
  EXPECT_EQ(Named(all, "monitor_program_last_exit_code").size(), 0u);
  auto result = Named(all, "monitor_update_last_check_result");
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result[0].labels, "word=\"no crc file\"");
  EXPECT_EQ(result[0].value, "-1");
  EXPECT_EQ(Named(all, "monitor_info")[0].labels, "version=\"3421780262\"");

  // Every family is declared once, before its samples.
  for (const Line& l : all) {
    std::string family = "# TYPE " + l.name + " ";
    size_t declared = text.find(family);
    ASSERT_NE(declared, std::string::npos) << l.name;
    EXPECT_EQ(text.find(family, declared + 1), std::string::npos) << l.name;
  }
}

TEST(ReportCaptureTest, TheLastErrorOrElseTheFirstNotice) {
  COMMUSE::ComPrintLog::GetInstance();  // the log's own start-up reports come first
  {
    ReportCapture capture;
    EXPECT_EQ(capture.Message(), "");
    REPORT_NOTICE("remote file crc:%s local crc:%s", "1", "2");
    REPORT_NOTICE("resumed download at %d", 5);
    EXPECT_EQ(capture.Message(), "remote file crc:1 local crc:2");
    REPORT_ERROR("down file error! url:%s", "u");
    REPORT_ERROR("local_crc:%s remote crc:%s \n", "1", "2");
    EXPECT_EQ(capture.Message(), "local_crc:1 remote crc:2");
    {
      ReportCapture inner;
      REPORT_ERROR("inner");
      EXPECT_EQ(inner.Message(), "inner");
    }
    EXPECT_EQ(capture.Message(), "local_crc:1 remote crc:2");
    std::thread other([] { REPORT_ERROR("from another thread"); });
    other.join();
    EXPECT_EQ(capture.Message(), "local_crc:1 remote crc:2");
  }
}

// A scratch directory for the written files, removed afterwards.
class StatusFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = scratch_.path();
    path = dir + "/status.json";
    ClearProgramTable();
    SetMetricsFile("");
    // As at start-up: the status hears what the table and the checks tell.
    SetTableObserver(&StatusOfTable());
    SetUpdateObserver(&StatusOfUpdates());
  }
  void TearDown() override {
    SetTableObserver(nullptr);
    SetUpdateObserver(nullptr);
    SetMetricsFile("");
    ClearProgramTable();
  }
  ScratchDir scratch_{"status_test"};
  std::string dir, path;
  FakeEnv env;
};

// However many changes come during the pause after a write, they are written
// together in the next one, and the last of them is in it.
TEST_F(StatusFiles, ChangesDuringThePauseAreWrittenTogether) {
  std::vector<std::string> written;
  std::vector<unsigned> pauses;
  time_t next = 0;
  env.on_sleep = [&](unsigned ms) {
    pauses.push_back(ms);
    written.push_back(ReadFile(path));
    for (int i = 0; i < 1000; ++i) SetNextCheck(++next);
  };
  SetNextCheck(++next);
  StatusWriterPass(path);
  StatusWriterPass(path);
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(pauses, (std::vector<unsigned>{kStatusGapMs, kStatusGapMs}));
  EXPECT_EQ(ParseStrict(written[0])["update"]["next"].GetInt64(), 1);
  EXPECT_EQ(ParseStrict(written[1])["update"]["next"].GetInt64(), 1001);
  // The changes of the last pause wait for the next pass.
  EXPECT_EQ(ParseStrict(ReadFile(path))["update"]["next"].GetInt64(), 1001);
}

TEST_F(StatusFiles, MetricsFileBesideTheStatusAndLinksNotFollowed) {
  const std::string metrics = dir + "/monitor.prom";
  const std::string victim = dir + "/victim";
  WriteFile(victim, "keep");
  fs::create_symlink(victim, metrics + ".tmp");  // planted at the temporary name
  fs::create_symlink(victim, metrics);
  SetMetricsFile(metrics);
  SetNextCheck(42);
  StatusWriterPass(path);
  EXPECT_EQ(ReadFile(victim), "keep");
  EXPECT_FALSE(fs::is_symlink(metrics));
  EXPECT_NE(ReadFile(metrics).find("monitor_update_next_check_time_seconds 42\n"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(metrics + ".tmp"));
  EXPECT_EQ(ParseStrict(ReadFile(path))["update"]["next"].GetInt64(), 42);
}

// The metrics file lies outside the application directory: it is written
// only beneath folders that nobody but root and the supervisor's user may
// change, reached without following a link; a refusal is said once.
TEST_F(StatusFiles, MetricsFileOnlyBeneathFoldersNobodyElseMayChange) {
  const struct {
    const char* name;
    mode_t mode;
    bool other_owner;  // the folder belongs to another user
    bool link;         // the folder is reached through a symbolic link
    const char* why;   // "" when the file is written
  } cases[] = {
      {"own", 0755, false, false, ""},
      {"sticky", 01777, false, false, ""},
      {"shared", 0777, false, false, "a folder on the way that other users may write: "},
      {"group", 0775, false, false, "a folder on the way that other users may write: "},
      {"theirs", 0755, true, false, "a folder on the way that other users may write: "},
      {"linked", 0755, false, true, "a symbolic link on the way: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.other_owner && geteuid() != 0) continue;  // only root can give a folder away
    const std::string real = dir + "/" + c.name + ".real";
    const std::string folder = dir + "/" + c.name;
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(chmod(real.c_str(), c.mode), 0);
    if (c.other_owner) {
      ASSERT_EQ(chown(real.c_str(), 65534, 65534), 0);
    }
    if (c.link) {
      fs::create_symlink(real, folder);
    } else {
      fs::rename(real, folder);
    }
    const std::string metrics = folder + "/sub.prom";
    SetMetricsFile(metrics);
    for (int pass = 0; pass < 2; ++pass) {
      ReportCapture capture;
      SetNextCheck(100 + pass);
      StatusWriterPass(path);
      std::string message = capture.Message();
      if (*c.why == '\0' || pass == 1) {
        EXPECT_EQ(message, "");
      } else {
        EXPECT_EQ(message,
                  "status file not written! " + std::string(c.why) + folder + " path:" + metrics);
      }
    }
    EXPECT_EQ(fs::exists(fs::path(c.link ? real : folder) / "sub.prom"), *c.why == '\0');
  }
}

// The update check's result, its report and the time of the next one.
int g_result;
int ReportingCheck() {
  REPORT_NOTICE("remote file crc:%s local crc:%s", "9", "8");
  if (g_result < 0) REPORT_ERROR("down file error! url:%s", "http://127.0.0.1/x");
  return g_result;
}

TEST_F(StatusFiles, ChecksAreRecordedWithTheirReports) {
  const struct {
    int result;
    const char* message;
    long long next_ms;
  } cases[] = {
      {kUpdateCurrent, "remote file crc:9 local crc:8", 1800000},
      {kUpdateNoArchive, "down file error! url:http://127.0.0.1/x", 1800000},
      {kUpdateInstalled, "remote file crc:9 local crc:8", 1800000 + 2 * timing::kInstallPauseMs},
  };
  for (const auto& c : cases) {
    env.now += 5000;
    g_result = c.result;
    EXPECT_EQ(RecordedCheck(ReportingCheck, UpdatePeriodMs()), c.result);
    SUPERVISOR_STATUS s = TakeStatus();
    EXPECT_TRUE(s.last_check.done);
    EXPECT_EQ(s.last_check.result, c.result);
    EXPECT_EQ(s.last_check.message, c.message);
    EXPECT_EQ(s.last_check.time, env.WallNow());
    EXPECT_EQ(s.next_check, env.WallNow() + c.next_ms / 1000);
  }
}

// A program's history outlives the list it came from: an installation's new
// list takes it over for the same program, which stays stopped until started.
TEST_F(StatusFiles, NewListTakesOverTheHistoryOfTheSamePrograms) {
  PRO_INFO sleeper;
  sleeper.path = "/bin/sleep";
  sleeper.param_str = "60";
  sleeper.run_tick = kUnlimitedRuns;
  PRO_INFO other = sleeper;
  other.param_str = "61";
  ReplacePrograms({sleeper, other});
  LoadProcessList();
  pid_t first;
  std::vector<pid_t> pids;
  {
    TableLock table;
    first = table.entries()[0].pid;
    for (const PRO_INFO& info : table.entries()) pids.push_back(info.pid);
    EXPECT_EQ(table.entries()[0].starts, 1u);
    EXPECT_EQ(table.entries()[0].last_start, env.WallNow());
  }
  killProcessList();
  // The fake clock does not wait: the programs have ended before it looks.
  for (pid_t pid : pids) {
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
  }
  ASSERT_TRUE(AwaitStoppedPrograms(5000));
  env.now += 7000;
  PRO_INFO added = sleeper;
  added.param_str = "62";
  ReplacePrograms({added, sleeper});
  {
    TableLock table;
    const PRO_INFO& kept = table.entries()[1];
    EXPECT_EQ(kept.state, ProgramState::kStopped);
    EXPECT_EQ(kept.starts, 1u);
    EXPECT_EQ(kept.pid, first);
    EXPECT_EQ(kept.last_end.kind, PROGRAM_END::kSignal);
    EXPECT_EQ(kept.last_end.code, SIGTERM);
    EXPECT_EQ(kept.signals, 1u);
    EXPECT_EQ(table.entries()[0].state, ProgramState::kNeverStarted);
    EXPECT_EQ(table.entries()[0].starts, 0u);
  }
  LoadProcessList();
  TableLock table;
  EXPECT_EQ(table.entries()[1].state, ProgramState::kRunning);
  EXPECT_EQ(table.entries()[1].starts, 2u);
  EXPECT_NE(table.entries()[1].pid, first);
  EXPECT_EQ(table.entries()[1].last_start, env.WallNow());
}

}  // namespace
