// Reading the server list: which entries reach the page, and how every
// field is cleaned and bounded. The documents are read in-process; the
// fetch over the real fetcher is in fetch_server_list_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "servers/clean_text.h"
#include "servers/server_list.h"

using namespace servers;  // the names under test

namespace {

const wchar_t kNotJson[] = L"the list answered with something that is not json";

// A list holding one record, so tests can tell a replaced list from a kept one.
std::vector<ServerRecord> PreviousList() {
  ServerRecord r;
  r.name = L"previous";
  r.host = L"old-host";
  r.port = 1;
  return {r};
}

// The document {"servers":[<entry>]} read; the records that survive.
std::vector<ServerRecord> ReadEntries(const std::string& entries) {
  std::vector<ServerRecord> list = PreviousList();
  std::wstring error;
  EXPECT_TRUE(ReadServerList("{\"servers\":[" + entries + "]}", list, error)) << entries;
  EXPECT_EQ(error, L"") << entries;
  return list;
}

// One entry with a valid name, host and port, plus the given members.
std::vector<ServerRecord> ReadOne(const std::string& members) {
  return ReadEntries("{\"name\":\"n\",\"host\":\"h\",\"port\":27015" + (members.empty() ? "" : "," + members) + "}");
}

TEST(ServerList, DocumentsWithoutAServersArrayGiveAnEmptyList) {
  for (const char* body : {"{\"servers\":[]}", "{}", "[]", "{\"servers\":{}}", "{\"servers\":5}", "{\"servers\":null}",
                           "{\"Servers\":[{\"name\":\"n\",\"host\":\"h\",\"port\":1}]}", "\"servers\"", "null", "0"}) {
    std::vector<ServerRecord> list = PreviousList();
    std::wstring error = L"untouched";
    EXPECT_TRUE(ReadServerList(body, list, error)) << body;
    EXPECT_TRUE(list.empty()) << body;
    EXPECT_EQ(error, L"untouched") << body;
  }
}

TEST(ServerList, BodiesThatAreNotJsonKeepTheCallersList) {
  const std::string bodies[] = {"",
                                " ",
                                "\xEF\xBB\xBF{\"servers\":[]}",
                                "{\"servers\":[]}x",
                                "{\"servers\":[]} {}",
                                "{\"servers\":[",
                                "<html>502 Bad Gateway</html>",
                                std::string("{\"servers\":[]}\0", 15)};
  for (const std::string& body : bodies) {
    std::vector<ServerRecord> list = PreviousList();
    std::wstring error;
    EXPECT_FALSE(ReadServerList(body, list, error)) << body;
    EXPECT_EQ(error, kNotJson);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, L"previous");
  }
}

TEST(ServerList, TheExampleEntryInFull) {
  auto list = ReadEntries(
      "{\"name\":\"Night Shift\",\"host\":\"lobby\",\"port\":27015,\"players\":3,\"maxPlayers\":16,"
      "\"verified\":true,\"tags\":[\"rp\",\"eu\"],\"uptime\":99,\"owner\":{\"id\":1}}");
  ASSERT_EQ(list.size(), 1u);
  const ServerRecord& r = list[0];
  EXPECT_EQ(r.name, L"Night Shift");
  EXPECT_EQ(r.host, L"lobby");
  EXPECT_EQ(r.port, 27015);
  EXPECT_EQ(r.description, L"");
  EXPECT_EQ(r.language, L"");
  EXPECT_EQ(r.version, L"");
  EXPECT_EQ(r.tags, (std::vector<std::wstring>{L"rp", L"eu"}));
  EXPECT_EQ(r.players, 3);
  EXPECT_EQ(r.maxPlayers, 16);
  EXPECT_TRUE(r.verified);
  EXPECT_EQ(ServerAddress(r), L"lobby:27015");
}

