// qmToolHelper files, directory listings and the paths of this process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "ChildProcess.h"
#include "ScratchDir.h"
#include "ToolHelper.h"
#include "UniqueFd.h"

namespace fs = std::filesystem;

namespace {

using List = qmToolHelper::RET_STRING_VECTOR;

qmToolHelper& Tool() { return SingletonBase<qmToolHelper>::Instance(); }

class ToolFiles : public testing::Test {
 protected:
  ScratchDir scratch_{"tool-files"};
  const std::string dir_ = scratch_.path();

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  static std::string Content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void Put(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
  }
};

List Sorted(List list) {
  std::sort(list.begin(), list.end());
  return list;
}

}  // namespace

TEST_F(ToolFiles, WriteThenReadKeepsEveryByte) {
  const std::string data("a\0b\0\0c\n", 7);
  const std::string file = Path("data");
  ASSERT_EQ(Tool().WriteFileToDisk(file.c_str(), data.data(), static_cast<int>(data.size())), 0);
  EXPECT_EQ(Content(file), data);
  EXPECT_EQ(Tool().ReadFileToDisk(file.c_str()), data);

  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  ASSERT_EQ(Tool().WriteFileToDisk(file.c_str(), big.data(), static_cast<int>(big.size())), 0);
  EXPECT_EQ(Tool().ReadFileToDisk(file.c_str()), big);
}

TEST_F(ToolFiles, WriteOfNothingTruncatesOrCreates) {
  Put(Path("old"), "previous content");
  EXPECT_EQ(Tool().WriteFileToDisk(Path("old").c_str(), "", 0), 0);
  EXPECT_EQ(fs::file_size(Path("old")), 0u);
  EXPECT_EQ(Tool().WriteFileToDisk(Path("new").c_str(), nullptr, 0), 0);
  EXPECT_TRUE(fs::is_regular_file(Path("new")));
  EXPECT_EQ(fs::file_size(Path("new")), 0u);
}

TEST_F(ToolFiles, WriteFailuresAreReported) {
  EXPECT_EQ(Tool().WriteFileToDisk(Path("missing/file").c_str(), "x", 1), -1);
  EXPECT_EQ(Tool().WriteFileToDisk(dir_.c_str(), "x", 1), -1);
  EXPECT_EQ(Tool().WriteFileToDisk("/dev/full", "x", 1), -1);  // the write itself fails
  EXPECT_EQ(Tool().WriteFileToDisk(Path("neg").c_str(), "x", -1), -1);
  EXPECT_FALSE(fs::exists(Path("missing")));
}

TEST_F(ToolFiles, ReadGivesNothingForWhatIsNotARegularFile) {
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);  // no writer: must not wait for one
  fs::create_directory(Path("sub"));
  for (const std::string& name : {Path("missing"), Path("sub"), Path("fifo"), dir_}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Tool().ReadFileToDisk(name.c_str()), "");
  }
  Put(Path("empty"), "");
  EXPECT_EQ(Tool().ReadFileToDisk(Path("empty").c_str()), "");
}

TEST_F(ToolFiles, BoundedReadGivesNothingForALargerFile) {
  Put(Path("f"), std::string(1000, 'x'));
  EXPECT_EQ(Tool().ReadFileToDisk(Path("f").c_str(), 1000), std::string(1000, 'x'));
  EXPECT_EQ(Tool().ReadFileToDisk(Path("f").c_str(), 999), "");
  // A sparse file is judged by its size, not by what it occupies.
  ASSERT_EQ(truncate(Path("f").c_str(), 1LL << 32), 0);
  EXPECT_EQ(Tool().ReadFileToDisk(Path("f").c_str(), 16 << 20), "");
}

TEST_F(ToolFiles, ModificationTimeOfAFile) {
  Put(Path("f"), "x");
  struct timespec times[2] = {{1000000000, 0}, {1234567890, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, Path("f").c_str(), times, 0), 0);
  EXPECT_EQ(Tool().GetFileModiTime(Path("f").c_str()), 1234567890);
  EXPECT_EQ(Tool().GetFileModiTime(Path("missing").c_str()), 0);
}

class ToolListing : public ToolFiles {
 protected:
  // dir_/f1, a/, a/f2, a/b/, a/b/c/, a/b/c/f3, a/e/, link -> a
  void SetUp() override {
    ToolFiles::SetUp();
    fs::create_directories(Path("a/b/c"));
    fs::create_directories(Path("a/e"));
    for (const char* f : {"f1", "a/f2", "a/b/c/f3"}) Put(Path(f), "x");
    fs::create_directory_symlink("a", Path("link"));
  }
};

