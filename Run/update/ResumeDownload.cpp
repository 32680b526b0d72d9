#include "update/ResumeDownload.h"

#include <sys/stat.h>
#include <unistd.h>

#include "HttpDown.h"
#include "platform/Env.h"
#include "platform/Report.h"
#include "platform/Timing.h"
#include "update/FreeSpace.h"
#include "update/PartFile.h"
#include "update/PartRecord.h"
#include "update/UpdateResult.h"

namespace {

class CurlTransport : public RangeTransport {
 public:
  int DownloadRange(const std::string& url, int fd, DWORD time_out_ms,
                    RANGE_FETCH* fetch) override {
    return CHttpDown().DownloadRange(url, fd, time_out_ms, fetch);
  }
};

DWORD64 FileSize(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? static_cast<DWORD64>(st.st_size) : 0;
}

// A cut reply may be continued when its bytes are the file's own: a 200 or
// an accepted 206 (the verdict refuses encoded bodies).
bool Continuable(const RANGE_FETCH& fetch) {
  return fetch.judged && fetch.verdict != RangeVerdict::kRefuse &&
         (fetch.status == 200 || fetch.status == 206);
}

// Why a download did not fit, on one line: refused for the length its reply
// announced, or stopped as it grew.
std::string NoRoomReason(const RANGE_FETCH& fetch, int fd) {
  std::string why = NoRoomText("the download", fd) + "; ";
  if (fetch.written == 0 && fetch.needed != 0)
    why += "the reply needs " + std::to_string(fetch.needed) + " more bytes";
  else
    why += "stopped at " + std::to_string(FileSize(fd)) + " bytes";
  return why + ", the part is removed";
}

}  // namespace

RangeTransport& HttpTransport() {
  static CurlTransport transport;
  return transport;
}

std::string PartRecordPath(const std::string& part) { return part + ".json"; }

void DropPart(const std::string& part) {
  RemoveTree(PartRecordPath(part));
  RemoveTree(part);
}

int FetchArchive(const std::string& url, const std::string& crc, const std::string& part,
                 RangeTransport& transport) {
  const std::string record_path = PartRecordPath(part);
  PART_RECORD record;
  DWORD64 held = 0;
  UniqueFd fd;
  // Only the supervisor's own part, with its record, for this very release.
  if (ReadPartRecord(record_path, &record) && record.crc == crc) fd = ReopenPart(part, &held);
  if (!fd.valid()) {
    RemoveTree(record_path);
    fd = CreatePart(part);
    if (!fd.valid()) {
      REPORT_ERROR("write file error! url:%s", Quoted(part).c_str());
      return kUpdateWriteFailed;
    }
    record = PART_RECORD();
    record.crc = crc;
    held = 0;
    // Written now, so that a supervisor ended in the middle of this check
    // still finds the part to be of this release.
    WritePartRecord(record_path, record);
  }
  if (record.size != 0 && held > record.size) {
    // Longer than the archive it belongs to: nothing in it can be trusted.
    held = 0;
    record.size = 0;
  }

  bool complete = record.size != 0 && held == record.size;  // cut right at the end
  RANGE_FETCH fetch;
  // The download leaves the same room as staging does.
  const int part_fd = fd.get();
  fetch.room_for = [part_fd](DWORD64 more_bytes) { return RoomFor(part_fd, more_bytes); };
  int r = 0;
  const long long deadline = CurrentEnv().NowMs() + timing::kArchiveTimeoutS * 1000LL;
  while (!complete) {
    long long left = deadline - CurrentEnv().NowMs();
    if (left <= 0) {
      r = -1;
      break;
    }
    fetch.offset = held;
    fetch.if_range = held != 0 ? RangeValidator(record) : "";
    fetch.expected_total = held != 0 ? record.size : 0;
    r = transport.DownloadRange(url, fd.get(), static_cast<DWORD>(left), &fetch);
    // A refused continuation starts over, within the same time limit.
    if (r == -3 && held != 0) {
      held = 0;
      record.size = 0;
      continue;
    }
    if (fetch.verdict == RangeVerdict::kAppend)
      REPORT_NOTICE("resumed download at %llu of %llu url:%s",
                    static_cast<unsigned long long>(held),
                    static_cast<unsigned long long>(fetch.total), outside::Url(url).c_str());
    complete = r == 0;
    break;
  }

  if (r == -2) {
    fd.reset();
    DropPart(part);
    REPORT_ERROR("write file error! url:%s", Quoted(part).c_str());
    return kUpdateWriteFailed;
  }
  if (r == -4) {
    // Kept, the part would hold the disk under its reserve until the next check.
    std::string why = NoRoomReason(fetch, fd.get());
    fd.reset();
    DropPart(part);
    REPORT_ERROR("down file error! url:%s", outside::Url(url).c_str());
    REPORT_ERROR("%s url:%s", why.c_str(), outside::Url(url).c_str());
    return kUpdateNoArchive;
  }
  DWORD64 size = FileSize(fd.get());
  if (complete && size != 0) {
    RemoveTree(record_path);
    return 0;
  }
  // No reply at all (no connection, cut before the first byte) leaves the
  // part as it was; a reply whose bytes were used must be continuable.
  bool keep = !complete && size != 0 && (!fetch.judged || Continuable(fetch));
  if (keep && fetch.judged) {
    record.etag = fetch.etag;
    record.last_modified = fetch.last_modified;
    record.size = fetch.total;
  }
  if (keep) keep = WritePartRecord(record_path, record);
  fd.reset();
  if (!keep) DropPart(part);
  REPORT_ERROR("down file error! url:%s", outside::Url(url).c_str());
  if (fetch.judged && !IdentityEncoding(fetch.content_encoding))
    REPORT_ERROR("reply refused: Content-Encoding:%s, only the identity encoding is taken url:%s",
                 Quoted(fetch.content_encoding).c_str(), outside::Url(url).c_str());
  return kUpdateNoArchive;
}
