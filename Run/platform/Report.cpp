#include "platform/Report.h"

#include <stdarg.h>
#include <stdio.h>

namespace {

std::string Format(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  int n = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (n <= 0) return "";
  std::string text(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

// Console (red for an error, plain for a notice), then the log file.
void Write(bool error, const char* file, int line, const std::string& text) {
  COMMUSE::ComPrintLog& log = COMMUSE::ComPrintLog::GetInstance();
  log.LogForce_A(error ? 31 : 65535, 4, "<QMLOG>[%s : %d] %s", file, line, text.c_str());
  log.LogForce_A(0, 2, error ? "<QMLOG>ERROR>[%s : %d] %s" : "<QMLOG>[%s : %d] %s", file, line,
                 text.c_str());
  ReportCapture::Take(error, text);
}

}  // namespace

void ReportError(const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(true, file, line, Format(format, args));
  va_end(args);
}

void ReportNotice(const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(false, file, line, Format(format, args));
  va_end(args);
}

void ReportConsole(COMMUSE::WORD color, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  COMMUSE::ComPrintLog::GetInstance().LogForce_A(color, 4, "<QMLOG>[%s : %d] %s", file, line,
                                                 text.c_str());
}
