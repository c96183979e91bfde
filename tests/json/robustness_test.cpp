// No input crashes the JSON reader or the server list reader: thousands of
// generated, mutated, truncated and random documents (fixed seeds, bounded
// counts) each either parse or fail cleanly, and what parses is sound.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "json/parse.h"
#include "servers/server_list.h"

using namespace servers;  // the names under test

namespace {

using json::Type;
using json::Value;

bool Equal(const Value& a, const Value& b) {
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Type::kNull: return true;
    case Type::kBool: return a.boolean == b.boolean;
    case Type::kNumber: return a.number == b.number;
    case Type::kString: return a.string == b.string;
    case Type::kArray: {
      const auto& x = a.AsArray();
      const auto& y = b.AsArray();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!Equal(x[i], y[i])) return false;
      }
      return true;
    }
    case Type::kObject: {
      if (a.object->size() != b.object->size()) return false;
      for (auto i = a.object->begin(), j = b.object->begin(); i != a.object->end(); ++i, ++j) {
        if (i->first != j->first || !Equal(i->second, j->second)) return false;
      }
      return true;
    }
  }
  return false;
}

// Levels below this value (0 for a scalar or an empty container).
int Depth(const Value& v) {
  int deepest = -1;
  if (v.kind == Type::kArray) {
    for (const Value& e : v.AsArray()) deepest = std::max(deepest, Depth(e));
  } else if (v.kind == Type::kObject) {
    for (const auto& m : *v.object) deepest = std::max(deepest, Depth(m.second));
  }
  return deepest + 1;
}

// Makes a document and, alongside, the value it must parse to.
class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  int Below(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

  void Space(std::string& text) {
    static const char kSpace[] = " \t\n\r";
    for (int n = Below(4) == 0 ? Below(3) : 0; n > 0; --n) text += kSpace[Below(4)];
  }

  // A string token; expected receives its bytes.
  void String(std::string& text, std::string& expected) {
    struct Escape {
      const char* written;
      const char* bytes;
    };
    static const Escape kEscapes[] = {
        {"\\\"", "\""},
        {"\\\\", "\\"},
        {"\\/", "/"},
        {"\\n", "\n"},
        {"\\t", "\t"},
        {"\\u00e9", "\xC3\xA9"},
        {"\\u20AC", "\xE2\x82\xAC"},
        {"\\ud83d", "\xEF\xBF\xBD"},
        {"\\u0000", ""},  // "" stands for one NUL
    };
    text += '"';
    expected.clear();
    for (int n = Below(12); n > 0; --n) {
      if (Below(5) == 0) {
        const Escape& e = kEscapes[Below(sizeof kEscapes / sizeof kEscapes[0])];
        text += e.written;
        if (*e.bytes) {
          expected += e.bytes;
        } else {
          expected += '\0';
        }
      } else {
        // Any raw byte but the quote and the backslash, NUL included.
        char c = static_cast<char>(Below(256));
        if (c == '"' || c == '\\') c = 'q';
        text += c;
        expected += c;
      }
    }
    text += '"';
  }

  void Number(std::string& text, double& expected) {
    static const struct {
      const char* written;
      double value;
    } kNumbers[] = {{"0", 0},         {"-0", -0.0},     {"7", 7},           {"-12.25", -12.25},           {"1e3", 1000},
                    {"2.5E-1", 0.25}, {"27015", 27015}, {"65536", 65536},   {"4294967296", 4294967296.0}, {"+3", 3},
                    {".5", 0.5},      {"0x10", 16},     {"1e400", HUGE_VAL}};
    const auto& n = kNumbers[Below(sizeof kNumbers / sizeof kNumbers[0])];
    text += n.written;
    expected = n.value;
  }

  // A value with at most levels_left levels below it.
  void Make(int levels_left, std::string& text, Value& out) {
    Space(text);
    int pick = levels_left > 0 ? Below(9) : Below(5);
    switch (pick) {
      case 0:
        text += "null";
        out.kind = Type::kNull;
        break;
      case 1: {
        bool b = Below(2) == 0;
        text += b ? "true" : "false";
        out.kind = Type::kBool;
        out.boolean = b;
        break;
      }
      case 2:
        out.kind = Type::kNumber;
        Number(text, out.number);
        break;
      case 3:
      case 4:
        out.kind = Type::kString;
        String(text, out.string);
        break;
      case 5:
      case 6: {
        out.kind = Type::kArray;
        out.array = std::make_shared<std::vector<Value>>();
        text += '[';
        int n = Below(5);
        if (n == 0) Space(text);
        for (int i = 0; i < n; ++i) {
          if (i) text += ',';
          Value e;
          Make(levels_left - 1, text, e);
          out.array->push_back(std::move(e));
          Space(text);
        }
        text += ']';
        break;
      }
      default: {
        out.kind = Type::kObject;
        out.object = std::make_shared<std::map<std::string, Value>>();
        text += '{';
        int n = Below(5);
        if (n == 0) Space(text);
        for (int i = 0; i < n; ++i) {
          if (i) text += ',';
          Space(text);
          std::string key;
          // Few distinct keys, so repeated keys are common: the later wins.
          if (Below(2) == 0) {
            key = std::string(1, static_cast<char>('a' + Below(3)));
            text += '"' + key + '"';
          } else {
            String(text, key);
          }
          Space(text);
          text += ':';
          Value m;
          Make(levels_left - 1, text, m);
          (*out.object)[key] = std::move(m);
          Space(text);
        }
        text += '}';
        break;
      }
    }
    Space(text);
  }

  void Mutate(std::string& text) {
    static const char kInteresting[] = "[]{}\",:\\0123456789.eE+-tfnu \t\n\xEF\xBB\xBF\xFF";
    for (int n = 1 + Below(4); n > 0; --n) {
      size_t at = text.empty() ? 0 : static_cast<size_t>(Below(static_cast<int>(text.size())));
      char c = Below(2) ? kInteresting[Below(sizeof kInteresting - 1)] : static_cast<char>(Below(256));
      switch (Below(4)) {
        case 0:
          if (!text.empty()) text[at] = c;
          break;
        case 1: text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c); break;
        case 2:
          if (!text.empty()) text.erase(at, 1 + static_cast<size_t>(Below(8)));
          break;
        default: text.insert(at, text.substr(at, static_cast<size_t>(Below(64)))); break;
      }
    }
  }

 private:
  std::mt19937 rng_;
};

