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

namespace {
bool g_stopped_for_good = false;  // guarded by m_all_process
}  // namespace

std::vector<PRO_INFO>& RetiredChildren() {
  static std::vector<PRO_INFO> retired;
  return retired;
}

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

ListText ParseProgramList(const std::string& json_data, const std::string& dir,
                          std::vector<PRO_INFO>* entries, std::vector<std::string>* skipped) {
  CJson json;
  if (json.LoadJson(json_data.c_str()) != 0) return ListText::kNotJson;
  JSON_VALUE vv;
  if (json.GetValue("list", vv) != 0) return ListText::kNoList;

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
  return ListText::kEntries;
}

void ReadConfig() {
  qmToolHelper& tool = SingletonBase<qmToolHelper>::Instance();
  std::string file_path = tool.GetAppDir() + "/bin/config.json";
  std::string json_data = tool.ReadFileToDisk(file_path.c_str(), kMaxConfigFileSize);

  std::vector<PRO_INFO> entries;
  std::vector<std::string> skipped;
  ListText parsed = ParseProgramList(json_data, tool.GetAppDir() + "/bin/", &entries, &skipped);
  for (const std::string& path : skipped)
    REPORT_ERROR("program outside bin skipped! path:%s", path.c_str());
  if (parsed != ListText::kNotJson) {
    // Running programs the new table no longer names stay children to reap.
    std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
    for (const PRO_INFO& old : m_all_process)
      if (old.running) RetiredChildren().push_back(old);
    m_all_process.assign(entries.begin(), entries.end());
  }
  if (parsed != ListText::kEntries)
    REPORT_ERROR("json error! path:%s json:%s", file_path.c_str(), ReportExcerpt(json_data).c_str());
}

void LoadProcessList() {
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  if (g_stopped_for_good) return;
  for (PRO_INFO& info : m_all_process) {
    info.stopped = false;
    // A live child keeps its entry: a second launch would orphan it.
    if (info.run_tick <= 0 || info.running) continue;
    if (info.run_tick != kUnlimitedRuns) --info.run_tick;
    info.pid = RunProcess(info.path.c_str(), info.param_str.c_str());
    info.running = info.pid > 0;
  }
}

bool WaitsOnEnded(pid_t pid) {
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  for (const PRO_INFO& info : m_all_process)
    if (info.pid == pid && !info.running && !info.stopped) return true;
  return false;
}

namespace {

// Calls stop for every live, unreaped child: 0 and -1 would reach whole
// process groups, and a reaped id may belong to an unrelated process by now.
template <typename Stop>
void ForEachLiveChild(Stop stop) {
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  for (const PRO_INFO& info : m_all_process)
    if (info.running && info.pid > 0) stop(info.pid, info.path.c_str());
  for (const PRO_INFO& info : RetiredChildren()) stop(info.pid, info.path.c_str());
}

}  // namespace

void killProcessList() {
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  for (PRO_INFO& info : m_all_process) info.stopped = true;
  ForEachLiveChild([](pid_t pid, const char*) {
    printf("kill process pid:%u\n", static_cast<unsigned>(pid));
    kill(pid, SIGTERM);
  });
  fflush(stdout);
}

void EndLingeringPrograms() {
  ForEachLiveChild([](pid_t pid, const char* path) {
    REPORT_ERROR("process did not end, killed pid : %u path:%s", static_cast<unsigned>(pid), path);
    kill(pid, SIGKILL);
  });
}

void StopProgramsForGood() {
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  g_stopped_for_good = true;
  killProcessList();
}

bool ProgramsStoppedForGood() {
  std::lock_guard<PRO_INFO_LIST> lock(m_all_process);
  return g_stopped_for_good;
}
