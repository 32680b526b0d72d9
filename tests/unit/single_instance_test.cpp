// The single-instance lock and the record it keeps, with real processes.
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
#include <functional>
#include <thread>

#include "ToolHelper.h"
#include "UniqueFd.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

qmToolHelper& Tool() { return SingletonBase<qmToolHelper>::Instance(); }

std::string Content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const char kSleeperName[] = "qm-sleeper";
constexpr uid_t kNobody = 65534;

std::string ExeName() { return fs::read_symlink("/proc/self/exe").filename().string(); }
std::string RecordOf(pid_t pid) { return ExeName() + "|" + std::to_string(pid); }

// /bin/sleep running under another name, killed and reaped by its pid.
class Sleeper {
 public:
  Sleeper() {
    char* argv[] = {const_cast<char*>(kSleeperName), const_cast<char*>("600"), nullptr};
    if (posix_spawn(&pid_, "/bin/sleep", nullptr, nullptr, argv, environ) != 0) pid_ = 0;
    // Right after exec the new command line may not be readable yet.
    const std::string cmdline = "/proc/" + std::to_string(pid_) + "/cmdline";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pid_ > 0 && Content(cmdline).find(kSleeperName) != 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~Sleeper() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = 0;
};

// A forked child that runs test(), reports its result through a pipe and
// then, with hold, waits to be killed (keeping what it took). Killed and
// reaped by its pid.
class Child {
 public:
  Child(std::function<int()> test, bool hold) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      char result = static_cast<char>(test());
      if (write(fds[1], &result, 1) != 1) _exit(1);
      while (hold) pause();
      _exit(0);
    }
    close(fds[1]);
    from_child_.reset(fds[0]);
  }
  ~Child() { Kill(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Waits for the child's result (-100 when it gave none).
  int result() {
    char result;
    if (from_child_.valid() && pid_ > 0 && read(from_child_.get(), &result, 1) == 1) {
      result_ = result;
    }
    from_child_.reset();
    return result_;
  }
  pid_t pid() const { return pid_; }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

 private:
  pid_t pid_ = 0;
  UniqueFd from_child_;
  int result_ = -100;
};

void GiveToNobody(const std::string& path) { EXPECT_EQ(chown(path.c_str(), kNobody, kNobody), 0); }

class SingleInstance : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = "/tmp/tool-single-" + std::to_string(getpid());
    fs::remove_all(dir_);
    ASSERT_TRUE(fs::create_directory(dir_));
    record_ = dir_ + "/tavrin.exe";
    lock_ = dir_ + "/tavrin.lock";
  }
  void TearDown() override { fs::remove_all(dir_); }

  qmToolHelper::INSTANCE_LOCK Take() { return Tool().TakeInstanceLock(lock_, record_); }
  // For a Child: takes the lock and keeps it until the child is killed.
  int TakeAndKeep() {
    g_kept = Take();
    return g_kept.result;
  }
  // Whether a second process finds no other instance.
  int OtherProcessTakes() {
    return Child([this] { return Take().result; }, false).result();
  }

  static qmToolHelper::INSTANCE_LOCK g_kept;  // set in children only

  std::string dir_, record_, lock_;
};

qmToolHelper::INSTANCE_LOCK SingleInstance::g_kept;

mode_t Mode(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_mode;
}

}  // namespace

TEST_F(SingleInstance, LockDecidesWhileItsHolderLives) {
  qmToolHelper::INSTANCE_LOCK mine = Take();
  ASSERT_EQ(mine.result, 1) << mine.lock_error;
  EXPECT_EQ(mine.record_error, "");
  EXPECT_EQ(Content(record_), RecordOf(getpid()));
  EXPECT_EQ(Mode(record_), S_IFREG | 0644);
  EXPECT_EQ(Mode(lock_), S_IFREG | 0600);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2) << "a temporary file was left";

  // Another process is turned away and leaves the record alone.
  EXPECT_EQ(OtherProcessTakes(), 0);
  EXPECT_EQ(Content(record_), RecordOf(getpid()));

  // Released: the next start runs, and records itself.
  mine.lock.reset();
  Child next([this] { return TakeAndKeep(); }, true);
  EXPECT_EQ(next.result(), 1);
  EXPECT_EQ(Content(record_), RecordOf(next.pid()));

  // Killed while holding it: the kernel drops the lock, the file stays.
  EXPECT_EQ(OtherProcessTakes(), 0);
  next.Kill();
  EXPECT_TRUE(fs::exists(lock_));
  EXPECT_EQ(Take().result, 1);
}

