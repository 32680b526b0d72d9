// The archive download's decisions across checks, against a scripted server
// on a fake clock: which range each check asks for, what the part holds
// afterwards, what its record says, and what is reported.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "CommLogUtil.h"
#include "FakeEnv.h"
#include "HttpRange.h"
#include "ScratchDir.h"
#include "TestFiles.h"
#include "UniqueFd.h"
#include "platform/ReportCapture.h"
#include "update/FreeSpace.h"
#include "update/PartRecord.h"
#include "update/ResumeDownload.h"
#include "update/UpdateResult.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kUrl = "http://127.0.0.1:8080/app.tar.gz";
const std::string kCrc = "3421780262";
const std::string kArchive = "0123456789abcdefghijklmnopqrstuvwxyz";  // 36 bytes
const std::string kEtag = "\"24-1a\"";
const std::string kDate = "Tue, 01 Dec 2026 10:00:00 GMT";
// The same release published anew, and another release.
const std::string kNewer = "ZYXWVUTSRQPONMLKJIHGFEDCBA9876543210!?";  // 38 bytes
const std::string kNewerEtag = "\"26-2b\"";
const std::string kNewerDate = "Wed, 02 Dec 2026 10:00:00 GMT";
const std::string kNewerCrc = "1122334455";
constexpr long long kLimitMs = 120000;  // the archive time limit of one check

// One reply of the scripted server.
struct Reply {
  long status = 0;  // 0: no reply at all
  std::string content_range;
  std::string content_encoding;
  std::string etag = kEtag;
  std::string last_modified = kDate;
  std::string body;                 // the whole body the server means to send
  size_t sent = std::string::npos;  // body bytes that arrive before the connection breaks
  DWORD64 length = 0;               // Content-Length when not the body's size
  bool write_fails = false;         // the file system refuses the arrived bytes' last write
  long long takes_ms = 0;           // the clock moves this much (at most the time left)
};

Reply Whole(const std::string& file) {
  Reply r;
  r.status = 200;
  r.body = file;
  return r;
}

// The 206 with the bytes of file from `from` on.
Reply Rest(size_t from, const std::string& file) {
  Reply r;
  r.status = 206;
  r.content_range = "bytes " + std::to_string(from) + "-" + std::to_string(file.size() - 1) + "/" +
                    std::to_string(file.size());
  r.body = file.substr(from);
  return r;
}

Reply Cut(Reply r, size_t sent) {
  r.sent = sent;
  return r;
}

Reply Taking(Reply r, long long ms) {
  r.takes_ms = ms;
  return r;
}

Reply Newer(Reply r) {
  r.etag = kNewerEtag;
  r.last_modified = kNewerDate;
  return r;
}

DWORD64 SizeOf(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? static_cast<DWORD64>(st.st_size) : 0;
}

// What one ranged GET asked for.
struct Request {
  DWORD64 offset;
  std::string if_range;
  DWORD64 expected_total;
  DWORD time_out_ms;
  bool operator==(const Request& o) const {
    return offset == o.offset && if_range == o.if_range && expected_total == o.expected_total &&
           time_out_ms == o.time_out_ms;
  }
};

// The requests for the whole file and for the rest from offset on.
Request AskAll(DWORD time_out_ms = kLimitMs) { return {0, "", 0, time_out_ms}; }
Request AskFrom(DWORD64 offset, DWORD64 total, const std::string& validator = kEtag) {
  return {offset, validator, total, static_cast<DWORD>(kLimitMs)};
}

std::ostream& operator<<(std::ostream& out, const Request& r) {
  return out << "{" << r.offset << ", " << r.if_range << ", " << r.expected_total << ", "
             << r.time_out_ms << "}";
}

// Plays its replies in order as CHttpDown::DownloadRange would take them:
// judged before the first byte, then appended at the offset, written from
// the start or refused, within the room the caller gives.
class ScriptedServer : public RangeTransport {
 public:
  explicit ScriptedServer(FakeEnv* env) : env_(env) {}

  std::deque<Reply> replies;
  std::vector<Request> requests;
  DWORD64 body_bytes_sent = 0;

