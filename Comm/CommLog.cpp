#include "CommLog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <iostream>
#include <new>

#include "CommLogClock.h"
#include "CommLogUtil.h"
#include "WholeIo.h"

namespace COMMUSE {

namespace {

constexpr size_t kPathSize = 513;  // the path members: 512 characters and the zero
constexpr WORD kNoColour = 65535;

unsigned ThreadId() { return static_cast<unsigned>(syscall(SYS_gettid)); }

bool LocalNow(struct tm* out) {
  time_t now = commlog::Now();
  return localtime_r(&now, out) != nullptr;
}

// Prefix and text in one new array, owned by the caller; null when memory runs
// out. A format that cannot be expanded leaves the text empty.
char* MakeVAArgsLogA(const char* format, va_list vl) {
  struct tm tm {};
  if (!LocalNow(&tm)) tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  char prefix[100] = {0};
  snprintf(prefix, sizeof prefix, "\n[PID:%d,TID:%u] [%02d:%02d:%02d] ", getpid(), ThreadId(),
           tm.tm_hour, tm.tm_min, tm.tm_sec);
  size_t prefix_len = strlen(prefix);

  int measured = commlog::_vscprintf(format, vl);
  size_t text_len = measured > 0 ? static_cast<size_t>(measured) : 0;
  char* record = new (std::nothrow) char[prefix_len + text_len + 10];
  if (record == nullptr) return nullptr;
  memcpy(record, prefix, prefix_len);
  record[prefix_len] = '\0';
  if (text_len > 0) {
    // Bounded by the measured size, so arguments that changed since can only shorten it.
    int written = vsnprintf(record + prefix_len, text_len + 1, format, vl);
    if (written < 0) record[prefix_len] = '\0';
  }
  record[prefix_len + text_len] = '\0';
  return record;
}

void ReleaseVAArgsLog(char* pMakeVAArgsLog) { delete[] pMakeVAArgsLog; }

// True when the console switch is among this process's arguments: a word whose
// characters 2 to 4 read "log" in any case (-log, /LOG, -logfile).
bool ConsoleRequested() {
  for (const std::string& word : commlog::GetBootArguments()) {
    if (word.size() > 3 && strncasecmp(word.c_str() + 1, "log", 3) == 0) return true;
  }
  return false;
}

}  // namespace

ComPrintLog::ComPrintLog() {
  memset(_szLogFilePath, 0, sizeof _szLogFilePath);
  memset(_szAppFileName, 0, sizeof _szAppFileName);
  memset(_szLogStateIniPath, 0, sizeof _szLogStateIniPath);
  PrintInit();
}

ComPrintLog::~ComPrintLog() {
  memset(_szLogFilePath, 0, sizeof _szLogFilePath);
  memset(_szAppFileName, 0, sizeof _szAppFileName);
  PrintUnInit();
}

ComPrintLog& ComPrintLog::GetInstance() {
  static ComPrintLog instance;
  return instance;
}

void ComPrintLog::PrintInit() {
  std::string exe = commlog::GetAppPath();
  size_t slash = exe.rfind('/');
  // A directory or name too long for the buffers would name a wrong place:
  // such a path counts as unreadable.
  bool fits = slash != std::string::npos && slash + 1 + strlen("Log/") < kPathSize &&
              exe.size() - slash - 1 < kPathSize;
  if (fits) {
    std::string dir = exe.substr(0, slash + 1);
    snprintf(_szAppFileName, kPathSize, "%s", exe.c_str() + slash + 1);
    snprintf(_szLogStateIniPath, kPathSize, "%sCommLogOpt.ini", dir.c_str());
    snprintf(_szLogFilePath, kPathSize, "%sLog/", dir.c_str());
  } else {
    snprintf(_szLogFilePath, kPathSize, "Log/");
    snprintf(_szAppFileName, kPathSize, "TestLog");
    snprintf(_szLogStateIniPath, kPathSize, "CommLogOpt.ini");
  }
  InitLogState();
}

void ComPrintLog::PrintUnInit() {}

void ComPrintLog::SetLogPath(const char* szLogPath) {
  if (szLogPath == nullptr || strlen(szLogPath) >= 512) return;
  memset(_szLogFilePath, 0, sizeof _szLogFilePath);
  size_t len = strlen(szLogPath);
  char last = len > 0 ? szLogPath[len - 1] : '\0';
  if (last != '\\' && last != '/') {
    snprintf(_szLogStateIniPath, 511, "%s\\CommLogOpt.ini", szLogPath);
    snprintf(_szLogFilePath, 511, "%s\\Log\\", szLogPath);
  } else {
    snprintf(_szLogStateIniPath, 511, "%sCommLogOpt.ini", szLogPath);
    snprintf(_szLogFilePath, 511, "%sLog\\", szLogPath);
  }
}

void ComPrintLog::InitLogState() {}

int ComPrintLog::GetLogState() { return _nLogState; }

void ComPrintLog::LogForce_A(WORD wColor, int ty, char* format, ...) {
  va_list vl;
  va_start(vl, format);
  LogForceV(wColor, ty, format, vl);
  va_end(vl);
}

void ComPrintLog::LogForce_A(WORD wColor, int ty, const char* format, ...) {
  va_list vl;
  va_start(vl, format);
  LogForceV(wColor, ty, format, vl);
  va_end(vl);
}

void ComPrintLog::LogForceV(WORD wColor, int ty, const char* format, va_list vl) {
  char* record = MakeVAArgsLogA(format, vl);
  if (record == nullptr) return;
  if (ty == 2) {
    LogEvenFA(record);
  } else if (ty == 4) {
    LogPrintA(record, wColor);
  }
  ReleaseVAArgsLog(record);
}

void ComPrintLog::LogEvenFW(const wchar_t* message) {
  LogEvenFA(commlog::WToA(message ? message : L"").c_str());
}

void ComPrintLog::LogEvenFA(const char* message) {
  if (message == nullptr) message = "";
  if (access(_szLogFilePath, F_OK) != 0) mkdir(_szLogFilePath, 0777);

  struct tm tm {};
  if (!LocalNow(&tm)) {
    tm.tm_year = -1900;
    tm.tm_mon = -1;
    tm.tm_mday = 0;
  }
  char name[512];
  int n = snprintf(name, sizeof name, "%s%s[%d-%d-%d].log", _szLogFilePath, _szAppFileName,
                   tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  // A cut name would be some other file: drop the message instead.
  if (n < 0 || static_cast<size_t>(n) >= sizeof name) return;

  std::lock_guard<std::mutex> lock(_cs_log);
  // Reopened whenever the name now names another file (a new day whose file
  // someone else created first, a file moved away and replaced) or nothing.
  struct stat named;
  if (!_LogFile.valid() || stat(name, &named) != 0 || named.st_dev != _LogDev ||
      named.st_ino != _LogIno) {
    _LogFile.reset();
    _LogFile.reset(open(name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    struct stat opened;
    if (_LogFile.valid() && fstat(_LogFile.get(), &opened) == 0) {
      _LogDev = opened.st_dev;
      _LogIno = opened.st_ino;
    } else {
      _LogFile.reset();
    }
  }
  // Each write(2) goes straight to the file: the append is also the flush.
  if (_LogFile.valid()) wholeio::WriteAll(_LogFile.get(), message, strlen(message));
}

void ComPrintLog::LogPrintW(const wchar_t* message, WORD wColor) {
  LogPrintA(commlog::WToA(message ? message : L"").c_str(), wColor);
}

void ComPrintLog::LogPrintA(const char* message, WORD wColor) {
  if (message == nullptr) message = "";
  // Decided once per process: finding out runs a shell pipeline.
  static int nPrintf = -1;
  static std::once_flag decided;
  std::call_once(decided, [] {
    nPrintf = 0;
    if (ConsoleRequested()) nPrintf = 1;
  });
  if (nPrintf != 1) return;

  std::lock_guard<std::mutex> lock(_cs_log_con);
  if (wColor == kNoColour) {
    std::cout << message << std::endl;
  } else {
    std::cout << '\x1b' << '[' << wColor << 'm' << message << '\x1b' << "[0m" << std::endl;
  }
}

std::string ComPrintLog::_CutParenthesesNTail(const char* prettyFuncon) {
  std::string text(prettyFuncon ? prettyFuncon : "");
  size_t paren = text.find('(');
  if (paren != std::string::npos) text.erase(paren);
  return text;
}

}  // namespace COMMUSE
