#include "update/UpdateSettings.h"

#include "Json.h"
#include "SingletonBase.h"
#include "ToolHelper.h"
#include "platform/AppFiles.h"
#include "platform/Report.h"

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
