// CJson: loading and reading.
#include "Json.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

typedef rapidjson::Document::AllocatorType Pool;

// Text of a string value up to its first NUL byte.
std::string TextOf(const JSON_VALUE& v) {
  const char* s = v.GetString();
  return std::string(s, strnlen(s, v.GetStringLength()));
}

// The first member of obj named exactly name, or null.
const JSON_VALUE* FindMember(const JSON_VALUE& obj, const char* name) {
  if (name == nullptr || !obj.IsObject()) return nullptr;
  size_t len = strlen(name);
  for (JSON_VALUE::ConstMemberIterator m = obj.MemberBegin(); m != obj.MemberEnd(); ++m) {
    if (m->name.GetStringLength() == len && memcmp(m->name.GetString(), name, len) == 0)
      return &m->value;
  }
  return nullptr;
}

// Deep copy into the pool, strings included. Uses a work list instead of recursion so that
// any nesting depth the parser accepts can be copied.
void DeepCopy(const JSON_VALUE& src, JSON_VALUE& dst, Pool& pool) {
  std::vector<std::pair<const JSON_VALUE*, JSON_VALUE*>> work{{&src, &dst}};
  while (!work.empty()) {
    const JSON_VALUE* s = work.back().first;
    JSON_VALUE* d = work.back().second;
    work.pop_back();
    if (s->IsArray()) {
      d->SetArray();
      d->Reserve(s->Size(), pool);
      for (rapidjson::SizeType i = 0; i < s->Size(); ++i) d->PushBack(JSON_VALUE(), pool);
      // Element slots stay in place from here on: nothing more is added to d.
      for (rapidjson::SizeType i = 0; i < s->Size(); ++i) work.emplace_back(&(*s)[i], &(*d)[i]);
    } else if (s->IsObject()) {
      d->SetObject();
      for (JSON_VALUE::ConstMemberIterator m = s->MemberBegin(); m != s->MemberEnd(); ++m) {
        JSON_VALUE name(m->name.GetString(), m->name.GetStringLength(), pool);
        d->AddMember(name, JSON_VALUE(), pool);
      }
      JSON_VALUE::MemberIterator dm = d->MemberBegin();
      for (JSON_VALUE::ConstMemberIterator m = s->MemberBegin(); m != s->MemberEnd(); ++m, ++dm)
        work.emplace_back(&m->value, &dm->value);
    } else if (s->IsString()) {
      d->SetString(s->GetString(), s->GetStringLength(), pool);
    } else {
      d->CopyFrom(*s, pool);  // null, boolean or number: nothing to share
    }
  }
}

// Scalar text by the flattening rules; false for objects and arrays.
bool ScalarText(const JSON_VALUE& v, std::string& text) {
  if (v.IsString()) {
    text = TextOf(v);
  } else if (v.IsBool()) {
    text = v.GetBool() ? "1" : "0";
  } else if (v.IsDouble()) {
    text = std::to_string(static_cast<long double>(v.GetDouble()));
  } else if (v.IsUint64()) {
    text = std::to_string(static_cast<unsigned long>(v.GetUint64()));
  } else if (v.IsInt64()) {
    text = std::to_string(static_cast<long>(v.GetInt64()));
  } else if (v.IsNull()) {
    text.clear();  // reads like an absent member
  } else {
    return false;
  }
  return true;
}

// Parser events into the document, with numbers converted here: the library's own
// conversion can be off by a unit in the last place (so written doubles would not read back
// unchanged), turns literals beyond the double range into infinity, and its exact mode reads
// out of bounds on long numbers. The number text has been checked against JSON's grammar.
class Loader {
 public:
  explicit Loader(const char* text) : text_(text) {}
  ~Loader() {
    if (c_locale_ != nullptr) freelocale(c_locale_);
  }
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  // The generator that Document::Populate calls; false leaves the document as it was.
  bool operator()(rapidjson::Document& doc) {
    doc_ = &doc;
    rapidjson::Reader reader;
    rapidjson::StringStream in(text_);
    const unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
    ok_ = !reader.Parse<flags>(in, *this).IsError();
    return ok_;
  }
  bool ok() const { return ok_; }

  bool Null() { return doc_->Null(); }
  bool Bool(bool b) { return doc_->Bool(b); }
  bool Int(int i) { return doc_->Int(i); }
  bool Uint(unsigned u) { return doc_->Uint(u); }
  bool Int64(int64_t i) { return doc_->Int64(i); }
  bool Uint64(uint64_t u) { return doc_->Uint64(u); }
  bool Double(double d) { return doc_->Double(d); }
  bool String(const char* s, rapidjson::SizeType n, bool copy) { return doc_->String(s, n, copy); }
  bool Key(const char* s, rapidjson::SizeType n, bool copy) { return doc_->Key(s, n, copy); }
  bool StartObject() { return doc_->StartObject(); }
  bool EndObject(rapidjson::SizeType n) { return doc_->EndObject(n); }
  bool StartArray() { return doc_->StartArray(); }
  bool EndArray(rapidjson::SizeType n) { return doc_->EndArray(n); }

