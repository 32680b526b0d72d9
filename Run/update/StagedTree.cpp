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

  std::string Walk(int src, int dst, const std::string& prefix) {
    for (const std::string& name : ListDir(src)) {
      std::string rel = prefix + name;
      if (prefix.empty() && appfiles::IsOwnName(name)) return "the supervisor's own file: " + rel;
      struct stat s, d;
      if (fstatat(src, name.c_str(), &s, AT_SYMLINK_NOFOLLOW) != 0)
        return "cannot inspect " + rel + ": " + strerror(errno);
      bool error;
      bool stands = StandsAt(dst, name, &d, &error);
      if (error)
        return "cannot inspect " + rel + " in the application directory: " + strerror(errno);
      Step step = Step::kMove;  // set by Plan whenever it answers ""
      std::string why = Plan(src, dst, name, s, stands ? &d : nullptr, &step);
      if (!why.empty()) return why + ": " + rel;
      if (!S_ISDIR(s.st_mode)) {
        if (s.st_nlink > 1) {
          Links& l = links_[{s.st_dev, s.st_ino}];
          if (l.count++ == 0) l = {rel, s.st_nlink, 1};
        }
        continue;
      }
      UniqueFd sub = OpenDirAt(src, name);
      if (!sub.valid()) return "cannot inspect " + rel + ": " + strerror(errno);
      UniqueFd there = step == Step::kMerge ? OpenDirAt(dst, name) : UniqueFd();
      why = Walk(sub.get(), there.get(), rel + "/");
      if (!why.empty()) return why;
    }
    return "";
  }

  std::map<std::pair<dev_t, ino_t>, Links> links_;
};

class Mover {
 public:
  bool ok() const { return ok_; }

  void Walk(int src, int dst, const std::string& prefix) {
    bool changed = false;
    for (const std::string& name : ListDir(src)) {
      std::string rel = prefix + name;
      if (prefix.empty() && appfiles::IsOwnName(name)) {
        Fail("the supervisor's own file", rel);
        continue;
      }
      struct stat s, d;
      bool error;
      if (fstatat(src, name.c_str(), &s, AT_SYMLINK_NOFOLLOW) != 0) {
        Fail(strerror(errno), rel);
        continue;
      }
      bool stands = StandsAt(dst, name, &d, &error);
      if (error) {
        Fail(strerror(errno), rel);
        continue;
      }
      Step step = Step::kMove;  // set by Plan whenever it answers ""
      std::string why = Plan(src, dst, name, s, stands ? &d : nullptr, &step);
      if (!why.empty()) {
        Fail(why, rel);
        continue;
      }
      if (step == Step::kMerge) {
        UniqueFd from = OpenDirAt(src, name);
        UniqueFd to = OpenDirAt(dst, name);
        if (!from.valid() || !to.valid()) {
          Fail(errno == ELOOP || errno == ENOTDIR ? "a symbolic link stands in the way"
                                                  : strerror(errno),
               rel);
          continue;
        }
        Walk(from.get(), to.get(), rel + "/");
        continue;
      }
      // What stands there is swapped into the staging directory rather than
      // replaced: freeing a file's blocks can take milliseconds, and the
      // programs are stopped now. The staging directory, old files and all,
      // is removed once they run again.
      if (stands && renameat2(src, name.c_str(), dst, name.c_str(), RENAME_EXCHANGE) == 0) {
        changed = true;
        continue;
      }
      if (stands && errno != EINVAL && errno != ENOSYS) {
        Fail(strerror(errno), rel);
        continue;
      }
      if (step == Step::kReplace &&
          unlinkat(dst, name.c_str(), S_ISDIR(d.st_mode) ? AT_REMOVEDIR : 0) != 0) {
        Fail(strerror(errno), rel);
        continue;
      }
      if (renameat(src, name.c_str(), dst, name.c_str()) != 0) {
        Fail(strerror(errno), rel);
        continue;
      }
      changed = true;
    }
    // The renames survive a power cut once their directory is synced; the
    // data was synced at staging.
    if (changed && fsync(dst) != 0) Fail(strerror(errno), prefix.empty() ? "." : prefix);
  }

 private:
  void Fail(const std::string& why, const std::string& rel) {
    REPORT_ERROR("unpack failed! %s: %s", Quoted(why).c_str(), Quoted(rel).c_str());
    ok_ = false;
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
