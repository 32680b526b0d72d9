// Inspection and move of a staged tree, and removal of trees, all through
// directory descriptors opened with O_NOFOLLOW: a symbolic link standing in
// either tree is an entry like any other, never a way somewhere else.
#include "update/StagedTree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
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
};

class Mover {
 public:
  bool ok() const { return ok_; }

  // Moves every entry of src onto its place in dst; an entry that cannot be
  // moved is reported and the others are moved all the same.
  void Walk(int src, int dst, const std::string& prefix) {
    bool changed = false;
    ForEachEntry(src, dst, prefix, [&](const Entry& e) {
      if (e.trouble != Trouble::kNone) {
        Fail(e.why, e.rel);
      } else if (e.step == Step::kMerge) {
        Merge(src, dst, e);
      } else if (Place(src, dst, e)) {
        changed = true;
      }
      return true;
    });
    // The renames survive a power cut once their directory is synced; the
    // data was synced at staging.
    if (changed && fsync(dst) != 0) Fail(strerror(errno), prefix.empty() ? "." : prefix);
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

  // Renames the staged entry onto its place; true when it moved.
  bool Place(int src, int dst, const Entry& e) {
    const char* name = e.name.c_str();
    // What stands there is swapped into the staging directory rather than
    // replaced: freeing a file's blocks can take milliseconds, and the
    // programs are stopped now. The staging directory, old files and all,
    // is removed once they run again.
    if (e.stands && renameat2(src, name, dst, name, RENAME_EXCHANGE) == 0) return true;
    if (e.stands && errno != EINVAL && errno != ENOSYS) return Fail(strerror(errno), e.rel);
    if (e.step == Step::kReplace &&
        unlinkat(dst, name, S_ISDIR(e.standing.st_mode) ? AT_REMOVEDIR : 0) != 0)
      return Fail(strerror(errno), e.rel);
    if (renameat(src, name, dst, name) != 0) return Fail(strerror(errno), e.rel);
    return true;
  }

  // Reports the entry that was not moved; false, for the caller to return.
  bool Fail(const std::string& why, const std::string& rel) {
    REPORT_ERROR("unpack failed! %s: %s", Quoted(why).c_str(), Quoted(rel).c_str());
    ok_ = false;
    return false;
  }

  bool ok_ = true;
};

}  // namespace

std::string InspectStaged(const std::string& staging_dir, const std::string& app_dir) {
  UniqueFd staged(open(staging_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!staged.valid()) return std::string("cannot open the staging directory: ") + strerror(errno);
  UniqueFd app(open(app_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!app.valid()) return std::string("cannot open the application directory: ") + strerror(errno);
  return Inspector().Run(staged.get(), app.get());
}

bool MoveStaged(const std::string& staging_dir, const std::string& app_dir) {
  UniqueFd staged(open(staging_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  UniqueFd app(open(app_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!staged.valid() || !app.valid()) {
    REPORT_ERROR("unpack failed! cannot open %s: %s",
                 Quoted(staged.valid() ? app_dir : staging_dir).c_str(), strerror(errno));
    return false;
  }
  Mover mover;
  mover.Walk(staged.get(), app.get(), "");
  return mover.ok();
}
