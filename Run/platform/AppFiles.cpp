#include "platform/AppFiles.h"

namespace appfiles {

bool IsOwnName(const std::string& name) {
  static const char* const kOwn[] = {kArchive, kPart,           kPartRecord,   kSignature,
                                     kStaging, kJournal,        kPrevious,     kRejected,
                                     kLogDir,  kInstanceRecord, kInstanceLock, kStatus};
  static const char* const kReplaced[] = {kPartRecord, kSignature, kStatus, kJournal, kRejected};
  for (const char* own : kOwn)
    if (name == own) return true;
  for (const char* own : kReplaced)
    if (name == TemporaryName(own)) return true;
  return false;
}

}  // namespace appfiles