  // s is NUL-terminated. Integers keep the kinds the library gives them: 32-bit where they
  // fit, else 64-bit; the rest are doubles, correctly rounded.
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    const char* end = s + n;
    bool minus = s[0] == '-';
    if (std::find_if(s, end, [](char c) { return c == '.' || c == 'e' || c == 'E'; }) == end) {
      uint64_t u = 0;
      const char* p = s + (minus ? 1 : 0);
      for (; p != end; ++p) {
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (u > (UINT64_MAX - digit) / 10) break;
        u = u * 10 + digit;
      }
      if (p == end) {
        if (!minus) return u <= UINT32_MAX ? Uint(static_cast<unsigned>(u)) : Uint64(u);
        if (u <= 2147483648u) return Int(static_cast<int>(-static_cast<int64_t>(u)));
        if (u < (uint64_t(1) << 63)) return Int64(-static_cast<int64_t>(u));
        if (u == (uint64_t(1) << 63)) return Int64(INT64_MIN);
      }
    }
    if (c_locale_ == nullptr) c_locale_ = newlocale(LC_NUMERIC_MASK, "C", nullptr);
    if (c_locale_ == nullptr) return false;
    char* stop = nullptr;
    double d = strtod_l(s, &stop, c_locale_);  // the process locale may use a decimal comma
    if (stop != end || std::isinf(d)) return false;
    return Double(d);
  }

 private:
  const char* text_;
  rapidjson::Document* doc_ = nullptr;
  locale_t c_locale_ = nullptr;
  bool ok_ = false;
};

}  // namespace

CJson::CJson() {}

CJson::~CJson() {}

int CJson::LoadJson(const char* json) {
  if (json == nullptr || json[0] == '\0') {
    m_json_document.SetObject();
    return 0;
  }
  // The iterative parser accepts the same text as the recursive one, but its depth is bound
  // by heap memory, not by the stack.
  Loader loader(json);
  m_json_document.Populate(loader);
  return loader.ok() ? 0 : -1;
}

int CJson::GetValue(const char* name, std::string& out_value) {
  return GetValue(m_json_document, name, out_value);
}

int CJson::GetValue(const char* name, double& out_value) {
  return GetValue(m_json_document, name, out_value);
}

int CJson::GetValue(const char* name, long& out_value) {
  return GetValue(m_json_document, name, out_value);
}

int CJson::GetValue(const char* name, unsigned long& out_value) {
  return GetValue(m_json_document, name, out_value);
}

int CJson::GetValue(const char* name, bool& out_value) {
  return GetValue(m_json_document, name, out_value);
}

int CJson::GetValue(const char* name, JSON_VALUE& out_value) {
  return GetValue(m_json_document, name, out_value);
}

int CJson::GetValue(const JSON_VALUE& in_value, const char* name, std::string& out_value) {
  const JSON_VALUE* v = FindMember(in_value, name);
  if (v == nullptr || !v->IsString()) return -1;
  out_value = TextOf(*v);
  return 0;
}

int CJson::GetValue(const JSON_VALUE& in_value, const char* name, double& out_value) {
  const JSON_VALUE* v = FindMember(in_value, name);
  if (v == nullptr || !v->IsDouble()) return -1;
  out_value = v->GetDouble();
  return 0;
}

int CJson::GetValue(const JSON_VALUE& in_value, const char* name, long& out_value) {
  const JSON_VALUE* v = FindMember(in_value, name);
  if (v == nullptr || !v->IsInt64()) return -1;
  out_value = v->GetInt64();
  return 0;
}

int CJson::GetValue(const JSON_VALUE& in_value, const char* name, unsigned long& out_value) {
  const JSON_VALUE* v = FindMember(in_value, name);
  if (v == nullptr || !v->IsUint64()) return -1;
  out_value = v->GetUint64();
  return 0;
}

int CJson::GetValue(const JSON_VALUE& in_value, const char* name, bool& out_value) {
  const JSON_VALUE* v = FindMember(in_value, name);
  if (v == nullptr || !v->IsBool()) return -1;
  out_value = v->GetBool();
  return 0;
}

int CJson::GetValue(const JSON_VALUE& in_value, const char* name, JSON_VALUE& out_value) {
  const JSON_VALUE* v = FindMember(in_value, name);
  if (v == nullptr || !(v->IsObject() || v->IsArray())) return -1;
  // Copy first: out_value may be in_value itself or hold it.
  JSON_VALUE copy;
  DeepCopy(*v, copy, m_json_document.GetAllocator());
  out_value.Swap(copy);
  return 0;
}

size_t CJson::GetArrayCount(const JSON_VALUE& array_object) {
  return array_object.IsArray() ? array_object.Size() : 0;
}

int CJson::GetArrayIndex(const JSON_VALUE& array_object, size_t index, JSON_VALUE& out_object) {
  if (!array_object.IsArray()) return -1;
  if (index >= array_object.Size()) return -2;
  JSON_VALUE copy;
  DeepCopy(array_object[static_cast<rapidjson::SizeType>(index)], copy,
           m_json_document.GetAllocator());
  out_object.Swap(copy);
  return 0;
}

CJson::KEY_VALUE_MAP CJson::GetValueMap() { return GetValueMap(m_json_document); }

// Reads the members in place, so the document's pool does not grow.
CJson::KEY_VALUE_MAP CJson::GetValueMap(const JSON_VALUE& _value_object) {
  KEY_VALUE_MAP map;
  if (!_value_object.IsObject()) return map;
  for (JSON_VALUE::ConstMemberIterator m = _value_object.MemberBegin();
       m != _value_object.MemberEnd(); ++m) {
    std::string text;
    if (m->value.IsObject()) {
      text = "_o_b_j_e_c_t_";
    } else if (m->value.IsArray()) {
      text = "_a_r_r_a_y_";
    } else {
      ScalarText(m->value, text);
    }
    map[TextOf(m->name)] = text;  // a repeated name: the last one wins
  }
  return map;
}

CJson::KEY_VALUE_LIST CJson::GetValueList(const JSON_VALUE& _value_object) {
  KEY_VALUE_LIST list;
  if (!_value_object.IsArray()) return list;
  for (JSON_VALUE::ConstValueIterator e = _value_object.Begin(); e != _value_object.End(); ++e) {
    std::string text;
    if (ScalarText(*e, text)) list.push_back(text);
  }
  return list;
}