TEST_F(ToolListing, FileListOfOneLevelHoldsEveryEntry) {
  List list = {"kept"};
  EXPECT_EQ(Tool().GetFileList(list, dir_.c_str(), false), 4);
  EXPECT_EQ(Sorted(list), Sorted({"kept", Path("a"), Path("f1"), Path("link")}));
}

TEST_F(ToolListing, FileListOfAllLevelsHoldsNoDirectory) {
  List list;
  EXPECT_EQ(Tool().GetFileList(list, dir_.c_str(), true), 4);
  // A link counts as a file even when it leads to a directory.
  EXPECT_EQ(Sorted(list), Sorted({Path("f1"), Path("a/f2"), Path("a/b/c/f3"), Path("link")}));
}

TEST_F(ToolListing, DirListOfAllLevelsPutsParentsFirst) {
  List one;
  EXPECT_EQ(Tool().GetDirList(one, dir_.c_str(), false), 1);
  EXPECT_EQ(one, List{Path("a")});

  List all = {"kept"};
  EXPECT_EQ(Tool().GetDirList(all, dir_.c_str(), true), 5);
  EXPECT_EQ(Sorted(all), Sorted({"kept", Path("a"), Path("a/b"), Path("a/b/c"), Path("a/e")}));
  auto at = [&](const std::string& p) { return std::find(all.begin(), all.end(), p); };
  EXPECT_LT(at(Path("a")), at(Path("a/b")));
  EXPECT_LT(at(Path("a/b")), at(Path("a/b/c")));
}

TEST_F(ToolListing, ATrailingSlashDoublesAndAMissingPathLeavesTheList) {
  List list;
  Tool().GetDirList(list, (dir_ + "/").c_str(), false);
  EXPECT_EQ(list, List{dir_ + "//a"});
  list = {"kept"};
  EXPECT_EQ(Tool().GetFileList(list, Path("missing").c_str(), true), 1);
  EXPECT_EQ(Tool().GetDirList(list, Path("f1").c_str(), true), 1);
}

TEST(ToolPaths, ExecutableAndWorkingDirectory) {
  char real[PATH_MAX];
  ASSERT_NE(realpath("/proc/self/exe", real), nullptr);
  EXPECT_EQ(Tool().GetAppPath(), real);
  EXPECT_EQ(Tool().GetAppDir(), fs::path(real).parent_path().string());
  EXPECT_EQ(Tool().GetCurrentDir(), fs::current_path().string());
}

// Run by ToolFiles.LongExecutablePath in a copy of this test binary.
TEST(ToolPathsChild, DISABLED_Report) {
  printf("<app-path>%s</app-path>\n<app-dir>%s</app-dir>\n", Tool().GetAppPath().c_str(),
         Tool().GetAppDir().c_str());
}

namespace {

// dir/ddd.../ddd... nested until the path is longer than length; created.
std::string DeepDirectory(const std::string& dir, size_t length) {
  std::string path = dir;
  while (path.size() <= length) path += "/" + std::string(200, 'd');
  fs::create_directories(path);
  return path;
}

}  // namespace

TEST_F(ToolFiles, LongExecutablePath) {
  const std::string deep = DeepDirectory(dir_, 1500);
  const std::string exe = deep + "/unit_tests_copy";
  const fs::path self = fs::read_symlink("/proc/self/exe");
  std::error_code ec;
  fs::create_hard_link(self, exe, ec);  // cheap when on the same file system
  if (ec) fs::copy_file(self, exe);
  std::string out;
  int status = qmChildProcess::Run(
      {exe, "--gtest_also_run_disabled_tests", "--gtest_filter=ToolPathsChild.DISABLED_Report"},
      &out);
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(out.find("<app-path>" + exe + "</app-path>"), std::string::npos) << out;
  EXPECT_NE(out.find("<app-dir>" + deep + "</app-dir>"), std::string::npos) << out;
}

TEST_F(ToolFiles, LongWorkingDirectory) {
  const std::string deep = DeepDirectory(dir_, 3000);
  UniqueFd back(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(back.valid());
  ASSERT_EQ(chdir(deep.c_str()), 0);
  std::string got = Tool().GetCurrentDir();
  ASSERT_EQ(fchdir(back.get()), 0);
  EXPECT_EQ(got, deep);
}
