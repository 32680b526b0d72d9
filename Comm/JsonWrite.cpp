// CJson: building values and writing the root as compact text.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstring>

#include "Json.h"

namespace {

typedef rapidjson::Document::AllocatorType Pool;
typedef rapidjson::Writer<rapidjson::StringBuffer> CompactWriter;

// A name copied into the pool up to its first NUL; a null name is the empty name.
JSON_VALUE Name(const char* name, Pool& pool) {
  if (name == nullptr) name = "";
  return JSON_VALUE(name, static_cast<rapidjson::SizeType>(strlen(name)), pool);
}

JSON_VALUE Text(const std::string& text, Pool& pool) {
  return JSON_VALUE(text.data(), static_cast<rapidjson::SizeType>(text.size()), pool);
}

template <typename T>
JSON_VALUE Member(const char* name, T value, Pool& pool) {
  JSON_VALUE obj(rapidjson::kObjectType);
  obj.AddMember(Name(name, pool), JSON_VALUE(value), pool);
  return obj;
}

template <typename T>
JSON_VALUE Array(const std::vector<T>& list, Pool& pool) {
  JSON_VALUE arr(rapidjson::kArrayType);
  arr.Reserve(static_cast<rapidjson::SizeType>(list.size()), pool);
  for (const T& x : list) arr.PushBack(JSON_VALUE(x), pool);
  return arr;
}

// Takes the content out of v, leaving it null.
JSON_VALUE Take(JSON_VALUE& v) {
  JSON_VALUE taken;
  taken.Swap(v);
  return taken;
}

// Whether target is tree itself or lies anywhere inside it.
bool Contains(const JSON_VALUE& tree, const JSON_VALUE* target) {
  std::vector<const JSON_VALUE*> work{&tree};
  while (!work.empty()) {
    const JSON_VALUE* v = work.back();
    work.pop_back();
    if (v == target) return true;
    if (v->IsArray()) {
      for (JSON_VALUE::ConstValueIterator e = v->Begin(); e != v->End(); ++e) work.push_back(e);
    } else if (v->IsObject()) {
      for (JSON_VALUE::ConstMemberIterator m = v->MemberBegin(); m != v->MemberEnd(); ++m)
        work.push_back(&m->value);
    }
  }
  return false;
}

// Writes one value, or opens a container and leaves it on the stack.
struct Open {
  const JSON_VALUE* value;
  rapidjson::SizeType next;
};

bool Emit(CompactWriter& w, const JSON_VALUE& v, std::vector<Open>& open) {
  switch (v.GetType()) {
    case rapidjson::kNullType:
      return w.Null();
    case rapidjson::kFalseType:
    case rapidjson::kTrueType:
      return w.Bool(v.GetBool());
    case rapidjson::kStringType:
      return w.String(v.GetString(), v.GetStringLength());
    case rapidjson::kNumberType:
      if (v.IsDouble()) return w.Double(v.GetDouble());  // false for NaN and infinity
      return v.IsInt64() ? w.Int64(v.GetInt64()) : w.Uint64(v.GetUint64());
    case rapidjson::kObjectType:
      open.push_back({&v, 0});
      return w.StartObject();
    case rapidjson::kArrayType:
      open.push_back({&v, 0});
      return w.StartArray();
  }
  return false;
}

// The writer's walk without recursion, so that depth is bound by heap memory only.
bool Write(CompactWriter& w, const JSON_VALUE& root) {
  std::vector<Open> open;
  if (!Emit(w, root, open)) return false;
  while (!open.empty()) {
    const JSON_VALUE& v = *open.back().value;
    rapidjson::SizeType i = open.back().next++;
    if (v.IsObject()) {
      if (i == v.MemberCount()) {
        open.pop_back();
        if (!w.EndObject(i)) return false;
        continue;
      }
      const JSON_VALUE::Member& m = v.MemberBegin()[i];
      if (!w.Key(m.name.GetString(), m.name.GetStringLength())) return false;
      if (!Emit(w, m.value, open)) return false;
    } else {
      if (i == v.Size()) {
        open.pop_back();
        if (!w.EndArray(i)) return false;
        continue;
      }
      if (!Emit(w, v[i], open)) return false;
    }
  }
  return true;
}

}  // namespace

JSON_VALUE CJson::AddValue(std::vector<long> _value_list) {
  return Array(_value_list, m_json_document.GetAllocator());
}

JSON_VALUE CJson::AddValue(std::vector<unsigned long> _value_list) {
  return Array(_value_list, m_json_document.GetAllocator());
}

JSON_VALUE CJson::AddValue(std::vector<double> _value_list) {
  return Array(_value_list, m_json_document.GetAllocator());
}

JSON_VALUE CJson::AddValue(std::vector<std::string> _value_list) {
  Pool& pool = m_json_document.GetAllocator();
  JSON_VALUE arr(rapidjson::kArrayType);
  arr.Reserve(static_cast<rapidjson::SizeType>(_value_list.size()), pool);
  for (const std::string& s : _value_list) arr.PushBack(Text(s, pool), pool);
  return arr;
}

