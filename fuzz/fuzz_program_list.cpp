// Fuzzes the parsing path of ReadConfig (ParseProgramList) on program list
// texts, and the launcher's splitting of each entry's parameter string.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "Json.h"
#include "supervision/Launcher.h"
#include "supervision/ProgramList.h"

namespace {

const std::string kBinDir = "/app/bin/";

bool HasNul(const std::string& s) { return strlen(s.c_str()) != s.size(); }

// A ".." component: the path would leave the bin directory.
bool HasDotDot(const std::string& path) {
  return ("/" + path + "/").find("/../") != std::string::npos;
}

// The arguments a parameter string should give: runs of blanks become one
// blank, which then separates them (a leading or trailing blank leaves an
// empty argument).
std::vector<std::string> SplitCollapsed(const std::string& path, const std::string& param) {
  std::vector<std::string> args{path, ""};
  bool after_blank = false;
  for (char c : param) {
    if (c == ' ') {
      if (!after_blank) args.emplace_back();
      after_blank = true;
    } else {
      args.back() += c;
      after_blank = false;
    }
  }
  return args;
}

// The elements of "list" that are objects: those give entries.
size_t ObjectElements(const std::string& text) {
  CJson json;
  JSON_VALUE list;
  if (json.LoadJson(text.c_str()) != 0 || json.GetValue("list", list) != 0 || !list.IsArray())
    return 0;
  size_t n = 0;
  for (JSON_VALUE::ConstValueIterator e = list.Begin(); e != list.End(); ++e) n += e->IsObject();
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<PRO_INFO> entries;
  std::vector<std::string> skipped;
  const ListParseOutcome result = ParseProgramList(text, kBinDir, &entries, &skipped);

  // The result names what the text holds.
  CJson json;
  JSON_VALUE list;
  const bool loads = json.LoadJson(text.c_str()) == 0;
  const bool has_list = loads && json.GetValue("list", list) == 0;
  FUZZ_CHECK((result == ListParseOutcome::kNotJson) == !loads);
  FUZZ_CHECK((result == ListParseOutcome::kEntries) == has_list);
  FUZZ_CHECK(result == ListParseOutcome::kEntries || entries.empty());
  if (result == ListParseOutcome::kEntries)
    FUZZ_CHECK(entries.size() + skipped.size() == ObjectElements(text));
  for (const std::string& path : skipped) FUZZ_CHECK(HasDotDot(path));

  for (const PRO_INFO& info : entries) {
    FUZZ_CHECK(info.path.compare(0, kBinDir.size(), kBinDir) == 0);
    FUZZ_CHECK(!HasDotDot(info.path.substr(kBinDir.size())));
    FUZZ_CHECK(!HasNul(info.path) && !HasNul(info.param_str));
    FUZZ_CHECK(info.run_tick != 0);
    FUZZ_CHECK(info.pid == 0 && !info.running());

    const std::vector<std::string> args = BuildArguments(info.path.c_str(), info.param_str.c_str());
    FUZZ_CHECK(args.size() >= 2);
    FUZZ_CHECK(args[0] == info.path);
    for (size_t i = 1; i < args.size(); ++i) FUZZ_CHECK(args[i].find(' ') == std::string::npos);
    FUZZ_CHECK(args == SplitCollapsed(info.path, info.param_str));
  }
  return 0;
}
