#include "update/PartRecord.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Json.h"
#include "UniqueFd.h"
#include "WholeIo.h"
#include "platform/Files.h"
#include "update/PartFile.h"

namespace {

bool CleanField(const std::string& text) {
  if (text.size() > kMaxPartRecordField) return false;
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

// An optional string member: a member of another type reads as absent.
bool OptionalString(CJson& json, const char* name, std::string* out) {
  std::string value;
  if (json.GetValue(name, value) != 0) return true;
  if (!CleanField(value)) return false;
  *out = value;
  return true;
}

}  // namespace

std::string PartRecordText(const PART_RECORD& record) {
  CJson json;
  json.AddRootValue("crc", record.crc);
  if (!record.etag.empty()) json.AddRootValue("etag", record.etag);
  if (!record.last_modified.empty()) json.AddRootValue("last_modified", record.last_modified);
  if (record.size != 0) json.AddRootValue("size", static_cast<unsigned long>(record.size));
  return json.GetRootString();
}

bool ParsePartRecord(const std::string& text, PART_RECORD* out) {
  if (text.find('\0') != std::string::npos) return false;
  CJson json;
  if (json.LoadJson(text.c_str()) != 0) return false;
  PART_RECORD record;
  if (json.GetValue("crc", record.crc) != 0 || record.crc.empty() || !CleanField(record.crc))
    return false;
  if (!OptionalString(json, "etag", &record.etag)) return false;
  if (!OptionalString(json, "last_modified", &record.last_modified)) return false;
  unsigned long size = 0;
  if (json.GetValue("size", size) == 0) record.size = size;
  *out = record;
  return true;
}

bool ReadPartRecord(const std::string& path, PART_RECORD* out) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid() || !OwnRegularFile(fd.get())) return false;
  std::string text;
  char buffer[1024];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxPartRecordFile) return false;
  }
  return ParsePartRecord(text, out);
}

bool WritePartRecord(const std::string& path, const PART_RECORD& record) {
  std::string text = PartRecordText(record);
  // A directory at the temporary name goes too: the application directory is ours.
  if (text.empty() || !RemoveTree(path + ".tmp")) return false;
  return ReplaceFile(path, text, 0600, true).empty();
}

std::string RangeValidator(const PART_RECORD& record) {
  if (!record.etag.empty() && record.etag.compare(0, 2, "W/") != 0) return record.etag;
  return record.last_modified;
}