JSON_VALUE CJson::AddValue(JSON_VALUE& _value_list) {
  JSON_VALUE arr(rapidjson::kArrayType);
  arr.PushBack(Take(_value_list), m_json_document.GetAllocator());
  return arr;
}

int CJson::AddValue(JSON_VALUE& array_object, JSON_VALUE& in_object) {
  if (!array_object.IsArray() || Contains(in_object, &array_object)) return -1;
  // Taken out first: in_object may be an element of array_object, whose storage the
  // append can move.
  array_object.PushBack(Take(in_object), m_json_document.GetAllocator());
  return 0;
}

JSON_VALUE CJson::AddValue(const char* name, std::string in_value) {
  Pool& pool = m_json_document.GetAllocator();
  JSON_VALUE obj(rapidjson::kObjectType);
  obj.AddMember(Name(name, pool), Text(in_value, pool), pool);
  return obj;
}

JSON_VALUE CJson::AddValue(const char* name, const char* in_value) {
  return AddValue(name, std::string(in_value == nullptr ? "" : in_value));
}

JSON_VALUE CJson::AddValue(const char* name, double in_value) {
  return Member(name, in_value, m_json_document.GetAllocator());
}

JSON_VALUE CJson::AddValue(const char* name, long in_value) {
  return Member(name, in_value, m_json_document.GetAllocator());
}

JSON_VALUE CJson::AddValue(const char* name, unsigned long in_value) {
  return Member(name, in_value, m_json_document.GetAllocator());
}

JSON_VALUE CJson::AddValue(const char* name, bool in_value) {
  return Member(name, in_value, m_json_document.GetAllocator());
}

JSON_VALUE CJson::AddValue(const char* name, JSON_VALUE& in_value) {
  Pool& pool = m_json_document.GetAllocator();
  JSON_VALUE obj(rapidjson::kObjectType);
  obj.AddMember(Name(name, pool), Take(in_value), pool);
  return obj;
}

JSON_VALUE CJson::AddValue(KEY_VALUE_MAP _value_map) {
  Pool& pool = m_json_document.GetAllocator();
  JSON_VALUE obj(rapidjson::kObjectType);
  for (const auto& entry : _value_map)
    obj.AddMember(Name(entry.first.c_str(), pool), Text(entry.second, pool), pool);
  return obj;
}

bool CJson::RootTakesMembers() {
  if (m_json_document.IsNull()) m_json_document.SetObject();
  return m_json_document.IsObject();
}

void CJson::AppendRoot(const char* name, JSON_VALUE& value) {
  Pool& pool = m_json_document.GetAllocator();
  m_json_document.AddMember(Name(name, pool), value, pool);
}

void CJson::AddRootValue(const char* name, std::string in_value) {
  if (!RootTakesMembers()) return;
  JSON_VALUE v = Text(in_value, m_json_document.GetAllocator());
  AppendRoot(name, v);
}

void CJson::AddRootValue(const char* name, const char* in_value) {
  AddRootValue(name, std::string(in_value == nullptr ? "" : in_value));
}

void CJson::AddRootValue(const char* name, double in_value) {
  if (!RootTakesMembers()) return;
  JSON_VALUE v(in_value);
  AppendRoot(name, v);
}

void CJson::AddRootValue(const char* name, long in_value) {
  if (!RootTakesMembers()) return;
  JSON_VALUE v(static_cast<int64_t>(in_value));
  AppendRoot(name, v);
}

void CJson::AddRootValue(const char* name, unsigned long in_value) {
  if (!RootTakesMembers()) return;
  JSON_VALUE v(static_cast<uint64_t>(in_value));
  AppendRoot(name, v);
}

void CJson::AddRootValue(const char* name, bool in_value) {
  if (!RootTakesMembers()) return;
  JSON_VALUE v(in_value);
  AppendRoot(name, v);
}

void CJson::AddRootValue(const char* name, JSON_VALUE& in_value) {
  if (!RootTakesMembers()) return;
  JSON_VALUE v = Take(in_value);
  AppendRoot(name, v);
}

int CJson::AddRootValue(KEY_VALUE_MAP _value_map) {
  if (!RootTakesMembers()) return -1;
  for (const auto& entry : _value_map) AddRootValue(entry.first.c_str(), entry.second);
  return 0;
}

std::string CJson::GetRootString() {
  rapidjson::StringBuffer buffer;             // 256 bytes to begin with
  CompactWriter writer(buffer, nullptr, 32);  // 32 nesting levels to begin with
  if (!Write(writer, m_json_document)) return std::string();
  return std::string(buffer.GetString(), buffer.GetSize());
}

void CJson::ClearRoot() { m_json_document.SetObject(); }
