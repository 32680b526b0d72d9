#include "supervision/Launcher.h"

#include <stdio.h>
#include <sys/stat.h>

#include "ChildProcess.h"
#include "SingletonBase.h"
#include "ToolHelper.h"

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

std::vector<std::string> BuildArguments(const char* path, const char* param_str) {
  qmToolHelper& tool = SingletonBase<qmToolHelper>::Instance();
  std::string cmd_line = param_str;
  while (tool.replace(cmd_line, "  ", " ") != 0) {
  }
  qmToolHelper::RET_STRING_VECTOR ret_str_list;
  tool.StringSubs(cmd_line, " ", ret_str_list);

  std::vector<std::string> argv;
  argv.reserve(ret_str_list.size() + 1);
  argv.push_back(path);
  for (std::string& piece : ret_str_list) argv.push_back(std::move(piece));
  return argv;
}

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
