// The supervisor's report forms, each tagged with the file and line of the
// call. The text is formatted once, so every argument is evaluated once, and
// the console and the log file get the same text.
#pragma once

#include <string>

#include "CommLog.h"
#include "OutsideText.h"
#include "platform/ReportCapture.h"

// The outside text a report carries, escaped to one line: at most 4 KiB of
// it, the total size noted when cut.
inline std::string ReportExcerpt(const std::string& text) {
  constexpr size_t kMax = 4096;
  if (text.size() <= kMax) return outside::Escape(text);
  return outside::Escape(text.substr(0, kMax)) + "... (" + std::to_string(text.size()) + " bytes)";
}

// Outside text quoted whole in a report: a name, a path, a reply.
inline std::string Quoted(const std::string& text) { return outside::Escape(text); }

// Console in red, then the day's log file with "ERROR>" after the tag.
void ReportError(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Console without colour, then the day's log file, with the same text.
void ReportNotice(const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Console only, in the given colour.
void ReportConsole(COMMUSE::WORD color, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

#define REPORT_ERROR(text, ...) ReportError(__FILE__, __LINE__, text, ##__VA_ARGS__)
#define REPORT_NOTICE(text, ...) ReportNotice(__FILE__, __LINE__, text, ##__VA_ARGS__)
#define REPORT_CONSOLE(color, text, ...) \
  ReportConsole(color, __FILE__, __LINE__, text, ##__VA_ARGS__)
