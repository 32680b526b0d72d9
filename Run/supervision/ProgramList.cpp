#include "supervision/ProgramList.h"

#include <stdlib.h>

#include "Json.h"
#include "SingletonBase.h"
#include "ToolHelper.h"
#include "platform/Report.h"

namespace {

bool HasDotDot(const std::string& path) {
  size_t start = 0;
  for (;;) {
    size_t end = path.find('/', start);
    if (path.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") == 0)
      return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

}  // namespace

ListParseOutcome ParseProgramList(const std::string& json_data, const std::string& dir,
                                  std::vector<PRO_INFO>* entries,
                                  std::vector<std::string>* skipped) {
  CJson json;
  if (json.LoadJson(json_data.c_str()) != 0) return ListParseOutcome::kNotJson;
  JSON_VALUE vv;
  if (json.GetValue("list", vv) != 0) return ListParseOutcome::kNoList;

  size_t ncount = json.GetArrayCount(vv);
  for (size_t n = 0; n < ncount; ++n) {
    JSON_VALUE item_vv;
    // An element that is not an object could only name the bin directory itself.
    if (json.GetArrayIndex(vv, n, item_vv) != 0 || !item_vv.IsObject()) continue;
    CJson::KEY_VALUE_MAP key_map = json.GetValueMap(item_vv);
    // Every program lies under bin/.
    if (HasDotDot(key_map["path"])) {
      if (skipped != nullptr) skipped->push_back(key_map["path"]);
      continue;
    }
    PRO_INFO info;
    info.pid = 0;
    info.path = dir + key_map["path"];
    info.param_str = key_map["param"];
    info.run_tick = atoi(key_map["run"].c_str());
    if (info.run_tick == 0) info.run_tick = kUnlimitedRuns;
    entries->push_back(std::move(info));
  }
  return ListParseOutcome::kEntries;
}

void ReadConfig() {
  qmToolHelper& tool = SingletonBase<qmToolHelper>::Instance();
  std::string file_path = tool.GetAppDir() + "/" + appfiles::kProgramList;
  std::string json_data = tool.ReadFileToDisk(file_path.c_str(), kMaxConfigFileSize);

  std::vector<PRO_INFO> entries;
  std::vector<std::string> skipped;
  ListParseOutcome parsed =
      ParseProgramList(json_data, tool.GetAppDir() + "/" + appfiles::kBinDir, &entries, &skipped);
  for (const std::string& path : skipped)
    REPORT_ERROR("program outside bin skipped! path:%s", Quoted(path).c_str());
  if (parsed != ListParseOutcome::kNotJson) ReplacePrograms(entries);
  if (parsed != ListParseOutcome::kEntries)
    REPORT_ERROR("json error! path:%s json:%s", Quoted(file_path).c_str(),
                 ReportExcerpt(json_data).c_str());
}
