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
  Inspector(std::vector<std::string>* added, StagedInodes* fresh) : added_(added), fresh_(fresh) {}

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
    if (fresh_ != nullptr) fresh_->insert(e.staged.st_ino);
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
  StagedInodes* fresh_;
};

// The directories whose entries a walk renamed, synced together once the
// walk is done: the renames then reach the disk in one journal commit of
// the file system instead of one for each directory while the programs
// wait. Held open so that each sync meets the directory the walk changed;
// past kHeld of them, those held are synced at once.
class DirSyncs {
 public:
  static constexpr size_t kHeld = 256;

  void Changed(int fd) {
    if (held_.size() == kHeld) SyncAll();
    held_.emplace_back(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!held_.back().valid() && why_.empty()) why_ = strerror(errno);
  }
  // "" when every changed directory is on disk, else why one is not.
  std::string SyncAll() {
    for (const UniqueFd& dir : held_)
      if (dir.valid() && fsync(dir.get()) != 0 && why_.empty()) why_ = strerror(errno);
    held_.clear();
    return why_;
  }

 private:
  std::vector<UniqueFd> held_;
  std::string why_;
};

// The installation's test hook (build::kTestHooks): the supervisor kills
// itself once it has moved as many entries in phase as the hook file says.
// Unit tests stop a walk instead, as if the process had died there.
std::string g_stop_phase;
unsigned long g_stop_after = 0;

class KillHook {
 public:
  KillHook(const std::string& app_dir, const char* phase) {
    if (g_stop_after != 0 && g_stop_phase == phase) {
      left_ = g_stop_after;
      stop_only_ = true;
      return;
    }
    if (!build::kTestHooks) return;
    char want[32] = {0};
    unsigned long n = 0;
    if (FILE* f = fopen((app_dir + "/test-hook.kill").c_str(), "re")) {
      if (fscanf(f, "%31s %lu", want, &n) == 2 && strcmp(want, phase) == 0) left_ = n;
      fclose(f);
    }
  }
  // Counts one moved entry; true when the walk must stop here.
  bool Moved() {
    if (left_ == 0 || --left_ != 0) return stopped_;
    if (!stop_only_) raise(SIGKILL);
    stopped_ = true;
    return true;
  }
  bool stopped() const { return stopped_; }

 private:
  unsigned long left_ = 0;
  bool stop_only_ = false;
  bool stopped_ = false;
};

// Moves the staged entries into place. What stands at an entry's place is
// exchanged with it (one rename), so that the staging folder ends holding
// exactly what the release replaced, where it stood: the previous release.
// Run again over what is left, the move tells the entries still to move
// from the old ones it already swapped in by their inodes: the staged
// entries' are known from the inspection.
class Mover {
 public:
  Mover(KillHook* hook, DirSyncs* syncs, const StagedInodes& fresh)
      : hook_(hook), syncs_(syncs), fresh_(fresh) {}
  bool ok() const { return ok_; }

  // Moves every entry of src onto its place in dst; an entry that cannot be
  // moved is reported and the others are moved all the same.
  void Walk(int src, int dst, const std::string& prefix) {
    bool changed = false;
    ForEachEntry(src, dst, prefix, [&](const Entry& e) {
      if (e.trouble != Trouble::kNone) {
        Fail(e.why, e.rel);
      } else if (fresh_.count(e.staged.st_ino) == 0) {
        // An old entry this move already swapped in: it stays (a whole
        // directory of them too).
      } else if (e.step == Step::kMerge && !(Covers(src, dst, e.name) && TakeOver(src, e))) {
        Merge(src, dst, e);
      } else if (Place(src, dst, e)) {
        // A directory that covers every old entry below it is exchanged
        // whole, in one rename.
        changed = true;
        hook_->Moved();
      }
      return !hook_->stopped();
    });
    // The renames survive a power cut once their directories are synced
    // (the data was synced at staging): both are, at the end of the move.
    if (changed) {
      syncs_->Changed(dst);
      syncs_->Changed(src);
    }
  }

 private:
  void Merge(int src, int dst, const Entry& e) {
    UniqueFd from = OpenDirAt(src, e.name);
    UniqueFd to = OpenDirAt(dst, e.name);
    if (!from.valid() || !to.valid()) {
      Fail(errno == ELOOP || errno == ENOTDIR ? "a symbolic link stands in the way"
                                              : strerror(errno),
           e.rel);
      return;
    }
    Walk(from.get(), to.get(), e.rel + "/");
  }

