// CJson: one JSON document in memory, read by key, index and flattened map, and built
// and written as compact text. Results are status codes (0 success, -1 failure, -2 index
// out of range); nothing throws and nothing logs.
//
// Every value that a read copies out, and every value that a builder makes, is stored in
// the document's memory pool: it stays valid until the CJson is destroyed, and may only be
// placed into the document of the same CJson.
#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

typedef rapidjson::Value JSON_VALUE;

class CJson {
 public:
  typedef std::map<std::string, std::string> KEY_VALUE_MAP;
  typedef std::vector<std::string> KEY_VALUE_LIST;

  CJson();
  ~CJson();
  CJson(const CJson&) = delete;
  CJson& operator=(const CJson&) = delete;

  // Null or empty text gives an empty object. On a parse error the earlier root is kept.
  // Doubles are read as the nearest double to their text; a number beyond the double range
  // is a parse error.
  int LoadJson(const char* json);

  // Keyed reads of the root's members; the first member of that name counts. -1 when the
  // root is not an object, the member is missing or has another type.
  int GetValue(const char* name, std::string& out_value);
  int GetValue(const char* name, double& out_value);
  int GetValue(const char* name, long& out_value);
  int GetValue(const char* name, unsigned long& out_value);
  int GetValue(const char* name, bool& out_value);
  int GetValue(const char* name, JSON_VALUE& out_value);  // objects and arrays, deep copy

  // The same reads on the members of in_value.
  int GetValue(const JSON_VALUE& in_value, const char* name, std::string& out_value);
  int GetValue(const JSON_VALUE& in_value, const char* name, double& out_value);
  int GetValue(const JSON_VALUE& in_value, const char* name, long& out_value);
  int GetValue(const JSON_VALUE& in_value, const char* name, unsigned long& out_value);
  int GetValue(const JSON_VALUE& in_value, const char* name, bool& out_value);
  int GetValue(const JSON_VALUE& in_value, const char* name, JSON_VALUE& out_value);

  size_t GetArrayCount(const JSON_VALUE& array_object);
  // -1 not an array, -2 index out of range; else a deep copy of the element.
  int GetArrayIndex(const JSON_VALUE& array_object, size_t index, JSON_VALUE& out_object);

  // Flattening of an object's members into texts; empty for anything but an object.
  KEY_VALUE_MAP GetValueMap();
  KEY_VALUE_MAP GetValueMap(const JSON_VALUE& _value_object);
  // Texts of an array's scalar elements; objects and arrays are left out.
  KEY_VALUE_LIST GetValueList(const JSON_VALUE& _value_object);

  // Detached values. A JSON_VALUE passed by reference is moved and left null.
  JSON_VALUE AddValue(std::vector<long> _value_list);
  JSON_VALUE AddValue(std::vector<unsigned long> _value_list);
  JSON_VALUE AddValue(std::vector<double> _value_list);
  JSON_VALUE AddValue(std::vector<std::string> _value_list);
  JSON_VALUE AddValue(JSON_VALUE& _value_list);
  // Appends in_object to array_object; -1, and nothing moves, when array_object is not an
  // array or lies inside in_object (which would make the value contain itself).
  int AddValue(JSON_VALUE& array_object, JSON_VALUE& in_object);
  JSON_VALUE AddValue(const char* name, std::string in_value);
  // Without this a string literal would convert to bool and be added as true.
  JSON_VALUE AddValue(const char* name, const char* in_value);
  JSON_VALUE AddValue(const char* name, double in_value);
  JSON_VALUE AddValue(const char* name, long in_value);
  JSON_VALUE AddValue(const char* name, unsigned long in_value);
  JSON_VALUE AddValue(const char* name, bool in_value);
  JSON_VALUE AddValue(const char* name, JSON_VALUE& in_value);
  JSON_VALUE AddValue(KEY_VALUE_MAP _value_map);  // one string member per entry

  // Appends a member to the root object. A null root first becomes an empty object; a root
  // of any other non-object type is left alone and a moved argument keeps its content.
  void AddRootValue(const char* name, std::string in_value);
  void AddRootValue(const char* name, const char* in_value);
  void AddRootValue(const char* name, double in_value);
  void AddRootValue(const char* name, long in_value);
  void AddRootValue(const char* name, unsigned long in_value);
  void AddRootValue(const char* name, bool in_value);
  void AddRootValue(const char* name, JSON_VALUE& in_value);
  // 0, or -1 when the root cannot take members.
  int AddRootValue(KEY_VALUE_MAP _value_map);

  // The root as compact JSON; empty when it holds a NaN or infinite double.
  std::string GetRootString();
  void ClearRoot();

 private:
  bool RootTakesMembers();
  void AppendRoot(const char* name, JSON_VALUE& value);

  rapidjson::Document m_json_document;
};