// Ports are numbers truncated toward zero and must lie in 1 to 65535.
TEST(ServerList, PortRule) {
  const struct {
    const char* port;  // JSON text, or nullptr for an absent member
    int kept_as;       // 0: dropped
  } cases[] = {{"27015", 27015}, {"65535", 65535}, {"1", 1},       {"27015.9", 27015}, {"1.5", 1},
               {"0", 0},         {"-1", 0},        {"65536", 0},   {"0.9", 0},         {"-0.5", 0},
               {"1e10", 0},      {"-1e10", 0},     {"nan", 0},     {"inf", 0},         {"\"27015\"", 0},
               {"true", 0},      {"null", 0},      {"[27015]", 0}, {nullptr, 0}};
  for (const auto& c : cases) {
    std::string entry = "{\"name\":\"n\",\"host\":\"h\"";
    if (c.port) entry += std::string(",\"port\":") + c.port;
    auto list = ReadEntries(entry + "}");
    if (c.kept_as == 0) {
      EXPECT_TRUE(list.empty()) << "port " << (c.port ? c.port : "absent");
    } else {
      ASSERT_EQ(list.size(), 1u) << c.port;
      EXPECT_EQ(list[0].port, c.kept_as) << c.port;
    }
  }
}

// Without a name or a host an entry is useless to the player.
TEST(ServerList, EntriesWithoutNameOrHostAreDropped) {
  const char* entries[] = {"{\"name\":\"\",\"host\":\"h\",\"port\":1,\"players\":3,\"verified\":true}",
                           "{\"name\":\"n\",\"port\":1,\"description\":\"d\",\"tags\":[\"a\"]}",
                           "{\"host\":\"h\",\"port\":1}", "{\"name\":\"n\",\"host\":\"\",\"port\":1}",
                           "{\"name\":5,\"host\":\"h\",\"port\":1}", "{\"name\":\"n\",\"host\":[\"h\"],\"port\":1}",
                           // Not objects at all.
                           "5", "\"n\"", "[\"n\",\"h\",1]", "null", "true", "{}"};
  for (const char* entry : entries) EXPECT_TRUE(ReadEntries(entry).empty()) << entry;
  // A name of control characters is blanks, not empty: it stays.
  auto list = ReadEntries("{\"name\":\"\\t\",\"host\":\"h\",\"port\":1}");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, L" ");
}

TEST(ServerList, PlayerCountsAreBounded) {
  const struct {
    const char* value;
    int expected;
  } cases[] = {{"3", 3},           {"3.7", 3},         {"0", 0},           {"-5", 0},        {"-1e12", 0},
               {"100000", 100000}, {"100001", 100000}, {"250000", 100000}, {"1e12", 100000}, {"\"12\"", 0},
               {"true", 0},        {"null", 0},        {"nan", 0}};
  for (const auto& c : cases) {
    auto list = ReadOne(std::string("\"players\":") + c.value + ",\"maxPlayers\":" + c.value);
    ASSERT_EQ(list.size(), 1u) << c.value;
    EXPECT_EQ(list[0].players, c.expected) << c.value;
    EXPECT_EQ(list[0].maxPlayers, c.expected) << c.value;
  }
  // No relation is enforced between the two.
  auto list = ReadOne("\"players\":20,\"maxPlayers\":4");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].players, 20);
  EXPECT_EQ(list[0].maxPlayers, 4);
}

TEST(ServerList, TextFieldsAreCleanedAndCut) {
  auto list = ReadEntries("{\"name\":\"" + std::string(60, 'N') + "\",\"host\":\"" + std::string(50, 'h') +
                          "\",\"port\":1,\"description\":\"" + std::string(200, 'd') + "\",\"language\":\"en-US-x\"," +
                          "\"version\":\"" + std::string(20, 'v') + "\"}");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, std::wstring(48, L'N'));
  EXPECT_EQ(list[0].host, std::wstring(45, L'h'));
  EXPECT_EQ(list[0].description, std::wstring(160, L'd'));
  EXPECT_EQ(list[0].language, L"en-US");
  EXPECT_EQ(list[0].version, std::wstring(16, L'v'));

  // Control characters, raw or escaped, show as blanks; nothing is trimmed.
  list = ReadEntries(
      "{\"name\":\"a\\nb\\tc\\u0000d\x7F"
      "e\x01\",\"host\":\" lobby \",\"port\":1,"
      "\"description\":\"line\r\nbreak\"}");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, L"a b c d e ");
  EXPECT_EQ(list[0].host, L" lobby ");
  EXPECT_EQ(list[0].description, L"line  break");

  // Bytes that are not UTF-8 show as U+FFFD; the limit counts UTF-16 units.
  list = ReadEntries("{\"name\":\"\xFF\xFE\",\"host\":\"h\",\"port\":1,\"description\":\"" + [] {
    std::string s;
    for (int i = 0; i < 170; ++i) s += "\xC3\xA9";
    return s;
  }() + "\"}");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, L"\xFFFD\xFFFD");
  EXPECT_EQ(list[0].description, std::wstring(160, L'\xE9'));
}

