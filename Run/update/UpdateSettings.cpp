#include "update/UpdateSettings.h"

#include "Json.h"
#include "SingletonBase.h"
#include "ToolHelper.h"
#include "platform/AppFiles.h"
#include "platform/Report.h"

namespace {

// A whole number from 1 up, in *out; false for anything else.
bool PositiveCount(CJson& json, const JSON_VALUE& object, const char* name, unsigned long* out) {
  unsigned long value = 0;
  if (json.GetValue(object, name, value) != 0 || value == 0) return false;
  *out = value;
  return true;
}

// A program under bin/: no absolute path, no "..".
bool UnderBin(const std::string& path) {
  if (path.empty() || path[0] == '/') return false;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('/', start);
    if (path.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") == 0)
      return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

HEALTH_SETTINGS ParseHealth(CJson& json, const CJson::KEY_VALUE_MAP& members) {
  HEALTH_SETTINGS h;
  auto found = members.find("health");
  if (found == members.end() || found->second.empty()) return h;  // absent or null
  JSON_VALUE object;
  if (json.GetValue("health", object) != 0 || !object.IsObject()) {
    h.refused = "health is not an object";
    return h;
  }
  auto has = [&object](const char* name) { return object.HasMember(name); };
  if (has("watch_s") && !PositiveCount(json, object, "watch_s", &h.watch_s)) {
    h.refused = "watch_s is not a whole number of seconds from 1 up";
    return h;
  }
  if (has("max_ends") && !PositiveCount(json, object, "max_ends", &h.max_ends)) {
    h.refused = "max_ends is not a whole number from 1 up";
    return h;
  }
  auto check = object.FindMember("check");
  if (check != object.MemberEnd() && !check->value.IsNull()) {
    if (json.GetValue(object, "check", h.check) != 0 || h.check.empty() ||
        !UnderBin(h.check.substr(0, h.check.find(' ')))) {
      h.refused = "check is not a program under bin/ with its parameters";
      h.check.clear();
      return h;
    }
  }
  h.on = true;
  return h;
}

}  // namespace

UPDATE_SETTINGS ParseUpdateSettings(const std::string& text, const std::string& path) {
  UPDATE_SETTINGS s;
  s.path = path;
  s.text = text;
  CJson json;
  if (json.LoadJson(text.c_str()) != 0) return s;
  CJson::KEY_VALUE_MAP members = json.GetValueMap();
  s.has_url = json.GetValue("url", s.url) == 0;
  s.has_key = members.count("public_key") != 0;
  if (s.has_key && json.GetValue("public_key", s.key_text) != 0) s.key_text.clear();
  std::string value;
  auto metrics = members.find("metrics_file");
  if (json.GetValue("metrics_file", value) != 0) {
    // null, like a missing member, writes no metrics without a word.
    if (metrics != members.end() && !metrics->second.empty()) {
      s.metrics_refused = true;
      s.metrics_value = "(not a string)";
    }
  } else if (!value.empty() && value[0] == '/' && value.find('\0') == std::string::npos) {
    s.metrics_file = value;
  } else {
    s.metrics_refused = true;
    s.metrics_value = value;
  }
  s.health = ParseHealth(json, members);
  return s;
}

UPDATE_SETTINGS ReadUpdateSettings() {
  qmToolHelper& tool = SingletonBase<qmToolHelper>::Instance();
  std::string path = tool.GetAppDir() + "/" + appfiles::kSettings;
  return ParseUpdateSettings(tool.ReadFileToDisk(path.c_str(), appfiles::kMaxConfigFileSize), path);
}

std::string ReadUrl(const UPDATE_SETTINGS& settings) {
  if (settings.has_url) return settings.url;
  REPORT_ERROR("json error! path:%s json:%s", Quoted(settings.path).c_str(),
               ReportExcerpt(outside::HideCredentials(settings.text)).c_str());
  return "";
}

std::string MetricsFile(const UPDATE_SETTINGS& settings) {
  if (!settings.metrics_refused) return settings.metrics_file;
  static std::string refused;
  if (settings.metrics_value != refused) {
    refused = settings.metrics_value;
    REPORT_ERROR(
        "metrics_file is not an absolute path, no metrics written! metrics_file:%s path:%s",
        ReportExcerpt(settings.metrics_value).c_str(), Quoted(settings.path).c_str());
  }
  return "";
}

HEALTH_SETTINGS Health(const UPDATE_SETTINGS& settings) {
  if (settings.health.refused.empty()) return settings.health;
  static std::string refused;
  if (settings.health.refused != refused) {
    refused = settings.health.refused;
    REPORT_ERROR("health settings refused, no watch after installations! %s path:%s",
                 refused.c_str(), Quoted(settings.path).c_str());
  }
  return settings.health;
}
