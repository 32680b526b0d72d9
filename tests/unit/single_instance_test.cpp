// The single-instance record ("name|pid") with real processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "ChildProcess.h"
#include "ToolHelper.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

qmToolHelper& Tool() { return SingletonBase<qmToolHelper>::Instance(); }

std::string Content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const char kRecord[] = "tavrin.exe";
const char kSleeperName[] = "qm-sleeper";

// /bin/sleep running under another name: its command line is argv joined by
// blanks. Killed and reaped by its pid when stopped or destroyed.
class Sleeper {
 public:
  explicit Sleeper(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {kSleeperName, "600"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, "/bin/sleep", nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = 0;
      return;
    }
    // Right after exec the new command line may not be readable yet.
    const std::string cmdline = "/proc/" + std::to_string(pid_) + "/cmdline";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Content(cmdline).find(kSleeperName) != 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        Stop();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~Sleeper() { Stop(); }
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;

  pid_t pid() const { return pid_; }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  pid_t pid_ = 0;
};

std::string OwnRecord() {
  return fs::read_symlink("/proc/self/exe").filename().string() + "|" + std::to_string(getpid());
}

class SingleInstance : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = "/tmp/tool-single-" + std::to_string(getpid());
    fs::remove_all(dir_);
    ASSERT_TRUE(fs::create_directory(dir_));
    record_ = dir_ + "/" + kRecord;
  }
  void TearDown() override { fs::remove_all(dir_); }

  int Run() { return Tool().RunOneProcess(kRecord, dir_ + "/"); }
  void Put(const std::string& content) {
    fs::remove(record_);
    std::ofstream(record_, std::ios::binary) << content;
  }

  std::string dir_;
  std::string record_;
};

}  // namespace

// Run by SingleInstance.LifeCycle in a second process of this test binary,
// on the record directory of its parent.
TEST(SingleInstanceChild, DISABLED_Check) {
  std::string dir = "/tmp/tool-single-" + std::to_string(getppid()) + "/";
  printf("<result>%d</result>\n", Tool().RunOneProcess(kRecord, dir));
}

TEST_F(SingleInstance, LifeCycle) {
  // No record: this process records itself.
  ASSERT_EQ(Run(), 1);
  EXPECT_EQ(Content(record_), OwnRecord());
  struct stat st;
  ASSERT_EQ(lstat(record_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1) << "a temporary file was left";

  // Another process of this program finds this one alive.
  std::string out;
  int status = qmChildProcess::Run(
      {fs::read_symlink("/proc/self/exe").string(), "--gtest_also_run_disabled_tests",
       "--gtest_filter=SingleInstanceChild.DISABLED_Check"},
      &out);
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(out.find("<result>0</result>"), std::string::npos) << out;
  EXPECT_EQ(Content(record_), OwnRecord());

  // A live other instance: nothing written. Once it has ended: recorded anew.
  Sleeper other;
  ASSERT_GT(other.pid(), 0);
  const std::string other_record = std::string(kSleeperName) + "|" + std::to_string(other.pid());
  Put(other_record);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(Content(record_), other_record);
  other.Stop();
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Content(record_), OwnRecord());
}

TEST_F(SingleInstance, LongRecordedNameIsMatchedWhole) {
  const std::string zeros(3000, '0');  // sleep reads it as 0 more seconds
  Sleeper other({zeros});
  ASSERT_GT(other.pid(), 0);
  // The command line's arguments are joined by blanks.
  Put(std::string(kSleeperName) + " 600 " + zeros + "|" + std::to_string(other.pid()));
  EXPECT_EQ(Run(), 0);
  Put(std::string(kSleeperName) + " 600 " + zeros + "1|" + std::to_string(other.pid()));
  EXPECT_EQ(Run(), 1);
}

