#include "update/Confine.h"

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "UniqueFd.h"

// Landlock ABI 3; older kernel headers lack it.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif

namespace {

// glibc reads its charset conversion tables on the first iconv_open, by
// absolute path, and may load modules they name: under a root that holds
// what an archive unpacked, that would be the archive's code.
void LoadConversionTables() {
  iconv_t cd = iconv_open(nl_langinfo(CODESET), "UTF-8");
  // iconv_open's failure is the pointer (iconv_t)-1.
  if (cd != reinterpret_cast<iconv_t>(-1))  // NOLINT(performance-no-int-to-ptr)
    iconv_close(cd);
}

// This thread's capabilities, all of them, for good: capset acts on the
// calling thread only.
bool DropCapabilities() {
  struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  struct __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  return syscall(SYS_capset, &header, data) == 0;
}

// Every right that changes the file system, as far as this kernel's Landlock
// knows them; 0 without Landlock, or with its first version, which refuses
// every link and rename between two directories, even beneath the allowed one.
unsigned long long WriteRights() {
  long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 2) return 0;
  unsigned long long rights =
      LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
      LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR |
      LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
      LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM | LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
  return rights;
}

// Writes beneath dir_fd only, for this thread and whatever it starts.
bool RestrictWritesTo(int dir_fd) {
  unsigned long long rights = WriteRights();
  if (rights == 0) return false;
  struct landlock_ruleset_attr attr = {};
  attr.handled_access_fs = rights;
  UniqueFd ruleset(static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0)));
  if (!ruleset.valid()) return false;
  struct landlock_path_beneath_attr beneath = {};
  beneath.allowed_access = rights;
  beneath.parent_fd = dir_fd;
  if (syscall(SYS_landlock_add_rule, ruleset.get(), LANDLOCK_RULE_PATH_BENEATH, &beneath, 0) != 0)
    return false;
  // Without privileges a thread may restrict itself only once it can gain none.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  return syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0;
}

}  // namespace

std::string ConfineThreadTo(int dir_fd, Confinement* how) {
  if (fchdir(dir_fd) != 0) return std::string("cannot enter the directory: ") + strerror(errno);
  LoadConversionTables();
  if (chroot(".") == 0) {
    if (chdir("/") != 0 || !DropCapabilities()) {
      // Still inside: a thread that cannot give up its capabilities
      // could leave, so it goes no further.
      return std::string("cannot give up the capabilities: ") + strerror(errno);
    }
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    *how = Confinement::kChroot;
    return "";
  }
  *how = RestrictWritesTo(dir_fd) ? Confinement::kLandlock : Confinement::kNone;
  return "";
}
