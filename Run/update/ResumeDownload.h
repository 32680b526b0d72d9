// The archive download, continued across checks: a fetch cut short keeps its
// bytes in update.gz.part and writes update.gz.part.json beside them; the next
// check for the same published CRC asks only for the rest.
#pragma once

#include <string>

#include "HttpRange.h"
#include "def_linux/GlobalDef.h"

// The one ranged GET of each attempt, as CHttpDown::DownloadRange makes it
// (the same contract and return codes): the seam where a test plays a
// scripted server.
class RangeTransport {
 public:
  virtual ~RangeTransport() = default;
  virtual int DownloadRange(const std::string& url, int fd, DWORD time_out_ms,
                            RANGE_FETCH* fetch) = 0;
};

// The transport over HTTP(S), through CHttpDown.
RangeTransport& HttpTransport();

// Brings part to the whole archive published at url for the published CRC
// text crc, within the archive time limit of one check (timed on the current
// Env's clock). Returns 0 when part holds a complete download (not yet
// verified; its record is removed), kUpdateNoArchive when the fetch did not
// complete (what arrived is kept for the next check when it can be continued)
// and kUpdateWriteFailed when the part could not be created or written (it is
// removed). Reports failures and the "resumed download" notice itself.
int FetchArchive(const std::string& url, const std::string& crc, const std::string& part,
                 RangeTransport& transport = HttpTransport());

// Removes part and its record, whatever stands there.
void DropPart(const std::string& part);

// The record's name beside part.
std::string PartRecordPath(const std::string& part);
