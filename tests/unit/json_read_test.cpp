#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "Json.h"

namespace {

// Nested arrays n deep around an empty array: [[[...]]].
std::string Nested(size_t n) { return std::string(n, '[') + std::string(n, ']'); }

struct LoadCase {
  const char* text;
  int status;
  const char* root;  // the root written back afterwards
};

TEST(JsonLoad, StatusAndRoot) {
  const LoadCase cases[] = {
      {nullptr, 0, "{}"},
      {"", 0, "{}"},
      {" \n\t\r ", -1, "null"},
      {"\xEF\xBB\xBF{}", -1, "null"},  // byte-order mark
      {"{} {}", -1, "null"},
      {"1 2", -1, "null"},
      {"01", -1, "null"},
      {"{\"a\":1} // note", -1, "null"},
      {"/* note */ {}", -1, "null"},
      {"[1,2,]", -1, "null"},
      {"{\"a\":1,}", -1, "null"},
      {"{'a':1}", -1, "null"},
      {"[NaN]", -1, "null"},
      {"[Infinity]", -1, "null"},
      {"[1e400]", -1, "null"},
      {"[9e308]", -1, "null"},  // beyond the double range, not infinity
      {"[-1.8e308]", -1, "null"},
      {"[1,2", -1, "null"},
      {"{\"a\"}", -1, "null"},
      {"\"\\x\"", -1, "null"},
      {"[1,2]", 0, "[1,2]"},
      {" {\"a\" : 1 ,\n \"b\":[ ]}\n", 0, "{\"a\":1,\"b\":[]}"},
      {"\"s\"", 0, "\"s\""},
      {"-12", 0, "-12"},
      {"true", 0, "true"},
      {"null", 0, "null"},
      {"{}\0[", 0, "{}"},                   // the text ends at its first NUL
      {"\"\xFF\xFE\"", 0, "\"\xFF\xFE\""},  // strings are taken without UTF-8 checks
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    CJson json;
    EXPECT_EQ(json.LoadJson(c.text), c.status);
    EXPECT_EQ(json.GetRootString(), c.root);
  }
}

TEST(JsonLoad, EmptyTextGivesEmptyObject) {
  for (const char* text : {static_cast<const char*>(nullptr), ""}) {
    CJson json;
    ASSERT_EQ(json.LoadJson(text), 0);
    std::string s = "kept";
    EXPECT_EQ(json.GetValue("a", s), -1);
    EXPECT_EQ(s, "kept");
    EXPECT_TRUE(json.GetValueMap().empty());
  }
}

TEST(JsonLoad, FailedLoadKeepsEarlierDocument) {
  CJson json;
  ASSERT_EQ(json.LoadJson("{\"a\":\"x\",\"list\":[1]}"), 0);
  JSON_VALUE list;
  ASSERT_EQ(json.GetValue("list", list), 0);
  for (const char* bad : {"{\"a\":", " ", "[1] [2]"}) {
    EXPECT_EQ(json.LoadJson(bad), -1);
    std::string a;
    EXPECT_EQ(json.GetValue("a", a), 0);
    EXPECT_EQ(a, "x");
  }
  EXPECT_EQ(json.GetArrayCount(list), 1u);
}

TEST(JsonLoad, SecondLoadReplacesRootAndEarlierCopiesStayValid) {
  CJson json;
  ASSERT_EQ(json.LoadJson("{\"list\":[\"a long string that lives in the pool\",2]}"), 0);
  JSON_VALUE list;
  ASSERT_EQ(json.GetValue("list", list), 0);
  ASSERT_EQ(json.LoadJson("{\"b\":1}"), 0);
  json.ClearRoot();
  EXPECT_EQ(json.GetValueList(list),
            CJson::KEY_VALUE_LIST({"a long string that lives in the pool", "2"}));
  long b = 0;
  EXPECT_EQ(json.GetValue("b", b), -1);
}

// Nesting far beyond what a recursive parser, copy or writer could take on the stack.
TEST(JsonLoad, DeepNestingLoadsCopiesAndWrites) {
  const size_t depth = 1000000;
  std::string text = "{\"a\":" + Nested(depth) + "}";
  CJson json;
  ASSERT_EQ(json.LoadJson(text.c_str()), 0);
  JSON_VALUE a;
  ASSERT_EQ(json.GetValue("a", a), 0);
  EXPECT_EQ(json.GetArrayCount(a), 1u);
  JSON_VALUE inner;
  EXPECT_EQ(json.GetArrayIndex(a, 0, inner), 0);
  EXPECT_EQ(json.GetValueMap(), CJson::KEY_VALUE_MAP({{"a", "_a_r_r_a_y_"}}));
  EXPECT_EQ(json.GetRootString(), text);

  CJson unclosed;
  EXPECT_EQ(unclosed.LoadJson(std::string(depth, '[').c_str()), -1);
  EXPECT_EQ(unclosed.GetRootString(), "null");
}

// Statuses of the scalar forms for {"a": <value>}; values checked where the status is 0.
struct KindCase {
  const char* value;
  int text, dbl, sgn, uns, boolean, container;
  double d;
  long l;
  unsigned long u;
};

TEST(JsonRead, NumberKindsAndTypeRules) {
  const KindCase cases[] = {
      // text, statuses of the text, double, signed, unsigned, bool and value forms, values
      {"5", -1, -1, 0, 0, -1, -1, 0, 5, 5},
      {"0", -1, -1, 0, 0, -1, -1, 0, 0, 0},
      {"-0", -1, -1, 0, 0, -1, -1, 0, 0, 0},
      {"-1", -1, -1, 0, -1, -1, -1, 0, -1, 0},
      {"9223372036854775807", -1, -1, 0, 0, -1, -1, 0, INT64_MAX, INT64_MAX},
      {"-9223372036854775808", -1, -1, 0, -1, -1, -1, 0, INT64_MIN, 0},
      {"18446744073709551615", -1, -1, -1, 0, -1, -1, 0, 0, UINT64_MAX},
      {"18446744073709551616", -1, 0, -1, -1, -1, -1, 18446744073709551616.0, 0, 0},
      {"-9223372036854775809", -1, 0, -1, -1, -1, -1, -9223372036854775808.0, 0, 0},
      {"5.0", -1, 0, -1, -1, -1, -1, 5.0, 0, 0},
      {"1e2", -1, 0, -1, -1, -1, -1, 100.0, 0, 0},
      {"-0.0", -1, 0, -1, -1, -1, -1, -0.0, 0, 0},
      {"2.5e-3", -1, 0, -1, -1, -1, -1, 0.0025, 0, 0},
      // doubles are the nearest to their text, or 0 below the smallest one
      {"0.39405250000000005", -1, 0, -1, -1, -1, -1, 0.39405250000000005, 0, 0},
      {"9.967448324391879e-241", -1, 0, -1, -1, -1, -1, 9.967448324391879e-241, 0, 0},
      {"1.7976931348623157e308", -1, 0, -1, -1, -1, -1, 1.7976931348623157e308, 0, 0},
      {"4e-324", -1, 0, -1, -1, -1, -1, 4.9406564584124654e-324, 0, 0},
      {"1e-400", -1, 0, -1, -1, -1, -1, 0.0, 0, 0},
      {"-1e-400", -1, 0, -1, -1, -1, -1, -0.0, 0, 0},
      {"true", -1, -1, -1, -1, 0, -1, 0, 0, 0},
      {"false", -1, -1, -1, -1, 0, -1, 0, 0, 0},
      {"\"5\"", 0, -1, -1, -1, -1, -1, 0, 0, 0},
      {"null", -1, -1, -1, -1, -1, -1, 0, 0, 0},
      {"[]", -1, -1, -1, -1, -1, 0, 0, 0, 0},
      {"{}", -1, -1, -1, -1, -1, 0, 0, 0, 0},
  };
  for (const KindCase& c : cases) {
    SCOPED_TRACE(c.value);
    CJson json;
    ASSERT_EQ(json.LoadJson(("{\"a\":" + std::string(c.value) + "}").c_str()), 0);
    std::string s = "untouched";
    double d = 42.0;
    long l = 42;
    unsigned long u = 42;
    bool b = false;
    JSON_VALUE v(7);
    EXPECT_EQ(json.GetValue("a", s), c.text);
    EXPECT_EQ(json.GetValue("a", d), c.dbl);
    EXPECT_EQ(json.GetValue("a", l), c.sgn);
    EXPECT_EQ(json.GetValue("a", u), c.uns);
    EXPECT_EQ(json.GetValue("a", b), c.boolean);
    EXPECT_EQ(json.GetValue("a", v), c.container);
    EXPECT_EQ(s, c.text == 0 ? "5" : "untouched");
    EXPECT_EQ(d, c.dbl == 0 ? c.d : 42.0);
    if (c.dbl == 0) {
      EXPECT_EQ(std::signbit(d), std::signbit(c.d));
    }
    EXPECT_EQ(l, c.sgn == 0 ? c.l : 42);
    EXPECT_EQ(u, c.uns == 0 ? c.u : 42u);
    EXPECT_EQ(b, c.boolean == 0 && std::string(c.value) == "true");
    EXPECT_EQ(v.IsInt(), c.container != 0);
  }
}

TEST(JsonRead, TheSameRulesOnAValue) {
  CJson json;
  ASSERT_EQ(json.LoadJson("{\"o\":{\"s\":\"t\",\"d\":1.5,\"i\":-3,\"b\":true,\"l\":[1]}}"), 0);
  JSON_VALUE o;
  ASSERT_EQ(json.GetValue("o", o), 0);
  std::string s;
  double d = 0;
  long l = 0;
  unsigned long u = 0;
  bool b = false;
  JSON_VALUE list;
  EXPECT_EQ(json.GetValue(o, "s", s), 0);
  EXPECT_EQ(json.GetValue(o, "d", d), 0);
  EXPECT_EQ(json.GetValue(o, "i", l), 0);
  EXPECT_EQ(json.GetValue(o, "i", u), -1);
  EXPECT_EQ(json.GetValue(o, "b", b), 0);
  EXPECT_EQ(json.GetValue(o, "l", list), 0);
  EXPECT_EQ(json.GetValue(o, "S", s), -1);  // names match byte for byte
  EXPECT_EQ(json.GetValue(o, nullptr, s), -1);
  EXPECT_EQ(s, "t");
  EXPECT_EQ(d, 1.5);
  EXPECT_EQ(l, -3);
  EXPECT_TRUE(b);
  EXPECT_EQ(json.GetArrayCount(list), 1u);
}

// The root, or the value read from, is not an object.
TEST(JsonRead, KeyedReadsOnNonObjectsFail) {
  for (const char* text :
       {static_cast<const char*>(nullptr), "[{\"a\":1}]", "5", "\"a\"", "true", "null"}) {
    SCOPED_TRACE(text ? text : "(new document)");
    CJson json;
    if (text) {
      ASSERT_EQ(json.LoadJson(text), 0);
    }
    std::string s = "kept";
    long l = 9;
    JSON_VALUE v;
    EXPECT_EQ(json.GetValue("a", s), -1);
    EXPECT_EQ(json.GetValue("a", l), -1);
    EXPECT_EQ(json.GetValue("a", v), -1);
    EXPECT_EQ(s, "kept");
    EXPECT_EQ(l, 9);
    EXPECT_TRUE(json.GetValueMap().empty());
  }
  CJson json;
  ASSERT_EQ(json.LoadJson("{\"l\":[{\"a\":1}],\"s\":{\"k\":\"x\"}}"), 0);
  JSON_VALUE list;
  ASSERT_EQ(json.GetValue("l", list), 0);
  long a = 0;
  EXPECT_EQ(json.GetValue(list, "a", a), -1);
  EXPECT_TRUE(json.GetValueMap(list).empty());
  JSON_VALUE number(5);
  EXPECT_TRUE(json.GetValueMap(number).empty());
}

TEST(JsonRead, DuplicateNames) {
  CJson json;
  ASSERT_EQ(json.LoadJson("{\"a\":\"x\",\"a\":\"y\",\"b\":1,\"b\":\"z\"}"), 0);
  std::string a;
  EXPECT_EQ(json.GetValue("a", a), 0);
  EXPECT_EQ(a, "x");
  long b = 0;
  EXPECT_EQ(json.GetValue("b", b), 0);  // the first "b" is a number
  EXPECT_EQ(json.GetValue("b", a), -1);
  EXPECT_EQ(json.GetValueMap(), CJson::KEY_VALUE_MAP({{"a", "y"}, {"b", "z"}}));
}

TEST(JsonRead, NulInStringsAndNames) {
  CJson json;
  ASSERT_EQ(json.LoadJson("{\"a\":\"a\\u0000b\",\"k\\u0000x\":1,\"l\":[\"c\\u0000d\"]}"), 0);
  std::string s;
  EXPECT_EQ(json.GetValue("a", s), 0);
  EXPECT_EQ(s, "a");
  long k = 0;
  EXPECT_EQ(json.GetValue("k", k), -1);  // the name is three bytes long
  EXPECT_EQ(json.GetValueMap(),
            CJson::KEY_VALUE_MAP({{"a", "a"}, {"k", "1"}, {"l", "_a_r_r_a_y_"}}));
  JSON_VALUE l;
  ASSERT_EQ(json.GetValue("l", l), 0);
  EXPECT_EQ(json.GetValueList(l), CJson::KEY_VALUE_LIST({"c"}));
}

struct MapCase {
  const char* object;
  CJson::KEY_VALUE_MAP map;
};

TEST(JsonRead, Flattening) {
  const MapCase cases[] = {
      {"{\"a\":1,\"b\":-2,\"c\":2.5,\"d\":true,\"e\":\"x\",\"f\":{},\"g\":[1]}",
       {{"a", "1"},
        {"b", "-2"},
        {"c", "2.500000"},
        {"d", "1"},
        {"e", "x"},
        {"f", "_o_b_j_e_c_t_"},
        {"g", "_a_r_r_a_y_"}}},
      {"{\"f\":false,\"n\":null,\"o\":{\"deep\":1}}",
       {{"f", "0"}, {"n", ""}, {"o", "_o_b_j_e_c_t_"}}},
      {"{\"u\":18446744073709551615,\"i\":-9223372036854775808,\"z\":0}",
       {{"u", "18446744073709551615"}, {"i", "-9223372036854775808"}, {"z", "0"}}},
      {"{\"m\":-2.5,\"t\":1e-7,\"h\":1e20,\"w\":5.0,\"r\":0.1234567}",
       {{"m", "-2.500000"},
        {"t", "0.000000"},
        {"h", "100000000000000000000.000000"},
        {"w", "5.000000"},
        {"r", "0.123457"}}},
      {"{\"b\":\"1\",\"a\":\"2\"}", {{"a", "2"}, {"b", "1"}}},
      {"{}", {}},
  };
  for (const MapCase& c : cases) {
    SCOPED_TRACE(c.object);
    CJson json;
    ASSERT_EQ(json.LoadJson(c.object), 0);
    EXPECT_EQ(json.GetValueMap(), c.map);
    // The value form on the same object, nested one level down.
    CJson outer;
    ASSERT_EQ(outer.LoadJson(("{\"v\":" + std::string(c.object) + "}").c_str()), 0);
    JSON_VALUE v;
    ASSERT_EQ(outer.GetValue("v", v), 0);
    EXPECT_EQ(outer.GetValueMap(v), c.map);
  }
}

struct ListCase {
  const char* array;
  CJson::KEY_VALUE_LIST list;
};

TEST(JsonRead, Listing) {
  const ListCase cases[] = {
      {"[\"x\",1,{\"k\":0},false,-2.5]", {"x", "1", "0", "-2.500000"}},
      {"[null,[1],\"y\",true,-7,1e20]", {"", "y", "1", "-7", "100000000000000000000.000000"}},
      {"[]", {}},
      {"{\"a\":1}", {}},
      {"\"s\"", {}},
      {"3", {}},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.array);
    CJson json;
    ASSERT_EQ(json.LoadJson(("{\"v\":" + std::string(c.array) + "}").c_str()), 0);
    JSON_VALUE v;
    json.GetValue("v", v);  // fails for scalars and leaves v null, which lists as empty
    EXPECT_EQ(json.GetValueList(v), c.list);
  }
}

