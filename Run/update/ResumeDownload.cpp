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

// The part as this check found it: the bytes held and what its record says.
struct HeldPart {
  UniqueFd fd;
  PART_RECORD record;
  DWORD64 held = 0;
};

// Reopens the part left for this very release (only the supervisor's own
// file, beside its record) or starts a new one. False when none could be
// created.
bool OpenPart(const std::string& part, const std::string& crc, HeldPart* out) {
  const std::string record_path = PartRecordPath(part);
  if (ReadPartRecord(record_path, &out->record) && out->record.crc == crc)
    out->fd = ReopenPart(part, &out->held);
  if (!out->fd.valid()) {
    RemoveTree(record_path);
    out->fd = CreatePart(part);
    if (!out->fd.valid()) return false;
    out->record = PART_RECORD();
    out->record.crc = crc;
    out->held = 0;
    // Written now, so that a supervisor ended in the middle of this check
    // still finds the part to be of this release.
    WritePartRecord(record_path, out->record);
  }
  if (out->record.size != 0 && out->held > out->record.size) {
    // Longer than the archive it belongs to: nothing in it can be trusted.
    out->held = 0;
    out->record.size = 0;
  }
  return true;
}

// Fetches what the part lacks within the archive time limit: one request,
// and one more from the first byte when a continuation is refused. Returns
// the last request's code (-1 also when the limit passed before a request);
// *complete tells whether the part now holds the whole archive.
int FetchRest(RangeTransport& transport, const std::string& url, HeldPart* p, RANGE_FETCH* fetch,
              bool* complete) {
  *complete = p->record.size != 0 && p->held == p->record.size;  // cut right at the end
  if (*complete) return 0;
  // The download leaves the same room as staging does.
  const int part_fd = p->fd.get();
  fetch->room_for = [part_fd](DWORD64 more_bytes) { return RoomFor(part_fd, more_bytes); };
  const long long deadline = CurrentEnv().NowMs() + timing::kArchiveTimeoutS * 1000LL;
  for (;;) {
    long long left = deadline - CurrentEnv().NowMs();
    if (left <= 0) return -1;
    fetch->offset = p->held;
    fetch->if_range = p->held != 0 ? RangeValidator(p->record) : "";
    fetch->expected_total = p->held != 0 ? p->record.size : 0;
    int r = transport.DownloadRange(url, p->fd.get(), static_cast<DWORD>(left), fetch);
    // A refused continuation starts over, within the same time limit.
    if (r == -3 && p->held != 0) {
      p->held = 0;
      p->record.size = 0;
      continue;
    }
    if (fetch->verdict == RangeVerdict::kAppend)
      REPORT_NOTICE("resumed download at %llu of %llu url:%s",
                    static_cast<unsigned long long>(p->held),
                    static_cast<unsigned long long>(fetch->total), outside::Url(url).c_str());
    *complete = r == 0;
    return r;
  }
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

// Keeps or drops what the fetch left in the part, and reports the outcome:
// a complete download loses its record; a cut one keeps its bytes for the
// next check only when they can be continued.
int SettlePart(const std::string& url, const std::string& part, HeldPart* p,
               const RANGE_FETCH& fetch, int r, bool complete) {
  if (r == -2) {
    p->fd.reset();
    DropPart(part);
    REPORT_ERROR("write file error! url:%s", Quoted(part).c_str());
    return kUpdateWriteFailed;
  }
  if (r == -4) {
    // Kept, the part would hold the disk under its reserve until the next check.
    std::string why = NoRoomReason(fetch, p->fd.get());
    p->fd.reset();
    DropPart(part);
    REPORT_ERROR("down file error! url:%s", outside::Url(url).c_str());
    REPORT_ERROR("%s url:%s", why.c_str(), outside::Url(url).c_str());
    return kUpdateNoArchive;
  }
  const std::string record_path = PartRecordPath(part);
  DWORD64 size = FileSize(p->fd.get());
  if (complete && size != 0) {
    RemoveTree(record_path);
    return 0;
  }
  // No reply at all (no connection, cut before the first byte) leaves the
  // part as it was; a reply whose bytes were used must be continuable.
  bool keep = !complete && size != 0 && (!fetch.judged || Continuable(fetch));
  if (keep && fetch.judged) {
    p->record.etag = fetch.etag;
    p->record.last_modified = fetch.last_modified;
    p->record.size = fetch.total;
  }
  if (keep) keep = WritePartRecord(record_path, p->record);
  p->fd.reset();
  if (!keep) DropPart(part);
  REPORT_ERROR("down file error! url:%s", outside::Url(url).c_str());
  if (fetch.judged && !IdentityEncoding(fetch.content_encoding))
    REPORT_ERROR("reply refused: Content-Encoding:%s, only the identity encoding is taken url:%s",
                 Quoted(fetch.content_encoding).c_str(), outside::Url(url).c_str());
  return kUpdateNoArchive;
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
  HeldPart held;
  if (!OpenPart(part, crc, &held)) {
    REPORT_ERROR("write file error! url:%s", Quoted(part).c_str());
    return kUpdateWriteFailed;
  }
  RANGE_FETCH fetch;
  bool complete = false;
  int r = FetchRest(transport, url, &held, &fetch, &complete);
  return SettlePart(url, part, &held, fetch, r, complete);
}
