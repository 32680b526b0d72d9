#include "update/SignedUpdate.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "HttpDown.h"
#include "SingletonBase.h"
#include "ToolHelper.h"
#include "platform/AppFiles.h"
#include "platform/Files.h"
#include "platform/Report.h"
#include "platform/Timing.h"
#include "update/Signature.h"
#include "update/UpdateResult.h"

namespace {

// A signature file is a few hundred bytes; a server sending without end stops here.
constexpr size_t kMaxSignatureFileSize = 64 * 1024;

qmToolHelper& Tool() { return SingletonBase<qmToolHelper>::Instance(); }

std::string InstalledSignaturePath() { return Tool().GetAppDir() + "/" + appfiles::kSignature; }

int Refuse(const std::string& why, const std::string& url) {
  REPORT_ERROR("signature refused, nothing installed! %s url:%s", Quoted(why).c_str(),
               outside::Url(url).c_str());
  return kUpdateSignatureRefused;
}

// The installed release's signed timestamp; false when there is no installed
// signature or it cannot be read (then the first valid signature is taken).
bool InstalledTimestamp(uint64_t* seconds) {
  std::string path = InstalledSignaturePath();
  if (access(path.c_str(), F_OK) != 0) return false;
  SignatureFile sig;
  std::string why =
      ParseSignatureFile(Tool().ReadFileToDisk(path.c_str(), kMaxSignatureFileSize), &sig);
  if (why.empty() && !SignedTimestamp(sig.trusted_comment, seconds)) why = "no timestamp";
  if (!why.empty()) {
    REPORT_ERROR("installed signature not read, not compared! %s path:%s", Quoted(why).c_str(),
                 path.c_str());
    return false;
  }
  return true;
}

}  // namespace

void ReportSigningSettings(const UPDATE_SETTINGS& settings) {
  if (!settings.has_key) {
    REPORT_NOTICE("updates are not signed: no public_key in %s", Quoted(settings.path).c_str());
    return;
  }
  SignKey key;
  std::string why = ParseSignKey(settings.key_text, &key);
  if (!why.empty()) {
    REPORT_ERROR("public_key is not a valid key, every update is refused! %s path:%s",
                 Quoted(why).c_str(), Quoted(settings.path).c_str());
    return;
  }
  REPORT_NOTICE("updates must be signed by key %s", KeyIdText(key.key_id).c_str());
}

int CheckSigningKey(const UPDATE_SETTINGS& settings) {
  if (!settings.has_key) return 0;
  SignKey key;
  std::string why = ParseSignKey(settings.key_text, &key);
  return why.empty() ? 0 : Refuse("public_key is not a valid key: " + why, settings.url);
}

int CheckUpdateSignature(const UPDATE_SETTINGS& settings, const std::string& url,
                         const std::string& archive, std::string* signature) {
  signature->clear();
  // A refused download is gone before the refusal is told: whoever reads the
  // report finds nothing of it left.
  auto refuse = [&archive, &url](const std::string& why) {
    unlink(archive.c_str());
    return Refuse(why, url);
  };
  if (!settings.has_key) return 0;
  SignKey key;
  std::string why = ParseSignKey(settings.key_text, &key);
  if (!why.empty()) return refuse("public_key is not a valid key: " + why);

  std::string sig_url = url + ".minisig";
  std::string body = CHttpDown().OpenURL(sig_url, timing::kCrcTimeoutS, kMaxSignatureFileSize);
  if (body.empty()) return refuse("no signature file at " + outside::HideCredentials(sig_url));
  SignatureFile sig;
  why = ParseSignatureFile(body, &sig);
  if (!why.empty()) return refuse("not a signature file: " + why);
  why = VerifyFileSignature(key, sig, archive);
  if (!why.empty()) return refuse(why);

  // The timestamp is signed; a release without one could be replayed later.
  uint64_t signed_at = 0, installed_at = 0;
  if (!SignedTimestamp(sig.trusted_comment, &signed_at))
    return refuse("no timestamp in the trusted comment");
  if (InstalledTimestamp(&installed_at) && signed_at < installed_at) {
    char text[128];
    snprintf(text, sizeof text,
             "older than the installed release (timestamp:%" PRIu64 ", installed timestamp:%" PRIu64
             ")",
             signed_at, installed_at);
    return refuse(text);
  }
  *signature = body;
  return 0;
}

std::string KeepInstalledSignature(const std::string& signature) {
  if (signature.empty()) return "";
  std::string path = InstalledSignaturePath();
  std::string why = ReplaceFile(path, signature, 0644, true);
  if (why.empty() && !SyncDir(Tool().GetAppDir()))
    why = std::string("cannot sync the folder: ") + strerror(errno);
  return why;
}
