// How long an installation takes for an archive of about 300 MB holding about
// 1 GB of ordinary files (copies of /usr/lib pieces), side by side in one run:
// `tar xzf` into an empty directory; our staging (StageArchive) into one; our
// move phase (MoveStaged, the time during which the programs are stopped) for a
// first installation and for an update of every file (over the tree tar left).
// Usage: install_bench [scratch dir]   (default: <build>/bench-data/install;
// the source tree and archive are made once and kept there)
// Exits non-zero when staging takes more than 1.2 times tar's time or fails.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchPaths.h"
#include "ChildProcess.h"
#include "UniqueFd.h"
#include "WholeIo.h"
#include "platform/AppFiles.h"
#include "platform/Files.h"
#include "update/Journal.h"
#include "update/Stage.h"
#include "update/StagedTree.h"

namespace {

constexpr unsigned long long kTreeBytes = 1000ull * 1000 * 1000;
constexpr double kMaxRatio = 1.2;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool Run(const std::vector<std::string>& argv) {
  int status = qmChildProcess::Run(argv, nullptr);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool CopyFile(const char* from, const std::string& to) {
  UniqueFd in(open(from, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!in.valid()) return false;
  UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!out.valid()) return false;
  int end = wholeio::ReadEach(in.get(), [&out](const char* data, size_t n) {
    return wholeio::WriteAll(out.get(), data, n);
  });
  return end == 1;
}

// The source tree: regular files of /usr/lib, copied under short names of
// one folder per source folder, until kTreeBytes.
struct Copier {
  static std::string dest;
  static unsigned long long bytes;
  static unsigned long files;
  static int Visit(const char* path, const struct stat* st, int type, struct FTW*) {
    if (bytes >= kTreeBytes) return 1;
    if (type != FTW_F || !S_ISREG(st->st_mode) || st->st_size == 0) return 0;
    std::string dir = dest + "/d" + std::to_string(files / 200);
    if (files % 200 == 0) mkdir(dir.c_str(), 0755);
    std::string name = path;
    name = name.substr(name.rfind('/') + 1);
    if (!CopyFile(path, dir + "/" + std::to_string(files) + "-" + name)) return 0;
    bytes += static_cast<unsigned long long>(st->st_size);
    ++files;
    return 0;
  }
};
std::string Copier::dest;
unsigned long long Copier::bytes = 0;
unsigned long Copier::files = 0;

bool MakeArchive(const std::string& scratch, const std::string& archive) {
  std::string src = scratch + "/src";
  std::string part = archive + ".making";
  if (Exists(src)) RemoveTree(src);
  unlink(part.c_str());
  if (mkdir(src.c_str(), 0755) != 0) return false;
  Copier::dest = src;
  nftw("/usr/lib", Copier::Visit, 32, FTW_PHYS);
  printf("source tree: %lu files, %.0f MB\n", Copier::files, Copier::bytes / 1e6);
  bool pigz = access("/usr/bin/pigz", X_OK) == 0;
  std::vector<std::string> argv = {"/usr/bin/tar", "-c", "-f", part, "-C", src, "."};
  argv.insert(argv.begin() + 1, pigz ? "--use-compress-program=pigz" : "-z");
  if (!Run(argv) || rename(part.c_str(), archive.c_str()) != 0) return false;
  RemoveTree(src);
  return true;
}

void ReadThrough(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<char> buf(1 << 20);
  while (fd.valid() && read(fd.get(), buf.data(), buf.size()) > 0) {
  }
}

unsigned long CountEntries(const std::string& dir) {
  unsigned long n = 0;
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    ++n;
    if (e->d_type == DT_DIR) n += CountEntries(dir + "/" + name);
  }
  closedir(d);
  return n;
}

struct Install {
  std::string why;  // "" when staged, inspected and moved
  double stage_s = 0, inspect_s = 0, move_s = 0, rollback_s = 0;
  unsigned long entries = 0;
};

// Stages archive inside app and moves it into place, timing each step.
Install StageAndMove(const std::string& archive, const std::string& app) {
  Install r;
  std::string staging = app + "/" + appfiles::kStaging;
  double t0 = Now();
  r.why = StageArchive(archive, staging);
  r.stage_s = Now() - t0;
  if (!r.why.empty()) return r;
  r.entries = CountEntries(staging);
  t0 = Now();
  INSTALL_JOURNAL journal;
  journal.crc = "1";
  journal.old_crc = "0";
  StagedInodes fresh;
  r.why = InspectStaged(staging, app, &journal.added, &fresh);
  journal.fresh.assign(fresh.begin(), fresh.end());
  r.inspect_s = Now() - t0;
  if (!r.why.empty()) return r;
  // What the programs wait for: the journal and the move (inspection comes
  // before the stop).
  t0 = Now();
  r.why = WriteJournal(app, journal);
  if (r.why.empty() && !MoveStaged(staging, app, fresh)) r.why = "some entry was not moved";
  r.move_s = Now() - t0;
  if (!r.why.empty()) return r;
  // A rollback puts the previous release back: the journal again, then the
  // restore, while the programs are stopped.
  t0 = Now();
  journal.phase = JournalPhase::kRollingBack;
  r.why = WriteJournal(app, journal);
  if (r.why.empty() && !RestorePrevious(staging, app, journal.added, fresh, {}))
    r.why = "some entry was not put back";
  r.rollback_s = Now() - t0;
  DropJournal(app);
  RemoveTree(staging);
  return r;
}

// Puts a file of the host's own in every folder below the top of dir, as
// programs that write beside their files do: no folder can then be exchanged
// whole, and the move replaces every file one by one.
int PutLocalFile(const char* path, const struct stat*, int type, struct FTW* at) {
  if (type == FTW_D && at->level > 0) {
    UniqueFd fd(open((std::string(path) + "/local.data").c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd.valid()) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string monitor = DefaultMonitorPath();
  std::string scratch =
      argc > 1 ? argv[1] : monitor.substr(0, monitor.rfind('/')) + "/bench-data/install";
  Run({"/bin/mkdir", "-p", scratch});
  std::string archive = scratch + "/release.tar.gz";
  if (!Exists(archive) && !MakeArchive(scratch, archive)) {
    fprintf(stderr, "cannot make the archive in %s\n", scratch.c_str());
    return 1;
  }
  struct stat st;
  stat(archive.c_str(), &st);
  std::string by_tar = scratch + "/by-tar", fresh = scratch + "/fresh";
  for (const std::string& dir : {by_tar, fresh}) {
    if (Exists(dir)) RemoveTree(dir);
    mkdir(dir.c_str(), 0755);
  }
  ReadThrough(archive);  // in the page cache for both readers alike
  umask(022);

  double t0 = Now();
  bool tar_ok = Run({"/usr/bin/tar", "xzf", archive, "-C", by_tar});
  double tar_s = Now() - t0;
  // A first installation, into an empty directory as tar's was ...
  Install first = StageAndMove(archive, fresh);
  // ... and an update of every file: over the tree tar left.
  Install update = tar_ok ? StageAndMove(archive, by_tar) : Install{"tar failed"};
  // ... and the same where every folder holds a file of the host's own.
  Install merged = Install{"tar failed"};
  if (tar_ok)
    merged = nftw(by_tar.c_str(), PutLocalFile, 64, FTW_PHYS) == 0 ? StageAndMove(archive, by_tar)
                                                                   : Install{"no local files"};
  RemoveTree(by_tar);
  RemoveTree(fresh);

  double ratio = first.stage_s / tar_s;
  printf("archive: %.0f MB, %lu entries\n", st.st_size / 1e6, first.entries);
  printf("tar xzf:               %8.2f s%s\n", tar_s, tar_ok ? "" : " (failed)");
  printf("staging:               %8.2f s  (%.2f x tar, must be <= %.1f)\n", first.stage_s, ratio,
         kMaxRatio);
  printf("inspection:            %8.1f ms\n", first.inspect_s * 1000);
  printf("move, first install:   %8.1f ms  (aim < 100 ms)\n", first.move_s * 1000);
  printf("move, every file anew: %8.1f ms  (staging %.2f s, inspection %.1f ms)\n",
         update.move_s * 1000, update.stage_s, update.inspect_s * 1000);
  printf("move, file by file:    %8.1f ms  (every folder holds a file of its own)\n",
         merged.move_s * 1000);
  printf("rollback of the first: %8.1f ms\n", first.rollback_s * 1000);
  printf("rollback of the update:%8.1f ms  (aim < 100 ms)\n", update.rollback_s * 1000);
  printf("rollback, file by file:%8.1f ms\n", merged.rollback_s * 1000);
  for (const Install* i : {&first, &update, &merged})
    if (!i->why.empty()) printf("failed: %s\n", i->why.c_str());
  return tar_ok && first.why.empty() && update.why.empty() && merged.why.empty() &&
                 ratio <= kMaxRatio
             ? 0
             : 1;
}
