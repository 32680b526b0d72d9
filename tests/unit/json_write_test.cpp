#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "Json.h"

namespace {

struct BuildCase {
  const char* what;
  std::function<void(CJson&)> build;
  std::string text;
};

TEST(JsonWrite, BuildStepsAndText) {
  const BuildCase cases[] = {
      {"new document", [](CJson&) {}, "null"},
      {"cleared", [](CJson& j) { j.ClearRoot(); }, "{}"},
      {"scalars",
       [](CJson& j) {
         j.ClearRoot();
         j.AddRootValue("a", 1L);
         j.AddRootValue("b", std::string("x"));
         j.AddRootValue("c", true);
         j.AddRootValue("d", 2.5);
       },
       "{\"a\":1,\"b\":\"x\",\"c\":true,\"d\":2.5}"},
      {"extremes",
       [](CJson& j) {
         j.ClearRoot();
         j.AddRootValue("f", false);
         j.AddRootValue("u", std::numeric_limits<unsigned long>::max());
         j.AddRootValue("i", std::numeric_limits<long>::min());
         j.AddRootValue("z", -0.0);
       },
       "{\"f\":false,\"u\":18446744073709551615,\"i\":-9223372036854775808,\"z\":-0.0}"},
      {"a string literal is text, not a boolean",
       [](CJson& j) {
         j.ClearRoot();
         j.AddRootValue("s", "x");
         JSON_VALUE o = j.AddValue("t", "y");
         j.AddRootValue("o", o);
       },
       "{\"s\":\"x\",\"o\":{\"t\":\"y\"}}"},
      {"a name twice",
       [](CJson& j) {
         j.ClearRoot();
         j.AddRootValue("k", 1L);
         j.AddRootValue("k", 1L);
       },
       "{\"k\":1,\"k\":1}"},
      {"map entries as strings in key order",
       [](CJson& j) {
         j.ClearRoot();
         EXPECT_EQ(j.AddRootValue(CJson::KEY_VALUE_MAP{{"b", "2"}, {"a", "1"}}), 0);
       },
       "{\"a\":\"1\",\"b\":\"2\"}"},
      {"double keeps its kind",
       [](CJson& j) {
         j.ClearRoot();
         j.AddRootValue("d", 5.0);
         j.AddRootValue("d", 5L);
         j.AddRootValue("d", 5UL);
       },
       "{\"d\":5.0,\"d\":5,\"d\":5}"},
      {"empty array",
       [](CJson& j) {
         j.ClearRoot();
         JSON_VALUE a = j.AddValue(std::vector<long>{});
         j.AddRootValue("a", a);
       },
       "{\"a\":[]}"},
      {"vectors",
       [](CJson& j) {
         j.ClearRoot();
         JSON_VALUE l = j.AddValue(std::vector<long>{-1, 2});
         JSON_VALUE u = j.AddValue(std::vector<unsigned long>{0, 18446744073709551615UL});
         JSON_VALUE d = j.AddValue(std::vector<double>{1.0, 2.5, 0.001234, 1e30, -1e-30});
         JSON_VALUE s = j.AddValue(std::vector<std::string>{"a", "", "b c"});
         j.AddRootValue("l", l);
         j.AddRootValue("u", u);
         j.AddRootValue("d", d);
         j.AddRootValue("s", s);
       },
       "{\"l\":[-1,2],\"u\":[0,18446744073709551615],\"d\":[1.0,2.5,0.001234,1e30,-1e-30],"
       "\"s\":[\"a\",\"\",\"b c\"]}"},
      {"escapes",
       [](CJson& j) {
         j.ClearRoot();
         j.AddRootValue("e", std::string("q\"\\/\b\t\n\f\r\x01\x1f\x7f\xC3\xA9"));
         j.AddRootValue("n", std::string("a\0b", 3));
         j.AddRootValue("\"\n", 0L);
       },
       "{\"e\":\"q\\\"\\\\/\\b\\t\\n\\f\\r\\u0001\\u001F\x7f\xC3\xA9\",\"n\":\"a\\u0000b\","
       "\"\\\"\\n\":0}"},
      {"nested values",
       [](CJson& j) {
         j.ClearRoot();
         JSON_VALUE x = j.AddValue("x", 1L);
         JSON_VALUE wrapped = j.AddValue(x);
         JSON_VALUE arr = j.AddValue(std::vector<long>{1});
         JSON_VALUE k = j.AddValue("k", true);
         EXPECT_EQ(j.AddValue(arr, k), 0);
         JSON_VALUE holder = j.AddValue("arr", arr);
         JSON_VALUE m = j.AddValue(CJson::KEY_VALUE_MAP{{"b", "2"}, {"a", "1"}});
         JSON_VALUE u = j.AddValue("u", 7UL);
         JSON_VALUE d = j.AddValue("d", 0.5);
         JSON_VALUE s = j.AddValue("s", std::string("t"));
         j.AddRootValue("w", wrapped);
         j.AddRootValue("h", holder);
         j.AddRootValue("m", m);
         JSON_VALUE all = j.AddValue(u);
         JSON_VALUE d_holder = j.AddValue(d);
         JSON_VALUE s_holder = j.AddValue(s);
         EXPECT_EQ(j.AddValue(all, d_holder), 0);
         EXPECT_EQ(j.AddValue(all, s_holder), 0);
         j.AddRootValue("all", all);
       },
       "{\"w\":[{\"x\":1}],\"h\":{\"arr\":[1,{\"k\":true}]},\"m\":{\"a\":\"1\",\"b\":\"2\"},"
       "\"all\":[{\"u\":7},[{\"d\":0.5}],[{\"s\":\"t\"}]]}"},
      {"no ClearRoot: a null root becomes an object", [](CJson& j) { j.AddRootValue("a", 1L); },
       "{\"a\":1}"},
      {"loaded object: members appended at its end",
       [](CJson& j) {
         j.LoadJson("{\"z\":0}");
         j.AddRootValue("a", 1L);
       },
       "{\"z\":0,\"a\":1}"},
      {"loaded array root is left alone",
       [](CJson& j) {
         j.LoadJson("[1]");
         j.AddRootValue("a", 1L);
         j.AddRootValue("s", std::string("x"));
         EXPECT_EQ(j.AddRootValue(CJson::KEY_VALUE_MAP{{"a", "1"}}), -1);
       },
       "[1]"},
      {"loaded string root is left alone",
       [](CJson& j) {
         j.LoadJson("\"s\"");
         j.AddRootValue("a", true);
       },
       "\"s\""},
      {"ClearRoot after a load",
       [](CJson& j) {
         j.LoadJson("[1,2]");
         j.ClearRoot();
       },
       "{}"},
      {"null name and null text",
       [](CJson& j) {
         j.ClearRoot();
         j.AddRootValue(nullptr, 1L);
         j.AddRootValue("s", static_cast<const char*>(nullptr));
       },
       "{\"\":1,\"s\":\"\"}"},
      {"a name ends at its first NUL",
       [](CJson& j) {
         j.ClearRoot();
         j.AddRootValue(CJson::KEY_VALUE_MAP{{std::string("k\0x", 3), "v"}});
       },
       "{\"k\":\"v\"}"},
      {"NaN cannot be written",
       [](CJson& j) {
         j.ClearRoot();
         j.AddRootValue("a", 1L);
         j.AddRootValue("n", std::nan(""));
       },
       ""},
      {"infinity cannot be written",
       [](CJson& j) {
         j.ClearRoot();
         JSON_VALUE d = j.AddValue(std::vector<double>{1.0, -HUGE_VAL});
         j.AddRootValue("d", d);
       },
       ""},
  };
  for (const BuildCase& c : cases) {
    SCOPED_TRACE(c.what);
    CJson json;
    c.build(json);
    EXPECT_EQ(json.GetRootString(), c.text);
    EXPECT_EQ(json.GetRootString(), c.text);  // writing changes nothing
  }
}

TEST(JsonWrite, MovesLeaveTheArgumentNull) {
  CJson json;
  json.ClearRoot();
  JSON_VALUE v = json.AddValue(std::vector<long>{1, 2});
  JSON_VALUE obj = json.AddValue("n", v);
  EXPECT_TRUE(v.IsNull());
  JSON_VALUE arr = json.AddValue(obj);
  EXPECT_TRUE(obj.IsNull());
  JSON_VALUE extra = json.AddValue("e", false);
  EXPECT_EQ(json.AddValue(arr, extra), 0);
  EXPECT_TRUE(extra.IsNull());
  json.AddRootValue("r", arr);
  EXPECT_TRUE(arr.IsNull());
  EXPECT_EQ(json.GetRootString(), "{\"r\":[{\"n\":[1,2]},{\"e\":false}]}");
}

TEST(JsonWrite, FailedAppendChangesNothing) {
  CJson json;
  JSON_VALUE target = json.AddValue("t", 1L);  // an object, not an array
  JSON_VALUE in = json.AddValue("k", 2L);
  EXPECT_EQ(json.AddValue(target, in), -1);
  EXPECT_EQ(json.GetValueMap(in), CJson::KEY_VALUE_MAP({{"k", "2"}}));
  EXPECT_EQ(json.GetValueMap(target), CJson::KEY_VALUE_MAP({{"t", "1"}}));

  JSON_VALUE null_target;
  EXPECT_EQ(json.AddValue(null_target, in), -1);
  EXPECT_TRUE(null_target.IsNull());
  EXPECT_TRUE(in.IsObject());
}

// An array may not be appended into itself or into one of its own parts: the value would
// contain itself and could never be written.
TEST(JsonWrite, AppendRefusesCycles) {
  CJson json;
  json.ClearRoot();
  JSON_VALUE inner = json.AddValue(std::vector<long>{1});
  JSON_VALUE outer = json.AddValue(inner);  // [[1]]
  EXPECT_EQ(json.AddValue(outer, outer), -1);
  EXPECT_EQ(json.AddValue(outer[0], outer), -1);
  // An element of the target moves to its end; its old place is left null.
  JSON_VALUE two = json.AddValue(std::vector<long>{2});
  EXPECT_EQ(json.AddValue(outer, two), 0);
  EXPECT_EQ(json.AddValue(outer, outer[0]), 0);
  json.AddRootValue("o", outer);
  EXPECT_EQ(json.GetRootString(), "{\"o\":[null,[2],[1]]}");
}

TEST(JsonWrite, RootThatCannotTakeMembersKeepsTheValue) {
  CJson json;
  ASSERT_EQ(json.LoadJson("42"), 0);
  JSON_VALUE v = json.AddValue(std::vector<std::string>{"x"});
  json.AddRootValue("v", v);
  EXPECT_EQ(json.GetValueList(v), CJson::KEY_VALUE_LIST({"x"}));
  EXPECT_EQ(json.GetRootString(), "42");
}

TEST(JsonWrite, ValuesMadeBeforeClearRootStayValid) {
  CJson json;
  json.ClearRoot();
  JSON_VALUE s = json.AddValue("s", std::string(200, 'x'));
  json.AddRootValue("a", 1L);
  json.ClearRoot();
  json.AddRootValue("s", s);
  EXPECT_EQ(json.GetRootString(), "{\"s\":{\"s\":\"" + std::string(200, 'x') + "\"}}");
}

// The writer's output equals the library writer's own walk of the same document.
TEST(JsonWrite, SameTextAsTheLibraryWalk) {
  const char* text =
      "{\"a\":[1,-2,3.25,1e-300,true,false,null,\"s\\u0001\\\"\"],\"b\":{\"c\":{},\"d\":[[]]},"
      "\"e\":18446744073709551615,\"f\":-9223372036854775808,\"g\":0.1,\"h\":\"\xC3\xA9\"}";
  CJson json;
  ASSERT_EQ(json.LoadJson(text), 0);
  rapidjson::Document doc;
  doc.Parse(text);
  ASSERT_FALSE(doc.HasParseError());
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  ASSERT_TRUE(doc.Accept(writer));
  EXPECT_EQ(json.GetRootString(), buffer.GetString());
}

TEST(JsonWrite, DeepBuiltDocumentWrites) {
  const size_t depth = 1000000;
  CJson json;
  json.ClearRoot();
  JSON_VALUE v = json.AddValue(std::vector<long>{});
  for (size_t i = 1; i < depth; ++i) v = json.AddValue(v);
  json.AddRootValue("a", v);
  std::string expected = "{\"a\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
  std::string text = json.GetRootString();
  EXPECT_EQ(text, expected);
  CJson back;
  ASSERT_EQ(back.LoadJson(text.c_str()), 0);
  JSON_VALUE a;
  EXPECT_EQ(back.GetValue("a", a), 0);
  EXPECT_EQ(back.GetRootString(), expected);
}

// Every finite double, written and loaded again, is the same double.
TEST(JsonWrite, DoublesReadBackExactly) {
  std::mt19937_64 rng(20240601);
  std::vector<double> doubles;
  while (doubles.size() < 100000) {
    uint64_t bits = rng();
    double d;
    memcpy(&d, &bits, sizeof d);
    if (std::isfinite(d)) doubles.push_back(d);
  }
  for (int i = 0; i < 10000; ++i)  // short decimals, as people write them
    doubles.push_back(static_cast<double>(rng() % 100000000) / std::pow(10.0, rng() % 12));
  CJson out;
  JSON_VALUE list = out.AddValue(doubles);
  out.AddRootValue("d", list);
  CJson in;
  ASSERT_EQ(in.LoadJson(out.GetRootString().c_str()), 0);
  JSON_VALUE back;
  ASSERT_EQ(in.GetValue("d", back), 0);
  ASSERT_EQ(in.GetArrayCount(back), doubles.size());
  size_t differ = 0;
  for (size_t i = 0; i < doubles.size(); ++i) {
    double d = back[static_cast<rapidjson::SizeType>(i)].GetDouble();
    if (memcmp(&d, &doubles[i], sizeof d) != 0 && differ++ < 5)
      ADD_FAILURE() << doubles[i] << " read back as " << d;
  }
  EXPECT_EQ(differ, 0u);
}

// A document built here reads back with the same values and kinds.
TEST(JsonWrite, RoundTrip) {
  const std::vector<double> doubles = {0.1,     1.0 / 3, -2.5,          1e-300, 5e-324, DBL_MAX,
                                       DBL_MIN, 1e21,    123456789.125, -0.0,   4.35,   1e23};
  CJson out;
  out.ClearRoot();
  out.AddRootValue("s", std::string("text \"q\" \\ \xC3\xA9 \t"));
  out.AddRootValue("n", std::string("a\0b", 3));
  out.AddRootValue("i", -5L);
  out.AddRootValue("imin", std::numeric_limits<long>::min());
  out.AddRootValue("u", std::numeric_limits<unsigned long>::max());
  out.AddRootValue("d", 5.0);
  out.AddRootValue("t", true);
  out.AddRootValue("f", false);
  JSON_VALUE ds = out.AddValue(doubles);
  out.AddRootValue("ds", ds);
  JSON_VALUE list = out.AddValue(std::vector<long>{3, -4});
  JSON_VALUE obj = out.AddValue("list", list);
  out.AddRootValue("o", obj);
  JSON_VALUE m = out.AddValue(CJson::KEY_VALUE_MAP{{"k", "v"}, {"j", "w"}});
  out.AddRootValue("m", m);
  out.AddRootValue("s", std::string("second"));
  std::string text = out.GetRootString();

  CJson in;
  ASSERT_EQ(in.LoadJson(text.c_str()), 0);
  EXPECT_EQ(in.GetRootString(), text);
  std::string s, n;
  long i = 0, imin = 0, as_long = 0;
  unsigned long u = 0, as_unsigned = 0;
  double d = 0;
  bool t = false, f = true;
  EXPECT_EQ(in.GetValue("s", s), 0);
  EXPECT_EQ(s, "text \"q\" \\ \xC3\xA9 \t");  // the first "s"
  EXPECT_EQ(in.GetValue("n", n), 0);
  EXPECT_EQ(n, "a");  // a text read ends at a NUL
  EXPECT_EQ(in.GetValue("i", i), 0);
  EXPECT_EQ(i, -5);
  EXPECT_EQ(in.GetValue("i", u), -1);
  EXPECT_EQ(in.GetValue("imin", imin), 0);
  EXPECT_EQ(imin, std::numeric_limits<long>::min());
  EXPECT_EQ(in.GetValue("u", u), 0);
  EXPECT_EQ(u, std::numeric_limits<unsigned long>::max());
  EXPECT_EQ(in.GetValue("u", as_long), -1);
  EXPECT_EQ(in.GetValue("d", d), 0);
  EXPECT_EQ(d, 5.0);
  EXPECT_EQ(in.GetValue("d", as_long), -1);
  EXPECT_EQ(in.GetValue("d", as_unsigned), -1);
  EXPECT_EQ(in.GetValue("t", t), 0);
  EXPECT_EQ(in.GetValue("f", f), 0);
  EXPECT_TRUE(t);
  EXPECT_FALSE(f);

  JSON_VALUE ds_in;
  ASSERT_EQ(in.GetValue("ds", ds_in), 0);
  ASSERT_EQ(in.GetArrayCount(ds_in), doubles.size());
  for (size_t k = 0; k < doubles.size(); ++k) {
    SCOPED_TRACE(doubles[k]);
    JSON_VALUE e;
    ASSERT_EQ(in.GetArrayIndex(ds_in, k, e), 0);
    ASSERT_TRUE(e.IsDouble());
    EXPECT_EQ(e.GetDouble(), doubles[k]);
    EXPECT_EQ(std::signbit(e.GetDouble()), std::signbit(doubles[k]));
  }

  JSON_VALUE o_in, list_in, m_in;
  ASSERT_EQ(in.GetValue("o", o_in), 0);
  ASSERT_EQ(in.GetValue(o_in, "list", list_in), 0);
  EXPECT_EQ(in.GetValueList(list_in), CJson::KEY_VALUE_LIST({"3", "-4"}));
  ASSERT_EQ(in.GetValue("m", m_in), 0);
  EXPECT_EQ(in.GetValueMap(m_in), CJson::KEY_VALUE_MAP({{"j", "w"}, {"k", "v"}}));
  EXPECT_EQ(in.GetValueMap()["s"], "second");  // the flattening sees the last "s"
}

}  // namespace
