// Fuzzes the quoting of outside text: whatever bytes come in, the escaped
// form is one line of valid UTF-8 without control characters, it can be read
// back to exactly the bytes it quotes, and hiding credentials never adds an
// '@' to what it shows.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "FuzzCheck.h"
#include "OutsideText.h"

namespace {

// The bytes an escaped text stands for.
std::string Unescape(const std::string& shown) {
  std::string out;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] != '\\') {
      out += shown[i];
      continue;
    }
    FUZZ_CHECK(i + 3 < shown.size());
    int value = 0;
    for (size_t k = 1; k <= 3; ++k) {
      char c = shown[i + k];
      FUZZ_CHECK(c >= '0' && c <= '7');
      value = value * 8 + (c - '0');
    }
    out += static_cast<char>(value);
    i += 3;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string shown = outside::Escape(text);
  FUZZ_CHECK(outside::ValidUtf8(shown) == shown);
  for (unsigned char c : shown) FUZZ_CHECK(c >= 0x20 && c != 0x7f);
  for (size_t i = 0; i + 1 < shown.size(); ++i) {
    unsigned char a = shown[i], b = shown[i + 1];
    FUZZ_CHECK(!(a == 0xC2 && b >= 0x80 && b <= 0x9F));  // no C1 control in UTF-8
  }
  FUZZ_CHECK(Unescape(shown) == text);

  const std::string hidden = outside::HideCredentials(text);
  size_t at_in = 0, at_out = 0;
  for (char c : text) at_in += c == '@';
  for (char c : hidden) at_out += c == '@';
  FUZZ_CHECK(at_out <= at_in);
  return 0;
}
