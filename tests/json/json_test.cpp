// The JSON reader: what it accepts, what it refuses, and the accessors'
// fallbacks that every reader of outside data leans on.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

#include "json/parse.h"

namespace {

using json::Type;
using json::Value;

std::string Nested(int levels, const std::string& open, const std::string& inner, const std::string& close) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += open;
  text += inner;
  for (int i = 0; i < levels; ++i) text += close;
  return text;
}

// Texts that must be refused, with what each one catches.
TEST(JsonParse, RefusesMalformedTexts) {
  const std::string cases[] = {
      // Nothing there.
      "", "   ", "\t\r\n",
      // Trailing commas and missing separators.
      "[1,]", "{\"a\":1,}", "[1 2]", "{\"a\" 1}", "{\"a\":1 \"b\":2}", "[,1]", "{,}", "[1,,2]",
      // Keys must be strings.
      "{a:1}", "{1:1}", "{null:1}",
      // Bytes after a complete value: a second value, a stray byte, a NUL.
      "[true]x", "truex", "nulltrue", "5 6", "{}}", "[1]]", "\"a\"\"b\"", std::string("{}\0", 3), std::string("1\0", 2),
      // A byte-order mark is not white space, before or after.
      "\xEF\xBB\xBF{}", "{}\xEF\xBB\xBF",
      // Cut short anywhere.
      "[", "{", "{\"a\"", "{\"a\":", "{\"a\":1", "[1,", "\"abc", "\"abc\\", "tru", "nul", "fals", "-",
      // Unknown escapes, including a byte of 0x80 and above.
      "\"\\x41\"", "\"\\a\"", "\"\\U0041\"", "\"\\\xC3\xA9\"", "\"\\'\"",
      // \u with fewer than four bytes left before the end.
      "\"\\u12\"", "\"\\u\"", "\"\\u1",
      // Not values at all.
      ":", "]", "}", ",", "'a'", "True", "NULL", "undefined",
      // White space JSON does not know, after the value (strtod's own
      // skipping only helps before a number).
      "1\v", "[1]\f"};
  for (const std::string& text : cases) {
    Value out;
    out.kind = Type::kNumber;
    out.number = 42;
    EXPECT_FALSE(json::Parse(text, out)) << "accepted: " << text;
    // A failed parse leaves the caller's value alone.
    EXPECT_EQ(out.kind, Type::kNumber) << text;
    EXPECT_EQ(out.number, 42) << text;
  }
}

// Any value may stand at the top level; white space is space, tab, LF, CR.
TEST(JsonParse, TopLevelScalarsAndEmptyContainers) {
  Value v;
  ASSERT_TRUE(json::Parse(" 5 ", v));
  EXPECT_EQ(v.kind, Type::kNumber);
  EXPECT_EQ(v.number, 5);

  ASSERT_TRUE(json::Parse("\"x\"", v));
  EXPECT_EQ(v.kind, Type::kString);
  EXPECT_EQ(v.string, "x");

  ASSERT_TRUE(json::Parse("\r\n\tnull \n", v));
  EXPECT_EQ(v.kind, Type::kNull);

  ASSERT_TRUE(json::Parse("true", v));
  EXPECT_EQ(v.kind, Type::kBool);
  EXPECT_TRUE(v.boolean);
  ASSERT_TRUE(json::Parse("false", v));
  EXPECT_EQ(v.kind, Type::kBool);
  EXPECT_FALSE(v.boolean);

  ASSERT_TRUE(json::Parse("{}", v));
  EXPECT_EQ(v.kind, Type::kObject);
  ASSERT_TRUE(v.object);
  EXPECT_TRUE(v.object->empty());

  ASSERT_TRUE(json::Parse("[ ]", v));
  EXPECT_EQ(v.kind, Type::kArray);
  ASSERT_TRUE(v.array);
  EXPECT_TRUE(v.array->empty());

  ASSERT_TRUE(json::Parse("{ \"a\" : [ 1 , { } , [ ] , \"s\" ] }", v));
  const auto& a = v.Get("a").AsArray();
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(a[1].kind, Type::kObject);
  EXPECT_EQ(a[2].kind, Type::kArray);
  EXPECT_EQ(a[3].string, "s");
}

