// HTTP(S) transfers over libcurl's easy interface: a GET or a POST whose
// response body comes back as a string, and a GET streamed into a file. Each
// call runs exactly one transfer on its own handle; the object holds nothing.
// The server certificate is not verified (peers with self-signed certificates
// rely on it), and HTTP error statuses are not failures: their pages are
// returned like any body.
//
// A GET may name http://, https:// or file:// (a POST http:// or https://);
// redirects are followed to http:// and https:// only. A GET asks for the
// identity encoding and fails on a reply in any other (Content-Encoding),
// before a byte of its body is kept: bodies are never decoded.
#pragma once

#include <cstddef>
#include <string>

#include "CRC.h"
#include "HttpRange.h"
#include "def_linux/GlobalDef.h"

class CHttpDown {
 public:
  CHttpDown();
  ~CHttpDown();

  // libcurl's process-wide initialisation, done once; later calls do nothing.
  // Call on the main thread before any other thread exists. Every transfer
  // calls it too, for programs that forget.
  static void GlobalInit();

  // GET of sUrl; time_out limits the whole transfer in seconds (0: no limit).
  // The body, or an empty string when the transfer failed.
  std::string OpenURL(const std::string& sUrl, DWORD time_out);
  // The same, failing once the body grows beyond max_size bytes: a small
  // reply from a server that sends without end must not exhaust memory.
  std::string OpenURL(const std::string& sUrl, DWORD time_out, size_t max_size);

  // POST of the len bytes at Data; time_out limits the whole transfer and the
  // connection phase (0: libcurl's defaults). The body, or an empty string
  // after one console line when the transfer failed. A negative len, or a
  // null Data with a positive len, is refused without a transfer.
  std::string PostUrl(std::string sUrl, const char* Data, int len, DWORD time_out);

  // GET of sUrl streamed into file_path (a new file, mode 0644; nothing may
  // stand at file_path, so no link planted there is followed),
  // with the options of OpenURL. On success stores the byte count in
  // *size_out and the CRC-32 of the bytes in *crc_out (either may be null)
  // and returns 0. Returns -1 when the transfer failed or timed out or a write
  // failed (the file's content is then unspecified; the caller removes it),
  // and -2 when the file cannot be created (no transfer is made). Outputs are
  // written only on success. Writes no log.
  int DownloadToFile(const std::string& sUrl, const std::string& file_path, DWORD time_out,
                     DWORD64* size_out, DWORD* crc_out);

  // GET of sUrl into the open file fd, continuing at fetch->offset when that
  // is not 0 (Range: bytes=<offset>-, with If-Range when fetch->if_range is
  // set), with the options of OpenURL; time_out_ms limits the whole transfer
  // (0: no limit). The reply is judged by JudgeRangeReply before its first
  // byte is written: appended at the offset, written from the start over
  // whatever the file held, or refused. Then, with fetch->room_for set, a
  // reply whose length does not fit is refused, and the transfer stops at the
  // first piece that does not. Fills the reply part of *fetch and returns 0
  // when the whole body arrived, -1 when the transfer failed or timed out
  // (fetch->written bytes of it are in the file), -2 when a write to the file
  // failed, -3 when the reply was refused (the file is unchanged), -4 when it
  // did not fit (the file is unchanged when its length was refused, else as
  // for -1). An if_range holding control characters is refused without a
  // transfer (-3). Writes no log.
  int DownloadRange(const std::string& sUrl, int fd, DWORD time_out_ms, RANGE_FETCH* fetch);
};