TEST_F(SingleInstance, TwoAtOnceGiveExactlyOneInstance) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    // Both wait on one pipe and try together when it closes.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    auto racer = [this, go] {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) < 0) return -1;
      return TakeAndKeep();
    };
    Child a(racer, true), b(racer, true);
    close(go[0]);
    close(go[1]);
    EXPECT_EQ(a.result() + b.result(), 1);
  }
}

TEST_F(SingleInstance, RecordNamingALiveProcessDecidesNothing) {
  // A pid squatter: alive, this user's, carrying a recorded name.
  Sleeper squatter;
  ASSERT_GT(squatter.pid(), 0);
  std::ofstream(record_) << kSleeperName << "|" << squatter.pid();
  EXPECT_EQ(Take().result, 1);
  EXPECT_EQ(Content(record_), RecordOf(getpid()));
}

TEST_F(SingleInstance, RecordIsReplacedWhateverStandsThere) {
  const std::string precious = dir_ + "/precious", created = dir_ + "/created";
  struct Case {
    const char* what;
    std::function<void()> plant;
    bool needs_root;
  } cases[] = {
      {"garbage", [&] { std::ofstream(record_) << "x\";touch " << created << ";\"|1"; }, false},
      {"link to a file", [&] { fs::create_symlink(precious, record_); }, false},
      {"dangling link", [&] { fs::create_symlink(created, record_); }, false},
      {"FIFO", [&] { mkfifo(record_.c_str(), 0600); }, false},
      {"another user's file",
       [&] {
         std::ofstream(record_) << "theirs";
         GiveToNobody(record_);
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needs_root && geteuid() != 0) continue;
    fs::remove(record_);
    std::ofstream(precious) << "keep";
    c.plant();
    qmToolHelper::INSTANCE_LOCK mine = Take();
    EXPECT_EQ(mine.result, 1);
    EXPECT_EQ(mine.record_error, "");
    EXPECT_EQ(Mode(record_), S_IFREG | 0644);
    EXPECT_EQ(Content(record_), RecordOf(getpid()));
    EXPECT_EQ(Content(precious), "keep");
    EXPECT_FALSE(fs::exists(created));
  }
}

TEST_F(SingleInstance, RecordThatCannotBeWrittenIsSaidAndTheInstanceGoesOn) {
  struct Case {
    const char* what;
    std::string record;
    std::string why;
  } cases[] = {
      {"directory at the record", record_, "cannot replace: Is a directory"},
      {"missing directory", dir_ + "/missing/tavrin.exe",
       "cannot create a file beside it: No such file or directory"},
  };
  fs::create_directory(record_);
  std::ofstream(record_ + "/inside") << "x";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    qmToolHelper::INSTANCE_LOCK mine = Tool().TakeInstanceLock(lock_, c.record);
    EXPECT_EQ(mine.result, 1);
    EXPECT_EQ(mine.record_error, c.why);
    EXPECT_TRUE(mine.lock.valid());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2) << "a temporary file was left";
  }
  EXPECT_EQ(Content(record_ + "/inside"), "x");
}

