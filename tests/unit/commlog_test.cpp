#include "CommLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "CommLogClock.h"
#include "CommLogUtil.h"
#include "ScratchDir.h"

namespace fs = std::filesystem;
using COMMUSE::ComPrintLog;

namespace {

time_t g_fake_now = 0;
time_t FakeNow() { return g_fake_now; }

time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

unsigned Tid() { return static_cast<unsigned>(syscall(SYS_gettid)); }

// The record as this thread writes it at the given time of day.
std::string Record(const char* hms, const std::string& text) {
  return "\n[PID:" + std::to_string(getpid()) + ",TID:" + std::to_string(Tid()) + "] [" + hms +
         "] " + text;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::string ExeName() { return fs::read_symlink("/proc/self/exe").filename().string(); }

// A private log whose directory is <scratch>/Log\ (the separators SetLogPath
// inserts are backslashes), with the clock at 2025-1-9 09:05:03.
class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_.path();
    g_fake_now = LocalTime(2025, 1, 9, 9, 5, 3);
    commlog::SetClock(FakeNow);
    log_.SetLogPath((dir_.string() + "/").c_str());
  }
  void TearDown() override { commlog::SetClock(nullptr); }

  fs::path LogDir() const { return dir_.string() + "/Log\\"; }
  fs::path DayFile(const std::string& date) const {
    return dir_.string() + "/Log\\" + ExeName() + "[" + date + "].log";
  }

  ScratchDir scratch_{"commlog_test"};
  fs::path dir_;
  ComPrintLog log_;
};

TEST_F(LogFile, RecordsAppendToTheDaysFile) {
  log_.LogForce_A(0, 2, (char*)"<QMLOG>[%s : %d] hello %d", "a.cpp", 12, 7);
  log_.LogForce_A(31, 2, "<QMLOG>ERROR>[%s : %d] %s", "b.cpp", 3, "second");

  // Starts with an empty line, ends without a line break.
  EXPECT_EQ(ReadFile(DayFile("2025-1-9")),
            Record("09:05:03", "<QMLOG>[a.cpp : 12] hello 7") +
                Record("09:05:03", "<QMLOG>ERROR>[b.cpp : 3] second"));
}

TEST_F(LogFile, FirstRecordAfterMidnightGoesToANewFile) {
  g_fake_now = LocalTime(2025, 1, 9, 23, 59, 59);
  log_.LogForce_A(0, 2, "before");
  g_fake_now = LocalTime(2025, 1, 10, 0, 0, 1);
  log_.LogForce_A(0, 2, "after");

  EXPECT_EQ(ReadFile(DayFile("2025-1-9")), Record("23:59:59", "before"));
  EXPECT_EQ(ReadFile(DayFile("2025-1-10")), Record("00:00:01", "after"));
}

TEST_F(LogFile, DeletedFileIsCreatedAgain) {
  log_.LogForce_A(0, 2, "one");
  ASSERT_EQ(unlink(DayFile("2025-1-9").c_str()), 0);
  log_.LogForce_A(0, 2, "two");
  EXPECT_EQ(ReadFile(DayFile("2025-1-9")), Record("09:05:03", "two"));
}

// Another process writes the day's file under its name, as a second instance
// reporting at start-up or an operator would.
void OtherProcessCreates(const fs::path& file, const std::string& text) {
  std::string out;
  ASSERT_EQ(qmChildProcess::Run(
                {"/bin/sh", "-c", "printf '%s' \"$1\" >> \"$2\"", "sh", text, file.string()}, &out),
            0);
}

TEST_F(LogFile, NewDaysFileCreatedByAnotherProcessIsAppendedTo) {
  g_fake_now = LocalTime(2025, 1, 9, 23, 59, 59);
  log_.LogForce_A(0, 2, "before");
  g_fake_now = LocalTime(2025, 1, 10, 0, 0, 1);
  OtherProcessCreates(DayFile("2025-1-10"), "\nother's record");
  log_.LogForce_A(0, 2, "after");

  EXPECT_EQ(ReadFile(DayFile("2025-1-9")), Record("23:59:59", "before"));
  EXPECT_EQ(ReadFile(DayFile("2025-1-10")), "\nother's record" + Record("00:00:01", "after"));
}

