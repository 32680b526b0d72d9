#include "update/Rejected.h"

#include <errno.h>
#include <string.h>

#include "Json.h"
#include "platform/AppFiles.h"
#include "platform/Files.h"

namespace {

constexpr size_t kMaxRecord = 64 * 1024;

std::string RecordPath(const std::string& app_dir) { return app_dir + "/" + appfiles::kRejected; }

}  // namespace

std::string RejectedText(const REJECTED_RELEASE& rejected) {
  CJson json;
  json.AddRootValue("crc", rejected.crc);
  json.AddRootValue("time", static_cast<long>(rejected.time));
  json.AddRootValue("why", rejected.why);
  return json.GetRootString();
}

bool ParseRejected(const std::string& text, REJECTED_RELEASE* out) {
  CJson json;
  REJECTED_RELEASE r;
  long time = 0;
  if (json.LoadJson(text.c_str()) != 0 || json.GetValue("crc", r.crc) != 0 || r.crc.empty() ||
      json.GetValue("time", time) != 0 || json.GetValue("why", r.why) != 0)
    return false;
  r.time = static_cast<time_t>(time);
  *out = r;
  return true;
}

bool ReadRejected(const std::string& app_dir, REJECTED_RELEASE* out) {
  std::string text;
  return ReadOwnFile(RecordPath(app_dir), kMaxRecord, &text) == 1 && ParseRejected(text, out);
}

std::string WriteRejected(const std::string& app_dir, const REJECTED_RELEASE& rejected) {
  std::string why = ReplaceFile(RecordPath(app_dir), RejectedText(rejected), 0644, true);
  if (why.empty() && !SyncDir(app_dir)) why = std::string("cannot sync: ") + strerror(errno);
  return why;
}
