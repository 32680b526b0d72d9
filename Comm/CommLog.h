// The log facility: one process-wide channel for diagnostics. Each record gets
// a prefix with process id, thread id and time of day and goes either to the
// day's file in Log/ beside the executable or, when the process was started
// with a "log"-like argument, to the console in colour.
#pragma once

#include <sys/types.h>

#include <cstdarg>
#include <mutex>
#include <string>

#include "UniqueFd.h"

#if defined(__GNUC__)
#define COMMLOG_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define COMMLOG_PRINTF(fmt, args)
#endif

namespace COMMUSE {

typedef unsigned short WORD;
typedef unsigned int DWORD;

class ComPrintLog {
 public:
  ComPrintLog();
  ~ComPrintLog();
  ComPrintLog(const ComPrintLog&) = delete;
  ComPrintLog& operator=(const ComPrintLog&) = delete;

  static ComPrintLog& GetInstance();

  // Moves the log directory and the option file under szLogPath.
  void SetLogPath(const char* szLogPath);
  // Hook for reading the option file; nothing is read.
  void InitLogState();
  int GetLogState();

  // ty 2: the day's log file (wColor ignored); ty 4: the console in colour
  // wColor (65535: none); any other ty: nothing.
  void LogForce_A(WORD wColor, int ty, char* format, ...) COMMLOG_PRINTF(4, 5);
  // The same for callers holding a const format.
  void LogForce_A(WORD wColor, int ty, const char* format, ...) COMMLOG_PRINTF(4, 5);

  void LogEvenFW(const wchar_t* message);
  void LogEvenFA(const char* message);
  void LogPrintW(const wchar_t* message, WORD wColor);
  void LogPrintA(const char* message, WORD wColor);

  // "void f(int)" -> "void f".
  static std::string _CutParenthesesNTail(const char* prettyFuncon);

 private:
  void PrintInit();
  void PrintUnInit();
  void LogForceV(WORD wColor, int ty, const char* format, va_list vl);

  // The open log file: an O_APPEND | O_CLOEXEC descriptor, so programs the
  // supervisor starts never inherit it; closed until the first file message.
  UniqueFd _LogFile;
  // Device and inode of _LogFile: a record goes to it only while the day's
  // name still names this very file.
  dev_t _LogDev = 0;
  ino_t _LogIno = 0;
  char _szLogFilePath[513];
  char _szAppFileName[513];
  int _nLogState = 0;
  char _szLogStateIniPath[513];
  std::mutex _cs_log;
  std::mutex _cs_log_con;
};

}  // namespace COMMUSE
