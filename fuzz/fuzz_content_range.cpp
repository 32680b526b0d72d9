// Fuzzes the reader of a reply's Content-Range and the decision on a ranged
// reply: an accepted range is one satisfied range that the decision appends
// only when it starts at the offset asked for and runs to the end.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "FuzzCheck.h"
#include "HttpRange.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  CONTENT_RANGE range;
  range.first = 1234;
  if (!ParseContentRange(value, &range)) {
    FUZZ_CHECK(range.first == 1234);
    FUZZ_CHECK(JudgeRangeReply(1, 0, 206, value, "") == RangeVerdict::kRefuse);
    return 0;
  }
  FUZZ_CHECK(range.first <= range.last && range.last < range.total);
  // The same numbers written plainly read back the same.
  char plain[96];
  snprintf(
      plain, sizeof plain, "bytes %llu-%llu/%llu", static_cast<unsigned long long>(range.first),
      static_cast<unsigned long long>(range.last), static_cast<unsigned long long>(range.total));
  CONTENT_RANGE again;
  FUZZ_CHECK(ParseContentRange(plain, &again) && again.first == range.first &&
             again.last == range.last && again.total == range.total);

  bool to_end = range.last + 1 == range.total;
  RangeVerdict v = JudgeRangeReply(range.first, range.total, 206, value, "");
  if (range.first == 0) {
    FUZZ_CHECK(v == RangeVerdict::kWhole);
  } else {
    FUZZ_CHECK(v == (to_end ? RangeVerdict::kAppend : RangeVerdict::kRefuse));
    if (range.first > 1)
      FUZZ_CHECK(JudgeRangeReply(range.first - 1, 0, 206, value, "") == RangeVerdict::kRefuse);
    FUZZ_CHECK(JudgeRangeReply(range.first, range.total, 206, value, "gzip") ==
               RangeVerdict::kRefuse);
  }
  return 0;
}
