// Fuzzes the reader of the update server's CRC reply (ParseCrcReply, and
// GetCrc over it).
//
// GetCrc reports a reply it cannot use through the log facility: to the
// console, which is off unless the process was started with a "log"-like
// argument (found out once per process by one ps pipeline), and to the day's
// log file. The log directory is moved below /dev/null, where nothing can be
// created, so each report costs a few failing system calls and writes no file.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "CommLog.h"
#include "FuzzCheck.h"
#include "Json.h"
#include "update/Check.h"
#include "update/Rollout.h"
#include "update/Update.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  COMMUSE::ComPrintLog& log = COMMUSE::ComPrintLog::GetInstance();
  log.SetLogPath("/dev/null/");
  // Settles the console question now rather than inside the first input.
  log.LogForce_A(65535, 4, "%s", "");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  const std::string crc = GetCrc(body);
  CRC_REPLY reply;
  std::string why;
  const bool ok = ParseCrcReply(body, &reply, &why);

  // The "crc" member when the body is JSON with a string there and a usable
  // share (or none), else nothing.
  CJson json;
  std::string expected;
  if (json.LoadJson(body.c_str()) != 0 || json.GetValue("crc", expected) != 0) expected.clear();
  FUZZ_CHECK(ok == why.empty());
  FUZZ_CHECK(crc == (ok ? expected : ""));
  FUZZ_CHECK(!ok || (reply.rollout >= 0 && reply.rollout <= 100));
  FUZZ_CHECK(strlen(crc.c_str()) == crc.size());
  return 0;
}
