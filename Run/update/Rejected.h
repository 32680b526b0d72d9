// The release last rolled back, <app dir>/update.rejected: while the server
// still publishes its CRC, no check installs it again.
//
//   {"crc":"4204838306","time":1765400000,"why":"program ... ended 3 times ..."}
#pragma once

#include <time.h>

#include <string>

struct REJECTED_RELEASE {
  std::string crc;
  time_t time = 0;
  std::string why;
};

std::string RejectedText(const REJECTED_RELEASE& rejected);
bool ParseRejected(const std::string& text, REJECTED_RELEASE* out);

// True with *out when app_dir holds an intact record.
bool ReadRejected(const std::string& app_dir, REJECTED_RELEASE* out);
// Writes, syncs and renames the record into place: "" or why it failed.
std::string WriteRejected(const std::string& app_dir, const REJECTED_RELEASE& rejected);
