#include "host/InterfaceChoice.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <string_view>

const char kNoSerial[] = "000000000000";

namespace {

bool StartsWithNoCase(std::string_view name, std::string_view prefix) {
  return name.size() >= prefix.size() &&
         strncasecmp(name.data(), prefix.data(), prefix.size()) == 0;
}

bool AllZero(const unsigned char (&address)[6]) {
  return std::all_of(address, address + 6, [](unsigned char b) { return b == 0; });
}

}  // namespace

bool SkippedByName(const char (&name)[IFNAMSIZ]) {
  // The name field may fill all IFNAMSIZ bytes without a terminating zero.
  std::string_view view(name, strnlen(name, IFNAMSIZ));
  return view == "lo" || StartsWithNoCase(view, "br") || StartsWithNoCase(view, "docker");
}

std::string FormatSerial(const unsigned char (&address)[6]) {
  char text[64];
  memset(text, 0, sizeof(text));
  snprintf(text, sizeof(text), "%02x%02x%02x%02x%02x%02x", address[0], address[1], address[2],
           address[3], address[4], address[5]);
  return text;
}

std::string ChooseSerial(std::vector<InterfaceRecord>* entries, InterfaceQueries* queries) {
  size_t count = std::min(entries->size(), kMaxInterfaceEntries);
  for (size_t i = 0; i < count; ++i) {
    InterfaceRecord& entry = (*entries)[i];
    if (SkippedByName(entry.name)) continue;
    queries->QueryLink(&entry);
    // Only exactly 1 is a link: a driver that cannot answer leaves the word as it was.
    if (entry.link != 1) continue;
    queries->QueryAddress(&entry);
    if (!entry.address_ok || AllZero(entry.address)) continue;
    return FormatSerial(entry.address);
  }
  return kNoSerial;
}
