// The texts of the reports one thread makes during an operation, so that the
// status can tell what an update check said without a second wording of it.
#pragma once

#include <string>

class ReportCapture {
 public:
  // Captures the reports this thread makes while the object lives.
  ReportCapture();
  ~ReportCapture();
  ReportCapture(const ReportCapture&) = delete;
  ReportCapture& operator=(const ReportCapture&) = delete;

  // The last error reported, or else the first notice; "" when neither came.
  std::string Message() const;

  // Called by the reports with their text.
  static void Take(bool error, const std::string& text);

 private:
  std::string last_error_;
  std::string first_notice_;
  ReportCapture* outer_;
};
