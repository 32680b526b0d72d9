#include "update/Updater.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "CRC.h"
#include "HttpDown.h"
#include "Json.h"
#include "SingletonBase.h"
#include "Supervisor.h"
#include "ToolHelper.h"
#include "UniqueFd.h"
#include "platform/DetachedThread.h"
#include "platform/Env.h"
#include "platform/ReplaceFile.h"
#include "platform/Report.h"
#include "platform/ReportCapture.h"
#include "platform/Timing.h"
#include "status/Status.h"
#include "supervision/ProgramList.h"
#include "update/Install.h"
#include "update/PartRecord.h"
#include "update/ResumeDownload.h"
#include "update/SignedUpdate.h"
#include "update/UpdateSettings.h"

namespace {

// A CRC file is a few dozen bytes; a server sending without end stops here.
constexpr size_t kMaxCrcFileSize = 64 * 1024;

qmToolHelper& Tool() { return SingletonBase<qmToolHelper>::Instance(); }

// Equal ignoring case, and of the same length.
bool SameCrc(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), b.size()) == 0;
}

// An unnamed file on the application directory's own file system, so that
// the listing of a large archive counts against the staging reserve and
// fills no other file system; null when none can be made.
FILE* ListingFile(const std::string& app_dir) {
  UniqueFd fd(open(app_dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    // File systems without unnamed files: a new name, gone at once.
    std::string name = app_dir + "/.update-listing-XXXXXX";
    fd.reset(mkostemp(&name[0], O_CLOEXEC));
    if (fd.valid()) unlink(name.c_str());
  }
  if (!fd.valid()) return nullptr;
  FILE* file = fdopen(fd.get(), "w+");
  if (file != nullptr) fd.release();
  return file;
}

// Copies the listing to standard output, where tar's listing went.
void PrintListing(FILE* listing) {
  if (listing == nullptr) return;
  rewind(listing);
  char buf[8192];
  for (size_t n; (n = fread(buf, 1, sizeof buf, listing)) > 0;) fwrite(buf, 1, n, stdout);
  fflush(stdout);
}

// The verified download stays for the next check, which finds it whole and
// installs it again without fetching it.
void KeepPart(const std::string& part, const std::string& crc) {
  PART_RECORD record;
  record.crc = crc;
  struct stat st;
  if (stat(part.c_str(), &st) == 0) record.size = static_cast<DWORD64>(st.st_size);
  if (record.size == 0 || !WritePartRecord(PartRecordPath(part), record)) DropPart(part);
}

// Stages and judges the verified download before anything is stopped, then
// moves it into place. update.gz takes the download's name only once every
// entry and the signature are in place, so an installation cut short is made
// again.
int Install(const std::string& part, const std::string& path, const std::string& app_dir,
            const std::string& url, const std::string& crc, const std::string& signature) {
  std::string staging = app_dir + "/" + kStagingName;
  RemoveTree(staging);
  // The member listing is kept aside until the archive has passed: the cmd:
  // line announces an installation that stops the programs, never a refusal.
  std::unique_ptr<FILE, int (*)(FILE*)> listing(ListingFile(app_dir), fclose);
  std::string why = StageArchive(part, staging, listing ? listing.get() : stdout);
  if (why.empty()) why = InspectStaged(staging, app_dir);
  if (!why.empty()) {
    RemoveTree(staging);
    DropPart(part);
    REPORT_ERROR("archive refused, nothing installed! %s url:%s", Quoted(why).c_str(),
                 outside::Url(url).c_str());
    return kUpdateUnreadable;
  }
  // As tar printed it: the command, the programs stopped, then what it unpacks.
  std::string zip_str = "tar zxvf " + path + " -C " + app_dir;
  REPORT_CONSOLE(33, "cmd:%s", zip_str.c_str());
  killProcessList();
  PrintListing(listing.get());
  listing.reset();
  bool keep_part = false;
  if (MoveStaged(staging, app_dir)) {
    std::string sig_why = KeepInstalledSignature(signature);
    if (!sig_why.empty()) {
      // update.gz stays the old release's, beside its own signature.
      keep_part = true;
      REPORT_ERROR("signature not kept, installation not finished! %s path:%s/%s", sig_why.c_str(),
                   Quoted(app_dir).c_str(), kInstalledSignatureName);
    } else if (rename(part.c_str(), path.c_str()) != 0) {
      REPORT_ERROR("write file error! url:%s", Quoted(path).c_str());
    } else {
      SetInstalledVersion(crc);
    }
    SyncDir(app_dir);
  }
  if (keep_part) {
    KeepPart(part, crc);
  } else {
    DropPart(part);  // left when an entry was not moved: update.gz stays the old one
  }
  // The staging directory now holds the files that were replaced; it goes
  // once the programs run again (RemoveStaging).
  return kUpdateInstalled;
}

// One check with the settings read for it.
int Check(const UPDATE_SETTINGS& settings) {
  if (CheckSigningKey(settings) != 0) return kUpdateSignatureRefused;
  std::string url = ReadUrl(settings);
  std::string crc_url = url + ".crc";
  CHttpDown http_down;
  std::string json_data = http_down.OpenURL(crc_url, timing::kCrcTimeoutS, kMaxCrcFileSize);
  if (json_data.empty()) {
    REPORT_ERROR("down crc file error! url:%s", outside::Url(crc_url).c_str());
    return kUpdateNoCrcFile;
  }
  std::string crc = GetCrc(json_data);

  std::string app_dir = Tool().GetAppDir();
  std::string path = app_dir + "/update.gz";
  qmCRC qmcrc;
  std::string l_crc = qmcrc.GetFileCRCNum(path, nullptr, 0, 0);
  REPORT_NOTICE("remote file crc:%s local crc:%s", Quoted(crc).c_str(), l_crc.c_str());
  SetInstalledVersion(l_crc);
  if (SameCrc(l_crc, crc)) {
    DropPart(path + ".part");  // a download of a release no longer published
    return kUpdateCurrent;
  }

  // The download becomes the local copy only once it is verified: update.gz
  // always stands for the installed version, so a download that fails its
  // checks is fetched again at the next check instead of passing for current.
  std::string part = path + ".part";
  // Continues a part left for this CRC by an earlier check.
  int r = FetchArchive(url, crc, part);
  if (r != 0) return r;

  std::string local_crc = qmcrc.GetFileCRCNum(part, nullptr, 0, 0);
  if (!SameCrc(local_crc, crc)) {
    unlink(part.c_str());
    REPORT_ERROR("local_crc:%s remote crc:%s \n", local_crc.c_str(), Quoted(crc).c_str());
    return kUpdateCrcMismatch;
  }
  // With a public key, only its signature, and no older release, installs.
  std::string signature;
  r = CheckUpdateSignature(settings, url, part, &signature);
  if (r != 0) {
    unlink(part.c_str());
    return r;
  }
  return Install(part, path, app_dir, url, crc, signature);
}

}  // namespace

