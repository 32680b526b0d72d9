// Inspection and move of a staged tree, and removal of trees, all through
// directory descriptors opened with O_NOFOLLOW: a symbolic link standing in
// either tree is an entry like any other, never a way somewhere else.
#include "update/StagedTree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "UniqueFd.h"
#include "platform/AppFiles.h"
#include "platform/BuildSetting.h"
#include "platform/Files.h"
#include "platform/Report.h"

namespace {

bool IsEmptyDirAt(int parent, const std::string& name) {
  UniqueFd fd = OpenDirAt(parent, name);
  return fd.valid() && ListDir(fd.get()).empty();
}

enum class Step {
  kMove,     // rename onto the place (nothing there, or a non-directory replaced)
  kMerge,    // both directories: move the contents
  kReplace,  // remove what stands there (an empty directory, or a file where an
             // empty directory is staged), then rename
};

// How the staged entry name (stat s, in src) takes the place of what stands
// at it in dst (d, or nullptr for nothing): "" and *step, or why it cannot.
std::string Plan(int src, int dst, const std::string& name, const struct stat& s,
                 const struct stat* d, Step* step) {
  if (!S_ISREG(s.st_mode) && !S_ISDIR(s.st_mode) && !S_ISLNK(s.st_mode))
    return "device node, FIFO or socket";
  if (d == nullptr) {
    *step = Step::kMove;
    return "";
  }
  bool staged_dir = S_ISDIR(s.st_mode);
  bool standing_dir = S_ISDIR(d->st_mode);
  if (staged_dir == standing_dir) {
    *step = staged_dir ? Step::kMerge : Step::kMove;
    return "";
  }
  if (standing_dir) {
    if (!IsEmptyDirAt(dst, name)) return "a file where a non-empty directory stands";
  } else if (!IsEmptyDirAt(src, name)) {
    return S_ISLNK(d->st_mode) ? "a directory where a symbolic link stands"
                               : "a directory where a file stands";
  }
  *step = Step::kReplace;
  return "";
}

// What stands at name in dir: true and *st, or false for nothing (dir < 0
// means nothing stands anywhere below). *error set when it cannot be told.
bool StandsAt(int dir, const std::string& name, struct stat* st, bool* error) {
  *error = false;
  if (dir < 0) return false;
  if (fstatat(dir, name.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0) return true;
  *error = errno != ENOENT;
  return false;
}

// Why a staged entry cannot take its place, as the shared step found it.
enum class Trouble {
  kNone,
  kRefused,   // the entry may not be placed: why is the reason
  kStaged,    // the staged entry cannot be stat'ed: why is the error
  kStanding,  // what stands at its place cannot be told: why is the error
};

// One staged entry, stat'ed and planned against what stands at its place.
struct Entry {
  std::string name;
  std::string rel;  // its path below the staging directory
  struct stat staged {};
  struct stat standing {};  // meaningful when stands
  bool stands = false;
  Step step = Step::kMove;  // meaningful when trouble is kNone
  Trouble trouble = Trouble::kNone;
  std::string why;
};

// The step both walks begin with for the entry name of src: what it is, what
// stands at it in dst, and how it would take that place.
Entry PlanEntry(int src, int dst, const std::string& prefix, const std::string& name) {
  Entry e;
  e.name = name;
  e.rel = prefix + name;
  auto trouble = [&](Trouble t, std::string why) {
    e.trouble = t;
    e.why = std::move(why);
    return e;
  };
  if (prefix.empty() && appfiles::IsOwnName(name))
    return trouble(Trouble::kRefused, "the supervisor's own file");
  if (fstatat(src, name.c_str(), &e.staged, AT_SYMLINK_NOFOLLOW) != 0)
    return trouble(Trouble::kStaged, strerror(errno));
  bool error;
  e.stands = StandsAt(dst, name, &e.standing, &error);
  if (error) return trouble(Trouble::kStanding, strerror(errno));
  std::string why = Plan(src, dst, name, e.staged, e.stands ? &e.standing : nullptr, &e.step);
  if (!why.empty()) return trouble(Trouble::kRefused, why);
  return e;
}

// Lists src and hands each entry, planned against dst, to visit in name
// order, until visit returns false.
template <typename Visit>
void ForEachEntry(int src, int dst, const std::string& prefix, Visit visit) {
  for (const std::string& name : ListDir(src))
    if (!visit(PlanEntry(src, dst, prefix, name))) return;
}

class Inspector {
 public:
  explicit Inspector(std::vector<std::string>* added) : added_(added) {}

  std::string Run(int staged, int app) {
    std::string why = Walk(staged, app, "");
    if (!why.empty()) return why;
    // Every name of a staged file is in the staged tree: a link count above
    // that means the file has a name elsewhere.
    for (const auto& link : links_)
      if (link.second.count < link.second.nlink)
        return "hard link to a file outside the archive: " + link.second.name;
    return "";
  }

 private:
  struct Links {
    std::string name;
    nlink_t nlink;
    nlink_t count;
  };

  // "" when every entry below src may take its place in dst; otherwise why
  // the first one in name order may not.
  std::string Walk(int src, int dst, const std::string& prefix) {
    std::string why;
    ForEachEntry(src, dst, prefix, [&](const Entry& e) {
      why = e.trouble != Trouble::kNone ? Refusal(e) : Judge(src, dst, e);
      return why.empty();
    });
    return why;
  }

  static std::string Refusal(const Entry& e) {
    switch (e.trouble) {
      case Trouble::kStaged:
        return "cannot inspect " + e.rel + ": " + e.why;
      case Trouble::kStanding:
        return "cannot inspect " + e.rel + " in the application directory: " + e.why;
      case Trouble::kRefused:
      case Trouble::kNone:
        break;
    }
    return e.why + ": " + e.rel;
  }

  // A planned entry: a file's names are counted, a directory is walked.
  std::string Judge(int src, int dst, const Entry& e) {
    // Below a new directory nothing stands (dst < 0): its top alone is added.
    if (!e.stands && dst >= 0 && added_ != nullptr) added_->push_back(e.rel);
    if (!S_ISDIR(e.staged.st_mode)) {
      if (e.staged.st_nlink > 1) {
        Links& l = links_[{e.staged.st_dev, e.staged.st_ino}];
        if (l.count++ == 0) l = {e.rel, e.staged.st_nlink, 1};
      }
      return "";
    }
    UniqueFd sub = OpenDirAt(src, e.name);
    if (!sub.valid()) return "cannot inspect " + e.rel + ": " + strerror(errno);
    UniqueFd there = e.step == Step::kMerge ? OpenDirAt(dst, e.name) : UniqueFd();
    return Walk(sub.get(), there.get(), e.rel + "/");
  }

  std::map<std::pair<dev_t, ino_t>, Links> links_;
  std::vector<std::string>* added_;
};

// The installation's test hook (build::kTestHooks): the supervisor kills
// itself once it has moved as many entries in phase as the hook file says.
class KillHook {
 public:
  KillHook(const std::string& app_dir, const char* phase) {
    if (!build::kTestHooks) return;
    char want[32] = {0};
    unsigned long n = 0;
    if (FILE* f = fopen((app_dir + "/test-hook.kill").c_str(), "re")) {
      if (fscanf(f, "%31s %lu", want, &n) == 2 && strcmp(want, phase) == 0) left_ = n;
      fclose(f);
    }
  }
  void Moved() {
    if (left_ != 0 && --left_ == 0) raise(SIGKILL);
  }

 private:
  unsigned long left_ = 0;
};

// A folder of the previous release's tree, mirroring the one moved into;
// made when the first entry is kept in it.
class Kept {
 public:
  explicit Kept(int root) : fd_(root) {}
  Kept(Kept* parent, std::string name) : parent_(parent), name_(std::move(name)) {}

  // Its descriptor, or -1 when it cannot be made.
  int fd() {
    if (fd_ >= 0 || parent_ == nullptr) return fd_;
    int parent = parent_->fd();
    if (parent < 0) return -1;
    if (mkdirat(parent, name_.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    own_ = OpenDirAt(parent, name_);
    fd_ = own_.get();
    return fd_;
  }
  // Syncs it when something was renamed into it.
  void Sync() {
    if (used_ && fd_ >= 0) fsync(fd_);
  }
  void Used() { used_ = true; }

 private:
  Kept* parent_ = nullptr;
  std::string name_;
  UniqueFd own_;
  int fd_ = -1;
  bool used_ = false;
};

class Mover {
 public:
  explicit Mover(KillHook* hook) : hook_(hook) {}
  bool ok() const { return ok_; }

  // Moves every entry of src onto its place in dst, keeping what it
  // replaces in kept; an entry that cannot be moved is reported and the
  // others are moved all the same.
  void Walk(int src, int dst, Kept& kept, const std::string& prefix) {
    bool changed = false;
    ForEachEntry(src, dst, prefix, [&](const Entry& e) {
      if (e.trouble != Trouble::kNone) {
        Fail(e.why, e.rel);
      } else if (e.step == Step::kMerge) {
        Merge(src, dst, kept, e);
      } else if (Place(src, dst, kept, e)) {
        changed = true;
        hook_->Moved();
      }
      return true;
    });
    // The renames survive a power cut once their directories are synced;
    // the data was synced at staging.
    kept.Sync();
    if (changed && fsync(dst) != 0) Fail(strerror(errno), prefix.empty() ? "." : prefix);
  }

 private:
  void Merge(int src, int dst, Kept& kept, const Entry& e) {
    UniqueFd from = OpenDirAt(src, e.name);
    UniqueFd to = OpenDirAt(dst, e.name);
    if (!from.valid() || !to.valid()) {
      Fail(errno == ELOOP || errno == ENOTDIR ? "a symbolic link stands in the way"
                                              : strerror(errno),
           e.rel);
      return;
    }
    Kept below(&kept, e.name);
    Walk(from.get(), to.get(), below, e.rel + "/");
  }

  // Renames the staged entry onto its place, what stands there first into
  // kept; true when it moved. Neither rename replaces anything, so a move
  // run again over what is left never loses an entry: a staged entry whose
  // place is taken still finds the old one there.
  bool Place(int src, int dst, Kept& kept, const Entry& e) {
    const char* name = e.name.c_str();
    if (e.stands) {
      int k = kept.fd();
      if (k < 0)
        return Fail(std::string("cannot keep the replaced entry: ") + strerror(errno), e.rel);
      if (renameat2(dst, name, k, name, RENAME_NOREPLACE) != 0)
        return Fail(std::string("cannot keep the replaced entry: ") + strerror(errno), e.rel);
      kept.Used();
    }
    if (renameat2(src, name, dst, name, RENAME_NOREPLACE) != 0) return Fail(strerror(errno), e.rel);
    return true;
  }

  // Reports the entry that was not moved; false, for the caller to return.
  bool Fail(const std::string& why, const std::string& rel) {
    REPORT_ERROR("unpack failed! %s: %s", Quoted(why).c_str(), Quoted(rel).c_str());
    ok_ = false;
    return false;
  }

  KillHook* hook_;
  bool ok_ = true;
};

// Puts the previous release's entries back: what stands at a kept entry's
// place goes to the trash first; directories both hold are merged.
class Restorer {
 public:
  explicit Restorer(KillHook* hook) : hook_(hook) {}
  bool ok() const { return ok_; }

  void Walk(int kept, int dst, Kept& trash, const std::string& prefix,
            const std::vector<std::string>& skip) {
    bool changed = false;
    for (const std::string& name : ListDir(kept)) {
      std::string rel = prefix + name;
      if (std::find(skip.begin(), skip.end(), name) != skip.end()) continue;
      struct stat k, d;
      if (fstatat(kept, name.c_str(), &k, AT_SYMLINK_NOFOLLOW) != 0) {
        Fail(strerror(errno), rel);
        continue;
      }
      bool error;
      bool stands = StandsAt(dst, name, &d, &error);
      if (error) {
        Fail(strerror(errno), rel);
        continue;
      }
      if (stands && S_ISDIR(k.st_mode) && S_ISDIR(d.st_mode)) {
        UniqueFd from = OpenDirAt(kept, name);
        UniqueFd to = OpenDirAt(dst, name);
        if (!from.valid() || !to.valid()) {
          Fail(strerror(errno), rel);
          continue;
        }
        Kept below(&trash, name);
        Walk(from.get(), to.get(), below, rel + "/", {});
        continue;
      }
      if (stands && !Discard(dst, name, trash, rel)) continue;
      if (renameat2(kept, name.c_str(), dst, name.c_str(), RENAME_NOREPLACE) != 0) {
        Fail(strerror(errno), rel);
        continue;
      }
      changed = true;
      hook_->Moved();
    }
    trash.Sync();
    if (changed && fsync(dst) != 0) Fail(strerror(errno), prefix.empty() ? "." : prefix);
  }

  // Moves what stands at name in dst into the trash; true when it went.
  bool Discard(int dst, const std::string& name, Kept& trash, const std::string& rel) {
    int t = trash.fd();
    if (t < 0 || renameat2(dst, name.c_str(), t, name.c_str(), RENAME_NOREPLACE) != 0) {
      Fail(std::string("cannot put aside what stands there: ") + strerror(errno), rel);
      return false;
    }
    trash.Used();
    return true;
  }

 private:
  void Fail(const std::string& why, const std::string& rel) {
    REPORT_ERROR("rollback failed! %s: %s", Quoted(why).c_str(), Quoted(rel).c_str());
    ok_ = false;
  }

  KillHook* hook_;
  bool ok_ = true;
};

UniqueFd OpenOwnDir(const std::string& path) {
  return UniqueFd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Opens path as a folder, making it (mode 0700) when nothing stands there.
UniqueFd MakeOwnDir(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return UniqueFd();
  return OpenOwnDir(path);
}

// The application directory of a path inside it.
std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

}  // namespace

std::string InspectStaged(const std::string& staging_dir, const std::string& app_dir,
                          std::vector<std::string>* added) {
  UniqueFd staged(open(staging_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!staged.valid()) return std::string("cannot open the staging directory: ") + strerror(errno);
  UniqueFd app(open(app_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!app.valid()) return std::string("cannot open the application directory: ") + strerror(errno);
  return Inspector(added).Run(staged.get(), app.get());
}

bool MoveStaged(const std::string& staging_dir, const std::string& app_dir,
                const std::string& previous_dir) {
  UniqueFd staged = OpenOwnDir(staging_dir);
  UniqueFd app(open(app_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd previous = MakeOwnDir(previous_dir);
  if (!staged.valid() || !app.valid() || !previous.valid()) {
    const std::string& which = !staged.valid() ? staging_dir
                               : !app.valid()  ? app_dir
                                               : previous_dir;
    REPORT_ERROR("unpack failed! cannot open %s: %s", Quoted(which).c_str(), strerror(errno));
    return false;
  }
  KillHook hook(app_dir, "moving");
  Mover mover(&hook);
  Kept kept(previous.get());
  mover.Walk(staged.get(), app.get(), kept, "");
  return mover.ok();
}

bool RestorePrevious(const std::string& previous_dir, const std::string& app_dir,
                     const std::string& trash_dir, const std::vector<std::string>& added,
                     const std::vector<std::string>& skip) {
  UniqueFd app(open(app_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd trash = MakeOwnDir(trash_dir);
  if (!app.valid() || !trash.valid()) {
    REPORT_ERROR("rollback failed! cannot open %s: %s",
                 Quoted(app.valid() ? trash_dir : app_dir).c_str(), strerror(errno));
    return false;
  }
  KillHook hook(app_dir, "rolling-back");
  Restorer restorer(&hook);
  bool ok = true;
  // What the release added goes first, so that nothing of it is left.
  for (const std::string& rel : added) {
    std::string parent = rel.find('/') == std::string::npos ? "" : rel.substr(0, rel.rfind('/'));
    std::string name = rel.substr(rel.rfind('/') + 1);
    UniqueFd dir = parent.empty() ? UniqueFd(dup(app.get())) : OpenOwnDir(app_dir + "/" + parent);
    struct stat st;
    if (!dir.valid() || fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    // Each added entry goes to a trash folder of its own: two of them may
    // share a name in different folders.
    std::string aside = trash_dir + "/added." + std::to_string(&rel - added.data());
    UniqueFd holder = MakeOwnDir(aside);
    Kept into(holder.get());
    ok = restorer.Discard(dir.get(), name, into, rel) && ok;
    fsync(dir.get());
    hook.Moved();
  }
  UniqueFd previous = OpenOwnDir(previous_dir);
  if (previous.valid()) {
    Kept aside(trash.get());
    restorer.Walk(previous.get(), app.get(), aside, "", skip);
  }
  (void)Parent;
  return ok && restorer.ok();
}
