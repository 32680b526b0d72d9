#include "update/Install.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "SingletonBase.h"
#include "ToolHelper.h"
#include "UniqueFd.h"
#include "platform/AppFiles.h"
#include "platform/Env.h"
#include "platform/Files.h"
#include "platform/Report.h"
#include "platform/Timing.h"
#include "update/Journal.h"
#include "update/OwnExecutable.h"
#include "update/PartRecord.h"
#include "update/ResumeDownload.h"
#include "update/Signature.h"
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

std::string In(const std::string& app_dir, const char* name) { return app_dir + "/" + name; }

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The signed timestamp of a signature file's text; 0 for none.
uint64_t TimestampOf(const std::string& signature) {
  SignatureFile sig;
  uint64_t seconds = 0;
  if (signature.empty() || !ParseSignatureFile(signature, &sig).empty() ||
      !SignedTimestamp(sig.trusted_comment, &seconds))
    return 0;
  return seconds;
}

// update.gz and update.gz.minisig take the new release, the old ones go to
// update.previous, then the journal says installed. Each step is done only
// while the verified download still stands, and only once, so that run
// again after a crash it finishes what is left. "" or why it stopped.
std::string PlaceReleaseFiles(const std::string& app_dir, INSTALL_JOURNAL& journal) {
  const std::string part = In(app_dir, appfiles::kPart);
  const std::string archive = In(app_dir, appfiles::kArchive);
  const std::string sig = In(app_dir, appfiles::kSignature);
  const std::string previous = In(app_dir, appfiles::kPrevious);
  const std::string kept_archive = previous + "/" + appfiles::kArchive;
  const std::string kept_sig = previous + "/" + appfiles::kSignature;
  if (Exists(part)) {
    // Kept as second names, so that update.gz never goes missing: the new
    // files are renamed over the old ones.
    if (Exists(archive) && !Exists(kept_archive) &&
        link(archive.c_str(), kept_archive.c_str()) != 0)
      return std::string("cannot keep the previous update.gz: ") + strerror(errno);
    if (Exists(sig) && !Exists(kept_sig) && link(sig.c_str(), kept_sig.c_str()) != 0)
      return std::string("cannot keep the previous signature: ") + strerror(errno);
    SyncDir(previous);
    // The signature first: an update.gz beside an older release's signature
    // would let that older release be installed again later.
    if (!journal.signature.empty()) {
      std::string why = ReplaceFile(sig, journal.signature, 0644, true);
      if (!why.empty()) return "signature not kept: " + why;
    } else if (unlink(sig.c_str()) != 0 && errno != ENOENT) {
      return std::string("cannot remove the previous signature: ") + strerror(errno);
    }
    if (rename(part.c_str(), archive.c_str()) != 0)
      return std::string("cannot rename the download: ") + strerror(errno);
  }
  DropPart(part);  // its record, if any
  SyncDir(app_dir);
  journal.phase = JournalPhase::kInstalled;
  std::string why = WriteJournal(app_dir, journal);
  if (!why.empty()) return "journal not written: " + why;
  Tell().InstalledVersion(journal.crc);
  return "";
}

// Moves what is left of the staged tree into place, the staging folder then
// becomes update.previous, and update.gz takes the new release. "" or why
// it stopped.
std::string MoveInto(const std::string& app_dir, INSTALL_JOURNAL& journal) {
  const std::string staging = In(app_dir, appfiles::kStaging);
  const std::string previous = In(app_dir, appfiles::kPrevious);
  if (Exists(staging)) {
    StagedInodes fresh(journal.fresh.begin(), journal.fresh.end());
    if (!MoveStaged(staging, app_dir, fresh)) return "some entries were not moved";
    if (renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, previous.c_str(), RENAME_NOREPLACE) != 0)
      return std::string("cannot keep the previous release: ") + strerror(errno);
  }
  return PlaceReleaseFiles(app_dir, journal);
}

// Puts back a release file the installation replaced: the kept one when
// there is one, otherwise none when the new one had taken the place.
void RestoreReleaseFile(const std::string& app_dir, const char* name, bool replaced) {
  const std::string place = In(app_dir, name);
  const std::string kept = In(app_dir, appfiles::kPrevious) + "/" + name;
  if (Exists(kept)) {
    rename(kept.c_str(), place.c_str());
  } else if (replaced) {
    unlink(place.c_str());
  }
}

// A release that carries the supervisor's executable must carry one this
// machine runs: after a text file or another machine's program there,
// nothing would start at the supervisor's next start.
std::string JudgeStagedExecutable(const std::string& staging) {
  std::string self = SingletonBase<qmToolHelper>::Instance().GetAppPath();
  std::string name = self.substr(self.rfind('/') + 1);
  if (name.empty()) return "";
  UniqueFd dir(open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) return std::string("cannot open the staging directory: ") + strerror(errno);
  std::string why = JudgeExecutableAt(dir.get(), name);
  if (why.empty()) return "";
  return "the supervisor's executable is not a program this machine runs (" + why + "): " + name;
}

}  // namespace

