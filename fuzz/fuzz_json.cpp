// Fuzzes CJson: loading, the keyed reads of every form, the array reads, the
// flattening into texts, and writing a loaded document back as text that must
// load again to the same document.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "FuzzCheck.h"
#include "Json.h"

namespace {

// Names every object is read with, besides its own member names.
const char* const kFixedNames[] = {"", "a", "list", "crc", "path", "param", "run", "url"};
// Bounds the work on one input: values explored, member names read per object,
// elements fetched per array, and nesting followed.
constexpr int kExploreBudget = 300;
constexpr size_t kNamesPerObject = 32;
constexpr size_t kElementsPerArray = 64;
constexpr int kMaxDepth = 12;

const char kSentinelText[] = "\x01untouched";
constexpr double kSentinelDouble = 1234.5;
constexpr long kSentinelLong = -777;
constexpr unsigned long kSentinelUlong = 777;

// A string value's text up to its first NUL byte, as every read gives it.
std::string Cut(const char* s, size_t len) { return std::string(s, strnlen(s, len)); }
std::string CutString(const JSON_VALUE& v) { return Cut(v.GetString(), v.GetStringLength()); }
std::string CutName(const JSON_VALUE::Member& m) {
  return Cut(m.name.GetString(), m.name.GetStringLength());
}

bool IsSentinelValue(const JSON_VALUE& v) {
  return v.IsString() && strcmp(v.GetString(), kSentinelText) == 0;
}

// Same tree, member order and number kinds included. operator== of the value
// type looks members up by name, which misses repeated names.
bool SameValue(const JSON_VALUE& a, const JSON_VALUE& b) {
  std::vector<std::pair<const JSON_VALUE*, const JSON_VALUE*>> work{{&a, &b}};
  while (!work.empty()) {
    const JSON_VALUE& x = *work.back().first;
    const JSON_VALUE& y = *work.back().second;
    work.pop_back();
    if (x.GetType() != y.GetType()) return false;
    if (x.IsString()) {
      if (x.GetStringLength() != y.GetStringLength() ||
          memcmp(x.GetString(), y.GetString(), x.GetStringLength()) != 0)
        return false;
    } else if (x.IsNumber()) {
      if (x.IsDouble() != y.IsDouble() || x.IsInt64() != y.IsInt64() ||
          x.IsUint64() != y.IsUint64())
        return false;
      if (x.IsDouble() && !(x.GetDouble() == y.GetDouble())) return false;
      if (x.IsInt64() && x.GetInt64() != y.GetInt64()) return false;
      if (x.IsUint64() && x.GetUint64() != y.GetUint64()) return false;
    } else if (x.IsBool()) {
      if (x.GetBool() != y.GetBool()) return false;
    } else if (x.IsArray()) {
      if (x.Size() != y.Size()) return false;
      for (rapidjson::SizeType i = 0; i < x.Size(); ++i) work.emplace_back(&x[i], &y[i]);
    } else if (x.IsObject()) {
      if (x.MemberCount() != y.MemberCount()) return false;
      JSON_VALUE::ConstMemberIterator m = x.MemberBegin(), n = y.MemberBegin();
      for (; m != x.MemberEnd(); ++m, ++n) {
        if (m->name != n->name) return false;
        work.emplace_back(&m->value, &n->value);
      }
    }
  }
  return true;
}

// The flattened text of a scalar; false for null, whose text is left open.
bool ExpectedText(const JSON_VALUE& v, std::string& text) {
  if (v.IsObject()) {
    text = "_o_b_j_e_c_t_";
  } else if (v.IsArray()) {
    text = "_a_r_r_a_y_";
  } else if (v.IsString()) {
    text = CutString(v);
  } else if (v.IsBool()) {
    text = v.GetBool() ? "1" : "0";
  } else if (v.IsDouble()) {
    text = std::to_string(static_cast<long double>(v.GetDouble()));
  } else if (v.IsUint64()) {
    text = std::to_string(static_cast<unsigned long>(v.GetUint64()));
  } else if (v.IsInt64()) {
    text = std::to_string(static_cast<long>(v.GetInt64()));
  } else {
    return false;
  }
  return true;
}

// The outcome of every keyed read of one name. Outputs start as sentinels, so
// that a failed read can be seen to have written nothing.
struct Reads {
  int text = 0, dbl = 0, sgn = 0, uns = 0, boolean = 0, boolean2 = 0, value = 0;
  std::string text_out = kSentinelText;
  double dbl_out = kSentinelDouble;
  long sgn_out = kSentinelLong;
  unsigned long uns_out = kSentinelUlong;
  bool bool_out = true, bool_out2 = false;
  JSON_VALUE value_out{rapidjson::StringRef(kSentinelText)};