// A realistic list: valid entries and entries each reader rule must drop or fix.
std::string SampleList() {
  return "{\"version\":2,\"servers\":["
         "{\"name\":\"Night Shift\",\"host\":\"lobby\",\"port\":27015,\"players\":3,\"maxPlayers\":16,"
         "\"verified\":true,\"tags\":[\"rp\",\"eu\"]},"
         "{\"name\":\"Br\\u00fccke \xC3\xA9\",\"host\":\"2001:db8::42\",\"port\":7777.5,\"description\":"
         "\"line\\nbreak\",\"language\":\"de\",\"version\":\"1.0.5\",\"players\":-4,\"maxPlayers\":1e9,"
         "\"verified\":\"true\",\"tags\":[\"a\",\"\",7,\"b\",\"c\",\"d\",\"e\",\"f\"]},"
         "{\"name\":\"\",\"host\":\"h\",\"port\":1},{\"name\":\"n\",\"host\":\"h\",\"port\":65536},"
         "{\"name\":\"\xFF\xFE\",\"host\":\"203.0.113.5\",\"port\":65535,\"tags\":\"rp\"},"
         "[1,2],null,\"x\",{\"name\":{\"deep\":[[[[{}]]]]},\"host\":\"h\",\"port\":2}"
         "],\"motd\":\"welcome\"}";
}

// Whatever a document holds, what reaches the page is bounded and clean.
void ExpectSoundRecords(const std::vector<ServerRecord>& list, const std::string& body) {
  auto clean = [](const std::wstring& s) {
    for (wchar_t c : s) {
      if (c < 0x20 || c == 0x7F) return false;
    }
    return true;
  };
  for (const ServerRecord& r : list) {
    ASSERT_TRUE(!r.name.empty() && r.name.size() <= 48 && clean(r.name)) << body;
    ASSERT_TRUE(!r.host.empty() && r.host.size() <= 45 && clean(r.host)) << body;
    ASSERT_TRUE(r.port >= 1 && r.port <= 65535) << body;
    ASSERT_TRUE(r.description.size() <= 160 && clean(r.description)) << body;
    ASSERT_TRUE(r.language.size() <= 5 && clean(r.language)) << body;
    ASSERT_TRUE(r.version.size() <= 16 && clean(r.version)) << body;
    ASSERT_LE(r.tags.size(), 5u) << body;
    for (const std::wstring& t : r.tags) ASSERT_TRUE(!t.empty() && t.size() <= 16 && clean(t)) << body;
    ASSERT_TRUE(r.players >= 0 && r.players <= 100000) << body;
    ASSERT_TRUE(r.maxPlayers >= 0 && r.maxPlayers <= 100000) << body;
  }
}

// One document through both readers; true when it parsed.
bool Feed(const std::string& text) {
  Value out;
  out.kind = Type::kString;
  out.string = "sentinel";
  bool parsed = json::Parse(text, out);
  if (parsed) {
    EXPECT_LE(Depth(out), json::kMaxDepth);
  } else {
    EXPECT_EQ(out.kind, Type::kString);
    EXPECT_EQ(out.string, "sentinel");
  }
  std::vector<ServerRecord> list(1);
  list[0].name = L"previous";
  std::wstring error;
  bool read = ReadServerList(text, list, error);
  EXPECT_EQ(read, parsed);
  if (read) {
    ExpectSoundRecords(list, text);
  } else {
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, L"previous");
  }
  return parsed;
}