std::string RollBack(const std::string& app_dir, INSTALL_JOURNAL journal) {
  journal.phase = JournalPhase::kRollingBack;
  std::string why = WriteJournal(app_dir, journal);
  if (!why.empty()) return "journal not written: " + why;
  const std::string staging = In(app_dir, appfiles::kStaging);
  const std::string previous = In(app_dir, appfiles::kPrevious);
  // The previous release's entries are in the staging folder until the move
  // is whole, in update.previous after.
  const std::string kept = Exists(previous) ? previous : staging;
  StagedInodes fresh(journal.fresh.begin(), journal.fresh.end());
  bool ok = RestorePrevious(kept, app_dir, journal.added, fresh,
                            {appfiles::kArchive, appfiles::kSignature});
  if (!ok) return "some entries were not put back";
  // update.gz went last: while the download stands, update.gz is the old one.
  bool placed = !Exists(In(app_dir, appfiles::kPart));
  RestoreReleaseFile(app_dir, appfiles::kArchive, placed);
  RestoreReleaseFile(app_dir, appfiles::kSignature, placed || !journal.signature.empty());
  // What is left of the release is removed once the programs run again.
  if (kept == previous) rename(previous.c_str(), staging.c_str());
  SyncDir(app_dir);
  DropJournal(app_dir);
  Tell().InstalledVersion(journal.old_crc);
  return "";
}

// update.gz takes the download's name only once every entry and the
// signature are in place, so an installation cut short is made again.
int Install(ProgramControl& programs, const std::string& part, const std::string& path,
            const std::string& app_dir, const std::string& url, const std::string& crc,
            const std::string& old_crc, const std::string& signature) {
  std::string staging = In(app_dir, appfiles::kStaging);
  std::string previous = In(app_dir, appfiles::kPrevious);
  RemoveTree(staging);
  // The member listing is kept aside until the archive has passed: the cmd:
  // line announces an installation that stops the programs, never a refusal.
  std::unique_ptr<FILE, int (*)(FILE*)> listing(ListingFile(app_dir), fclose);
  INSTALL_JOURNAL journal;
  StagedInodes fresh;
  std::string why = StageArchive(part, staging, listing ? listing.get() : stdout);
  if (why.empty()) why = InspectStaged(staging, app_dir, &journal.added, &fresh);
  if (why.empty()) why = JudgeStagedExecutable(staging);
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

  journal.crc = crc;
  journal.old_crc = old_crc;
  journal.signature = signature;
  journal.timestamp = TimestampOf(signature);
  journal.fresh.assign(fresh.begin(), fresh.end());
  // A previous release still kept was confirmed or undone; this one replaces it.
  RemoveTree(previous);
  why = WriteJournal(app_dir, journal);
  if (!why.empty()) {
    RemoveTree(staging);
    KeepPart(part, crc);
    REPORT_ERROR("journal not written, nothing installed! %s path:%s", Quoted(why).c_str(),
                 Quoted(JournalPath(app_dir)).c_str());
    return kUpdateInstalled;  // the programs were stopped: they start again
  }
  why = MoveInto(app_dir, journal);
  if (!why.empty()) {
    // Never a tree of two releases: the previous one comes back whole, and
    // the verified download waits for the next check.
    KeepPart(part, crc);
    std::string undone = RollBack(app_dir, journal);
    REPORT_ERROR("installation not finished, the previous release stays! %s crc:%s%s",
                 Quoted(why).c_str(), Quoted(crc).c_str(),
                 undone.empty() ? "" : (" (" + Quoted(undone) + ")").c_str());
  }
  return kUpdateInstalled;
}

int FinishInterrupted(const std::string& app_dir) {
  INSTALL_JOURNAL journal;
  std::string why;
  int read = ReadJournal(app_dir, &journal, &why);
  if (read < 0) {
    REPORT_ERROR("installation journal not read, nothing finished! %s path:%s", why.c_str(),
                 Quoted(JournalPath(app_dir)).c_str());
    return 0;
  }
  if (read == 0) return 0;
  if (journal.phase == JournalPhase::kMoving) {
    why = MoveInto(app_dir, journal);
    if (why.empty()) {
      REPORT_NOTICE("installation finished after an interruption! crc:%s",
                    Quoted(journal.crc).c_str());
      return 1;
    }
    KeepPart(In(app_dir, appfiles::kPart), journal.crc);
    std::string undone = RollBack(app_dir, journal);
    REPORT_ERROR(
        "installation not finished after an interruption, the previous release stays! "
        "%s crc:%s%s",
        Quoted(why).c_str(), Quoted(journal.crc).c_str(),
        undone.empty() ? "" : (" (" + Quoted(undone) + ")").c_str());
    return 1;
  }
  if (journal.phase == JournalPhase::kRollingBack) {
    why = RollBack(app_dir, journal);
    if (why.empty()) {
      REPORT_NOTICE("rollback finished after an interruption! crc:%s", Quoted(journal.crc).c_str());
    } else {
      REPORT_ERROR("rollback not finished after an interruption! %s crc:%s", Quoted(why).c_str(),
                   Quoted(journal.crc).c_str());
    }
    return 1;
  }
  return 0;  // installed: confirmed once the programs run
}

void StartRelease(ProgramControl& programs, const std::string& app_dir) {
  Env& env = CurrentEnv();
  env.SleepMs(timing::kInstallPauseMs);
  programs.ReadList();
  env.SleepMs(timing::kInstallPauseMs);
  programs.EndStopped(timing::kKillWaitMs);
  programs.StartAll();
  RemoveTree(In(app_dir, appfiles::kStaging));
}

void ConfirmInstallation(const std::string& app_dir) {
  INSTALL_JOURNAL journal;
  std::string why;
  if (ReadJournal(app_dir, &journal, &why) != 1 || journal.phase != JournalPhase::kInstalled)
    return;
  RemoveTree(In(app_dir, appfiles::kPrevious));
  SyncDir(app_dir);
  DropJournal(app_dir);
}
