#include "supervision/Launcher.h"

#include <stdio.h>
#include <sys/stat.h>

#include "ChildProcess.h"
#include "SingletonBase.h"
#include "ToolHelper.h"
#include "platform/Arguments.h"

namespace {

// The process umask, read without changing it (umask(2) can only set it).
mode_t CurrentUmask() {
  static const mode_t mask = [] {
    mode_t m = 022;
    if (FILE* f = fopen("/proc/self/status", "re")) {
      char line[256];
      while (fgets(line, sizeof line, f)) {
        unsigned v;
        if (sscanf(line, "Umask: %o", &v) == 1) {
          m = static_cast<mode_t>(v);
          break;
        }
      }
      fclose(f);
    }
    return m;
  }();
  return mask;
}

// What "chmod +x path" does, without a shell. A failure goes unreported: a
// file left without the execute bit fails at execv, and its child ends with
// status 127 like any program that cannot start.
void MakeExecutable(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return;
  mode_t want = st.st_mode | (0111 & ~CurrentUmask());
  if ((want & 07777) != (st.st_mode & 07777)) chmod(path, want & 07777);
}

}  // namespace

pid_t RunProcess(const char* path, const char* param_str) {
  if (path == nullptr || param_str == nullptr) return 0;
  MakeExecutable(path);

  std::vector<std::string> args = BuildArguments(path, param_str);
  std::vector<char*> argv_param;
  argv_param.reserve(args.size() + 1);
  for (std::string& a : args) argv_param.push_back(&a[0]);
  argv_param.push_back(nullptr);

  fflush(stdout);
  return qmChildProcess::Start(argv_param.data(), qmChildProcess::Setup{});
}