TEST_F(LogFile, FileReplacedUnderItsNameIsLeftForTheNewOne) {
  log_.LogForce_A(0, 2, "one");
  const fs::path moved = dir_ / "moved.log";
  fs::rename(DayFile("2025-1-9"), moved);
  OtherProcessCreates(DayFile("2025-1-9"), "fresh");
  log_.LogForce_A(0, 2, "two");

  EXPECT_EQ(ReadFile(moved), Record("09:05:03", "one"));
  EXPECT_EQ(ReadFile(DayFile("2025-1-9")), "fresh" + Record("09:05:03", "two"));
}

TEST_F(LogFile, MissingDirectoryIsCreatedOneLevelOnly) {
  std::string sub = dir_.string() + "/sub/";
  log_.SetLogPath(sub.c_str());
  fs::path file = sub + "Log\\" + ExeName() + "[2025-1-9].log";

  log_.LogForce_A(0, 2, "dropped");
  EXPECT_FALSE(fs::exists(sub));

  ASSERT_TRUE(fs::create_directory(sub));
  log_.LogForce_A(0, 2, "kept");
  EXPECT_TRUE(fs::is_directory(sub + "Log\\"));
  EXPECT_EQ(ReadFile(file), Record("09:05:03", "kept"));
}

TEST_F(LogFile, LongTextIsWrittenWhole) {
  std::string text(5000, 'x');
  text += "end";
  log_.LogForce_A(0, 2, "%s", text.c_str());
  EXPECT_EQ(ReadFile(DayFile("2025-1-9")), Record("09:05:03", text));
}

TEST_F(LogFile, OnlyTypeTwoWritesTheFile) {
  for (int ty : {0, 1, 3, 5}) log_.LogForce_A(0, ty, "ty %d", ty);
  EXPECT_FALSE(fs::exists(LogDir()));
}

TEST_F(LogFile, TextThatCannotBeFormattedIsLeftEmpty) {
  // vsnprintf reports EOVERFLOW: the measured length is negative.
  std::string too_wide = "%" + std::to_string(2147483648LL) + "d";
  log_.LogForce_A(0, 2, too_wide.c_str(), 1);
  log_.LogForce_A(0, 2, "next");
  EXPECT_EQ(ReadFile(DayFile("2025-1-9")), Record("09:05:03", "") + Record("09:05:03", "next"));
}

TEST_F(LogFile, FileIsNotInheritedByPrograms) {
  log_.LogForce_A(0, 2, "open");
  int found = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (fs::read_symlink(entry.path(), ec) != DayFile("2025-1-9")) continue;
    ++found;
    int fd = std::stoi(entry.path().filename().string());
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  }
  EXPECT_EQ(found, 1);
}

TEST_F(LogFile, WideAndPlainMessagesAreAppendedUnchanged) {
  const wchar_t unrepresentable[] = {static_cast<wchar_t>(0xD800), 0};
  log_.LogEvenFW(L"abc");
  log_.LogEvenFW(unrepresentable);
  log_.LogEvenFA("def");
  EXPECT_EQ(ReadFile(DayFile("2025-1-9")), "abcdef");
}

TEST_F(LogFile, RecordsOfTwoThreadsNeverInterleave) {
  constexpr int kRecords = 300;
  std::string payload(3000, 'p');
  auto writer = [&](int thread) {
    for (int i = 0; i < kRecords; ++i)
      log_.LogForce_A(0, 2, "T%d:%d:%s", thread, i, payload.c_str());
  };
  std::thread a(writer, 0), b(writer, 1);
  a.join();
  b.join();

  std::string all = ReadFile(DayFile("2025-1-9"));
  int next[2] = {0, 0};
  size_t pos = 0;
  while ((pos = all.find("\n[PID:", pos)) != std::string::npos) {
    size_t end = all.find("\n[PID:", pos + 1);
    std::string rec = all.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos += 1;
    size_t text = rec.find("] T");
    ASSERT_NE(text, std::string::npos) << rec.substr(0, 80);
    int thread = 0, index = 0, used = 0;
    ASSERT_EQ(sscanf(rec.c_str() + text, "] T%d:%d:%n", &thread, &index, &used), 2);
    ASSERT_TRUE(thread == 0 || thread == 1);
    EXPECT_EQ(index, next[thread]++);
    EXPECT_EQ(rec.substr(text + used), payload);
  }
  EXPECT_EQ(next[0], kRecords);
  EXPECT_EQ(next[1], kRecords);
}

