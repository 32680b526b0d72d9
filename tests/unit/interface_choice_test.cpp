// The choice of the interface whose address is the host's serial number.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "host/InterfaceChoice.h"

namespace {

struct Address {
  unsigned char b[6];
};

const Address kGood = {{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};
const Address kZero = {{0, 0, 0, 0, 0, 0}};

// Copies up to IFNAMSIZ bytes: a 16-character name fills the field with no terminating zero.
InterfaceRecord Record(const char* name, uint32_t link, bool address_ok, Address address) {
  InterfaceRecord r;
  memcpy(r.name, name, std::min(strlen(name), sizeof(r.name)));
  r.link = link;
  r.address_ok = address_ok;
  memcpy(r.address, address.b, 6);
  return r;
}

// Answers each query from a table row and notes what was asked. The entries handed to the
// choice hold only the names, so an answer the choice never asked for stays unknown to it.
class TableQueries : public InterfaceQueries {
 public:
  TableQueries(const std::vector<InterfaceRecord>& answers, std::vector<InterfaceRecord>* entries)
      : answers_(answers), entries_(entries) {}

  void QueryLink(InterfaceRecord* entry) override {
    const InterfaceRecord& row = RowOf(entry);
    entry->link = row.link;
    asked.push_back("link " + Name(row));
  }
  void QueryAddress(InterfaceRecord* entry) override {
    const InterfaceRecord& row = RowOf(entry);
    entry->address_ok = row.address_ok;
    memcpy(entry->address, row.address, 6);
    asked.push_back("address " + Name(row));
  }

  std::vector<std::string> asked;

 private:
  const InterfaceRecord& RowOf(const InterfaceRecord* entry) {
    return answers_.at(static_cast<size_t>(entry - entries_->data()));
  }
  static std::string Name(const InterfaceRecord& r) {
    return std::string(r.name, strnlen(r.name, IFNAMSIZ));
  }

  const std::vector<InterfaceRecord>& answers_;
  std::vector<InterfaceRecord>* entries_;
};

struct Choice {
  std::string serial;
  std::vector<std::string> asked;
};

Choice Choose(const std::vector<InterfaceRecord>& answers) {
  std::vector<InterfaceRecord> entries(answers.size());
  for (size_t i = 0; i < answers.size(); ++i) memcpy(entries[i].name, answers[i].name, IFNAMSIZ);
  TableQueries queries(answers, &entries);
  Choice c;
  c.serial = ChooseSerial(&entries, &queries);
  c.asked = queries.asked;
  return c;
}

struct VerdictCase {
  const char* why;
  InterfaceRecord record;
  std::string serial;  // that of the entry after it when the entry is skipped
};

TEST(InterfaceChoice, EntryVerdicts) {
  const std::string skip = "0a0b0c0d0e0f";
  const VerdictCase cases[] = {
      {"loopback by name", Record("lo", 1, true, kGood), skip},
      {"loopback alias passes the name test", Record("lo:1", 1, true, kGood), "001a2b3c4d5e"},
      {"loopback alias with the loopback's address", Record("lo:1", 1, true, kZero), skip},
      {"longer name starting with lo", Record("lo0", 1, true, kGood), "001a2b3c4d5e"},
      {"br prefix", Record("br0", 1, true, kGood), skip},
      {"BR prefix", Record("BR-lan", 1, true, kGood), skip},
      {"bridge name", Record("bridge0", 1, true, kGood), skip},
      {"mixed-case br", Record("bR1", 1, true, kGood), skip},
      {"name shorter than br", Record("b", 1, true, kGood), "001a2b3c4d5e"},
      {"docker prefix", Record("docker0", 1, true, kGood), skip},
      {"Docker prefix", Record("Docker0", 1, true, kGood), skip},
      {"exactly DOCKER", Record("DOCKER", 1, true, kGood), skip},
      {"shorter than docker", Record("dock0", 1, true, kGood), "001a2b3c4d5e"},
      {"no link", Record("eth0", 0, true, kGood), skip},
      {"driver answers 2", Record("eth0", 2, true, kGood), skip},
      {"driver answers all ones", Record("eth0", 0xffffffffu, true, kGood), skip},
      {"address query fails", Record("eth0", 1, false, kGood), skip},
      {"all-zero address", Record("eth0", 1, true, kZero), skip},
      {"only the last byte set", Record("eth0", 1, true, {{0, 0, 0, 0, 0, 1}}), "000000000001"},
      {"only the first byte set", Record("eth0", 1, true, {{0x80, 0, 0, 0, 0, 0}}), "800000000000"},
      {"lower case digits", Record("eth0", 1, true, kGood), "001a2b3c4d5e"},
      {"high bytes stay two digits",
       Record("eth0", 1, true, {{0xff, 0xfe, 0x80, 0x7f, 0xa0, 0x09}}), "fffe807fa009"},
      {"full-width name with br", Record("brXXXXXXXXXXXXXX", 1, true, kGood), skip},
      {"full-width name with lo", Record("loXXXXXXXXXXXXXX", 1, true, kGood), "001a2b3c4d5e"},
      {"full-width name", Record("enp0s31f6abcdefg", 1, true, kGood), "001a2b3c4d5e"},
  };
  // A qualifying entry after the one under test tells "skipped" apart from "chosen with an
  // all-zero address", which would print the same zeros.
  const InterfaceRecord next = Record("eth9", 1, true, {{0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f}});
  for (const VerdictCase& c : cases) {
    EXPECT_EQ(Choose({c.record, next}).serial, c.serial) << c.why;
  }
}

// The name field may be all IFNAMSIZ bytes with no zero; the test must not read past it.
TEST(InterfaceChoice, NameTestStaysInsideTheField) {
  struct Case {
    const char* name;
    bool skipped;
  };
  const Case cases[] = {
      {"loXXXXXXXXXXXXXX", false},
      {"brXXXXXXXXXXXXXX", true},
      {"DockerXXXXXXXXXX", true},
      {"ethXXXXXXXXXXXXX", false},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(strlen(c.name), static_cast<size_t>(IFNAMSIZ));
    // A heap block of exactly IFNAMSIZ bytes, so that an overread is caught by AddressSanitizer.
    std::unique_ptr<char[]> block(new char[IFNAMSIZ]);
    memcpy(block.get(), c.name, IFNAMSIZ);
    const auto& name = *reinterpret_cast<const char(*)[IFNAMSIZ]>(block.get());
    EXPECT_EQ(SkippedByName(name), c.skipped) << c.name;
  }
}

TEST(InterfaceChoice, FirstQualifyingEntryWinsAndLaterOnesAreNotAsked) {
  Choice c = Choose({
      Record("lo", 1, true, kZero),
      Record("br0", 1, true, {{1, 1, 1, 1, 1, 1}}),
      Record("docker0", 1, true, {{2, 2, 2, 2, 2, 2}}),
      Record("eth0", 0, true, {{3, 3, 3, 3, 3, 3}}),
      Record("lo:1", 1, true, kZero),
      Record("eth1", 1, true, kGood),
      Record("eth2", 1, true, {{4, 4, 4, 4, 4, 4}}),
  });
  EXPECT_EQ(c.serial, "001a2b3c4d5e");
  const std::vector<std::string> asked = {"link eth0", "link lo:1", "address lo:1", "link eth1",
                                          "address eth1"};
  EXPECT_EQ(c.asked, asked);
}

TEST(InterfaceChoice, SameInterfaceListedTwiceIsChosenOnce) {
  // An interface with two IPv4 addresses appears twice; the first entry decides.
  Choice c = Choose({Record("eth0", 1, true, kGood), Record("eth0", 1, true, kGood)});
  EXPECT_EQ(c.serial, "001a2b3c4d5e");
  EXPECT_EQ(c.asked.size(), 2u);
}

TEST(InterfaceChoice, EmptyListGivesZeros) { EXPECT_EQ(Choose({}).serial, kNoSerial); }

TEST(InterfaceChoice, OnlyTheFirst128EntriesAreExamined) {
  struct Case {
    size_t good_at;
    std::string serial;
  };
  const Case cases[] = {{kMaxInterfaceEntries - 1, "001a2b3c4d5e"},
                        {kMaxInterfaceEntries, kNoSerial}};
  for (const Case& c : cases) {
    std::vector<InterfaceRecord> answers(c.good_at + 1, Record("eth0", 0, true, kGood));
    answers[c.good_at] = Record("eth1", 1, true, kGood);
    Choice choice = Choose(answers);
    EXPECT_EQ(choice.serial, c.serial) << "good entry at " << c.good_at;
  }
}

}  // namespace