TEST(Robustness, GeneratedDocumentsParseToWhatWasWritten) {
  Generator gen(20240601);
  int deep = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string text;
    Value expected;
    gen.Make(i % 4 == 0 ? json::kMaxDepth : 4, text, expected);
    Value out;
    ASSERT_TRUE(json::Parse(text, out)) << "document " << i << ": " << text;
    ASSERT_TRUE(Equal(out, expected)) << "document " << i << ": " << text;
    if (Depth(out) > 8) ++deep;
  }
  EXPECT_GT(deep, 0) << "the generator should reach deep documents";
}

TEST(Robustness, GeneratedDocumentsWrappedPastTheLimitFail) {
  Generator gen(7);
  for (int i = 0; i < 1000; ++i) {
    std::string inner;
    Value expected;
    gen.Make(3, inner, expected);
    // Wrapped so that the innermost value lies 33 or more levels down.
    int levels = json::kMaxDepth + 1 + gen.Below(40);
    std::string text;
    for (int l = 0; l < levels; ++l) text += gen.Below(2) ? "[" : "{\"k\":";
    std::string close;
    for (size_t p = text.size(); p > 0; --p) {
      if (text[p - 1] == '[') close += ']';
      if (text[p - 1] == '{') close += '}';
    }
    text += inner + close;
    EXPECT_FALSE(Feed(text)) << text;
  }
}

TEST(Robustness, MutatedDocumentsParseOrFailCleanly) {
  Generator gen(424242);
  const std::string sample = SampleList();
  int parsed = 0, failed = 0;
  for (int i = 0; i < 12000; ++i) {
    std::string text;
    if (i % 2 == 0) {
      text = sample;
    } else {
      Value ignored;
      gen.Make(6, text, ignored);
    }
    gen.Mutate(text);
    (Feed(text) ? parsed : failed)++;
    if (HasFatalFailure() || HasFailure()) return;
  }
  // Both outcomes must occur, or the mutations test nothing.
  EXPECT_GT(parsed, 100);
  EXPECT_GT(failed, 1000);
}

TEST(Robustness, EveryTruncationOfAValidListFails) {
  const std::string sample = SampleList();
  ASSERT_TRUE(Feed(sample));
  std::vector<ServerRecord> list;
  std::wstring error;
  ASSERT_TRUE(ReadServerList(sample, list, error));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1].port, 7777);
  EXPECT_EQ(list[2].name, L"\xFFFD\xFFFD");
  for (size_t n = 0; n < sample.size(); ++n) {
    ASSERT_FALSE(Feed(sample.substr(0, n))) << "prefix of " << n << " bytes";
  }
}

TEST(Robustness, RandomBytes) {
  Generator gen(99);
  static const char kAlphabet[] = "[]{}\":,\\ 0123456789-+.eEtrufalsn\t\n\x01\x80\xC3\xFF";
  for (int i = 0; i < 6000; ++i) {
    std::string text;
    int length = gen.Below(120);
    for (int k = 0; k < length; ++k) {
      text += i % 3 == 0 ? static_cast<char>(gen.Below(256)) : kAlphabet[gen.Below(sizeof kAlphabet - 1)];
    }
    Feed(text);
    if (HasFailure()) return;
  }
}

TEST(Robustness, DeepNestingFailsWithoutExhaustingTheStack) {
  Generator gen(5);
  for (int i = 0; i < 50; ++i) {
    std::string text;
    int levels = 1000 + gen.Below(100000);
    for (int l = 0; l < levels; ++l) text += gen.Below(3) ? "[" : "{\"servers\":";
    EXPECT_FALSE(Feed(text));
  }
  EXPECT_FALSE(Feed(std::string(1000000, '[') + std::string(1000000, ']')));
}

TEST(Robustness, LongValues) {
  const std::string mb(1 << 20, 'x');
  EXPECT_TRUE(Feed("\"" + mb + "\""));
  EXPECT_TRUE(Feed("{\"" + mb + "\":1}"));
  EXPECT_TRUE(Feed("{\"servers\":[{\"name\":\"" + mb + "\",\"host\":\"" + mb + "\",\"port\":1,\"description\":\"" + mb +
                   "\",\"tags\":[\"" + mb + "\"]}]}"));
  EXPECT_TRUE(Feed(std::string(100000, '1')));
  EXPECT_TRUE(Feed("0." + std::string(100000, '0') + "1"));
  EXPECT_FALSE(Feed("\"" + mb));
  std::string escapes;
  for (int i = 0; i < 100000; ++i) escapes += "\\u00e9";
  Value v;
  ASSERT_TRUE(json::Parse("\"" + escapes + "\"", v));
  EXPECT_EQ(v.string.size(), 200000u);
  std::string many = "{\"servers\":[";
  for (int i = 0; i < 100000; ++i) many += i ? ",{\"name\":\"n\",\"host\":\"h\",\"port\":1}" : "{}";
  many += "]}";
  std::vector<ServerRecord> list;
  std::wstring error;
  ASSERT_TRUE(ReadServerList(many, list, error));
  EXPECT_EQ(list.size(), servers::kMaxRecords) << "reading stops at the bound";
  EXPECT_EQ(list.back().name, L"n");
}

}  // namespace