TEST_F(LogFile, SetLogPathInsertsBackslashes) {
  struct Case {
    std::string arg;        // below the scratch directory
    std::string file_name;  // the file that appears, below the scratch directory
  } cases[] = {
      {"x", "x\\Log\\" + ExeName() + "[2025-1-9].log"},
      {"y/", "y/Log\\" + ExeName() + "[2025-1-9].log"},
  };
  fs::create_directory(dir_ / "y");
  for (const Case& c : cases) {
    log_.SetLogPath((dir_.string() + "/" + c.arg).c_str());
    log_.LogForce_A(0, 2, "%s", c.arg.c_str());
    EXPECT_EQ(ReadFile(dir_.string() + "/" + c.file_name), Record("09:05:03", c.arg)) << c.arg;
  }
}

TEST_F(LogFile, SetLogPathIgnoresNullAndTooLongPaths) {
  log_.SetLogPath(nullptr);
  log_.SetLogPath(std::string(512, 'a').c_str());
  log_.LogForce_A(0, 2, "still here");
  EXPECT_EQ(ReadFile(DayFile("2025-1-9")), Record("09:05:03", "still here"));
}

TEST_F(LogFile, NameTooLongForItsBufferIsNotCutShort) {
  // A directory that fits SetLogPath but leaves no room for the whole file name.
  fs::path deep = dir_;
  while (deep.string().size() < 500)
    deep /= std::string(std::min<size_t>(200, 500 - deep.string().size()), 'd');
  ASSERT_TRUE(fs::create_directories(deep));
  log_.SetLogPath((deep.string() + "/").c_str());

  log_.LogForce_A(0, 2, "dropped");
  for (const auto& entry : fs::directory_iterator(deep)) {
    EXPECT_TRUE(entry.is_directory()) << entry.path().filename();
  }
}

TEST(CommLogName, CutParenthesesNTail) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"void f(int)", "void f"},
      {"int A::f(int) const", "int A::f"},
      {"no parentheses", "no parentheses"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ComPrintLog::_CutParenthesesNTail(c.in), c.out) << c.in;
}

TEST(CommLogDefault, FilesGoToLogBesideTheExecutable) {
  g_fake_now = LocalTime(2001, 2, 3, 4, 5, 6);
  commlog::SetClock(FakeNow);
  fs::path exe = fs::read_symlink("/proc/self/exe");
  fs::path file = exe.parent_path() / "Log" / (exe.filename().string() + "[2001-2-3].log");
  fs::remove(file);

  ComPrintLog::GetInstance().LogForce_A(0, 2, "default location");
  commlog::SetClock(nullptr);
  std::string content = ReadFile(file);
  fs::remove(file);
  EXPECT_EQ(content, Record("04:05:06", "default location"));
}

// --- Runs of this test binary as a child process ---

// True in a child started by RunSelf.
bool IsChild() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string arg;
  while (std::getline(in, arg, '\0')) {
    if (arg == "--commlog-child") return true;
  }
  return false;
}

struct ChildRun {
  int status = -1;
  std::string out;
};

