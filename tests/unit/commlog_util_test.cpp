#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "CommLogUtil.h"

namespace fs = std::filesystem;

namespace {

TEST(CommLogPaths, ExecutableAndItsDirectory) {
  fs::path exe = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(std::string(commlog::GetAppPath()), exe.string());
  EXPECT_EQ(std::string(commlog::GetAppDir()), exe.parent_path().string());
}

TEST(CommLogPaths, WorkingDirectoryIsTakenAtTheFirstCall) {
  std::string first = commlog::GetCurDir();
  EXPECT_FALSE(first.empty());
  fs::path before = fs::current_path();
  ASSERT_EQ(chdir("/"), 0);
  std::string later = commlog::GetCurDir();
  fs::current_path(before);
  EXPECT_EQ(later, first);
}

TEST(CommLogText, WToA) {
  const wchar_t unrepresentable[] = {static_cast<wchar_t>(0xD800), L'a', 0};
  EXPECT_EQ(commlog::WToA(L"plain ascii 123"), "plain ascii 123");
  EXPECT_EQ(commlog::WToA(L""), "");
  EXPECT_EQ(commlog::WToA(unrepresentable), "");
}

// Measures, then formats from the same list, as the log record does.
std::string MeasureThenFormat(int* measured, const char* format, ...) {
  va_list vl;
  va_start(vl, format);
  *measured = commlog::_vscprintf(format, vl);
  std::string text(*measured > 0 ? static_cast<size_t>(*measured) : 0, '\0');
  if (*measured > 0) vsnprintf(&text[0], text.size() + 1, format, vl);
  va_end(vl);
  return text;
}

TEST(CommLogText, VscprintfMeasuresBeyondItsScratchSizeAndLeavesTheListUnused) {
  std::string long_text(5000, 'z');
  int measured = 0;
  EXPECT_EQ(MeasureThenFormat(&measured, "%s", long_text.c_str()), long_text);
  EXPECT_EQ(measured, 5000);

  EXPECT_EQ(MeasureThenFormat(&measured, "%d-%s", 42, "x"), "42-x");
  EXPECT_EQ(measured, 4);

  const char* too_wide = "%2147483648d";
  MeasureThenFormat(&measured, too_wide, 1);
  EXPECT_LT(measured, 0);
}

TEST(CommLogSystem, CapturesOutputUpToTheFirstZeroByte) {
  struct {
    const char* cmd;
    std::string out;
  } cases[] = {
      {"head -c 10000 /dev/zero | tr '\\0' a", std::string(10000, 'a')},
      {"true", ""},
      {"printf 'before\\0after'", "before"},
      {"printf partial; exit 3", "partial"},
  };
  for (const auto& c : cases) EXPECT_EQ(commlog::system(c.cmd), c.out) << c.cmd;
}

TEST(CommLogBoot, ArgumentsAreThisProcesssWordsWithoutItsId) {
  std::vector<std::string> expected;
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string arg;
  while (std::getline(in, arg, '\0')) {
    std::istringstream words(arg);
    std::string word;
    while (words >> word) expected.push_back(word);
  }

  std::vector<std::string> got = commlog::GetBootArguments();
  ASSERT_GE(got.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + expected.size()), expected);
}

}  // namespace
