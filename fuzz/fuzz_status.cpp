// Fuzzes the status texts with what a program list can name: whatever bytes
// the list's paths and parameters hold, status.json parses as strict UTF-8
// JSON and gives them back as written (invalid sequences replaced), and the
// metrics file keeps one sample per line, each a name, optional labels and
// a value.
#include <rapidjson/document.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "status/Status.h"
#include "status/StatusText.h"
#include "supervision/ProgramList.h"

namespace {

bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A sample line: name, then {labels} whose quoted values hide no brace or
// line break, then one blank and a value without blanks.
bool WellFormedSample(const std::string& line) {
  size_t i = 0;
  while (i < line.size() && NameChar(line[i])) ++i;
  if (i == 0) return false;
  if (i < line.size() && line[i] == '{') {
    ++i;
    bool quoted = false;
    for (; i < line.size(); ++i) {
      char c = line[i];
      if (quoted && c == '\\') {
        ++i;
      } else if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && c == '}') {
        break;
      }
    }
    if (i == line.size()) return false;
    ++i;
  }
  if (i >= line.size() || line[i] != ' ') return false;
  const std::string value = line.substr(i + 1);
  return !value.empty() && value.find(' ') == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  SUPERVISOR_STATUS status;
  ParseProgramList(text, "/app/bin/", &status.programs, nullptr);
  status.version = text.substr(0, 16);
  status.last_check.done = true;
  status.last_check.message = text;

  const std::string json = StatusJson(status);
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseValidateEncodingFlag>(json.c_str(), json.size());
  FUZZ_CHECK(!doc.HasParseError());
  FUZZ_CHECK(doc["programs"].Size() == status.programs.size());
  for (size_t i = 0; i < status.programs.size(); ++i) {
    const auto& path = doc["programs"][static_cast<rapidjson::SizeType>(i)]["path"];
    FUZZ_CHECK(std::string(path.GetString(), path.GetStringLength()) ==
               ValidUtf8(status.programs[i].path));
  }
  FUZZ_CHECK(std::string(doc["update"]["last"]["message"].GetString(),
                         doc["update"]["last"]["message"].GetStringLength()) == ValidUtf8(text));

  const std::string metrics = StatusMetrics(status);
  FUZZ_CHECK(ValidUtf8(metrics) == metrics);
  size_t start = 0;
  while (start < metrics.size()) {
    size_t end = metrics.find('\n', start);
    FUZZ_CHECK(end != std::string::npos);
    const std::string line = metrics.substr(start, end - start);
    FUZZ_CHECK(line.compare(0, 7, "# HELP ") == 0 || line.compare(0, 7, "# TYPE ") == 0 ||
               WellFormedSample(line));
    start = end + 1;
  }
  return 0;
}
