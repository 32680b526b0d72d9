#include "update/Check.h"

#include <strings.h>
#include <unistd.h>

#include "CRC.h"
#include "HttpDown.h"
#include "SingletonBase.h"
#include "ToolHelper.h"
#include "platform/AppFiles.h"
#include "platform/Report.h"
#include "platform/Timing.h"
#include "update/Install.h"
#include "update/Rejected.h"
#include "update/ResumeDownload.h"
#include "update/Rollout.h"
#include "update/SignedUpdate.h"
#include "update/UpdateObserver.h"

namespace {

// A CRC file is a few dozen bytes; a server sending without end stops here.
constexpr size_t kMaxCrcFileSize = 64 * 1024;

// Equal ignoring case, and of the same length.
bool SameCrc(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), b.size()) == 0;
}

// The CRC file as the check uses it; an unusable one is reported and has
// no CRC, so it matches no release.
CRC_REPLY ReadCrcReply(const std::string& json_data) {
  CRC_REPLY reply;
  std::string why;
  if (!ParseCrcReply(json_data, &reply, &why)) {
    REPORT_ERROR("json error! json:%s", ReportExcerpt(json_data).c_str());
    return CRC_REPLY{"", 100};
  }
  return reply;
}

}  // namespace

std::string GetCrc(std::string json_data) { return ReadCrcReply(json_data).crc; }

int Check(const UPDATE_SETTINGS& settings, ProgramControl& programs) {
  if (CheckSigningKey(settings) != 0) return kUpdateSignatureRefused;
  std::string url = ReadUrl(settings);
  std::string crc_url = url + ".crc";
  CHttpDown http_down;
  std::string json_data = http_down.OpenURL(crc_url, timing::kCrcTimeoutS, kMaxCrcFileSize);
  if (json_data.empty()) {
    REPORT_ERROR("down crc file error! url:%s", outside::Url(crc_url).c_str());
    return kUpdateNoCrcFile;
  }
  CRC_REPLY reply = ReadCrcReply(json_data);
  const std::string& crc = reply.crc;

  std::string app_dir = SingletonBase<qmToolHelper>::Instance().GetAppDir();
  std::string path = app_dir + "/" + appfiles::kArchive;
  qmCRC qmcrc;
  // The installed release's CRC ("0" when update.gz is missing).
  std::string l_crc = qmcrc.GetFileCRCNum(path, nullptr, 0, 0);
  REPORT_NOTICE("remote file crc:%s local crc:%s", Quoted(crc).c_str(), l_crc.c_str());
  Tell().InstalledVersion(l_crc);
  if (SameCrc(l_crc, crc)) {
    // The host runs the release: no rollout to wait for, whatever the share.
    Tell().Rollout(false, 0, 0);
    // A download of a release no longer published.
    DropPart(app_dir + "/" + appfiles::kPart);
    return kUpdateCurrent;
  }
  // A release rolled back here is not installed again while it is published.
  REJECTED_RELEASE rejected;
  if (ReadRejected(app_dir, &rejected) && SameCrc(rejected.crc, crc)) {
    static std::string told;  // said once for each CRC, not at every check
    if (told != crc) {
      told = crc;
      REPORT_ERROR("release rolled back earlier, not installed again! crc:%s", Quoted(crc).c_str());
    }
    Tell().Rollout(false, 0, 0);
    DropPart(app_dir + "/" + appfiles::kPart);
    return kUpdateRejected;
  }
  // A release for a share of the hosts: those whose place is below it take
  // it now; the others wait for the share to grow. An unusable reply has no
  // CRC and goes on to fail as it always did.
  if (crc.empty()) {
    Tell().Rollout(false, 0, 0);
  } else {
    double place = RolloutPlace(HostIdentity(), crc);
    Tell().Rollout(true, place, reply.rollout);
    if (!RolloutReaches(place, reply.rollout)) {
      static std::string told_crc;  // said once for each CRC and share
      static double told_share = -1;
      if (told_crc != crc || told_share != reply.rollout) {
        told_crc = crc;
        told_share = reply.rollout;
        REPORT_NOTICE("release not yet rolled out to this host! crc:%s place:%.6f rollout:%s",
                      Quoted(crc).c_str(), place, NumberText(reply.rollout).c_str());
      }
      return kUpdateCurrent;
    }
  }

  // The download becomes the local copy only once it is verified: update.gz
  // always stands for the installed version, so a download that fails its
  // checks is fetched again at the next check instead of passing for current.
  std::string part = app_dir + "/" + appfiles::kPart;
  // Continues a part left for this CRC by an earlier check.
  int r = FetchArchive(url, crc, part);
  if (r != 0) return r;

  // The download's CRC, as its bytes lie on disk.
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
  return Install(programs, part, path, app_dir, url, crc, l_crc, signature);
}