// Runs exe with only the named test of this binary, in cwd when given; the
// child is killed when it is not done within a minute.
ChildRun RunSelf(const std::string& exe, const std::string& test,
                 const std::vector<std::string>& extra, const std::string& cwd = "") {
  std::vector<std::string> args = {exe, "--gtest_filter=" + test, "--commlog-child"};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  ChildRun run;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return run;
  UniqueFd rd(fds[0]), wr(fds[1]);
  pid_t pid = fork();
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    dup2(wr.get(), STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) return run;
  wr.reset();

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{rd.get(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = read(rd.get(), buf, sizeof buf);
    if (n > 0) {
      run.out.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  while (waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
  }
  return run;
}

std::string Between(const std::string& out, const std::string& begin, const std::string& end) {
  size_t b = out.find(begin);
  size_t e = out.find(end, b == std::string::npos ? 0 : b);
  if (b == std::string::npos || e == std::string::npos) return "<markers missing>";
  return out.substr(b + begin.size(), e - b - begin.size());
}

// Child side of CommLogConsole.Switch: console requests in every colour form and type.
TEST(CommLogChild, Console) {
  if (!IsChild()) GTEST_SKIP() << "runs only as a child of CommLogConsole.Switch";
  g_fake_now = LocalTime(2025, 1, 9, 9, 5, 3);
  commlog::SetClock(FakeNow);
  ComPrintLog log;
  printf("BEGIN\n");
  fflush(stdout);
  log.LogForce_A(65535, 4, "plain %s", "P1");
  log.LogForce_A(31, 4, "red %s", "R1");
  for (int ty : {0, 1, 3, 5}) log.LogForce_A(33, ty, "silent %d", ty);
  log.LogPrintW(L"wide", 33);
  printf("END\n");
  fflush(stdout);
}

TEST(CommLogConsole, Switch) {
  std::string self = fs::read_symlink("/proc/self/exe").string();
  struct {
    std::vector<std::string> args;
    bool on;
  } cases[] = {
      {{"-log"}, true}, {{"/LOG"}, true},   {{"-logfile"}, true},
      {{"log"}, false}, {{"--log"}, false}, {{}, false},
  };
  for (const auto& c : cases) {
    std::string word = c.args.empty() ? "(none)" : c.args[0];
    ChildRun run = RunSelf(self, "CommLogChild.Console", c.args);
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << word << "\n" << run.out;
    std::string console = Between(run.out, "BEGIN\n", "END\n");
    if (!c.on) {
      EXPECT_EQ(console, "") << word;
      continue;
    }
    // The child's test runs on its main thread: thread id = process id.
    size_t at = console.find("[PID:");
    ASSERT_NE(at, std::string::npos) << word << "\n" << console;
    std::string pid = console.substr(at + 5, console.find(',', at) - at - 5);
    std::string prefix = "\n[PID:" + pid + ",TID:" + pid + "] [09:05:03] ";
    EXPECT_EQ(console, prefix + "plain P1\n" + "\x1b[31m" + prefix + "red R1\x1b[0m\n" +
                           "\x1b[33mwide\x1b[0m\n")
        << word;
  }
}

// Child side of LongExecutablePath: reports its paths and writes one record.
TEST(CommLogChild, Paths) {
  if (!IsChild()) GTEST_SKIP() << "runs only as a child of CommLogLongPath.Executable";
  printf("APP_PATH=%s\nAPP_DIR=%s\nCUR_DIR=%s\n", commlog::GetAppPath(), commlog::GetAppDir(),
         commlog::GetCurDir());
  fflush(stdout);
  g_fake_now = LocalTime(2001, 2, 3, 4, 5, 6);
  commlog::SetClock(FakeNow);
  ComPrintLog log;
  log.LogForce_A(0, 2, "fallback");
}

std::string Line(const std::string& out, const std::string& key) {
  size_t at = out.find("\n" + key + "=");
  if (at == std::string::npos) return "<missing>";
  at += key.size() + 2;
  return out.substr(at, out.find('\n', at) - at);
}

TEST(CommLogLongPath, Executable) {
  // This binary, linked at a path of more than 1024 bytes, run from there.
  fs::path self = fs::read_symlink("/proc/self/exe");
  ScratchDir scratch("commlog_long", fs::canonical(self.parent_path()).string());
  fs::path base = scratch.path();
  fs::path deep = base;
  while (deep.string().size() <= 1100) deep /= std::string(250, 'd');
  ASSERT_TRUE(fs::create_directories(deep));
  fs::path exe = deep / self.filename();
  std::error_code ec;
  fs::create_hard_link(self, exe, ec);
  if (ec) {
    ASSERT_TRUE(fs::copy_file(self, exe));
  }

  ChildRun run = RunSelf(exe.string(), "CommLogChild.Paths", {}, deep.string());
  ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.out;
  EXPECT_EQ(Line(run.out, "APP_PATH"), exe.string());
  EXPECT_EQ(Line(run.out, "APP_DIR"), deep.string());
  EXPECT_EQ(Line(run.out, "CUR_DIR"), deep.string());
  // Too long for the log directory buffer: the working directory's Log/ is used.
  std::string file = ReadFile(deep / "Log" / "TestLog[2001-2-3].log");
  EXPECT_NE(file.find("] [04:05:06] fallback"), std::string::npos) << file;
}

}  // namespace