TEST_F(SingleInstance, RecordsThatNameNoOtherInstance) {
  Sleeper other;
  ASSERT_GT(other.pid(), 0);
  const std::string live = std::to_string(other.pid());
  const std::string pwned = dir_ + "/pwned";
  const std::string own_name = fs::read_symlink("/proc/self/exe").filename().string();
  struct Case {
    const char* what;
    std::string content;
  } cases[] = {
      {"empty", ""},
      {"no separator", "garbage"},
      {"three pieces", std::string(kSleeperName) + "|" + live + "|x"},
      {"no pid", std::string(kSleeperName) + "|"},
      {"no name", "|" + live},
      {"pid not a number", std::string(kSleeperName) + "|abc"},
      {"pid with a tail", std::string(kSleeperName) + "|" + live + "x"},
      {"pid with a blank", std::string(kSleeperName) + "| " + live},
      {"pid 0", std::string(kSleeperName) + "|0"},
      {"negative pid", std::string(kSleeperName) + "|-" + live},
      {"pid -1", std::string(kSleeperName) + "|-1"},
      {"pid too large", std::string(kSleeperName) + "|99999999999"},
      {"our own pid", own_name + "|" + std::to_string(getpid())},
      {"live pid of another program", "no-such-program|" + live},
      {"name longer than any buffer", std::string(5000, 'n') + "|" + live},
      {"quotes", "x\";touch " + pwned + ";\"|" + live},
      {"command substitution", "$(touch " + pwned + ")|" + live},
      {"backquotes", "`touch " + pwned + "`|" + live},
      {"pipeline", "x | touch " + pwned + " #|" + live},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Put(c.content);
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(Content(record_), OwnRecord());
    EXPECT_FALSE(fs::exists(pwned)) << "the record's text was run";
  }
}

TEST_F(SingleInstance, PlantedLinkIsNeitherReadNorWrittenThrough) {
  Sleeper other;
  ASSERT_GT(other.pid(), 0);
  // The link leads to a record of a live instance and to a file worth keeping.
  const std::string target = dir_ + "/precious";
  const std::string live_record = std::string(kSleeperName) + "|" + std::to_string(other.pid());
  std::ofstream(target) << live_record;
  fs::create_symlink(target, record_);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Content(target), live_record);
  EXPECT_FALSE(fs::is_symlink(record_));
  EXPECT_EQ(Content(record_), OwnRecord());

  // A dangling link must not create its target either.
  fs::remove(record_);
  fs::create_symlink(dir_ + "/created", record_);
  EXPECT_EQ(Run(), 1);
  EXPECT_FALSE(fs::exists(dir_ + "/created"));
  EXPECT_EQ(Content(record_), OwnRecord());
}

TEST_F(SingleInstance, FifoAtTheRecordPathIsNoRecord) {
  ASSERT_EQ(mkfifo(record_.c_str(), 0600), 0);  // no writer: must not wait for one
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Content(record_), OwnRecord());
}

TEST_F(SingleInstance, UnwritableRecordStillPasses) {
  EXPECT_EQ(Tool().RunOneProcess(kRecord, dir_ + "/missing/"), 1);
  EXPECT_FALSE(fs::exists(dir_ + "/missing"));
}

TEST(SingleInstanceTmp, OneArgumentFormRecordsInTmp) {
  std::random_device random;
  const std::string name =
      "tool-single-" + std::to_string(getpid()) + "-" + std::to_string(random()) + ".exe";
  const std::string path = "/tmp/" + name;
  struct Remove {
    std::string path;
    ~Remove() { fs::remove(path); }
  } remove{path};
  ASSERT_FALSE(fs::exists(path));
  EXPECT_EQ(Tool().RunOneProcess(name), 1);
  EXPECT_EQ(Content(path), OwnRecord());
}

namespace {

// /bin/sleep under kSleeperName, running as another user; killed and reaped
// by its pid.
class OtherUserSleeper {
 public:
  explicit OtherUserSleeper(uid_t uid) {
    pid_ = fork();
    if (pid_ == 0) {
      if (setgid(uid) != 0 || setuid(uid) != 0) _exit(126);
      execl("/bin/sleep", kSleeperName, "600", static_cast<char*>(nullptr));
      _exit(127);
    }
    const std::string cmdline = "/proc/" + std::to_string(pid_) + "/cmdline";
    for (int i = 0; i < 10000 && Content(cmdline).find(kSleeperName) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~OtherUserSleeper() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

constexpr uid_t kNobody = 65534;

}  // namespace

TEST_F(SingleInstance, AnotherUsersRecordOrProcessIsNoInstance) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  Sleeper mine;
  ASSERT_GT(mine.pid(), 0);
  // A live process of ours, but recorded in a file another user wrote.
  Put(std::string(kSleeperName) + "|" + std::to_string(mine.pid()));
  ASSERT_EQ(chown(record_.c_str(), kNobody, kNobody), 0);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Content(record_), OwnRecord());

  // Our own record naming another user's process with the right name.
  OtherUserSleeper theirs(kNobody);
  ASSERT_GT(theirs.pid(), 0);
  Put(std::string(kSleeperName) + "|" + std::to_string(theirs.pid()));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Content(record_), OwnRecord());
}
