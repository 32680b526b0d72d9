// Fuzzes the reading of the installation's journal and of the rejected
// record: whatever bytes a disk gives back, what is taken names nothing
// outside the application directory and is written back as it was read.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "FuzzCheck.h"
#include "update/Journal.h"
#include "update/Rejected.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  INSTALL_JOURNAL j;
  if (ParseJournal(text, &j)) {
    FUZZ_CHECK(!j.crc.empty());
    for (const std::string& name : j.added) {
      FUZZ_CHECK(!name.empty() && name[0] != '/');
      FUZZ_CHECK(("/" + name + "/").find("/../") == std::string::npos);
      FUZZ_CHECK(name.find('\0') == std::string::npos);
    }
    INSTALL_JOURNAL back;
    FUZZ_CHECK(ParseJournal(JournalText(j), &back));
    FUZZ_CHECK(back.crc == j.crc && back.added == j.added && back.phase == j.phase &&
               back.signature == j.signature && back.why == j.why && back.timestamp == j.timestamp);
  }
  REJECTED_RELEASE r;
  if (ParseRejected(text, &r)) {
    REJECTED_RELEASE back;
    FUZZ_CHECK(ParseRejected(RejectedText(r), &back));
    FUZZ_CHECK(back.crc == r.crc && back.time == r.time && back.why == r.why);
  }
  return 0;
}