// Numbers follow strtod, which takes more than JSON's grammar.
TEST(JsonParse, LenientNumbers) {
  const struct {
    std::string text;
    double expected;
  } cases[] = {{"0", 0},
               {"-12.5", -12.5},
               {"1e3", 1000},
               {"2E-2", 0.02},
               {"+1", 1},
               {"007", 7},
               {".5", 0.5},
               {"1.", 1},
               {"0x1F", 31},
               {"\v5", 5},
               {"\f-2", -2},
               {"[ \v7 ]", 7},
               {"1e999", HUGE_VAL},
               {"-1e999", -HUGE_VAL},
               {"inf", HUGE_VAL},
               {"-Infinity", -HUGE_VAL}};
  for (const auto& c : cases) {
    Value v;
    ASSERT_TRUE(json::Parse(c.text, v)) << c.text;
    const Value& n = v.kind == Type::kArray ? v.AsArray().at(0) : v;
    EXPECT_EQ(n.kind, Type::kNumber) << c.text;
    EXPECT_EQ(n.number, c.expected) << c.text;
  }
  Value v;
  ASSERT_TRUE(json::Parse("nan", v));
  EXPECT_EQ(v.kind, Type::kNumber);
  EXPECT_TRUE(std::isnan(v.number));
}

// The limit: a value may lie at most 32 levels below the top-level value.
TEST(JsonParse, DepthLimitAt32) {
  Value v;
  EXPECT_TRUE(json::Parse(Nested(32, "[", "1", "]"), v));
  EXPECT_FALSE(json::Parse(Nested(33, "[", "1", "]"), v));
  // The innermost empty array is itself the value at level 32.
  EXPECT_TRUE(json::Parse(Nested(33, "[", "", "]"), v));
  EXPECT_FALSE(json::Parse(Nested(34, "[", "", "]"), v));
  // Objects count the same way.
  EXPECT_TRUE(json::Parse(Nested(32, "{\"a\":", "1", "}"), v));
  EXPECT_FALSE(json::Parse(Nested(33, "{\"a\":", "1", "}"), v));
  EXPECT_TRUE(json::Parse(Nested(32, "{\"a\":", "{}", "}"), v));
  EXPECT_FALSE(json::Parse(Nested(33, "{\"a\":", "{}", "}"), v));
  // Far too deep fails cleanly instead of exhausting the stack.
  EXPECT_FALSE(json::Parse(Nested(100000, "[", "", "]"), v));

  ASSERT_TRUE(json::Parse(Nested(32, "[", "1", "]"), v));
  const Value* at = &v;
  for (int i = 0; i < 32; ++i) {
    ASSERT_EQ(at->kind, Type::kArray);
    at = &at->AsArray().at(0);
  }
  EXPECT_EQ(at->number, 1);
}

// A repeated key keeps one member, holding the later value.
TEST(JsonParse, DuplicateKeysLaterWins) {
  Value v;
  ASSERT_TRUE(json::Parse("{\"a\":1,\"a\":2}", v));
  ASSERT_EQ(v.object->size(), 1u);
  EXPECT_EQ(v.Get("a").number, 2);

  ASSERT_TRUE(json::Parse("{\"b\":0,\"a\":[1],\"a\":{\"x\":true},\"c\":3}", v));
  ASSERT_EQ(v.object->size(), 3u);
  EXPECT_EQ(v.Get("a").kind, Type::kObject);
  EXPECT_TRUE(v.Get("a").Get("x").AsBool(false));
  // Members are ordered by their keys' bytes.
  auto it = v.object->begin();
  EXPECT_EQ((it++)->first, "a");
  EXPECT_EQ((it++)->first, "b");
  EXPECT_EQ((it++)->first, "c");
}

