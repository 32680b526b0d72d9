#include "OutsideText.h"

#include <stdio.h>

namespace outside {

size_t Utf8Sequence(const unsigned char* s, size_t n, unsigned* cp) {
  if (n == 0) return 0;
  unsigned char c = s[0];
  size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || len > n) return 0;
  unsigned value = len == 1 ? c : c & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    if ((s[k] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (s[k] & 0x3F);
  }
  static const unsigned kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kMin[len] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return len;
}

std::string ValidUtf8(const std::string& text) {
  static const char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(text.size());
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0, n = text.size(); i < n;) {
    unsigned cp;
    size_t len = Utf8Sequence(s + i, n - i, &cp);
    if (len == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(text, i, len);
      i += len;
    }
  }
  return out;
}

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0, n = text.size(); i < n;) {
    unsigned cp = 0;
    size_t len = Utf8Sequence(s + i, n - i, &cp);
    bool shown = len != 0 && cp >= 0x20 && cp != 0x7F && cp != '\\' && !(cp >= 0x80 && cp <= 0x9F);
    if (shown) {
      out.append(text, i, len);
      i += len;
      continue;
    }
    // The whole sequence of a C1 code point, else the one byte that is wrong.
    size_t bytes = len != 0 ? len : 1;
    for (size_t k = 0; k < bytes; ++k) {
      char esc[5];
      snprintf(esc, sizeof esc, "\\%03o", s[i + k]);
      out += esc;
    }
    i += bytes;
  }
  return out;
}

namespace {

// Hides the user information of the authority that begins at start.
void HideAt(std::string& text, size_t start) {
  size_t end = text.find_first_of("/?#", start);
  if (end == std::string::npos) end = text.size();
  size_t at = text.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string::npos || at < start || at >= end) return;
  text.replace(start, at - start, "***");
}

}  // namespace

std::string HideCredentials(const std::string& text) {
  std::string out = text;
  size_t scheme = out.find("://");
  if (scheme == std::string::npos) {
    HideAt(out, 0);
    return out;
  }
  while (scheme != std::string::npos) {
    size_t start = scheme + 3;
    HideAt(out, start);
    scheme = out.find("://", start);
  }
  return out;
}

}  // namespace outside