  int DownloadRange(const std::string& url, int fd, DWORD time_out_ms, RANGE_FETCH* f) override {
    EXPECT_EQ(url, kUrl);
    requests.push_back({f->offset, f->if_range, f->expected_total, time_out_ms});
    f->status = 0;
    f->etag.clear();
    f->last_modified.clear();
    f->content_range.clear();
    f->content_encoding.clear();
    f->verdict = RangeVerdict::kRefuse;
    f->judged = false;
    f->total = f->written = f->needed = 0;
    if (replies.empty()) {
      ADD_FAILURE() << "a request beyond the script";
      return -1;
    }
    Reply r = replies.front();
    replies.pop_front();
    env_->now += std::min<long long>(r.takes_ms, time_out_ms);
    const size_t sent = std::min(r.sent, r.body.size());
    // Cut before the first byte, a reply is never judged: as no reply at all.
    if (r.status == 0 || (sent == 0 && !r.body.empty())) return -1;

    f->judged = true;
    f->status = r.status;
    f->etag = r.etag;
    f->last_modified = r.last_modified;
    f->content_range = r.content_range;
    f->content_encoding = r.content_encoding;
    f->verdict = JudgeRangeReply(f->offset, f->expected_total, f->status, f->content_range,
                                 f->content_encoding);
    if (f->verdict == RangeVerdict::kRefuse) return -3;
    if (f->verdict == RangeVerdict::kAppend) {
      CONTENT_RANGE range;
      EXPECT_TRUE(ParseContentRange(f->content_range, &range));
      f->total = range.total;
    } else {
      f->total = r.length != 0 ? r.length : r.body.size();
    }
    const DWORD64 held = SizeOf(fd);
    f->needed = f->total > held ? f->total - held : 0;
    if (f->total != 0 && f->room_for && !f->room_for(f->needed)) return -4;
    const off_t keep = f->verdict == RangeVerdict::kAppend ? static_cast<off_t>(f->offset) : 0;
    if (ftruncate(fd, keep) != 0) return -2;
    if (sent != 0 && f->room_for && !f->room_for(sent)) return -4;
    if (pwrite(fd, r.body.data(), sent, keep) != static_cast<ssize_t>(sent)) return -2;
    body_bytes_sent += sent;
    f->written = sent;
    if (r.write_fails) return -2;
    return sent == r.body.size() ? 0 : -1;
  }

 private:
  FakeEnv* env_;
};

// Noon of today: a check's fake minutes stay within the day, so the reports
// all go to one day's log file.
time_t TodayNoon() {
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  tm.tm_hour = 12;
  tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return mktime(&tm);
}

// The reports this thread writes to the day's log file from the object's
// making on, in order, as "error: <text>" and "notice: <text>".
class LogReports {
 public:
  LogReports() : path_(DayLog()), from_(FileSize(path_)) {}

  Lines Taken() const {
    std::string text = ReadFile(path_).substr(std::min<size_t>(from_, FileSize(path_)));
    const std::string mine =
        "[PID:" + std::to_string(getpid()) + ",TID:" + std::to_string(syscall(SYS_gettid)) + "] ";
    Lines out;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      start = end + 1;
      size_t tag = line.find("<QMLOG>");
      if (line.compare(0, mine.size(), mine) != 0 || tag == std::string::npos) continue;
      bool error = line.compare(tag + 7, 6, "ERROR>") == 0;
      size_t body = line.find("] ", line.find(" : ", tag));
      if (body == std::string::npos) continue;
      std::string report = line.substr(body + 2);
      while (!report.empty() && report.back() == ' ') report.pop_back();
      out.push_back((error ? "error: " : "notice: ") + report);
    }
    return out;
  }

 private:
  static std::string DayLog() {
    std::filesystem::path exe(commlog::GetAppPath());
    time_t now = CurrentEnv().WallNow();
    struct tm tm {};
    localtime_r(&now, &tm);
    return (exe.parent_path() / "Log" / exe.filename()).string() + "[" +
           std::to_string(tm.tm_year + 1900) + "-" + std::to_string(tm.tm_mon + 1) + "-" +
           std::to_string(tm.tm_mday) + "].log";
  }
  static size_t FileSize(const std::string& path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<size_t>(size);
  }

  std::string path_;
  size_t from_;
};

