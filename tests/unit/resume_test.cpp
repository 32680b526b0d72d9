// The pieces of a continued download: reading a Content-Range and a
// Content-Encoding, the decision on a reply to a ranged GET, the record beside the part, and what
// the part's name may hold before it is reopened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "HttpRange.h"
#include "ScratchDir.h"
#include "TestFiles.h"
#include "update/PartFile.h"
#include "update/PartRecord.h"

namespace {

class ResumeFiles : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return scratch_ / name; }

  ScratchDir scratch_{"resume_test"};
  const std::string dir_ = scratch_.path();
};

}  // namespace

TEST(ContentRange, Reading) {
  const struct {
    const char* text;
    bool ok;
    DWORD64 first, last, total;
  } cases[] = {
      {"bytes 0-99/100", true, 0, 99, 100},
      {" bytes  1000-1999/2000 ", true, 1000, 1999, 2000},
      {"bytes 18446744073709551613-18446744073709551614/18446744073709551615", true,
       18446744073709551613ull, 18446744073709551614ull, 18446744073709551615ull},
      {"bytes 5-5/6", true, 5, 5, 6},
      {"bytes 0-99/*", false, 0, 0, 0},  // total unknown
      {"bytes */100", false, 0, 0, 0},   // the form of a 416
      {"bytes 10-9/100", false, 0, 0, 0},
      {"bytes 0-100/100", false, 0, 0, 0},
      {"bytes 0-99/18446744073709551616", false, 0, 0, 0},
      {"bytes -1-99/100", false, 0, 0, 0},
      {"bytes 0-99/100, 0-9/100", false, 0, 0, 0},
      {"Bytes 0-99/100", false, 0, 0, 0},
      {"bytes0-99/100", false, 0, 0, 0},
      {"items 0-99/100", false, 0, 0, 0},
      {"bytes 0-99/100x", false, 0, 0, 0},
      {"bytes +0-99/100", false, 0, 0, 0},
      {"", false, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    CONTENT_RANGE range;
    range.first = 7;
    ASSERT_EQ(ParseContentRange(c.text, &range), c.ok);
    if (c.ok) {
      EXPECT_EQ(range.first, c.first);
      EXPECT_EQ(range.last, c.last);
      EXPECT_EQ(range.total, c.total);
    } else {
      EXPECT_EQ(range.first, 7u);  // untouched
    }
  }
  CONTENT_RANGE range;
  EXPECT_FALSE(ParseContentRange(std::string("bytes 0-9/10\0", 13), &range));
}

TEST(RangeReply, Decisions) {
  using V = RangeVerdict;
  const struct {
    const char* label;
    DWORD64 offset, expected_total;
    long status;
    const char* content_range;
    const char* encoding;
    V verdict;
  } cases[] = {
      {"no range asked: any reply is the file", 0, 0, 200, "", "", V::kWhole},
      {"no range asked: an error page too", 0, 0, 404, "", "", V::kWhole},
      {"the rest, size known", 100, 1000, 206, "bytes 100-999/1000", "", V::kAppend},
      {"the rest, size unknown", 100, 0, 206, "bytes 100-999/1000", "", V::kAppend},
      {"server ignores the range", 100, 1000, 200, "", "", V::kRestart},
      {"changed file under If-Range", 100, 1000, 200, "", "", V::kRestart},
      {"no range asked: encoded", 0, 0, 200, "", "gzip", V::kRefuse},
      {"no range asked: identity", 0, 0, 200, "", "Identity", V::kWhole},
      {"encoded whole file", 100, 1000, 200, "", "gzip", V::kRefuse},
      {"the rest, identity", 100, 1000, 206, "bytes 100-999/1000", "identity", V::kAppend},
      {"another start", 100, 1000, 206, "bytes 0-999/1000", "", V::kRefuse},
      {"starts later", 100, 1000, 206, "bytes 101-999/1000", "", V::kRefuse},
      {"stops short of the end", 100, 1000, 206, "bytes 100-499/1000", "", V::kRefuse},
      {"another size", 100, 1000, 206, "bytes 100-1099/1100", "", V::kRefuse},
      {"no Content-Range", 100, 1000, 206, "", "", V::kRefuse},
      {"unknown total", 100, 1000, 206, "bytes 100-999/*", "", V::kRefuse},
      {"encoded range", 100, 1000, 206, "bytes 100-999/1000", "gzip", V::kRefuse},
      {"not satisfiable", 1000, 1000, 416, "bytes */1000", "", V::kRefuse},
      {"error page", 100, 1000, 404, "", "", V::kRefuse},
      {"server error", 100, 1000, 503, "", "", V::kRefuse},
      {"redirect left over", 100, 1000, 302, "", "", V::kRefuse},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(JudgeRangeReply(c.offset, c.expected_total, c.status, c.content_range, c.encoding),
              c.verdict);
  }
}

TEST(ContentEncoding, OnlyIdentityIsTheIdentityEncoding) {
  const struct {
    std::string value;
    bool identity;
  } cases[] = {
      {"", true},
      {"identity", true},
      {"IDENTITY", true},
      {" \tIdentity\t ", true},
      {"identity, identity", true},
      {"identity,,", true},  // empty list elements name nothing
      {",", true},
      {"gzip", false},
      {"x-gzip", false},
      {"br", false},
      {"identity, gzip", false},
      {"gzip,identity", false},
      {"identityx", false},
      {"identit", false},
      {"ident ity", false},
      {"identity;q=1", false},
      {"\"identity\"", false},
      {"identity\r\n", false},
      {std::string("identity\0", 9), false},
      {std::string("identit\0", 8), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(IdentityEncoding(c.value), c.identity);
  }
}

TEST(PartRecordText, RoundTripsAndOmitsWhatIsUnknown) {
  PART_RECORD full;
  full.crc = "3421780262";
  full.etag = "\"5f3-1a\"";
  full.last_modified = "Tue, 01 Dec 2026 10:00:00 GMT";
  full.size = 20000000000ull;  // beyond 32 bits
  PART_RECORD bare;
  bare.crc = "1";
  for (const PART_RECORD& r : {full, bare}) {
    PART_RECORD back;
    ASSERT_TRUE(ParsePartRecord(PartRecordText(r), &back)) << PartRecordText(r);
    EXPECT_EQ(back.crc, r.crc);
    EXPECT_EQ(back.etag, r.etag);
    EXPECT_EQ(back.last_modified, r.last_modified);
    EXPECT_EQ(back.size, r.size);
  }
  EXPECT_EQ(PartRecordText(bare), "{\"crc\":\"1\"}");
}

TEST(PartRecordText, ReadingRefusesWhatIsNotIntact) {
  const std::string long_text(kMaxPartRecordField + 1, 'a');
  const struct {
    std::string text;
    bool ok;
    std::string etag;
    DWORD64 size;
  } cases[] = {
      {"{\"crc\":\"7\",\"etag\":\"\\\"e\\\"\",\"size\":10}", true, "\"e\"", 10},
      {"{\"crc\":\"7\",\"etag\":5,\"size\":\"10\"}", true, "", 0},  // other types: absent
      {"{\"crc\":\"7\",\"size\":-10}", true, "", 0},
      {"{\"crc\":\"7\",\"size\":1.5}", true, "", 0},
      {"{\"crc\":\"\"}", false, "", 0},
      {"{\"crc\":7}", false, "", 0},
      {"{\"etag\":\"x\"}", false, "", 0},
      {"[\"crc\",\"7\"]", false, "", 0},
      {"{\"crc\":\"7\"", false, "", 0},
      {"", false, "", 0},
      {"{\"crc\":\"7\",\"etag\":\"a\\r\\nX-Evil: 1\"}", false, "", 0},
      {"{\"crc\":\"7\\n\"}", false, "", 0},
      {"{\"crc\":\"7\",\"etag\":\"" + long_text + "\"}", false, "", 0},
      {std::string("{\"crc\":\"7\"}\0x", 13), false, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    PART_RECORD r;
    r.crc = "untouched";
    ASSERT_EQ(ParsePartRecord(c.text, &r), c.ok);
    if (c.ok) {
      EXPECT_EQ(r.etag, c.etag);
      EXPECT_EQ(r.size, c.size);
    } else {
      EXPECT_EQ(r.crc, "untouched");
    }
  }
}

TEST(PartRecordText, ValidatorForIfRange) {
  PART_RECORD r;
  r.crc = "1";
  EXPECT_EQ(RangeValidator(r), "");
  r.last_modified = "Tue, 01 Dec 2026 10:00:00 GMT";
  EXPECT_EQ(RangeValidator(r), r.last_modified);
  r.etag = "W/\"weak\"";  // may not be used for a range
  EXPECT_EQ(RangeValidator(r), r.last_modified);
  r.etag = "\"strong\"";
  EXPECT_EQ(RangeValidator(r), "\"strong\"");
}

using PartRecordFile = ResumeFiles;

TEST_F(PartRecordFile, WriteThenReadAndReplace) {
  std::string path = Path("update.gz.part.json");
  PART_RECORD r;
  r.crc = "42";
  r.size = 5;
  ASSERT_TRUE(WritePartRecord(path, r));
  r.crc = "43";
  ASSERT_TRUE(WritePartRecord(path, r));
  PART_RECORD back;
  ASSERT_TRUE(ReadPartRecord(path, &back));
  EXPECT_EQ(back.crc, "43");
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(PartRecordFile, WritingDoesNotFollowWhatStandsAtTheTemporaryName) {
  std::string path = Path("update.gz.part.json");
  std::string victim = Path("victim");
  WriteFile(victim, "keep");
  ASSERT_EQ(symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
  PART_RECORD r;
  r.crc = "42";
  ASSERT_TRUE(WritePartRecord(path, r));
  EXPECT_EQ(ReadFile(victim), "keep");
  PART_RECORD back;
  EXPECT_TRUE(ReadPartRecord(path, &back));
}

TEST_F(PartRecordFile, ReadingOnlyOurOwnRegularFile) {
  std::string path = Path("update.gz.part.json");
  std::string good = Path("good.json");
  WriteFile(good, "{\"crc\":\"42\"}");
  PART_RECORD r;
  ASSERT_TRUE(ReadPartRecord(good, &r));

  ASSERT_EQ(symlink(good.c_str(), path.c_str()), 0);
  EXPECT_FALSE(ReadPartRecord(path, &r)) << "a link";
  unlink(path.c_str());

  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  EXPECT_FALSE(ReadPartRecord(path, &r)) << "a FIFO (and no wait for a writer)";
  unlink(path.c_str());

  WriteFile(path, "{\"crc\":\"42\",\"etag\":\"" + std::string(kMaxPartRecordFile, 'e') + "\"}");
  EXPECT_FALSE(ReadPartRecord(path, &r)) << "too long";

  if (geteuid() == 0) {
    WriteFile(path, "{\"crc\":\"42\"}");
    struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    EXPECT_FALSE(ReadPartRecord(path, &r)) << "another user's file";
  }
}

using PartName = ResumeFiles;

// Whatever stands at the part's name: reopened only when it is our own
// regular file; created anew without following anything otherwise.
TEST_F(PartName, ReopenedOnlyWhenOurOwnRegularFileElseReplaced) {
  const std::string outside = Path("outside");
  mkdir(outside.c_str(), 0755);
  const std::string target = outside + "/target";
  const struct {
    const char* label;
    void (*make)(const std::string& part, const std::string& target);
    bool reopened;
  } cases[] = {
      {"our file", [](const std::string& p, const std::string&) { WriteFile(p, "12345"); }, true},
      {"a link to our file",
       [](const std::string& p, const std::string& t) { (void)symlink(t.c_str(), p.c_str()); },
       false},
      {"a dangling link",
       [](const std::string& p, const std::string& t) {
         (void)symlink((t + ".none").c_str(), p.c_str());
       },
       false},
      {"a hard link to our file",
       [](const std::string& p, const std::string& t) { (void)link(t.c_str(), p.c_str()); }, false},
      {"a FIFO", [](const std::string& p, const std::string&) { (void)mkfifo(p.c_str(), 0600); },
       false},
      {"a directory tree with a link out",
       [](const std::string& p, const std::string& t) {
         mkdir(p.c_str(), 0755);
         mkdir((p + "/sub").c_str(), 0755);
         (void)symlink(t.c_str(), (p + "/sub/out").c_str());
         (void)symlink(std::filesystem::path(t).parent_path().c_str(), (p + "/dir-out").c_str());
       },
       false},
      {"another user's file",
       [](const std::string& p, const std::string&) {
         WriteFile(p, "12345");
         struct passwd* nobody = getpwnam("nobody");
         if (nobody != nullptr) (void)chown(p.c_str(), nobody->pw_uid, nobody->pw_gid);
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    if (std::string(c.label) == "another user's file" && geteuid() != 0) continue;
    std::string part = Path("update.gz.part");
    WriteFile(target, "outside data");
    c.make(part, target);

    DWORD64 size = 99;
    UniqueFd reopened = ReopenPart(part, &size);
    EXPECT_EQ(reopened.valid(), c.reopened);
    if (c.reopened) {
      EXPECT_EQ(size, 5u);
    }
    reopened.reset();

    UniqueFd created = CreatePart(part);
    ASSERT_TRUE(created.valid());
    EXPECT_TRUE(OwnRegularFile(created.get()));
    struct stat st;
    ASSERT_EQ(fstat(created.get(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(ReadFile(target), "outside data");  // nothing followed
    EXPECT_TRUE(std::filesystem::exists(target));
    unlink(part.c_str());
    unlink(target.c_str());
  }
}
