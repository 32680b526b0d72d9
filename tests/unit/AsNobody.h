// Running a piece of a test as the user nobody, in a child process of its
// own, for what a service running as another user may do.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "UniqueFd.h"

constexpr uid_t kNobody = 65534;

// What returns, run in a forked child that has become nobody (the caller
// must be root); "cannot become nobody" when it could not.
inline std::string AsNobody(const std::function<std::string()>& what) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return "no pipe";
  UniqueFd from_child(fds[0]), to_parent(fds[1]);
  pid_t pid = fork();
  if (pid < 0) return "cannot fork";
  if (pid == 0) {
    from_child.reset();
    std::string result = "cannot become nobody";
    if (setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
        setresuid(kNobody, kNobody, kNobody) == 0)
      result = what();
    ssize_t ignored = write(to_parent.get(), result.data(), result.size());
    (void)ignored;
    _exit(0);
  }
  to_parent.reset();
  std::string result;
  char buf[1024];
  for (ssize_t n; (n = read(from_child.get(), buf, sizeof buf)) > 0;) result.append(buf, n);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return result;
}