PART_RECORD Record(DWORD64 size, const std::string& etag = kEtag,
                   const std::string& last_modified = kDate, const std::string& crc = kCrc) {
  PART_RECORD r;
  r.crc = crc;
  r.etag = etag;
  r.last_modified = last_modified;
  r.size = size;
  return r;
}

const std::string kDownError = "down file error! url:" + kUrl;

class FetchArchiveTest : public ::testing::Test {
 protected:
  // One check's download with the replies given; records what it reported.
  int Fetch(std::vector<Reply> replies, const std::string& crc = kCrc) {
    server_.replies.assign(replies.begin(), replies.end());
    server_.requests.clear();
    LogReports log;
    ReportCapture capture;
    int r = FetchArchive(kUrl, crc, part_, server_);
    message_ = capture.Message();
    reports_ = log.Taken();
    EXPECT_TRUE(server_.replies.empty()) << server_.replies.size() << " replies left unasked";
    return r;
  }

  // What an earlier check left.
  void Leave(const std::string& bytes, const PART_RECORD& record) {
    WriteFile(part_, bytes);
    ASSERT_TRUE(WritePartRecord(record_, record));
  }

  bool HasPart() const { return std::filesystem::exists(part_); }
  bool HasRecord() const { return std::filesystem::exists(record_); }
  std::string PartBytes() const { return ReadFile(part_); }
  // The record's text as read back, "" when there is none to read.
  std::string RecordNow() const {
    PART_RECORD r;
    return ReadPartRecord(record_, &r) ? PartRecordText(r) : "";
  }

  void ExpectComplete(const std::string& bytes) {
    EXPECT_EQ(PartBytes(), bytes);
    EXPECT_FALSE(HasRecord());
  }
  void ExpectNothingLeft() {
    EXPECT_FALSE(HasPart());
    EXPECT_FALSE(HasRecord());
  }
  void ExpectKept(const std::string& bytes, const PART_RECORD& record) {
    EXPECT_EQ(PartBytes(), bytes);
    EXPECT_EQ(RecordNow(), PartRecordText(record));
  }

  FakeEnv env_{TodayNoon()};
  ScratchDir scratch_{"fetch_archive_test"};
  const std::string part_ = scratch_ / "update.gz.part";
  const std::string record_ = part_ + ".json";
  ScriptedServer server_{&env_};
  std::string message_;  // what ReportCapture took
  Lines reports_;        // every report, in order
};

TEST_F(FetchArchiveTest, WholeReplyCompletesThePartAndDropsItsRecord) {
  EXPECT_EQ(Fetch({Whole(kArchive)}), 0);
  EXPECT_EQ(server_.requests, std::vector<Request>{AskAll()});
  ExpectComplete(kArchive);
  EXPECT_EQ(reports_, Lines{});
  EXPECT_EQ(message_, "");
}

// A slow link: each check is cut by the time limit and keeps what arrived;
// the next one asks for the rest only, until the archive is whole.
TEST_F(FetchArchiveTest, SlowLinkCompletesOverChecksFetchingEachByteOnce) {
  EXPECT_EQ(Fetch({Taking(Cut(Whole(kArchive), 12), kLimitMs)}), kUpdateNoArchive);
  EXPECT_EQ(server_.requests, std::vector<Request>{AskAll()});
  ExpectKept(kArchive.substr(0, 12), Record(36));
  EXPECT_EQ(reports_, Lines{"error: " + kDownError});
  EXPECT_EQ(message_, kDownError);

  EXPECT_EQ(Fetch({Taking(Cut(Rest(12, kArchive), 12), kLimitMs)}), kUpdateNoArchive);
  EXPECT_EQ(server_.requests, std::vector<Request>{AskFrom(12, 36)});
  ExpectKept(kArchive.substr(0, 24), Record(36));
  EXPECT_EQ(reports_,
            (Lines{"notice: resumed download at 12 of 36 url:" + kUrl, "error: " + kDownError}));
  EXPECT_EQ(message_, kDownError);

  EXPECT_EQ(Fetch({Rest(24, kArchive)}), 0);
  EXPECT_EQ(server_.requests, std::vector<Request>{AskFrom(24, 36)});
  ExpectComplete(kArchive);
  EXPECT_EQ(reports_, Lines{"notice: resumed download at 24 of 36 url:" + kUrl});
  EXPECT_EQ(message_, "resumed download at 24 of 36 url:" + kUrl);
  EXPECT_EQ(server_.body_bytes_sent, kArchive.size());
}

