// qmToolHelper strings, shell commands and sleep.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "ToolHelper.h"

namespace {

using List = qmToolHelper::RET_STRING_VECTOR;

qmToolHelper& Tool() { return SingletonBase<qmToolHelper>::Instance(); }

}  // namespace

TEST(StringSubs, SplitsIntoNPlusOnePieces) {
  struct Case {
    const char* src;
    const char* sep;
    List want;
  } cases[] = {
      {"a,,b", ",", {"a", "", "b"}}, {"", ",", {""}},       {"a,", ",", {"a", ""}},
      {",a", ",", {"", "a"}},        {"abc", ",", {"abc"}}, {"a||b||", "||", {"a", "b", ""}},
      {"a|||b", "||", {"a", "|b"}},  {"a,b", "", {"a,b"}},  // an empty separator separates nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.src) + " at '" + c.sep + "'");
    List got = {"kept"};
    EXPECT_EQ(Tool().StringSubs(c.src, c.sep, got), static_cast<int>(c.want.size()) + 1);
    List want = c.want;
    want.insert(want.begin(), "kept");
    EXPECT_EQ(got, want);
  }
}

TEST(StringSubs, ExtractsTheFirstEnclosedText) {
  struct Case {
    const char* src;
    const char* begin;
    const char* end;
    int result;
    const char* text;  // "old" when left unchanged
  } cases[] = {
      {"x[ab]y", "[", "]", 0, "ab"},     {"x[]y", "[", "]", 0, "old"},
      {"x[ab", "[", "", 0, "ab"},        {"x[", "[", "", 0, "old"},
      {"x[ab]y[cd]", "[", "]", 0, "ab"}, {"]x[ab", "[", "]", -1, "old"},
      {"xab]", "[", "]", -1, "old"},     {"<<a>>", "<<", ">>", 0, "a"},
      {"ab]", "", "]", 0, "ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    std::string text = "old";
    EXPECT_EQ(Tool().StringSubs(c.src, c.begin, c.end, text), c.result);
    EXPECT_EQ(text, c.text);
  }
}

TEST(StringSubs, CollectsEveryEnclosedText) {
  struct Case {
    const char* src;
    const char* begin;
    const char* end;
    List want;
  } cases[] = {
      {"{a}{b}", "{", "}", {"a", "b"}}, {"x{}y{c}z{d", "{", "}", {"", "c"}},
      {"{a{b}c}", "{", "}", {"a{b"}},   {"no braces", "{", "}", {}},
      {"a;b;", "", ";", {"a", "b"}},    {"ab", "", "", {}},  // nothing can be enclosed by nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    List got = {"kept"};
    EXPECT_EQ(Tool().StringSubs(c.src, c.begin, c.end, got), static_cast<int>(c.want.size()) + 1);
    List want = c.want;
    want.insert(want.begin(), "kept");
    EXPECT_EQ(got, want);
  }
}

TEST(Replace, RescansTextThatAReplacementFormed) {
  struct Case {
    const char* str;
    const char* ori;
    const char* dest;
    int count;
    const char* want;
  } cases[] = {
      {"a     b", "  ", " ", 4, "a b"},
      {"a\r\nb\r\n", "\r", "", 2, "a\nb\n"},
      {"aab", "ab", "b", 2, "b"},
      {"abab", "ab", "xyz", 2, "xyzxyz"},
      {"aaab", "ab", "ba", 3, "baaa"},
      {"none", "x", "y", 0, "none"},
      {"", "x", "y", 0, ""},
      // Would never end: left alone.
      {"abc", "", "x", 0, "abc"},
      {"abc", "b", "bb", 0, "abc"},
      {"abc", "b", "b", 0, "abc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.str) + ": '" + c.ori + "' -> '" + c.dest + "'");
    std::string s = c.str;
    EXPECT_EQ(Tool().replace(s, c.ori, c.dest), c.count);
    EXPECT_EQ(s, c.want);
  }
}

TEST(TrimSpace, RemovesSetCharactersAtBothEnds) {
  struct Case {
    const char* str;
    const char* set;
    const char* want;
  } cases[] = {
      {"  ab  ", " ", "ab"},
      {"   ", " ", ""},
      {"", " ", ""},
      {" a b ", " ", "a b"},
      {"\t\na \r", " \t\r\n", "a"},
      {"xxaxbxx", "x", "axb"},
      {"ab", "", "ab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.str);
    std::string s = c.str;
    Tool().TrimSpace(s, c.set);
    EXPECT_EQ(s, c.want);
  }
}

TEST(Strnicmp, ComparesWithoutCaseUpToCount) {
  EXPECT_EQ(Tool().strnicmp("ABC", "abc", 3), 0);
  EXPECT_EQ(Tool().strnicmp("ABCx", "abcy", 3), 0);
  EXPECT_LT(Tool().strnicmp("abc", "ABD", 3), 0);
  EXPECT_GT(Tool().strnicmp("abcd", "ABC", 4), 0);
}

TEST(CmdSystem, BufferTakesWholeLinesWhileTheyFit) {
  const std::string xs(2000, 'x');
  const std::string two_lines = "printf 'ab\\ncd\\n'";
  const std::string long_line = "printf '" + xs + "\\n'";
  struct Case {
    std::string command;
    size_t buflen;
    std::string want;
  } cases[] = {
      {two_lines, 100, "ab\ncd\n"},
      {two_lines, 7, "ab\ncd\n"},
      {two_lines, 6, "ab\n"},  // "cd\n" would leave no room for the zero
      {two_lines, 3, ""},
      {"printf 'ab'", 3, "ab"},
      {long_line, 3000, xs + "\n"},  // comes in pieces of 1023 and 978
      {long_line, 1024, std::string(1023, 'x')},
      {long_line, 1023, ""},
      {"printf 'a\\000b\\nc\\n'", 100, "ac\n"},  // a zero byte ends its line
      {"echo out; echo err >&2; exit 3", 100, "out\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command.substr(0, 40) + " into " + std::to_string(c.buflen));
    std::vector<char> buf(c.buflen + 16, '#');
    buf[0] = '\0';
    EXPECT_EQ(Tool().cmd_system(buf.data(), c.buflen, c.command.c_str()),
              static_cast<int>(c.want.size()));
    EXPECT_EQ(std::string(buf.data()), c.want);
    for (size_t i = c.buflen; i < buf.size(); ++i) ASSERT_EQ(buf[i], '#') << "written past buflen";
  }
}

namespace {

// Members of process group pgid that have not ended (zombies have).
int LiveMembers(pid_t pgid) {
  int live = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    size_t paren = line.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream fields(line.substr(paren + 2));
    char state = 0;
    pid_t ppid = 0, pgrp = 0;
    fields >> state >> ppid >> pgrp;
    if (pgrp == pgid && state != 'Z' && state != 'X') ++live;
  }
  return live;
}

}  // namespace

// The command writes its shell's id (its process group) to a file first.
TEST(CmdSystem, BufferStopsReadingWhenFullAndEndsTheCommand) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tool-cmd-full-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string pid_file = (dir / "pid").string(), done = (dir / "done").string();
  const std::string xs(1023, 'x');
  std::string want_xs;
  for (int i = 0; i < 97; ++i) want_xs += xs;  // 98 pieces would reach 100000
  std::string want_ys;
  for (int i = 0; i < 2047; ++i) want_ys += "y\n";
  struct Case {
    std::string command;
    size_t buflen;
    std::string want;
  } cases[] = {
      {"yes", 4096, want_ys},
      {"yes | cat", 4096, want_ys},  // the pipeline's every process ends
      // 64 MiB, far more than a pipe holds: "done" only if all was read.
      {"head -c 67108864 /dev/zero | tr '\\0' x; touch " + done, 100000, want_xs},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    std::filesystem::remove(pid_file);
    std::vector<char> buf(c.buflen, '#');
    buf[0] = '\0';
    const std::string command = "echo $$ > " + pid_file + "; " + c.command;
    int got = -1;
    std::atomic<bool> returned{false};
    std::thread runner([&] {
      got = Tool().cmd_system(buf.data(), c.buflen, command.c_str());
      returned = true;
    });
    // Should the call not end the command, end it here (the call then
    // returns and the case fails) rather than hang.
    pid_t pgid = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!returned && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::ifstream(pid_file) >> pgid;
    if (!returned && pgid > 0) kill(-pgid, SIGKILL);
    runner.join();
    ASSERT_GT(pgid, 0);
    EXPECT_EQ(got, static_cast<int>(c.want.size()));
    EXPECT_TRUE(std::string(buf.data()) == c.want) << std::string(buf.data()).substr(0, 80);

    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (LiveMembers(pgid) > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const int left = LiveMembers(pgid);
    EXPECT_EQ(left, 0) << "a process of the command still runs";
    if (left > 0) kill(-pgid, SIGKILL);
    EXPECT_FALSE(std::filesystem::exists(done)) << "the whole output was read";
  }
  std::filesystem::remove_all(dir);
}

TEST(CmdSystem, BufferAppendsBehindItsTextAndStaysInside) {
  char buf[8] = "zz";
  EXPECT_EQ(Tool().cmd_system(buf, 8, "printf 'ab\\ncd\\n'"), 3);
  EXPECT_STREQ(buf, "zzab\n");
}

TEST(CmdSystem, StringAndVoidFormsGiveTheWholeOutput) {
  const std::string long_line(3000, 'y');
  std::string command = "echo one; echo two >&2; printf '" + long_line + "\\n'";
  EXPECT_EQ(Tool().cmd_system(command.c_str()), "one\n" + long_line + "\n");
  EXPECT_EQ(Tool().cmd_system("exit 1"), "");

  testing::internal::CaptureStdout();
  Tool().cmd_system_void(command.c_str());
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "one\n" + long_line + "\n");
}

namespace {
void OnAlarm(int) {}
}  // namespace

TEST(Sleep, WaitsAtLeastTheTimeAndEndsEarlyOnASignal) {
  auto start = std::chrono::steady_clock::now();
  Tool().Sleep(300);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

  struct sigaction act {
  }, old{};
  act.sa_handler = OnAlarm;  // no SA_RESTART
  sigemptyset(&act.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &act, &old), 0);
  struct itimerval timer {};
  timer.it_value.tv_usec = 50 * 1000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
  start = std::chrono::steady_clock::now();
  Tool().Sleep(60 * 1000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  sigaction(SIGALRM, &old, nullptr);
}
