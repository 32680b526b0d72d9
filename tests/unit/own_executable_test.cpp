// A release's supervisor executable is judged as a program for this machine
// from its ELF header, on copies of a program of this machine (/bin/true)
// changed one field at a time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "ScratchDir.h"
#include "UniqueFd.h"
#include "update/OwnExecutable.h"

namespace {

std::string NativeBytes() {
  std::ifstream in("/bin/true", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string& path, const std::string& bytes, mode_t mode) {
  std::ofstream(path, std::ios::binary) << bytes;
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// The bytes with the little-endian 16-bit field at offset set to value.
std::string With16(std::string bytes, size_t offset, unsigned value) {
  bytes[offset] = static_cast<char>(value & 0xff);
  bytes[offset + 1] = static_cast<char>(value >> 8);
  return bytes;
}

TEST(OwnExecutable, OnlyAProgramThisMachineRunsMayTakeThePlace) {
  ScratchDir dir("own_executable_test");
  const std::string self = NativeBytes();
  ASSERT_GT(self.size(), 64u);
  std::string other_class = self;
  other_class[4] = other_class[4] == 1 ? 2 : 1;  // EI_CLASS
  struct Case {
    const char* name;
    std::string bytes;
    mode_t mode;
    const char* why;  // "" for accepted; else a part of the reason
  } cases[] = {
      {"copy", self, 0755, ""},
      {"owner-only", self, 0700, ""},
      {"not-executable", self, 0644, "not executable"},
      {"script", "#!/bin/sh\nexit 0\n", 0755, "not an ELF file"},
      {"empty", "", 0755, "not an ELF file"},
      {"truncated", self.substr(0, 20), 0755, "ELF"},
      {"other-machine", With16(self, 18, 183), 0755, "another machine (ELF machine 183)"},
      {"other-class", other_class, 0755, ""},  // judged below: refused, whatever libelf says
      {"object-file", With16(self, 16, 1), 0755, "not an executable"},
      {"core-file", With16(self, 16, 4), 0755, "not an executable"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put(dir / c.name, c.bytes, c.mode);
    UniqueFd fd(open((dir / c.name).c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    std::string why = JudgeExecutableFd(fd.get());
    if (std::string(c.name) == "other-class") {
      EXPECT_NE(why, "");
    } else if (*c.why == '\0') {
      EXPECT_EQ(why, "");
    } else {
      EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
  }
}

TEST(OwnExecutable, EntriesThatAreNoFileAreRefusedAndNothingIsFine) {
  ScratchDir dir("own_executable_test");
  Put(dir / "real", NativeBytes(), 0755);
  ASSERT_EQ(symlink("real", (dir / "link").c_str()), 0);
  ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0755), 0);
  UniqueFd at(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(JudgeExecutableAt(at.get(), "real"), "");
  EXPECT_EQ(JudgeExecutableAt(at.get(), "missing"), "");  // the release does not carry one
  EXPECT_EQ(JudgeExecutableAt(at.get(), "link"), "a symbolic link");
  EXPECT_EQ(JudgeExecutableAt(at.get(), "folder"), "not a regular file");
  EXPECT_EQ(JudgeExecutableAt(at.get(), "fifo"), "not a regular file");  // opened without waiting
}

}  // namespace
