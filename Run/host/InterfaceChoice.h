// Which network interface gives the host serial number: the rules, apart from the ioctls that
// answer their questions, so that they can be driven by a table of interface records.
#pragma once

#include <net/if.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Entries of the interface list examined at most.
constexpr size_t kMaxInterfaceEntries = 128;
// The serial number when no interface qualifies or the list cannot be read.
extern const char kNoSerial[];

// One entry of the interface list and the answers of its two queries.
struct InterfaceRecord {
  char name[IFNAMSIZ] = {};  // as the kernel lists it; not necessarily zero-terminated
  uint32_t link = 0;         // data word handed back by the link query, preset to 0
  bool address_ok = false;   // the hardware-address query succeeded
  unsigned char address[6] = {};
};

// Fills in the answers of one entry on demand. The choice asks only what an entry's verdict
// still needs: nothing for names it skips, no address when there is no link, and nothing for
// the entries after the chosen one.
class InterfaceQueries {
 public:
  virtual ~InterfaceQueries() = default;
  virtual void QueryLink(InterfaceRecord* entry) = 0;
  virtual void QueryAddress(InterfaceRecord* entry) = 0;
};

// True for "lo" and for names beginning with "br" or "docker" in any case.
bool SkippedByName(const char (&name)[IFNAMSIZ]);

// Twelve lower-case hexadecimal digits, most significant byte first.
std::string FormatSerial(const unsigned char (&address)[6]);

// The serial number of the first qualifying entry among the first kMaxInterfaceEntries, or
// kNoSerial.
std::string ChooseSerial(std::vector<InterfaceRecord>* entries, InterfaceQueries* queries);
