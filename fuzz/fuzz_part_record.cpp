// Fuzzes the reader of the partial download's record (update.gz.part.json).
// A record that reads back must say exactly what its text says again, and
// its strings must be safe for a request header.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "FuzzCheck.h"
#include "update/PartRecord.h"

namespace {

bool Clean(const std::string& text) {
  if (text.size() > kMaxPartRecordField) return false;
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  PART_RECORD record;
  record.crc = "untouched";
  if (!ParsePartRecord(text, &record)) {
    FUZZ_CHECK(record.crc == "untouched" && record.etag.empty() && record.size == 0);
    return 0;
  }
  FUZZ_CHECK(!record.crc.empty());
  FUZZ_CHECK(Clean(record.crc) && Clean(record.etag) && Clean(record.last_modified));
  FUZZ_CHECK(Clean(RangeValidator(record)));

  PART_RECORD again;
  FUZZ_CHECK(ParsePartRecord(PartRecordText(record), &again));
  FUZZ_CHECK(again.crc == record.crc && again.etag == record.etag &&
             again.last_modified == record.last_modified && again.size == record.size);
  return 0;
}
