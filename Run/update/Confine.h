// Keeping a thread inside one directory, so that nothing it does, whatever a
// library it calls does with the names it is handed, changes a file anywhere
// else.
#pragma once

#include <string>

enum class Confinement {
  kChroot,    // its root is the directory: every name resolves inside
  kLandlock,  // it can change nothing but what lies beneath the directory
  kNone,      // neither is to be had: only the callers' own checks hold
};

// Makes the directory on dir_fd the calling thread's working directory and,
// as far as the system allows, the only place it can change. With
// CAP_SYS_CHROOT it becomes the thread's root, and the thread then gives up
// every capability, so that it cannot leave; otherwise, where the kernel
// offers Landlock, the thread may write, create, remove, link and rename
// beneath it only (Landlock does not cover chmod, chown or times). The thread
// must have a file-system context of its own (unshare(CLONE_FS)) and must end
// when done with it: nothing undoes this. Before it changes its root it loads
// what the C library would otherwise look for lazily under the new root (the
// charset conversion tables). "" and *how; otherwise why not, and the thread
// must do nothing more.
std::string ConfineThreadTo(int dir_fd, Confinement* how);