TEST(JsonRead, ArrayCountAndIndex) {
  CJson json;
  ASSERT_EQ(json.LoadJson("{\"l\":[10,\"x\",{\"k\":[1,2]}],\"o\":{\"a\":1}}"), 0);
  JSON_VALUE l, o;
  ASSERT_EQ(json.GetValue("l", l), 0);
  ASSERT_EQ(json.GetValue("o", o), 0);
  EXPECT_EQ(json.GetArrayCount(l), 3u);
  EXPECT_EQ(json.GetArrayCount(o), 0u);
  EXPECT_EQ(json.GetArrayCount(JSON_VALUE()), 0u);

  struct {
    const JSON_VALUE* array;
    size_t index;
    int status;
  } cases[] = {
      {&l, 0, 0},  {&l, 2, 0},  {&l, 3, -2}, {&l, SIZE_MAX, -2}, {&l, size_t(1) << 32, -2},
      {&o, 0, -1}, {&o, 5, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    JSON_VALUE out(7);
    EXPECT_EQ(json.GetArrayIndex(*c.array, c.index, out), c.status);
    if (c.status != 0) {
      EXPECT_TRUE(out.IsInt());
    }
  }

  JSON_VALUE e;
  ASSERT_EQ(json.GetArrayIndex(l, 0, e), 0);
  EXPECT_TRUE(e.IsInt64());  // any element type, kind kept
  ASSERT_EQ(json.GetArrayIndex(l, 2, e), 0);
  JSON_VALUE k;
  ASSERT_EQ(json.GetValue(e, "k", k), 0);
  EXPECT_EQ(json.GetValueList(k), CJson::KEY_VALUE_LIST({"1", "2"}));
}

// Copies are deep: changing one leaves the document and other copies as they were.
TEST(JsonRead, CopiesAreDeepAndMayReplaceTheirSource) {
  CJson json;
  ASSERT_EQ(json.LoadJson("{\"o\":{\"in\":{\"s\":\"text\"}},\"l\":[[1],[2]]}"), 0);
  JSON_VALUE o1, o2;
  ASSERT_EQ(json.GetValue("o", o1), 0);
  ASSERT_EQ(json.GetValue("o", o2), 0);
  o1["in"]["s"].SetInt(1);
  std::string s;
  JSON_VALUE in;
  ASSERT_EQ(json.GetValue(o2, "in", in), 0);
  EXPECT_EQ(json.GetValue(in, "s", s), 0);
  EXPECT_EQ(s, "text");

  // Output and input the same value.
  ASSERT_EQ(json.GetValue(o2, "in", o2), 0);
  EXPECT_EQ(json.GetValueMap(o2), CJson::KEY_VALUE_MAP({{"s", "text"}}));
  JSON_VALUE l;
  ASSERT_EQ(json.GetValue("l", l), 0);
  ASSERT_EQ(json.GetArrayIndex(l, 1, l), 0);
  EXPECT_EQ(json.GetValueList(l), CJson::KEY_VALUE_LIST({"2"}));
  EXPECT_EQ(json.GetRootString(), "{\"o\":{\"in\":{\"s\":\"text\"}},\"l\":[[1],[2]]}");
}

}  // namespace
