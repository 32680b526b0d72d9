#include "CommLogUtil.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <sstream>

#include "ChildProcess.h"
#include "WholeIo.h"

namespace commlog {

namespace {

std::string ReadExeLink() { return wholeio::ReadLink("/proc/self/exe"); }

std::string ReadCwd() { return wholeio::CurrentDir(); }

}  // namespace

const char* GetAppPath() {
  static const std::string exe_path = ReadExeLink();
  return exe_path.c_str();
}

const char* GetAppDir() {
  static const std::string exe_path = [] {
    std::string path = ReadExeLink();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
  }();
  return exe_path.c_str();
}

const char* GetCurDir() {
  static const std::string exe_path = ReadCwd();
  return exe_path.c_str();
}

void setlocal() {
  static std::mutex m;
  static char* pLocal = nullptr;
  std::lock_guard<std::mutex> lock(m);
  if (pLocal == nullptr) pLocal = setlocale(LC_CTYPE, "");
}

std::string WToA(const std::wstring& wstr) {
  setlocal();
  std::string result;
  std::mbstate_t state{};
  const wchar_t* src = wstr.c_str();
  size_t len = wcsrtombs(nullptr, &src, 0, &state);
  if (len == static_cast<size_t>(-1)) return result;
  result.resize(len);
  src = wstr.c_str();
  state = std::mbstate_t{};
  wcsrtombs(&result[0], &src, len, &state);
  return result;
}

int _vscprintf(const char* format, va_list vl) {
  va_list copy;
  va_copy(copy, vl);
  int len = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  return len;
}

std::string system(const std::string& cmd) {
  // Through qmChildProcess so that the supervision loop leaves the shell to us.
  std::string out;
  if (qmChildProcess::RunShell(cmd, &out) == -1) return std::string();
  size_t zero = out.find('\0');
  if (zero != std::string::npos) out.resize(zero);
  return out;
}

std::vector<std::string> GetBootArguments() {
  // Built from our own process id only: nothing outside reaches the shell.
  std::string cmd = "ps -o pid,args | grep " + std::to_string(getpid()) + " | grep -v grep";
  std::istringstream words(system(cmd));
  std::vector<std::string> args;
  std::string word;
  if (!(words >> word)) return args;  // the process id column
  while (words >> word) args.push_back(word);
  return args;
}

}  // namespace commlog