TEST_F(FetchArchiveTest, ValidatorOfTheRecordGoesIntoIfRange) {
  const struct {
    const char* label;
    PART_RECORD record;
    std::string if_range;
  } cases[] = {
      {"strong ETag", Record(36), kEtag},
      {"weak ETag: the date", Record(36, "W/\"weak\""), kDate},
      {"no ETag: the date", Record(36, ""), kDate},
      {"no validator: a plain range", Record(36, "", ""), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Leave(kArchive.substr(0, 10), c.record);
    EXPECT_EQ(Fetch({Rest(10, kArchive)}), 0);
    EXPECT_EQ(server_.requests, std::vector<Request>{AskFrom(10, 36, c.if_range)});
    ExpectComplete(kArchive);
  }
}

// A record without the size (the supervisor ended before any reply) still
// lets the part continue; the reply tells the size.
TEST_F(FetchArchiveTest, PartWithoutKnownSizeContinues) {
  Leave(kArchive.substr(0, 10), Record(0, "", ""));
  EXPECT_EQ(Fetch({Rest(10, kArchive)}), 0);
  EXPECT_EQ(server_.requests, std::vector<Request>{AskFrom(10, 0, "")});
  ExpectComplete(kArchive);
  EXPECT_EQ(reports_, Lines{"notice: resumed download at 10 of 36 url:" + kUrl});
}

// Any reply to a continuation that cannot be appended is not used, and the
// same check asks again for the whole file, within what is left of its time.
TEST_F(FetchArchiveTest, RefusedContinuationStartsOverInTheSameCheck) {
  auto reply = [](long status, const std::string& range, const std::string& body) {
    Reply r;
    r.status = status;
    r.content_range = range;
    r.body = body;
    return r;
  };
  Reply encoded = Rest(10, kArchive);
  encoded.content_encoding = "gzip";
  const struct {
    const char* label;
    Reply refused;
  } cases[] = {
      {"the whole file as a 206 from byte 0", reply(206, "bytes 0-35/36", kArchive)},
      {"a later start", reply(206, "bytes 11-35/36", kArchive.substr(11))},
      {"short of the end", reply(206, "bytes 10-29/36", kArchive.substr(10, 20))},
      {"a total other than the record's",
       reply(206, "bytes 10-39/40", kArchive.substr(10) + "more")},
      {"416", reply(416, "bytes */36", "")},
      {"an error page", reply(404, "", "not found\n")},
      {"an encoded body", encoded},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Leave(kArchive.substr(0, 10), Record(36));
    EXPECT_EQ(Fetch({Taking(c.refused, 30000), Whole(kArchive)}), 0);
    EXPECT_EQ(server_.requests, (std::vector<Request>{AskFrom(10, 36), AskAll(kLimitMs - 30000)}));
    ExpectComplete(kArchive);
    EXPECT_EQ(reports_, Lines{});
  }
}

// A server answering a range with 206 from byte 0: the lie is not appended,
// the fetch from the first byte is cut in its turn and kept, and the next
// check continues it.
TEST_F(FetchArchiveTest, LyingRangeIsNotAppendedAndTheRestartIsContinued) {
  Reply lie = Rest(0, kArchive);  // "bytes 0-35/36" to a request from byte 10
  Leave(kArchive.substr(0, 10), Record(36));
  EXPECT_EQ(Fetch({lie, Taking(Cut(Whole(kArchive), 5), kLimitMs)}), kUpdateNoArchive);
  EXPECT_EQ(server_.requests, (std::vector<Request>{AskFrom(10, 36), AskAll()}));
  ExpectKept(kArchive.substr(0, 5), Record(36));
  EXPECT_EQ(reports_, Lines{"error: " + kDownError});

  EXPECT_EQ(Fetch({Rest(5, kArchive)}), 0);
  EXPECT_EQ(server_.requests, std::vector<Request>{AskFrom(5, 36)});
  ExpectComplete(kArchive);
}

// A server without ranges, or a file changed under If-Range, answers 200: the
// part starts over from its first byte, with no "resumed" notice.
TEST_F(FetchArchiveTest, WholeFileAnsweringARangeReplacesTheHeldBytes) {
  Leave("0123456789", Record(36));
  EXPECT_EQ(Fetch({Whole(kArchive)}), 0);
  EXPECT_EQ(server_.requests, std::vector<Request>{AskFrom(10, 36)});
  ExpectComplete(kArchive);
  EXPECT_EQ(server_.body_bytes_sent, kArchive.size());
  EXPECT_EQ(reports_, Lines{});

  Leave("0123456789", Record(36));
  EXPECT_EQ(Fetch({Cut(Whole(kArchive), 4)}), kUpdateNoArchive);
  ExpectKept("0123", Record(36));
  EXPECT_EQ(reports_, Lines{"error: " + kDownError});
}

// The release was published anew under the same CRC: If-Range with the old
// ETag brings the new file whole, and its validators go into the record.
TEST_F(FetchArchiveTest, ReplacedReleaseUnderIfRangeStartsOverWithTheNewBytes) {
  Leave(kArchive.substr(0, 10), Record(36));
  EXPECT_EQ(Fetch({Taking(Cut(Newer(Whole(kNewer)), 6), kLimitMs)}), kUpdateNoArchive);
  EXPECT_EQ(server_.requests, std::vector<Request>{AskFrom(10, 36)});
  ExpectKept(kNewer.substr(0, 6), Record(38, kNewerEtag, kNewerDate));
  EXPECT_EQ(reports_, Lines{"error: " + kDownError});

  EXPECT_EQ(Fetch({Newer(Rest(6, kNewer))}), 0);
  EXPECT_EQ(server_.requests, std::vector<Request>{AskFrom(6, 38, kNewerEtag)});
  ExpectComplete(kNewer);
  EXPECT_EQ(reports_, Lines{"notice: resumed download at 6 of 38 url:" + kUrl});
}

// Held bytes that cannot be this release's beginning are not continued: the
// check asks for the whole file and the part is written anew.
TEST_F(FetchArchiveTest, PartNotOfThisReleaseStartsAnew) {
  const struct {
    const char* label;
    std::string held;
    std::string record;  // the record file's text; "" for none
  } cases[] = {
      {"a part of another release", "0123456789",
       PartRecordText(Record(36, kEtag, kDate, kNewerCrc))},
      {"no record", "0123456789", ""},
      {"a damaged record", "0123456789", "{\"crc\":\"" + kCrc + "\",\"etag\":"},
      {"longer than its record says", kArchive + "extra", PartRecordText(Record(36))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    WriteFile(part_, c.held);
    std::filesystem::remove(record_);
    if (!c.record.empty()) WriteFile(record_, c.record);
    EXPECT_EQ(Fetch({Cut(Whole(kArchive), 8)}), kUpdateNoArchive);
    EXPECT_EQ(server_.requests, std::vector<Request>{AskAll()});
    ExpectKept(kArchive.substr(0, 8), Record(36));
  }
}

// A new published CRC: the part of the release before is not continued.
TEST_F(FetchArchiveTest, NewPublishedCrcFetchesTheNewReleaseWhole) {
  Leave(kArchive.substr(0, 10), Record(36));
  EXPECT_EQ(Fetch({Newer(Whole(kNewer))}, kNewerCrc), 0);
  EXPECT_EQ(server_.requests, std::vector<Request>{AskAll()});
  ExpectComplete(kNewer);
  EXPECT_EQ(reports_, Lines{});
}

TEST_F(FetchArchiveTest, PartCutRightAtTheEndIsCompleteWithoutARequest) {
  Leave(kArchive, Record(36));
  EXPECT_EQ(Fetch({}), 0);
  EXPECT_EQ(server_.requests, std::vector<Request>{});
  ExpectComplete(kArchive);
}

// The time limit holds across the two requests of a check, on its own clock.
TEST_F(FetchArchiveTest, TimeLimitReachedAfterARefusedContinuation) {
  Reply lie = Rest(0, kArchive);
  Leave(kArchive.substr(0, 10), Record(36));
  env_.now = 5000;  // the limit counts from the check's start
  EXPECT_EQ(Fetch({Taking(lie, kLimitMs - 1), Whole(kArchive)}), 0);
  EXPECT_EQ(server_.requests, (std::vector<Request>{AskFrom(10, 36), AskAll(1)}));
  ExpectComplete(kArchive);

  // With nothing left after the refusal, no second request: the refused
  // reply's bytes are not of this release's file, so nothing is kept.
  Leave(kArchive.substr(0, 10), Record(36));
  EXPECT_EQ(Fetch({Taking(lie, kLimitMs)}), kUpdateNoArchive);
  EXPECT_EQ(server_.requests, std::vector<Request>{AskFrom(10, 36)});
  ExpectNothingLeft();
  EXPECT_EQ(reports_, Lines{"error: " + kDownError});
  EXPECT_EQ(message_, kDownError);
}

// No connection, or one cut before the first byte: what the part held is
// kept as it was, with its record; a new part with nothing in it is not.
TEST_F(FetchArchiveTest, NoReplyLeavesThePartAsItWas) {
  const struct {
    const char* label;
    bool held;
    Reply reply;
  } cases[] = {
      {"no connection", true, Reply()},
      {"cut before the first byte", true, Cut(Rest(10, kArchive), 0)},
      {"no connection, nothing held", false, Reply()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    DropPart(part_);
    if (c.held) Leave(kArchive.substr(0, 10), Record(36));
    EXPECT_EQ(Fetch({c.reply}), kUpdateNoArchive);
    EXPECT_EQ(server_.requests, std::vector<Request>{c.held ? AskFrom(10, 36) : AskAll()});
    if (c.held)
      ExpectKept(kArchive.substr(0, 10), Record(36));
    else
      ExpectNothingLeft();
    EXPECT_EQ(reports_, Lines{"error: " + kDownError});
  }
}

TEST_F(FetchArchiveTest, WriteFailureRemovesPartAndRecord) {
  Reply whole = Cut(Whole(kArchive), 5);
  whole.write_fails = true;
  Reply rest = Cut(Rest(10, kArchive), 5);
  rest.write_fails = true;
  const std::string error = "write file error! url:" + part_;
  const struct {
    const char* label;
    bool held;
    Reply reply;
    Lines reports;
  } cases[] = {
      {"a new part", false, whole, {"error: " + error}},
      {"a continuation",
       true,
       rest,
       {"notice: resumed download at 10 of 36 url:" + kUrl, "error: " + error}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.held) Leave(kArchive.substr(0, 10), Record(36));
    EXPECT_EQ(Fetch({c.reply}), kUpdateWriteFailed);
    ExpectNothingLeft();
    EXPECT_EQ(reports_, c.reports);
    EXPECT_EQ(message_, error);
  }
}

// A reply whose length does not fit under the free-space reserve is refused
// before its first byte; the part goes with its record, and the reason is
// told.
TEST_F(FetchArchiveTest, NoRoomForTheReplyRemovesPartAndRecord) {
  Reply huge = Whole(kArchive);
  huge.length = 1ull << 60;
  UniqueFd dir(open(scratch_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(dir.valid());
  const std::string reason = NoRoomText("the download", dir.get()) + "; the reply needs " +
                             std::to_string(1ull << 60) +
                             " more bytes, the part is removed url:" + kUrl;
  EXPECT_EQ(Fetch({huge}), kUpdateNoArchive);
  EXPECT_EQ(server_.requests, std::vector<Request>{AskAll()});
  ExpectNothingLeft();
  EXPECT_EQ(server_.body_bytes_sent, 0u);
  EXPECT_EQ(reports_, (Lines{"error: " + kDownError, "error: " + reason}));
  EXPECT_EQ(message_, reason);
}

// A body in another encoding is not the archive's bytes: nothing is kept,
// and the reason is told.
TEST_F(FetchArchiveTest, EncodedReplyIsRefusedAndTold) {
  Reply encoded = Whole(kArchive);
  encoded.content_encoding = "x-gzip";
  EXPECT_EQ(Fetch({encoded}), kUpdateNoArchive);
  ExpectNothingLeft();
  const std::string refused =
      "reply refused: Content-Encoding:x-gzip, only the identity encoding is taken url:" + kUrl;
  EXPECT_EQ(reports_, (Lines{"error: " + kDownError, "error: " + refused}));
  EXPECT_EQ(message_, refused);
}

}  // namespace
