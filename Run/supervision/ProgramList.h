// The program list file <app dir>/bin/config.json and its reading into the table.
#pragma once

#include <string>
#include <vector>

#include "platform/AppFiles.h"
#include "supervision/ProgramTable.h"

// Rebuilds the table from <app dir>/bin/config.json; reports errors itself.
void ReadConfig();

// What ParseProgramList found in a program list text.
enum class ListParseOutcome {
  kEntries,  // a "list" array or object: *entries filled (possibly empty)
  kNoList,   // valid JSON without a usable "list"
  kNotJson,  // not valid JSON
};
// Parses a program list text; every entry's path is dir + its "path". An
// entry whose "path" has a ".." component would leave dir: it is left out,
// and its "path" added to *skipped when skipped is not null.
ListParseOutcome ParseProgramList(const std::string& json_data, const std::string& dir,
                                  std::vector<PRO_INFO>* entries,
                                  std::vector<std::string>* skipped = nullptr);

// The program list is read only up to this size; a larger file counts as
// unreadable.
constexpr size_t kMaxConfigFileSize = appfiles::kMaxConfigFileSize;
