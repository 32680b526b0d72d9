#include "HttpRange.h"

#include <ctype.h>
#include <string.h>
#include <strings.h>

namespace {

// Decimal digits at *p as a DWORD64; false on no digit or overflow.
bool ReadNumber(const char** p, DWORD64* out) {
  const char* s = *p;
  if (!isdigit(static_cast<unsigned char>(*s))) return false;
  DWORD64 value = 0;
  for (; isdigit(static_cast<unsigned char>(*s)); ++s) {
    DWORD64 digit = static_cast<DWORD64>(*s - '0');
    if (value > (~DWORD64{0} - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *p = s;
  *out = value;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool IdentityEncoding(const std::string& content_encoding) {
  const char* p = content_encoding.c_str();
  const char* end = p + content_encoding.size();
  for (;;) {
    while (p < end && IsBlank(*p)) ++p;
    const char* element = p;
    while (p < end && *p != ',') ++p;
    const char* element_end = p;
    while (element_end > element && IsBlank(element_end[-1])) --element_end;
    size_t length = static_cast<size_t>(element_end - element);
    // A NUL inside fails the comparison: "identity" has none.
    if (length != 0 && (length != 8 || strncasecmp(element, "identity", 8) != 0)) return false;
    if (p == end) return true;
    ++p;  // the comma
  }
}

bool ParseContentRange(const std::string& value, CONTENT_RANGE* out) {
  if (value.find('\0') != std::string::npos) return false;
  const char* p = value.c_str();
  while (IsBlank(*p)) ++p;
  if (strncmp(p, "bytes", 5) != 0) return false;
  p += 5;
  if (!IsBlank(*p)) return false;
  while (IsBlank(*p)) ++p;
  CONTENT_RANGE range;
  if (!ReadNumber(&p, &range.first) || *p++ != '-') return false;
  if (!ReadNumber(&p, &range.last) || *p++ != '/') return false;
  if (!ReadNumber(&p, &range.total)) return false;
  while (IsBlank(*p)) ++p;
  if (*p != '\0') return false;
  if (range.first > range.last || range.last >= range.total) return false;
  *out = range;
  return true;
}

RangeVerdict JudgeRangeReply(DWORD64 offset, DWORD64 expected_total, long status,
                             const std::string& content_range,
                             const std::string& content_encoding) {
  if (!IdentityEncoding(content_encoding)) return RangeVerdict::kRefuse;
  if (offset == 0) return RangeVerdict::kWhole;
  if (status == 200) return RangeVerdict::kRestart;
  if (status != 206) return RangeVerdict::kRefuse;
  CONTENT_RANGE range;
  if (!ParseContentRange(content_range, &range)) return RangeVerdict::kRefuse;
  // The rest of the file, exactly: from the requested byte to the last one.
  if (range.first != offset || range.last + 1 != range.total) return RangeVerdict::kRefuse;
  if (expected_total != 0 && range.total != expected_total) return RangeVerdict::kRefuse;
  return RangeVerdict::kAppend;
}