TEST_F(SingleInstance, LockFileThatIsNotOursIsRefused) {
  const std::string target = dir_ + "/target";
  struct Case {
    const char* what;
    std::function<void()> plant;
    std::string lock;
    std::string why;
    bool needs_root;
  } cases[] = {
      {"link to a file", [&] { fs::create_symlink(target, lock_); }, lock_,
       "a symbolic link stands there", false},
      {"dangling link", [&] { fs::create_symlink(dir_ + "/created", lock_); }, lock_,
       "a symbolic link stands there", false},
      {"directory", [&] { fs::create_directory(lock_); }, lock_, "cannot open: Is a directory",
       false},
      {"FIFO", [&] { mkfifo(lock_.c_str(), 0600); }, lock_, "not a regular file", false},
      {"another user's file",
       [&] {
         std::ofstream(lock_) << "";
         GiveToNobody(lock_);
       },
       lock_, "owned by another user", true},
      {"missing directory", [] {}, dir_ + "/missing/tavrin.lock",
       "cannot open: No such file or directory", false},
      {"no path", [] {}, "", "no place for the lock (the executable's directory is unknown)",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needs_root && geteuid() != 0) continue;
    fs::remove_all(lock_);
    std::ofstream(target) << "keep";
    c.plant();
    qmToolHelper::INSTANCE_LOCK mine = Tool().TakeInstanceLock(c.lock, record_);
    EXPECT_EQ(mine.result, -1);
    EXPECT_EQ(mine.lock_error, c.why);
    EXPECT_FALSE(mine.lock.valid());
    EXPECT_FALSE(fs::exists(record_)) << "recorded without the lock";
    EXPECT_EQ(Content(target), "keep");
    EXPECT_FALSE(fs::exists(dir_ + "/created"));
  }
}

TEST_F(SingleInstance, LockFileOthersCouldOpenIsMadePrivate) {
  std::ofstream(lock_) << "";
  ASSERT_EQ(chmod(lock_.c_str(), 0666), 0);
  EXPECT_EQ(Take().result, 1);
  EXPECT_EQ(Mode(lock_), S_IFREG | 0600);
}

TEST_F(SingleInstance, ProgramsStartedLaterDoNotInheritTheLock) {
  qmToolHelper::INSTANCE_LOCK mine = Take();
  ASSERT_EQ(mine.result, 1);
  std::string test = "test -e /proc/self/fd/" + std::to_string(mine.lock.get());
  char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), &test[0], nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "the child has the descriptor";
}

// The forms without a lock handle keep it for the life of the process.
TEST_F(SingleInstance, RecordDirFormKeepsItsLockBesideTheRecord) {
  const std::string record_dir = dir_ + "/";
  EXPECT_EQ(Tool().RunOneProcess("tavrin.exe", record_dir), 1);
  EXPECT_EQ(Tool().RunOneProcess("tavrin.exe", record_dir), 1) << "this process is the instance";
  EXPECT_EQ(Content(record_), RecordOf(getpid()));
  EXPECT_EQ(Mode(lock_), S_IFREG | 0600);
  EXPECT_EQ(Child([&] { return Tool().RunOneProcess("tavrin.exe", record_dir); }, false).result(),
            0);
  EXPECT_EQ(Content(record_), RecordOf(getpid()));
  // A lock that cannot be used turns the caller away too.
  EXPECT_EQ(Tool().RunOneProcess("tavrin.exe", dir_ + "/missing/"), 0);
}

TEST(SingleInstanceTmp, OneArgumentFormRecordsInTmpAndLocksByItsRule) {
  const std::string stem = "tool-single-" + std::to_string(getpid());
  const std::string record = "/tmp/" + stem + ".exe";
  const std::string lock = Tool().InstanceLockPath(stem + ".lock", false);
  struct Remove {
    std::vector<std::string> paths;
    ~Remove() {
      for (const std::string& p : paths) fs::remove(p);
    }
  } remove{{record, lock}};
  ASSERT_FALSE(fs::exists(record));
  EXPECT_EQ(Tool().RunOneProcess(stem + ".exe"), 1);
  EXPECT_EQ(Content(record), RecordOf(getpid()));
  EXPECT_TRUE(fs::exists(lock));
}

TEST(SingleInstancePath, RootLocksInRunOthersBesideTheExecutable) {
  const std::string app_dir = fs::read_symlink("/proc/self/exe").parent_path().string();
  EXPECT_EQ(Tool().InstanceLockPath("x.lock", true), app_dir + "/x.lock");
  if (geteuid() != 0) {
    EXPECT_EQ(Tool().InstanceLockPath("x.lock", false), app_dir + "/x.lock");
    return;
  }
  EXPECT_EQ(Tool().InstanceLockPath("x.lock", false), "/run/x.lock");
  // The same binary run by another user.
  Child nobody(
      [&] {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) return 2;
        return Tool().InstanceLockPath("x.lock", false) == app_dir + "/x.lock" ? 1 : 0;
      },
      false);
  EXPECT_EQ(nobody.result(), 1);
}
