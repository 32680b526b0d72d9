// Resumed downloads: what a ranged GET asks for, what the reply said, and
// whether its body continues the bytes already held, replaces them or is
// refused. A server may ignore a range (200), honour it (206) or answer
// something that fits neither; only a 206 naming exactly the requested start
// and the known size is appended. A body in any encoding but identity is
// refused whatever else the reply says: its bytes are not the file's.
#pragma once

#include <functional>
#include <string>

#include "CRC.h"

// "bytes <first>-<last>/<total>" of a 206 reply.
struct CONTENT_RANGE {
  DWORD64 first = 0;
  DWORD64 last = 0;
  DWORD64 total = 0;
};

// Reads a Content-Range value; false for anything but one satisfied byte
// range with a known total and first <= last < total (blanks around the
// value are allowed, nothing else). *out is written only on success.
bool ParseContentRange(const std::string& value, CONTENT_RANGE* out);

// True when a Content-Encoding value (several header lines joined with ", ")
// names no coding but identity, in any case: a list whose elements, blanks
// around them aside, are empty or "identity". An absent header reads as "".
bool IdentityEncoding(const std::string& content_encoding);

enum class RangeVerdict {
  kWhole,    // no range was asked for: the body is the file from its start
  kAppend,   // the body continues at the requested offset
  kRestart,  // the server sent the whole file: the held bytes are replaced
  kRefuse,   // nothing of the body may be used
};

// The decision on a reply to a GET that asked for the bytes from offset on
// (0: no Range header). expected_total is the file's size when known from an
// earlier reply, else 0. A reply whose content_encoding is not the identity
// encoding is refused.
RangeVerdict JudgeRangeReply(DWORD64 offset, DWORD64 expected_total, long status,
                             const std::string& content_range, const std::string& content_encoding);

// One ranged GET: the request and what came back.
struct RANGE_FETCH {
  // Request.
  DWORD64 offset = 0;          // bytes held; 0 asks for the whole file
  std::string if_range;        // sent as If-Range with the range when not empty
  DWORD64 expected_total = 0;  // the file's size when known, else 0
  // Asked whether the file may grow by more_bytes: once with what the reply's
  // length adds to the file, before its first byte, and then before each
  // piece is written. False refuses the reply or stops the transfer. Unset:
  // no limit.
  std::function<bool(DWORD64 more_bytes)> room_for;

  // Reply (the last one, after redirects).
  long status = 0;
  std::string etag;
  std::string last_modified;
  std::string content_range;
  std::string content_encoding;  // every Content-Encoding line, joined with ", "
  RangeVerdict verdict = RangeVerdict::kRefuse;
  bool judged = false;  // a reply arrived and was judged
  DWORD64 total = 0;    // the file's size by the reply, 0 when it did not say
  DWORD64 written = 0;  // body bytes written to the file
  DWORD64 needed = 0;   // what the reply's length adds to the file, 0 when it did not say
};
