// Update archives made with the system's tar, checked before installation.
#include "ArchiveCheck.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <string>

#include "ChildProcess.h"

namespace {

class ArchiveCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/archive_check.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    Sh("mkdir -p src/bin src/data && echo '{}' > src/bin/config.json && echo x > src/bin/prog");
    Sh("echo n > src/data/notes..txt");
  }
  void TearDown() override { Sh("rm -rf " + dir_); }

  // Runs a fixture command inside the test's own directory.
  void Sh(const std::string& cmd) {
    int status = qmChildProcess::RunShell("cd " + dir_ + " && " + cmd, nullptr);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd;
  }
  std::string Check(const std::string& name) { return CheckArchive(dir_ + "/" + name); }

  std::string dir_;
};

TEST_F(ArchiveCheckTest, ArchivesThatStayInside) {
  Sh("ln -s prog src/bin/link && ln -s ../bin/prog src/data/up && ln src/bin/prog src/bin/hard");
  Sh("tar czf plain.tgz -C src bin data");
  Sh("tar czf dotted.tgz -C src ./bin");
  std::string deep(150, 'd');
  Sh("mkdir -p src/" + deep + " && echo y > src/" + deep + "/" + deep);
  Sh("tar czf gnu-long.tgz -C src " + deep);
  Sh("tar czf pax-long.tgz --format=pax -C src " + deep);
  Sh("tar czf ustar.tgz --format=ustar -C src bin");
  Sh("tar cf - -T /dev/null | gzip > empty.tgz");
  for (const char* name :
       {"plain.tgz", "dotted.tgz", "gnu-long.tgz", "pax-long.tgz", "ustar.tgz", "empty.tgz"})
    EXPECT_EQ(Check(name), "") << name;
}

TEST_F(ArchiveCheckTest, ArchivesThatReachOutside) {
  Sh("mkdir -p abs && echo z > abs/file && tar czPf absolute.tgz \"$PWD/abs/file\"");
  Sh("cd src && tar czPf ../dotdot.tgz bin/../../src/bin/prog");
  Sh("ln -s /etc src/bin/etc && tar czf abs-link.tgz -C src bin/etc && rm src/bin/etc");
  Sh("ln -s ../../x src/bin/esc && tar czf esc-link.tgz -C src bin/esc && rm src/bin/esc");
  std::string deep(150, 'd');
  Sh("mkdir -p " + deep + " && echo q > " + deep + "/f && cd src && tar czPf ../long-dotdot.tgz ../" +
     deep + "/f");
  const std::pair<const char*, const char*> cases[] = {
      {"absolute.tgz", "member outside the directory"},
      {"dotdot.tgz", "member outside the directory"},
      {"abs-link.tgz", "symbolic link pointing outside the directory"},
      {"esc-link.tgz", "symbolic link pointing outside the directory"},
      {"long-dotdot.tgz", "member outside the directory"},
  };
  for (const auto& c : cases) EXPECT_EQ(Check(c.first).rfind(c.second, 0), 0u) << c.first;
}

TEST_F(ArchiveCheckTest, FilesThatAreNotGzipCompressedTars) {
  Sh("tar cf plain.tar -C src bin");
  Sh("head -c 5000 /dev/urandom | gzip > noise.gz");
  Sh("tar czf good.tgz -C src bin && head -c 100 good.tgz > truncated.tgz");
  Sh(": > empty");
  Sh("echo 'not an archive' > text");
  const std::pair<const char*, const char*> cases[] = {
      {"plain.tar", "not gzip-compressed"},
      {"noise.gz", "not a tar archive"},
      {"truncated.tgz", "the archive"},
      {"empty", "not a gzip-compressed tar"},
      {"text", "not a"},
      {"missing", "cannot open the archive"},
  };
  for (const auto& c : cases) {
    std::string why = Check(c.first);
    EXPECT_EQ(why.rfind(c.second, 0), 0u) << c.first << ": " << why;
  }
}

TEST_F(ArchiveCheckTest, DeviceMembersAreRefused) {
  if (qmChildProcess::RunShell("cd " + dir_ + " && mknod src/null c 1 3 2>/dev/null", nullptr) != 0)
    GTEST_SKIP() << "cannot make a device node here";
  Sh("tar czf dev.tgz -C src null");
  EXPECT_EQ(Check("dev.tgz"), "device member: null");
}

}  // namespace