  // True when the staged directory name holds every name that stands
  // below its place, directories matched with directories all the way down
  // and nothing below moved yet: then the directory can take its place
  // whole and the one it replaces holds only replaced entries.
  bool Covers(int src, int dst, const std::string& name) {
    UniqueFd staged = OpenDirAt(src, name);
    UniqueFd standing = OpenDirAt(dst, name);
    if (!staged.valid() || !standing.valid()) return false;
    for (const std::string& sub : ListDir(standing.get())) {
      struct stat s, d;
      if (fstatat(staged.get(), sub.c_str(), &s, AT_SYMLINK_NOFOLLOW) != 0 ||
          fstatat(standing.get(), sub.c_str(), &d, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
      if (fresh_.count(d.st_ino) != 0 || fresh_.count(s.st_ino) == 0) return false;
      if (S_ISDIR(s.st_mode) != S_ISDIR(d.st_mode)) return false;
      if (S_ISDIR(s.st_mode) && !Covers(staged.get(), standing.get(), sub)) return false;
    }
    return true;
  }

  // Gives the staged directory the owner and mode of the one it replaces
  // whole, as a merge keeps them (an operator may have given a program's
  // folder to its user); false when it cannot.
  bool TakeOver(int src, const Entry& e) {
    UniqueFd staged = OpenDirAt(src, e.name);
    if (!staged.valid()) return false;
    const struct stat& d = e.standing;
    if ((e.staged.st_uid != d.st_uid || e.staged.st_gid != d.st_gid) &&
        fchown(staged.get(), d.st_uid, d.st_gid) != 0)
      return false;
    return fchmod(staged.get(), d.st_mode & 07777) == 0;
  }

  // Renames the staged entry onto its place, exchanged with what stands
  // there; true when it moved. Nothing is freed while the programs wait.
  bool Place(int src, int dst, const Entry& e) {
    const char* name = e.name.c_str();
    int flags = e.stands ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    if (renameat2(src, name, dst, name, flags) == 0) return true;
    if (e.stands && (errno == EINVAL || errno == ENOSYS))
      return Fail("the file system cannot exchange two entries", e.rel);
    return Fail(strerror(errno), e.rel);
  }

  // Reports the entry that was not moved; false, for the caller to return.
  bool Fail(const std::string& why, const std::string& rel) {
    REPORT_ERROR("unpack failed! %s: %s", Quoted(why).c_str(), Quoted(rel).c_str());
    ok_ = false;
    return false;
  }

  KillHook* hook_;
  DirSyncs* syncs_;
  const StagedInodes& fresh_;
  bool ok_ = true;
};

// Puts the previous release's entries back from the folder that holds them:
// each old entry is exchanged with what stands at its place, so that the
// folder then holds the release's; directories both hold are walked.
// Entries of the release (its inodes) are left where they are: run again,
// the restore passes over what it already put back.
class Restorer {
 public:
  Restorer(KillHook* hook, DirSyncs* syncs, const StagedInodes& fresh)
      : hook_(hook), syncs_(syncs), fresh_(fresh) {}
  bool ok() const { return ok_; }

  void Walk(int kept, int dst, const std::string& prefix, const std::vector<std::string>& skip) {
    bool changed = false;
    for (const std::string& name : ListDir(kept)) {
      if (hook_->stopped()) break;
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
      // A directory the move exchanged whole (the release's stands where
      // the kept one stood) goes back whole; other directories both hold
      // are walked.
      bool whole = stands && fresh_.count(k.st_ino) == 0 && fresh_.count(d.st_ino) != 0;
      if (stands && S_ISDIR(k.st_mode) && S_ISDIR(d.st_mode) && !whole) {
        UniqueFd from = OpenDirAt(kept, name);
        UniqueFd to = OpenDirAt(dst, name);
        if (!from.valid() || !to.valid()) {
          Fail(strerror(errno), rel);
          continue;
        }
        Walk(from.get(), to.get(), rel + "/", {});
        continue;
      }
      if (fresh_.count(k.st_ino) != 0) continue;  // the release's: not moved, or put back
      int flags = stands ? RENAME_EXCHANGE : RENAME_NOREPLACE;
      if (renameat2(kept, name.c_str(), dst, name.c_str(), flags) != 0) {
        Fail(strerror(errno), rel);
        continue;
      }
      changed = true;
      hook_->Moved();
    }
    if (changed) {
      syncs_->Changed(dst);
      syncs_->Changed(kept);
    }
  }

  // Moves what stands at name in dir into the folder aside; true when it went.
  bool PutAside(int dir, const std::string& name, int aside, const std::string& rel) {
    if (renameat2(dir, name.c_str(), aside, name.c_str(), RENAME_NOREPLACE) != 0) {
      Fail(std::string("cannot put aside what the release added: ") + strerror(errno), rel);
      return false;
    }
    return true;
  }

 private:
  void Fail(const std::string& why, const std::string& rel) {
    REPORT_ERROR("rollback failed! %s: %s", Quoted(why).c_str(), Quoted(rel).c_str());
    ok_ = false;
  }

  KillHook* hook_;
  DirSyncs* syncs_;
  const StagedInodes& fresh_;
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

// Where a rollback puts what the release added, beside the kept entries: a
// name no release holds at its top (an archive may not hold Log), so that
// it never meets a kept entry.
constexpr const char* kAsideDir = "Log";

}  // namespace

void StopWalksAfterForTests(const char* phase, unsigned long moves) {
  g_stop_phase = phase;
  g_stop_after = moves;
}

std::string InspectStaged(const std::string& staging_dir, const std::string& app_dir,
                          std::vector<std::string>* added, StagedInodes* fresh) {
  UniqueFd staged(open(staging_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!staged.valid()) return std::string("cannot open the staging directory: ") + strerror(errno);
  UniqueFd app(open(app_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!app.valid()) return std::string("cannot open the application directory: ") + strerror(errno);
  return Inspector(added, fresh).Run(staged.get(), app.get());
}

bool MoveStaged(const std::string& staging_dir, const std::string& app_dir,
                const StagedInodes& fresh) {
  UniqueFd staged = OpenOwnDir(staging_dir);
  UniqueFd app(open(app_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!staged.valid() || !app.valid()) {
    REPORT_ERROR("unpack failed! cannot open %s: %s",
                 Quoted(staged.valid() ? app_dir : staging_dir).c_str(), strerror(errno));
    return false;
  }
  KillHook hook(app_dir, "moving");
  DirSyncs syncs;
  Mover mover(&hook, &syncs, fresh);
  mover.Walk(staged.get(), app.get(), "");
  std::string why = syncs.SyncAll();
  if (!why.empty()) REPORT_ERROR("unpack failed! cannot sync the moved entries: %s", why.c_str());
  return mover.ok() && why.empty();
}

bool RestorePrevious(const std::string& kept_dir, const std::string& app_dir,
                     const std::vector<std::string>& added, const StagedInodes& fresh,
                     const std::vector<std::string>& skip) {
  UniqueFd app(open(app_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd kept = MakeOwnDir(kept_dir);
  if (!app.valid() || !kept.valid()) {
    REPORT_ERROR("rollback failed! cannot open %s: %s",
                 Quoted(app.valid() ? kept_dir : app_dir).c_str(), strerror(errno));
    return false;
  }
  KillHook hook(app_dir, "rolling-back");
  DirSyncs syncs;
  Restorer restorer(&hook, &syncs, fresh);
  bool ok = true;
  // What the release added goes first, each into a folder of its own beside
  // the kept entries (two of them may share a name in different folders).
  UniqueFd aside_root = MakeOwnDir(kept_dir + "/" + kAsideDir);
  for (size_t i = 0; i < added.size() && !hook.stopped(); ++i) {
    const std::string& rel = added[i];
    size_t slash = rel.rfind('/');
    std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
    UniqueFd dir = slash == std::string::npos ? UniqueFd(dup(app.get()))
                                              : OpenOwnDir(app_dir + "/" + rel.substr(0, slash));
    struct stat st;
    if (!dir.valid() || fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    UniqueFd aside = MakeOwnDir(kept_dir + "/" + kAsideDir + "/" + std::to_string(i));
    ok = aside.valid() && restorer.PutAside(dir.get(), name, aside.get(), rel) && ok;
    syncs.Changed(dir.get());
    hook.Moved();
  }
  std::vector<std::string> passed = skip;
  passed.push_back(kAsideDir);
  restorer.Walk(kept.get(), app.get(), "", passed);
  std::string why = syncs.SyncAll();
  if (!why.empty())
    REPORT_ERROR("rollback failed! cannot sync the restored entries: %s", why.c_str());
  return ok && restorer.ok() && why.empty();
}