std::string GetCrc(std::string json_data) {
  CJson json;
  std::string crc;
  if (json.LoadJson(json_data.c_str()) != 0 || json.GetValue("crc", crc) != 0) {
    REPORT_ERROR("json error! json:%s", ReportExcerpt(json_data).c_str());
    return "";
  }
  return crc;
}

int Update() {
  UPDATE_SETTINGS settings = ReadUpdateSettings();
  SetMetricsFile(MetricsFile(settings));
  return Check(settings);
}

int RecordedCheck(int (*check)(), unsigned long long next_in_ms) {
  int result;
  CHECK_RECORD record;
  {
    ReportCapture capture;
    result = check();
    record.message = capture.Message();
  }
  Env& env = CurrentEnv();
  record.done = true;
  record.time = env.WallNow();
  record.result = result;
  if (result == kUpdateInstalled) next_in_ms += 2ULL * timing::kInstallPauseMs;
  SetLastCheck(record);
  SetNextCheck(record.time + static_cast<time_t>(next_in_ms / 1000));
  return result;
}

std::string InstalledVersion() {
  return std::to_string(qmCRC().GetFileCRCNumber(Tool().GetAppDir() + "/update.gz", nullptr, 0, 0));
}

void RemoveStaging() { RemoveTree(Tool().GetAppDir() + "/" + kStagingName); }

void RunUpdateChecks(int (*check)(), bool (*go_on)()) {
  Env& env = CurrentEnv();
  int ntick = 0;
  while (go_on()) {
    if (ntick > timing::kUpdateTicks - 1) {
      ntick = 0;
      if (RecordedCheck(check, UpdatePeriodMs()) == kUpdateInstalled) {
        env.SleepMs(timing::kInstallPauseMs);
        ReadConfig();
        env.SleepMs(timing::kInstallPauseMs);
        EndLingeringPrograms();
        // Not yet reaped, a killed program would be skipped here and then
        // started apart from the others by the supervision loop.
        AwaitStoppedPrograms(timing::kKillWaitMs);
        LoadProcessList();
        RemoveStaging();
        // The period is counted from here.
        SetNextCheck(env.WallNow() + static_cast<time_t>(UpdatePeriodMs() / 1000));
      }
    }
    ++ntick;
    env.SleepMs(timing::kUpdateTickMs);
  }
}

void* update_main(void*) {
  RunUpdateChecks(Update, [] { return true; });
  return nullptr;
}

int StartUpdateThread() { return StartDetached(update_main); }
