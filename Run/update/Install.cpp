#include "update/Install.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "UniqueFd.h"
#include "platform/AppFiles.h"
#include "platform/Files.h"
#include "platform/Report.h"
#include "update/PartRecord.h"
#include "update/ResumeDownload.h"
#include "update/SignedUpdate.h"
#include "update/Stage.h"
#include "update/StagedTree.h"
#include "update/UpdateObserver.h"

namespace {

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

}  // namespace

// update.gz takes the download's name only once every entry and the
// signature are in place, so an installation cut short is made again.
int Install(ProgramControl& programs, const std::string& part, const std::string& path,
            const std::string& app_dir, const std::string& url, const std::string& crc,
            const std::string& signature) {
  std::string staging = app_dir + "/" + appfiles::kStaging;
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
  // zip_str is only that announcement: no command runs, the staged tree moves.
  std::string zip_str = "tar zxvf " + path + " -C " + app_dir;
  REPORT_CONSOLE(33, "cmd:%s", zip_str.c_str());
  programs.StopAll();
  PrintListing(listing.get());
  listing.reset();
  bool keep_part = false;
  if (MoveStaged(staging, app_dir)) {
    std::string sig_why = KeepInstalledSignature(signature);
    if (!sig_why.empty()) {
      // update.gz stays the old release's, beside its own signature.
      keep_part = true;
      REPORT_ERROR("signature not kept, installation not finished! %s path:%s/%s", sig_why.c_str(),
                   Quoted(app_dir).c_str(), appfiles::kSignature);
    } else if (rename(part.c_str(), path.c_str()) != 0) {
      REPORT_ERROR("write file error! url:%s", Quoted(path).c_str());
    } else {
      Tell().InstalledVersion(crc);
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
