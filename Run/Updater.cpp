#include "Updater.h"

#include <pthread.h>
#include <stdio.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CRC.h"
#include "ArchiveCheck.h"
#include "ChildProcess.h"
#include "HttpDown.h"
#include "Json.h"
#include "ProgramList.h"
#include "ResumeDownload.h"
#include "Report.h"
#include "SignedUpdate.h"
#include "SingletonBase.h"
#include "Supervisor.h"
#include "Timing.h"
#include "ToolHelper.h"

namespace {

// A CRC file is a few dozen bytes; a server sending without end stops here.
constexpr size_t kMaxCrcFileSize = 64 * 1024;

qmToolHelper& Tool() { return SingletonBase<qmToolHelper>::Instance(); }

// Equal ignoring case, and of the same length.
bool SameCrc(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), b.size()) == 0;
}

const char* TarPath() {
  return access("/usr/bin/tar", X_OK) == 0 ? "/usr/bin/tar" : "/bin/tar";
}

}  // namespace

std::string ReadUrl() {
  std::string file_path = Tool().GetAppDir() + "/config.json";
  std::string json_data = Tool().ReadFileToDisk(file_path.c_str());
  CJson json;
  std::string url;
  if (json.LoadJson(json_data.c_str()) != 0 || json.GetValue("url", url) != 0) {
    REPORT_ERROR("json error! path:%s json:%s", file_path.c_str(), json_data.c_str());
    return "";
  }
  return url;
}

std::string GetCrc(std::string json_data) {
  CJson json;
  std::string crc;
  if (json.LoadJson(json_data.c_str()) != 0 || json.GetValue("crc", crc) != 0) {
    REPORT_ERROR("json error! json:%s", json_data.c_str());
    return "";
  }
  return crc;
}

int Update() {
  if (CheckSigningKey() != 0) return kUpdateSignatureRefused;
  std::string crc_url = ReadUrl() + ".crc";
  CHttpDown http_down;
  std::string json_data = http_down.OpenURL(crc_url, timing::kCrcTimeoutS, kMaxCrcFileSize);
  if (json_data.empty()) {
    REPORT_ERROR("down crc file error! url:%s", crc_url.c_str());
    return kUpdateNoCrcFile;
  }
  std::string crc = GetCrc(json_data);

  std::string app_dir = Tool().GetAppDir();
  std::string path = app_dir + "/update.gz";
  qmCRC qmcrc;
  std::string l_crc = qmcrc.GetFileCRCNum(path, nullptr, 0, 0);
  REPORT_NOTICE("remote file crc:%s local crc:%s", crc.c_str(), l_crc.c_str());
  if (SameCrc(l_crc, crc)) {
    DropPart(path + ".part");  // a download of a release no longer published
    return kUpdateCurrent;
  }

  // The download becomes the local copy only once it is verified: update.gz
  // always stands for the installed version, so a download that fails its
  // checks is fetched again at the next check instead of passing for current.
  std::string url = ReadUrl();
  std::string part = path + ".part";
  // Continues a part left for this CRC by an earlier check.
  int r = FetchArchive(url, crc, part);
  if (r != 0) return r;

  std::string local_crc = qmcrc.GetFileCRCNum(part, nullptr, 0, 0);
  if (!SameCrc(local_crc, crc)) {
    unlink(part.c_str());
    REPORT_ERROR("local_crc:%s remote crc:%s \n", local_crc.c_str(), crc.c_str());
    return kUpdateCrcMismatch;
  }
  // With a public key, only its signature, and no older release, installs.
  std::string signature;
  r = CheckUpdateSignature(url, part, &signature);
  if (r != 0) {
    unlink(part.c_str());
    return r;
  }
  // A publisher's mistake must not stop the programs for nothing, and no
  // member may land outside the application directory.
  std::string why = CheckArchive(part);
  if (!why.empty()) {
    unlink(part.c_str());
    REPORT_ERROR("archive refused, nothing installed! %s url:%s", why.c_str(), url.c_str());
    return kUpdateUnreadable;
  }
  if (rename(part.c_str(), path.c_str()) != 0) {
    unlink(part.c_str());
    REPORT_ERROR("write file error! url:%s", path.c_str());
    return kUpdateWriteFailed;
  }
  KeepInstalledSignature(signature);

  std::string zip_str = "tar zxvf " + path + " -C " + app_dir;
  REPORT_CONSOLE(33, "cmd:%s", zip_str.c_str());
  killProcessList();
  // No shell: the paths reach tar as single arguments whatever they hold.
  int status = qmChildProcess::Run({TarPath(), "zxvf", path, "-C", app_dir}, nullptr);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    REPORT_ERROR("unpack failed! status:%d cmd:%s", status, zip_str.c_str());
  return kUpdateInstalled;
}

void* update_main(void*) {
  int ntick = 0;
  for (;;) {
    if (ntick > timing::kUpdateTicks - 1) {
      ntick = 0;
      if (Update() == kUpdateInstalled) {
        Tool().Sleep(timing::kInstallPauseMs);
        ReadConfig();
        Tool().Sleep(timing::kInstallPauseMs);
        EndLingeringPrograms();
        // Not yet reaped, a killed program would be skipped here and then
        // started apart from the others by the supervision loop.
        AwaitStoppedPrograms(timing::kKillWaitMs);
        LoadProcessList();
      }
    }
    ++ntick;
    Tool().Sleep(timing::kUpdateTickMs);
  }
  return nullptr;
}

void StartUpdateThread() {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t pid;
  pthread_create(&pid, &attr, update_main, nullptr);
  pthread_attr_destroy(&attr);
}
