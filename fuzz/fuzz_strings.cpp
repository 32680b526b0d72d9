// Fuzzes the splitting and replacing helpers of qmToolHelper: the three
// StringSubs forms, replace and TrimSpace.
//
// Input: the first byte is a field separator, the rest is cut at it into the
// source text, a first delimiter, a second delimiter and a trim set (missing
// fields are empty). So "|a,,b|," splits "a,,b" at ",".
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "SingletonBase.h"
#include "ToolHelper.h"

namespace {

typedef qmToolHelper::RET_STRING_VECTOR List;

const char kSentinel[] =
    "\x01"
    "earlier entry";

// replace is only run where the plain rescan-from-the-start loop ends within
// these bounds: a replacement longer than what it replaces can grow the text
// (ab -> bba doubles every b an a passes) or, in general, not end at all.
constexpr size_t kMaxReplaceSteps = 1024;
constexpr size_t kMaxReplaceLength = 4096;

std::vector<std::string> Fields(const std::string& input) {
  std::vector<std::string> fields;
  const char sep = input[0];
  size_t pos = 1;
  for (;;) {
    size_t found = input.find(sep, pos);
    fields.push_back(
        input.substr(pos, found == std::string::npos ? std::string::npos : found - pos));
    if (found == std::string::npos) break;
    pos = found + 1;
  }
  fields.resize(std::max<size_t>(fields.size(), 4));
  return fields;
}

// Text up to its first NUL: what a const char* parameter sees.
std::string CText(const std::string& s) { return std::string(s.c_str()); }

bool Contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

void CheckSplit(qmToolHelper& tool, const std::string& src, const std::string& sep) {
  List list{kSentinel};
  const int n = tool.StringSubs(src, sep, list);
  FUZZ_CHECK(n >= 2 && static_cast<size_t>(n) == list.size() && list[0] == kSentinel);
  if (sep.empty()) {
    FUZZ_CHECK(n == 2 && list[1] == src);
    return;
  }
  // Cut at the leftmost separator each time: joined they give the source back.
  std::string joined;
  for (size_t i = 1; i < list.size(); ++i) {
    const std::string& piece = list[i];
    if (i + 1 < list.size()) {
      FUZZ_CHECK((piece + sep).find(sep) == piece.size());
    } else {
      FUZZ_CHECK(!Contains(piece, sep));
    }
    if (i > 1) joined += sep;
    joined += piece;
  }
  FUZZ_CHECK(joined == src);
}

void CheckExtract(qmToolHelper& tool, const std::string& src, const std::string& begin,
                  const std::string& end) {
  const std::string untouched(src.size() + 1, 'u');  // longer than any text it could get
  std::string ret = untouched;
  const int r = tool.StringSubs(src, begin, end, ret);
  const size_t at = src.find(begin);
  const size_t start = at == std::string::npos ? src.size() : at + begin.size();
  const size_t stop = end.empty() ? src.size() : src.find(end, start);
  if (at == std::string::npos || stop == std::string::npos) {
    FUZZ_CHECK(r == -1 && ret == untouched);
    return;
  }
  FUZZ_CHECK(r == 0);
  if (stop == start) {
    FUZZ_CHECK(ret == untouched);
  } else {
    FUZZ_CHECK(ret == src.substr(start, stop - start));
    if (!end.empty()) FUZZ_CHECK(!Contains(ret, end));
  }
}

void CheckEnclosed(qmToolHelper& tool, const std::string& src, const std::string& begin,
                   const std::string& end) {
  List list{kSentinel};
  const int n = tool.StringSubs(src, begin, end, list);
  FUZZ_CHECK(n >= 1 && static_cast<size_t>(n) == list.size() && list[0] == kSentinel);
  if (begin.empty() && end.empty()) {
    FUZZ_CHECK(n == 1);
    return;
  }
  // Each piece lies between the next begin and the first end behind it.
  size_t pos = 0;
  for (size_t i = 1; i < list.size(); ++i) {
    const std::string& piece = list[i];
    size_t at = src.find(begin, pos);
    FUZZ_CHECK(at != std::string::npos);
    size_t start = at + begin.size();
    FUZZ_CHECK(src.compare(start, piece.size(), piece) == 0);
    FUZZ_CHECK(src.find(end, start) == start + piece.size());
    pos = start + piece.size() + end.size();
  }
  // And nothing enclosed is left behind the last one.
  size_t at = src.find(begin, pos);
  FUZZ_CHECK(at == std::string::npos || src.find(end, at + begin.size()) == std::string::npos);
}

// The loop as first written: search from the start after every replacement.
// False when it does not end within the bounds.
bool PlainReplace(std::string& s, const std::string& ori, const std::string& dest, int* count) {
  *count = 0;
  for (size_t step = 0; step < kMaxReplaceSteps && s.size() <= kMaxReplaceLength; ++step) {
    size_t pos = s.find(ori);
    if (pos == std::string::npos) return true;
    s.replace(pos, ori.size(), dest);
    ++*count;
  }
  return false;
}

void CheckReplace(qmToolHelper& tool, const std::string& src, const std::string& ori_field,
                  const std::string& dest_field) {
  const std::string ori = CText(ori_field), dest = CText(dest_field);
  std::string str = src;
  if (ori.empty() || Contains(dest, ori)) {
    // Would never end: refused.
    FUZZ_CHECK(tool.replace(str, ori_field.c_str(), dest_field.c_str()) == 0 && str == src);
    return;
  }
  std::string expected = src;
  int expected_count = 0;
  if (!PlainReplace(expected, ori, dest, &expected_count)) return;
  const int count = tool.replace(str, ori_field.c_str(), dest_field.c_str());
  FUZZ_CHECK(count == expected_count);
  FUZZ_CHECK(str == expected);
  FUZZ_CHECK(!Contains(str, ori));
}

void CheckTrim(qmToolHelper& tool, const std::string& src, const std::string& set_field) {
  const std::string set = CText(set_field);
  auto in_set = [&](char c) { return c != '\0' && set.find(c) != std::string::npos; };
  std::string str = src;
  tool.TrimSpace(str, set_field.c_str());
  size_t first = 0, last = src.size();
  while (first < last && in_set(src[first])) ++first;
  while (last > first && in_set(src[last - 1])) --last;
  FUZZ_CHECK(str == src.substr(first, last - first));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::vector<std::string> f = Fields(std::string(reinterpret_cast<const char*>(data), size));
  const std::string &src = f[0], &a = f[1], &b = f[2], &set = f[3];
  qmToolHelper& tool = SingletonBase<qmToolHelper>::Instance();

  CheckSplit(tool, src, a);
  CheckExtract(tool, src, a, b);
  CheckEnclosed(tool, src, a, b);
  CheckReplace(tool, src, a, b);
  CheckTrim(tool, src, set);
  return 0;
}
