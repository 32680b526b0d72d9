#include "platform/ReportCapture.h"

namespace {

thread_local ReportCapture* t_capture = nullptr;

}  // namespace

ReportCapture::ReportCapture() : outer_(t_capture) { t_capture = this; }

ReportCapture::~ReportCapture() { t_capture = outer_; }

std::string ReportCapture::Message() const {
  return last_error_.empty() ? first_notice_ : last_error_;
}

void ReportCapture::Take(bool error, const std::string& report) {
  ReportCapture* capture = t_capture;
  if (capture == nullptr) return;
  if (!error && !capture->first_notice_.empty()) return;
  std::string text = report.substr(0, 4095);
  // Reports end in blanks and line breaks of their own.
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n')) text.pop_back();
  (error ? capture->last_error_ : capture->first_notice_) = text;
}
