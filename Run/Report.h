// The supervisor's report forms, each tagged with the file and line of the call.
#pragma once

#include <string>

#include "CommLog.h"
#include "ReportCapture.h"

// The text a report carries: at most 4 KiB of it, the total size noted when cut.
inline std::string ReportExcerpt(const std::string& text) {
  constexpr size_t kMax = 4096;
  if (text.size() <= kMax) return text;
  return text.substr(0, kMax) + "... (" + std::to_string(text.size()) + " bytes)";
}

// Console in red, then the day's log file with "ERROR>" after the tag.
#define REPORT_ERROR(text, ...)                                                               \
  do {                                                                                        \
    COMMUSE::ComPrintLog& log_ = COMMUSE::ComPrintLog::GetInstance();                         \
    log_.LogForce_A(31, 4, "<QMLOG>[%s : %d] " text, __FILE__, __LINE__, ##__VA_ARGS__);      \
    log_.LogForce_A(0, 2, "<QMLOG>ERROR>[%s : %d] " text, __FILE__, __LINE__, ##__VA_ARGS__); \
    ReportCapture::Take(true, text, ##__VA_ARGS__);                                           \
  } while (0)

// Console without colour, then the day's log file, with the same text.
#define REPORT_NOTICE(text, ...)                                                            \
  do {                                                                                      \
    COMMUSE::ComPrintLog& log_ = COMMUSE::ComPrintLog::GetInstance();                       \
    log_.LogForce_A(65535, 4, "<QMLOG>[%s : %d] " text, __FILE__, __LINE__, ##__VA_ARGS__); \
    log_.LogForce_A(0, 2, "<QMLOG>[%s : %d] " text, __FILE__, __LINE__, ##__VA_ARGS__);     \
    ReportCapture::Take(false, text, ##__VA_ARGS__);                                        \
  } while (0)

// Console only, in the given colour.
#define REPORT_CONSOLE(color, text, ...)                                                       \
  COMMUSE::ComPrintLog::GetInstance().LogForce_A(color, 4, "<QMLOG>[%s : %d] " text, __FILE__, \
                                                 __LINE__, ##__VA_ARGS__)