// Escapes give bytes; \u gives UTF-8 and never pairs surrogates.
TEST(JsonParse, StringEscapes) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {{"\"\\\"\\/\\\\\"", "\"/\\"},
               {"\"\\b\\f\\n\\r\\t\"", "\b\f\n\r\t"},
               {"\"\\u0041\"", "A"},
               {"\"\\u00e9\"", "\xC3\xA9"},
               {"\"\\u00C9\"", "\xC3\x89"},
               {"\"\\u007f\\u0080\"", "\x7F\xC2\x80"},
               {"\"\\u07FF\\u0800\"", "\xDF\xBF\xE0\xA0\x80"},
               {"\"\\uFFFF\"", "\xEF\xBF\xBF"},
               {"\"\\uE000\"", "\xEE\x80\x80"},
               {"\"\\u0000\"", std::string("\0", 1)},
               // Each half of a pair becomes U+FFFD on its own.
               {"\"\\ud83d\\ude00\"", "\xEF\xBF\xBD\xEF\xBF\xBD"},
               {"\"\\uD800x\"", "\xEF\xBF\xBDx"},
               {"\"\\uDFFF\"", "\xEF\xBF\xBD"},
               // Hex digits are read up to the first non-digit; four bytes are
               // consumed whatever they hold.
               {"\"\\u4zzzA\"",
                "\x04"
                "A"},
               {"\"\\u+041\"", std::string("\0", 1)},
               // "\u12" followed by enough bytes: the quote is one of the four.
               {"\"\\u12\"ab\"",
                "\x12"
                "b"}};
  for (const auto& c : cases) {
    Value v;
    ASSERT_TRUE(json::Parse(c.text, v)) << c.text;
    EXPECT_EQ(v.kind, Type::kString);
    EXPECT_EQ(v.string, c.expected) << c.text;
  }
}

// Bytes other than the quote and the backslash are kept as they are.
TEST(JsonParse, RawBytesKept) {
  const std::string raws[] = {"a\tb",         "line\nbreak\r",         "\xC3\xA9",
                              "\xFF\xFE",     "\xED\xA0\x80",          std::string("nul\0inside", 10),
                              "\x01\x1F\x7F", std::string(100000, 'x')};
  for (const std::string& raw : raws) {
    Value v;
    ASSERT_TRUE(json::Parse("\"" + raw + "\"", v));
    EXPECT_EQ(v.string, raw);
    // Keys keep them too.
    ASSERT_TRUE(json::Parse("{\"" + raw + "\":1}", v));
    EXPECT_EQ(v.Get(raw).number, 1);
  }
}

TEST(JsonAccessors, AsIntTruncatesTowardZero) {
  const struct {
    std::string text;
    int expected;
  } cases[] = {{"3.9", 3},
               {"-3.9", -3},
               {"0.999", 0},
               {"-0.5", 0},
               {"27015.9", 27015},
               {"2147483647", INT_MAX},
               {"-2147483648", INT_MIN},
               {"2147483647.9", INT_MAX},
               // Beyond the range: the nearest end, well defined.
               {"2147483648", INT_MAX},
               {"1e300", INT_MAX},
               {"inf", INT_MAX},
               {"-2147483649", INT_MIN},
               {"-1e300", INT_MIN},
               {"-inf", INT_MIN},
               {"nan", INT_MIN},
               // Not numbers: the fallback.
               {"\"7\"", -99},
               {"true", -99},
               {"null", -99},
               {"[1]", -99},
               {"{}", -99}};
  for (const auto& c : cases) {
    Value v;
    ASSERT_TRUE(json::Parse(c.text, v)) << c.text;
    EXPECT_EQ(v.AsInt(-99), c.expected) << c.text;
  }
}

TEST(JsonAccessors, BoolAndStringAreNeverConverted) {
  const struct {
    std::string text;
    bool as_bool_if_false;  // AsBool(false)
    bool as_bool_if_true;   // AsBool(true)
    std::string as_string;  // AsString("fb")
  } cases[] = {{"true", true, true, "fb"},    {"false", false, false, "fb"},     {"1", false, true, "fb"},
               {"0", false, true, "fb"},      {"\"true\"", false, true, "true"}, {"null", false, true, "fb"},
               {"[true]", false, true, "fb"}, {"\"\"", false, true, ""}};
  for (const auto& c : cases) {
    Value v;
    ASSERT_TRUE(json::Parse(c.text, v)) << c.text;
    EXPECT_EQ(v.AsBool(false), c.as_bool_if_false) << c.text;
    EXPECT_EQ(v.AsBool(true), c.as_bool_if_true) << c.text;
    EXPECT_EQ(v.AsString("fb"), c.as_string) << c.text;
  }
}

