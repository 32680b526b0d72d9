#include "update/Journal.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "Json.h"
#include "platform/AppFiles.h"
#include "platform/Files.h"

namespace {

const char* const kPhaseWords[] = {"moving", "installed", "rolling back"};

// A relative name below the application directory: no "..", not absolute.
bool PlainName(const std::string& name) {
  if (name.empty() || name[0] == '/') return false;
  size_t start = 0;
  for (;;) {
    size_t end = name.find('/', start);
    std::string part = name.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

}  // namespace

std::string JournalText(const INSTALL_JOURNAL& journal) {
  CJson json;
  json.AddRootValue("phase", kPhaseWords[static_cast<int>(journal.phase)]);
  json.AddRootValue("crc", journal.crc);
  json.AddRootValue("old_crc", journal.old_crc);
  json.AddRootValue("timestamp", static_cast<unsigned long>(journal.timestamp));
  json.AddRootValue("signature", journal.signature);
  JSON_VALUE added = json.AddValue(journal.added);
  json.AddRootValue("added", added);
  JSON_VALUE fresh = json.AddValue(journal.fresh);
  json.AddRootValue("fresh", fresh);
  json.AddRootValue("why", journal.why);
  return json.GetRootString();
}

bool ParseJournal(const std::string& text, INSTALL_JOURNAL* out) {
  CJson json;
  if (json.LoadJson(text.c_str()) != 0) return false;
  INSTALL_JOURNAL j;
  std::string phase;
  if (json.GetValue("phase", phase) != 0) return false;
  int found = -1;
  for (int i = 0; i < 3; ++i)
    if (phase == kPhaseWords[i]) found = i;
  if (found < 0) return false;
  j.phase = static_cast<JournalPhase>(found);
  unsigned long timestamp = 0;
  JSON_VALUE added, fresh;
  if (json.GetValue("crc", j.crc) != 0 || j.crc.empty() ||
      json.GetValue("old_crc", j.old_crc) != 0 || json.GetValue("timestamp", timestamp) != 0 ||
      json.GetValue("signature", j.signature) != 0 || json.GetValue("added", added) != 0 ||
      !added.IsArray() || json.GetValue("fresh", fresh) != 0 || !fresh.IsArray() ||
      json.GetValue("why", j.why) != 0)
    return false;
  j.timestamp = timestamp;
  for (const JSON_VALUE& name : added.GetArray()) {
    if (!name.IsString()) return false;
    std::string text(name.GetString(), name.GetStringLength());
    if (!PlainName(text) || text.find('\0') != std::string::npos) return false;
    j.added.push_back(text);
  }
  for (const JSON_VALUE& inode : fresh.GetArray()) {
    if (!inode.IsUint64()) return false;
    j.fresh.push_back(static_cast<unsigned long>(inode.GetUint64()));
  }
  *out = j;
  return true;
}

std::string JournalPath(const std::string& app_dir) { return app_dir + "/" + appfiles::kJournal; }

std::string WriteJournal(const std::string& app_dir, const INSTALL_JOURNAL& journal) {
  std::string why = ReplaceFile(JournalPath(app_dir), JournalText(journal), 0600, true);
  if (why.empty() && !SyncDir(app_dir)) why = std::string("cannot sync: ") + strerror(errno);
  return why;
}

int ReadJournal(const std::string& app_dir, INSTALL_JOURNAL* out, std::string* why) {
  std::string text;
  int read = ReadOwnFile(JournalPath(app_dir), appfiles::kMaxConfigFileSize, &text);
  if (read == 0) return 0;
  if (read < 0 || !ParseJournal(text, out)) {
    *why = "not an intact journal";
    return -1;
  }
  return 1;
}

void DropJournal(const std::string& app_dir) {
  RemoveTree(JournalPath(app_dir));
  SyncDir(app_dir);
}
