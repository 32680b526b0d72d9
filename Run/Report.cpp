#include "Report.h"

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

}  // namespace

void ReportError(const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  COMMUSE::ComPrintLog& log = COMMUSE::ComPrintLog::GetInstance();
  log.LogForce_A(31, 4, "<QMLOG>[%s : %d] %s", file, line, text.c_str());
  log.LogForce_A(0, 2, "<QMLOG>ERROR>[%s : %d] %s", file, line, text.c_str());
  ReportCapture::Take(true, text);
}

void ReportNotice(const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  COMMUSE::ComPrintLog& log = COMMUSE::ComPrintLog::GetInstance();
  log.LogForce_A(65535, 4, "<QMLOG>[%s : %d] %s", file, line, text.c_str());
  log.LogForce_A(0, 2, "<QMLOG>[%s : %d] %s", file, line, text.c_str());
  ReportCapture::Take(false, text);
}

void ReportConsole(COMMUSE::WORD color, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = Format(format, args);
  va_end(args);
  COMMUSE::ComPrintLog::GetInstance().LogForce_A(color, 4, "<QMLOG>[%s : %d] %s", file, line,
                                                 text.c_str());
}