// Missing members and wrong kinds give the program's shared fallbacks, so
// chains such as root.Get("servers").AsArray() never fail.
TEST(JsonAccessors, SharedFallbacks) {
  for (const char* text : {"[1]", "\"s\"", "null", "5", "true", "{\"b\":1}"}) {
    Value v;
    ASSERT_TRUE(json::Parse(text, v));
    EXPECT_EQ(&v.Get("a"), &json::SharedNull()) << text;
    EXPECT_EQ(&v.Get("a").Get("b").Get("c"), &json::SharedNull()) << text;
    EXPECT_EQ(&v.Get("servers").AsArray(), &json::SharedEmptyArray()) << text;
  }
  Value v;
  ASSERT_TRUE(json::Parse("{\"a\":{\"b\":[1,2]},\"o\":{}}", v));
  EXPECT_EQ(&v.Get("o").AsArray(), &json::SharedEmptyArray());
  EXPECT_EQ(&v.AsArray(), &json::SharedEmptyArray());
  EXPECT_EQ(v.Get("a").Get("b").AsArray().size(), 2u);
  EXPECT_EQ(json::SharedNull().kind, Type::kNull);
  EXPECT_TRUE(json::SharedEmptyArray().empty());
  // A default value is null and answers every fallback.
  Value none;
  EXPECT_EQ(none.kind, Type::kNull);
  EXPECT_EQ(none.AsInt(5), 5);
  EXPECT_EQ(&none.Get("x"), &json::SharedNull());
}

// References from Get and AsArray live as long as any value sharing the
// container, even after the value they came from is replaced.
TEST(JsonAccessors, ReferencesFollowTheContainer) {
  Value root;
  ASSERT_TRUE(json::Parse("{\"servers\":[{\"name\":\"a\"},{\"name\":\"b\"}]}", root));
  Value copy = root;
  const std::vector<Value>& servers = copy.Get("servers").AsArray();
  ASSERT_TRUE(json::Parse("0", root));
  ASSERT_EQ(servers.size(), 2u);
  EXPECT_EQ(servers[1].Get("name").AsString(""), "b");
}

// However a text is shaped, it cannot make the reader hold more values than
// its size allows: one per kBytesPerValue bytes, and 64 more.
TEST(JsonParse, TheValuesOfADocumentAreBoundedByItsSize) {
  const auto zeros = [](size_t count) {
    std::string text = "[";
    for (size_t i = 0; i < count; ++i) text += i ? ",0" : "0";
    return text + "]";
  };
  // n zeros take 2n + 1 bytes and n + 1 values: the budget is reached where
  // n + 1 > (2n + 1) / 8 + 64.
  Value out;
  EXPECT_TRUE(json::Parse(zeros(84), out)) << "small documents are never short of values";
  EXPECT_FALSE(json::Parse(zeros(85), out));
  std::string objects = "[";
  for (int i = 0; i < 200000; ++i) objects += i ? ",{}" : "{}";
  EXPECT_FALSE(json::Parse(objects + "]", out));
  EXPECT_TRUE(json::Parse("\"" + std::string(8 << 20, 'x') + "\"", out)) << "one long value is one value";
  // What a server list looks like: some 16 bytes a value.
  std::string list = "{\"servers\":[";
  for (int i = 0; i < 20000; ++i) {
    list += std::string(i ? "," : "") + "{\"name\":\"Night " + std::to_string(i) +
            "\",\"host\":\"s.example\",\"port\":27015,\"players\":3,\"maxPlayers\":16,\"tags\":[\"rp\",\"eu\"]}";
  }
  ASSERT_TRUE(json::Parse(list + "]}", out));
  EXPECT_EQ(out.Get("servers").AsArray().size(), 20000u);
}

}  // namespace
