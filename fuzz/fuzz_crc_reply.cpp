// Fuzzes GetCrc on the body of the update server's CRC reply.
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

  // The "crc" member when the body is JSON with a string there, else nothing.
  CJson json;
  std::string expected;
  if (json.LoadJson(body.c_str()) != 0 || json.GetValue("crc", expected) != 0) expected.clear();
  FUZZ_CHECK(crc == expected);
  FUZZ_CHECK(strlen(crc.c_str()) == crc.size());
  return 0;
}