TEST(ServerList, TagRule) {
  const struct {
    const char* tags;
    std::vector<std::wstring> expected;
  } cases[] = {// Empty and non-string tags are skipped without counting; at most 5.
               {"[\"a\",\"\",7,\"b\",\"c\",\"d\",\"e\",\"f\"]", {L"a", L"b", L"c", L"d", L"e"}},
               {"[null,{},[\"x\"],true,\"only\"]", {L"only"}},
               {"[\"0123456789abcdefXYZ\",\"\\t\"]", {L"0123456789abcdef", L" "}},
               {"[\"dup\",\"dup\"]", {L"dup", L"dup"}},
               {"\"rp\"", {}},
               {"{\"0\":\"rp\"}", {}},
               {"[]", {}}};
  for (const auto& c : cases) {
    auto list = ReadOne(std::string("\"tags\":") + c.tags);
    ASSERT_EQ(list.size(), 1u) << c.tags;
    EXPECT_EQ(list[0].tags, c.expected) << c.tags;
  }
}

// Only the literal true counts as verified.
TEST(ServerList, VerifiedOnlyForTheLiteralTrue) {
  const struct {
    const char* member;
    bool expected;
  } cases[] = {{"\"verified\":true", true},  {"\"verified\":false", false}, {"\"verified\":\"true\"", false},
               {"\"verified\":1", false},    {"\"verified\":null", false},  {"\"verified\":[true]", false},
               {"\"Verified\":true", false}, {"\"other\":true", false}};
  for (const auto& c : cases) {
    auto list = ReadOne(c.member);
    ASSERT_EQ(list.size(), 1u) << c.member;
    EXPECT_EQ(list[0].verified, c.expected) << c.member;
  }
}

// The list's order is kept, duplicates included; dropped entries leave no gap.
TEST(ServerList, OrderKeptNoSortingNoDeduplication) {
  auto list = ReadEntries(
      "{\"name\":\"z\",\"host\":\"h\",\"port\":3},{\"name\":\"bad\",\"port\":3},"
      "{\"name\":\"a\",\"host\":\"h\",\"port\":3},{\"name\":\"z\",\"host\":\"h\",\"port\":3}");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].name, L"z");
  EXPECT_EQ(list[1].name, L"a");
  EXPECT_EQ(list[2].name, L"z");
}

TEST(ServerAddressTest, IPv6HostsAreBracketed) {
  const struct {
    const wchar_t* host;
    int port;
    const wchar_t* expected;
  } cases[] = {{L"lobby", 27015, L"lobby:27015"},
               {L"203.0.113.24", 1, L"203.0.113.24:1"},
               {L"::1", 7777, L"[::1]:7777"},
               {L"2001:db8::42", 65535, L"[2001:db8::42]:65535"},
               {L"odd:host", 80, L"[odd:host]:80"}};
  for (const auto& c : cases) {
    ServerRecord r;
    r.host = c.host;
    r.port = c.port;
    EXPECT_EQ(ServerAddress(r), c.expected);
  }
}

TEST(CleanTextTest, Table) {
  const struct {
    std::string utf8;
    size_t limit;
    std::wstring expected;
  } cases[] = {{"", 10, L""},
               {"abc", 0, L""},
               {"abc", 3, L"abc"},
               {"abcd", 3, L"abc"},
               {"\x01\x1F\x7F", 10, L"   "},
               {std::string("a\0b", 3), 10, L"a b"},
               {"\xC3\xA9t\xC3\xA9", 2, L"\xE9t"},
               {"\xFF\xFE", 10, L"\xFFFD\xFFFD"},
               {"caf\xC3", 10, L"caf\xFFFD"},
               {"\xE2\x82\xAC 5", 10, L"\x20AC 5"},
               // Outside the Basic Multilingual Plane: a pair is kept whole or dropped
               // whole at the cut, never split.
               {"a\xF0\x9F\x98\x80", 3, L"a\xD83D\xDE00"},
               {"a\xF0\x9F\x98\x80", 2, L"a"},
               {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 3, L"\xD83D\xDE00"}};
  for (const auto& c : cases) {
    EXPECT_EQ(CleanText(c.utf8, c.limit), c.expected) << c.utf8 << " limit " << c.limit;
  }
}

}  // namespace
