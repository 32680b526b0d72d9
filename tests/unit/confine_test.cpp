// A thread confined to a directory, as root (its root) and as another user
// (Landlock): what it may still change, and that the rest of the process
// keeps its own root and working directory.
#include "update/Confine.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "AsNobody.h"
#include "ScratchDir.h"
#include "UniqueFd.h"

namespace fs = std::filesystem;

namespace {

// An open's result: true (and closed) when it gave a descriptor.
bool Made(int fd) { return fd >= 0 && close(fd) == 0; }

long LandlockAbi() {
  return syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U /* the version */);
}

struct Try {
  const char* label;
  std::function<bool()> act;  // true when the file system let it happen
  bool allowed;
};

// Runs the tries in a thread of their own, confined to dir; one line each
// that did not turn out as expected, "how: <confinement>" first.
std::string InConfinedThread(const std::string& dir, const std::vector<Try>& tries) {
  std::string report;
  std::thread t([&] {
    UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Confinement how = Confinement::kNone;
    std::string why = unshare(CLONE_FS) == 0 ? ConfineThreadTo(fd.get(), &how) : "unshare";
    report = "how: " +
             std::string(how == Confinement::kChroot     ? "chroot"
                         : how == Confinement::kLandlock ? "landlock"
                                                         : "none") +
             why + "\n";
    for (const Try& t : tries) {
      errno = 0;
      bool done = t.act();
      if (done != t.allowed)
        report += std::string(t.label) +
                  (done ? ": done" : ": refused, " + std::string(strerror(errno))) + "\n";
    }
  });
  t.join();
  return report;
}

class ConfineTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.path();
    inside_ = root_ + "/inside";
    outside_ = root_ + "/outside";
    fs::create_directories(inside_);
    fs::create_directories(outside_);
    std::ofstream(outside_ + "/file") << "outside";
    ASSERT_TRUE(Made(open((inside_ + "/mine").c_str(), O_CREAT | O_WRONLY, 0600)));
  }
  ScratchDir scratch_{"confine-test"};
  std::string root_, inside_, outside_;
};

TEST_F(ConfineTest, AsRootTheDirectoryBecomesTheRootForGood) {
  if (geteuid() != 0) GTEST_SKIP() << "changing the root needs root";
  const std::string file = outside_ + "/file";
  char cwd_before[4096];
  ASSERT_NE(getcwd(cwd_before, sizeof cwd_before), nullptr);
  const std::vector<Try> tries = {
      {"the outside file by its path", [&] { return Made(open(file.c_str(), O_RDONLY)); }, false},
      {"chmod by that path", [&] { return chmod(file.c_str(), 0777) == 0; }, false},
      {"up from the root", [&] { return Made(open("/../outside/file", O_RDONLY)); }, false},
      {"a new file at the root", [] { return Made(open("/made", O_CREAT | O_WRONLY, 0600)); },
       true},
      {"what was inside", [] { return Made(open("/mine", O_RDONLY)); }, true},
      {"another root", [] { return chroot("/") == 0; }, false},
      {"capabilities left",
       [] {
         struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
         struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
         syscall(SYS_capget, &header, data);
         return (data[0].effective | data[1].effective | data[0].permitted | data[1].permitted) !=
                0;
       },
       false},
  };
  EXPECT_EQ(InConfinedThread(inside_, tries), "how: chroot\n");
  EXPECT_TRUE(fs::exists(inside_ + "/made"));
  // The rest of the process kept its root, working directory and powers.
  char cwd_after[4096];
  ASSERT_NE(getcwd(cwd_after, sizeof cwd_after), nullptr);
  EXPECT_STREQ(cwd_after, cwd_before);
  EXPECT_TRUE(Made(open(file.c_str(), O_RDONLY)));
  EXPECT_EQ(chown(file.c_str(), kNobody, kNobody), 0);
}

TEST_F(ConfineTest, AsAnotherUserWritesStayBeneathTheDirectory) {
  if (geteuid() != 0) GTEST_SKIP() << "becoming nobody needs root";
  for (const std::string& path : {root_, inside_, outside_})
    ASSERT_EQ(chmod(path.c_str(), 0711), 0);
  for (const std::string& path : {inside_, outside_, outside_ + "/file", inside_ + "/mine"})
    ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
  const std::string in = inside_ + "/", out = outside_ + "/";
  const std::vector<Try> tries = {
      {"write outside", [&] { return Made(open((out + "file").c_str(), O_WRONLY)); }, false},
      // Truncating by name is Landlock's from its version 3 on.
      {"truncate outside", [&] { return truncate((out + "file").c_str(), 0) == 0; },
       LandlockAbi() < 3},
      {"create outside",
       [&] { return Made(open((out + "new").c_str(), O_CREAT | O_WRONLY, 0600)); }, false},
      {"folder outside", [&] { return mkdir((out + "dir").c_str(), 0700) == 0; }, false},
      {"link outside", [&] { return symlink("x", (out + "link").c_str()) == 0; }, false},
      {"hard link out", [&] { return link((in + "mine").c_str(), (out + "hard").c_str()) == 0; },
       false},
      {"hard link in", [&] { return link((out + "file").c_str(), (in + "hard").c_str()) == 0; },
       false},
      {"move out", [&] { return rename((in + "mine").c_str(), (out + "moved").c_str()) == 0; },
       false},
      {"remove outside", [&] { return unlink((out + "file").c_str()) == 0; }, false},
      {"read outside", [&] { return Made(open((out + "file").c_str(), O_RDONLY)); }, true},
      {"create inside", [&] { return Made(open((in + "new").c_str(), O_CREAT | O_WRONLY, 0600)); },
       true},
      {"folder inside", [&] { return mkdir((in + "dir").c_str(), 0700) == 0; }, true},
      {"link inside", [&] { return symlink("/etc/passwd", (in + "dir/link").c_str()) == 0; }, true},
      {"hard link inside",
       [&] { return link((in + "new").c_str(), (in + "dir/hard").c_str()) == 0; }, true},
      {"move inside",
       [&] { return rename((in + "mine").c_str(), (in + "dir/moved").c_str()) == 0; }, true},
      {"remove inside", [&] { return unlink((in + "new").c_str()) == 0; }, true},
  };
  const std::string report = AsNobody([&] { return InConfinedThread(inside_, tries); });
  if (report.compare(0, 9, "how: none") == 0) GTEST_SKIP() << "this kernel offers no Landlock";
  EXPECT_EQ(report, "how: landlock\n");
  EXPECT_TRUE(fs::exists(outside_ + "/file"));
  if (LandlockAbi() >= 3) {
    EXPECT_EQ(fs::file_size(outside_ + "/file"), 7u);
  }
  EXPECT_FALSE(fs::exists(outside_ + "/new"));
  EXPECT_TRUE(fs::is_symlink(inside_ + "/dir/link"));
}

}  // namespace