  bool Same(const Reads& o) const {
    return text == o.text && dbl == o.dbl && sgn == o.sgn && uns == o.uns && boolean == o.boolean &&
           value == o.value && text_out == o.text_out && dbl_out == o.dbl_out &&
           sgn_out == o.sgn_out && uns_out == o.uns_out && bool_out == o.bool_out &&
           SameValue(value_out, o.value_out);
  }
};

// All six forms, on the root when in is null, else on the members of *in.
void ReadAll(CJson& json, const JSON_VALUE* in, const char* name, Reads& r) {
  if (in == nullptr) {
    r.text = json.GetValue(name, r.text_out);
    r.dbl = json.GetValue(name, r.dbl_out);
    r.sgn = json.GetValue(name, r.sgn_out);
    r.uns = json.GetValue(name, r.uns_out);
    r.boolean = json.GetValue(name, r.bool_out);
    r.boolean2 = json.GetValue(name, r.bool_out2);
    r.value = json.GetValue(name, r.value_out);
  } else {
    r.text = json.GetValue(*in, name, r.text_out);
    r.dbl = json.GetValue(*in, name, r.dbl_out);
    r.sgn = json.GetValue(*in, name, r.sgn_out);
    r.uns = json.GetValue(*in, name, r.uns_out);
    r.boolean = json.GetValue(*in, name, r.bool_out);
    r.boolean2 = json.GetValue(*in, name, r.bool_out2);
    r.value = json.GetValue(*in, name, r.value_out);
  }

  for (int status : {r.text, r.dbl, r.sgn, r.uns, r.boolean, r.boolean2, r.value})
    FUZZ_CHECK(status == 0 || status == -1);
  FUZZ_CHECK(r.boolean == r.boolean2);
  if (r.text != 0) FUZZ_CHECK(r.text_out == kSentinelText);
  if (r.dbl != 0) FUZZ_CHECK(r.dbl_out == kSentinelDouble);
  if (r.sgn != 0) FUZZ_CHECK(r.sgn_out == kSentinelLong);
  if (r.uns != 0) FUZZ_CHECK(r.uns_out == kSentinelUlong);
  if (r.boolean != 0) FUZZ_CHECK(r.bool_out && !r.bool_out2);
  if (r.boolean == 0) FUZZ_CHECK(r.bool_out == r.bool_out2);
  if (r.value != 0) FUZZ_CHECK(IsSentinelValue(r.value_out));

  // No read converts between kinds: one family at most succeeds.
  int families =
      (r.text == 0) + (r.dbl == 0) + (r.sgn == 0 || r.uns == 0) + (r.boolean == 0) + (r.value == 0);
  FUZZ_CHECK(families <= 1);
  if (r.sgn == 0 && r.uns == 0) FUZZ_CHECK(r.sgn_out >= 0 && (unsigned long)r.sgn_out == r.uns_out);
  if (r.sgn == 0 && r.uns != 0) FUZZ_CHECK(r.sgn_out < 0);
  if (r.uns == 0 && r.sgn != 0) FUZZ_CHECK(r.uns_out > static_cast<unsigned long>(LONG_MAX));
  if (r.text == 0) FUZZ_CHECK(strlen(r.text_out.c_str()) == r.text_out.size());
  if (r.value == 0) FUZZ_CHECK(r.value_out.IsObject() || r.value_out.IsArray());
}

bool AllFailed(const Reads& r) { return r.text && r.dbl && r.sgn && r.uns && r.boolean && r.value; }

void Explore(CJson& json, const JSON_VALUE& v, int depth, int& budget);

// Keyed reads of one name on object v against v's own members: the first
// member of that exact name decides, and the flattening shows the last member
// whose name, cut at a NUL, is the name.
void CheckName(CJson& json, const JSON_VALUE& v, const char* name, const CJson::KEY_VALUE_MAP& map,
               int depth, int& budget) {
  Reads r;
  ReadAll(json, &v, name, r);

  const size_t len = strlen(name);
  const JSON_VALUE* first = nullptr;
  const JSON_VALUE* last_cut = nullptr;
  for (JSON_VALUE::ConstMemberIterator m = v.MemberBegin(); m != v.MemberEnd(); ++m) {
    if (!first && m->name.GetStringLength() == len && memcmp(m->name.GetString(), name, len) == 0)
      first = &m->value;
    if (CutName(*m) == name) last_cut = &m->value;
  }
  if (first == nullptr) {
    FUZZ_CHECK(AllFailed(r));
  } else {
    FUZZ_CHECK((r.text == 0) == first->IsString());
    FUZZ_CHECK((r.dbl == 0) == first->IsDouble());
    FUZZ_CHECK((r.sgn == 0) == first->IsInt64());
    FUZZ_CHECK((r.uns == 0) == first->IsUint64());
    FUZZ_CHECK((r.boolean == 0) == first->IsBool());
    FUZZ_CHECK((r.value == 0) == (first->IsObject() || first->IsArray()));
    if (r.text == 0) FUZZ_CHECK(r.text_out == CutString(*first));
    if (r.dbl == 0) FUZZ_CHECK(r.dbl_out == first->GetDouble());
    if (r.value == 0) FUZZ_CHECK(SameValue(r.value_out, *first));
  }

  CJson::KEY_VALUE_MAP::const_iterator entry = map.find(name);
  FUZZ_CHECK((entry != map.end()) == (last_cut != nullptr));
  std::string expected;
  if (last_cut != nullptr && ExpectedText(*last_cut, expected))
    FUZZ_CHECK(entry->second == expected);

  if (r.value == 0 && depth < kMaxDepth) Explore(json, r.value_out, depth + 1, budget);
}

void CheckArray(CJson& json, const JSON_VALUE& v, int depth, int& budget) {
  const size_t count = json.GetArrayCount(v);
  FUZZ_CHECK(count == v.Size());
  for (size_t i = 0; i < count && i < kElementsPerArray; ++i) {
    JSON_VALUE element;
    FUZZ_CHECK(json.GetArrayIndex(v, i, element) == 0);
    FUZZ_CHECK(SameValue(element, v[static_cast<rapidjson::SizeType>(i)]));
    if ((element.IsObject() || element.IsArray()) && depth < kMaxDepth)
      Explore(json, element, depth + 1, budget);
  }
  JSON_VALUE untouched(rapidjson::StringRef(kSentinelText));
  FUZZ_CHECK(json.GetArrayIndex(v, count, untouched) == -2);
  FUZZ_CHECK(json.GetArrayIndex(v, SIZE_MAX, untouched) == -2);
  FUZZ_CHECK(IsSentinelValue(untouched));

  // Every scalar element in order; objects and arrays are left out.
  CJson::KEY_VALUE_LIST list = json.GetValueList(v);
  size_t next = 0;
  for (JSON_VALUE::ConstValueIterator e = v.Begin(); e != v.End(); ++e) {
    if (e->IsObject() || e->IsArray()) continue;
    FUZZ_CHECK(next < list.size());
    std::string expected;
    if (ExpectedText(*e, expected)) FUZZ_CHECK(list[next] == expected);
    ++next;
  }
  FUZZ_CHECK(next == list.size());
  FUZZ_CHECK(json.GetValueMap(v).empty());
}

void Explore(CJson& json, const JSON_VALUE& v, int depth, int& budget) {
  if (--budget < 0) return;
  if (v.IsObject()) {
    CJson::KEY_VALUE_MAP map = json.GetValueMap(v);
    FUZZ_CHECK(map.size() <= v.MemberCount());
    for (const char* name : kFixedNames) CheckName(json, v, name, map, depth, budget);
    size_t n = 0;
    for (const auto& entry : map) {
      if (++n > kNamesPerObject) break;
      CheckName(json, v, entry.first.c_str(), map, depth, budget);
    }
    JSON_VALUE untouched(rapidjson::StringRef(kSentinelText));
    FUZZ_CHECK(json.GetArrayCount(v) == 0);
    FUZZ_CHECK(json.GetArrayIndex(v, 0, untouched) == -1 && IsSentinelValue(untouched));
    FUZZ_CHECK(json.GetValueList(v).empty());
  } else if (v.IsArray()) {
    CheckArray(json, v, depth, budget);
  }
}

// The root as a value of its own: wrapped as a member of a new document and
// read out with the value form. Only objects and arrays can be read so.
bool RootAsValue(const std::string& root_text, CJson& holder, JSON_VALUE& root) {
  std::string wrapped = "{\"r\":" + root_text + "}";
  FUZZ_CHECK(holder.LoadJson(wrapped.c_str()) == 0);
  return holder.GetValue("r", root) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated

  // A failed load keeps the document held before.
  static const char kBefore[] = "{\"k\":[1,\"x\"]}";
  CJson json;
  FUZZ_CHECK(json.LoadJson(kBefore) == 0);
  if (json.LoadJson(text.c_str()) != 0) {
    FUZZ_CHECK(json.GetRootString() == kBefore);
    return 0;
  }

  // A written document reads back as the same document.
  const std::string written = json.GetRootString();
  FUZZ_CHECK(!written.empty());
  FUZZ_CHECK(strlen(written.c_str()) == written.size());
  CJson again;
  FUZZ_CHECK(again.LoadJson(written.c_str()) == 0);
  FUZZ_CHECK(again.GetRootString() == written);
  const CJson::KEY_VALUE_MAP root_map = json.GetValueMap();
  FUZZ_CHECK(again.GetValueMap() == root_map);

  std::vector<std::string> names(std::begin(kFixedNames), std::end(kFixedNames));
  for (const auto& entry : root_map) {
    if (names.size() >= kNamesPerObject + 8) break;
    names.push_back(entry.first);
  }

  CJson holder;
  JSON_VALUE root;
  const bool container = RootAsValue(written, holder, root);
  if (!container || !root.IsObject()) {
    // The keyed reads and the flattening want an object root.
    FUZZ_CHECK(root_map.empty());
    for (const std::string& name : names) {
      Reads r;
      ReadAll(json, nullptr, name.c_str(), r);
      FUZZ_CHECK(AllFailed(r));
    }
  } else {
    // The root forms agree with the value forms on a copy of the root.
    for (const std::string& name : names) {
      Reads on_root, on_copy;
      ReadAll(json, nullptr, name.c_str(), on_root);
      ReadAll(json, &root, name.c_str(), on_copy);
      FUZZ_CHECK(on_root.Same(on_copy));
    }
  }
  if (container) {
    int budget = kExploreBudget;
    Explore(json, root, 0, budget);
  }
  return 0;
}
