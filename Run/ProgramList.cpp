#include "ProgramList.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include "Json.h"
#include "Launcher.h"
#include "Report.h"
#include "SingletonBase.h"
#include "ToolHelper.h"

PRO_INFO_LIST m_all_process;

std::vector<pid_t>& RetiredChildren() {
  static std::vector<pid_t> retired;
  return retired;
}

namespace {

// Every element of "list" that is an object becomes one entry; others are
// skipped, since they could only name the bin directory itself.
std::vector<PRO_INFO> ParseList(CJson& json, JSON_VALUE& vv, const std::string& dir) {
  std::vector<PRO_INFO> entries;
  size_t ncount = json.GetArrayCount(vv);
  for (size_t n = 0; n < ncount; ++n) {
    JSON_VALUE item_vv;
    if (json.GetArrayIndex(vv, n, item_vv) != 0 || !item_vv.IsObject()) continue;
    CJson::KEY_VALUE_MAP key_map = json.GetValueMap(item_vv);
    PRO_INFO info;
    info.pid = 0;
    info.path = dir + key_map["path"];
    info.param_str = key_map["param"];
    info.run_tick = atoi(key_map["run"].c_str());
    if (info.run_tick == 0) info.run_tick = kUnlimitedRuns;
    entries.push_back(std::move(info));
  }
  return entries;
}

}  // namespace

void ReadConfig() {
  qmToolHelper& tool = SingletonBase<qmToolHelper>::Instance();
  std::string file_path = tool.GetAppDir() + "/bin/config.json";
  std::string json_data = tool.ReadFileToDisk(file_path.c_str());

  CJson json;
  if (json.LoadJson(json_data.c_str()) != 0) {
    REPORT_ERROR("json error! path:%s json:%s", file_path.c_str(), json_data.c_str());
    return;
  }
  JSON_VALUE vv;
  bool has_list = json.GetValue("list", vv) == 0;
  std::vector<PRO_INFO> entries;
  if (has_list) entries = ParseList(json, vv, tool.GetAppDir() + "/bin/");

  {
    std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
    for (const PRO_INFO& old : m_all_process)
      if (old.running) RetiredChildren().push_back(old.pid);
    m_all_process.assign(entries.begin(), entries.end());
  }
  if (!has_list) REPORT_ERROR("json error! path:%s json:%s", file_path.c_str(), json_data.c_str());
}

void LoadProcessList() {
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  for (PRO_INFO& info : m_all_process) {
    if (info.run_tick <= 0) continue;
    if (info.run_tick != kUnlimitedRuns) --info.run_tick;
    info.pid = RunProcess(info.path.c_str(), info.param_str.c_str());
    info.running = info.pid > 0;
  }
}

void killProcessList() {
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  // Only live, unreaped children: 0 and -1 would reach whole process groups,
  // and a reaped id may belong to an unrelated process by now.
  auto stop = [](pid_t pid) {
    printf("kill process pid:%u\n", static_cast<unsigned>(pid));
    kill(pid, SIGTERM);
  };
  for (const PRO_INFO& info : m_all_process)
    if (info.running && info.pid > 0) stop(info.pid);
  for (pid_t pid : RetiredChildren()) stop(pid);
  fflush(stdout);
}
