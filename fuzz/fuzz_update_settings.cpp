// Fuzzes the reading of the update settings: any text gives settings whose
// members agree with what the JSON reader itself finds in it, and the
// reports a check makes of them stay one line.
//
// The log directory is moved below /dev/null, where nothing can be created,
// so each report costs a few failing system calls and writes no file.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "CommLog.h"
#include "FuzzCheck.h"
#include "Json.h"
#include "platform/ReportCapture.h"
#include "update/UpdateSettings.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  COMMUSE::ComPrintLog& log = COMMUSE::ComPrintLog::GetInstance();
  log.SetLogPath("/dev/null/");
  log.LogForce_A(65535, 4, "%s", "");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  UPDATE_SETTINGS s = ParseUpdateSettings(text, "/app/config.json");

  CJson json;
  std::string url, key;
  bool parsed = json.LoadJson(text.c_str()) == 0;
  FUZZ_CHECK(s.has_url == (parsed && json.GetValue("url", url) == 0));
  if (s.has_url) FUZZ_CHECK(s.url == url);
  if (!parsed) FUZZ_CHECK(!s.has_key && s.metrics_file.empty() && !s.metrics_refused);
  if (s.has_key && json.GetValue("public_key", key) == 0) FUZZ_CHECK(s.key_text == key);
  FUZZ_CHECK(s.metrics_file.empty() || s.metrics_file[0] == '/');
  FUZZ_CHECK(!(s.metrics_refused && !s.metrics_file.empty()));

  ReportCapture capture;
  ReadUrl(s);
  MetricsFile(s);
  for (unsigned char c : capture.Message()) FUZZ_CHECK(c >= 0x20 && c != 0x7f);
  return 0;
}
