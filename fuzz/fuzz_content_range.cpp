// Fuzzes the readers of a reply's Content-Range and Content-Encoding and the
// decision on a ranged reply: an accepted range is one satisfied range that
// the decision appends only when it starts at the offset asked for and runs
// to the end; an accepted encoding names identity and nothing else.
#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <strings.h>

#include <string>

#include "FuzzCheck.h"
#include "HttpRange.h"

namespace {

// The value without its blanks and commas is "identity" repeated, in any case.
bool OnlyIdentityNamed(const std::string& value) {
  std::string names;
  for (char c : value)
    if (c != ' ' && c != '\t' && c != ',') names += c;
  if (names.size() % 8 != 0) return false;
  for (size_t i = 0; i < names.size(); i += 8)
    if (strncasecmp(names.data() + i, "identity", 8) != 0) return false;
  return true;
}

void CheckEncoding(const std::string& value) {
  bool identity = IdentityEncoding(value);
  if (identity) FUZZ_CHECK(OnlyIdentityNamed(value));
  std::string upper = value;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  FUZZ_CHECK(IdentityEncoding(upper) == identity);
  FUZZ_CHECK(IdentityEncoding(value + ", identity") == identity);
  FUZZ_CHECK(!IdentityEncoding(value + ",gzip"));
  FUZZ_CHECK(JudgeRangeReply(0, 0, 200, "", value) ==
             (identity ? RangeVerdict::kWhole : RangeVerdict::kRefuse));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  CheckEncoding(value);
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
