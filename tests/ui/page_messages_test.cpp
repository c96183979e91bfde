// The host's messages to the page: escapes and member order, byte for byte.
#include <gtest/gtest.h>

#include "servers/ping.h"
#include "servers/server_record.h"
#include "ui/page_messages.h"
#include "ui/player_state.h"

namespace {

TEST(PageMessagesTest, EscapesOnlyWhatJsonNeeds) {
  EXPECT_EQ(ui::EscapeJson(L"say \"hi\"\\\n\r\t"), L"say \\\"hi\\\"\\\\\\n\\r\\t");
  EXPECT_EQ(ui::EscapeJson(std::wstring(L"\x01\x07\x08\x0c\x1f", 5)), L"\\u0001\\u0007\\u0008\\u000c\\u001f");
  EXPECT_EQ(ui::EscapeJson(std::wstring(1, L'\0')), L"\\u0000");
  // Slash, DEL, non-ASCII and surrogates (paired or not) pass unchanged.
  const std::wstring untouched = L"a/b\x7f\x00e9\x4E16\xD83D\xDE00\xDC00";
  EXPECT_EQ(ui::EscapeJson(untouched), untouched);
}

TEST(PageMessagesTest, StatusMembersInOrder) {
  EXPECT_EQ(ui::BuildStatusMessage(L"Up to date", -1, ui::Tone::kGood, ui::Busy::kNo),
            L"{\"type\":\"status\",\"text\":\"Up to date\",\"percent\":-1,\"good\":true,\"busy\":false}");
  EXPECT_EQ(ui::BuildStatusMessage(L"Starting the game through Steam...", -1, ui::Tone::kPlain, ui::Busy::kUnchanged),
            L"{\"type\":\"status\",\"text\":\"Starting the game through Steam...\",\"percent\":-1}");
  EXPECT_EQ(ui::BuildStatusMessage(L"Downloading a\\b", 150, ui::Tone::kPlain, ui::Busy::kYes),
            L"{\"type\":\"status\",\"text\":\"Downloading a\\\\b\",\"percent\":150,\"busy\":true}");
  EXPECT_EQ(ui::BuildStatusMessage(L"x", 0, ui::Tone::kBad, ui::Busy::kYes),
            L"{\"type\":\"status\",\"text\":\"x\",\"percent\":0,\"bad\":true,\"busy\":true}");
}

TEST(PageMessagesTest, ServersWithAndWithoutOptionalMembers) {
  EXPECT_EQ(ui::BuildServersMessage({}), L"{\"type\":\"servers\",\"list\":[]}");
  EXPECT_EQ(std::wstring(ui::kEmptyServersMessage), ui::BuildServersMessage({}));

  servers::ServerRecord plain;
  plain.name = L"Night \"Shift\"";
  plain.host = L"lobby";
  plain.port = 27015;
  plain.players = 3;
  plain.maxPlayers = 16;
  plain.version = L"not sent";
  servers::ServerRecord full;
  full.name = L"Harbour";
  full.host = L"::1";
  full.port = 7777;
  full.description = L"line\nbreak";
  full.language = L"de";
  full.verified = true;
  full.tags = {L"rp", L"eu"};
  EXPECT_EQ(ui::BuildServersMessage({plain, full}),
            L"{\"type\":\"servers\",\"list\":["
            L"{\"name\":\"Night \\\"Shift\\\"\",\"host\":\"lobby\",\"port\":27015,\"address\":\"lobby:27015\","
            L"\"players\":3,\"maxPlayers\":16},"
            L"{\"name\":\"Harbour\",\"host\":\"::1\",\"port\":7777,\"address\":\"[::1]:7777\",\"players\":0,"
            L"\"maxPlayers\":0,\"description\":\"line\\nbreak\",\"language\":\"de\",\"verified\":true,"
            L"\"tags\":[\"rp\",\"eu\"]}]}");
}

TEST(PageMessagesTest, ReleaseAndName) {
  EXPECT_EQ(ui::BuildReleaseMessage(L"2.1.0 \"beta\"", -7),
            L"{\"type\":\"release\",\"build\":\"2.1.0 \\\"beta\\\"\",\"protocol\":-7}");
  EXPECT_EQ(ui::BuildNameMessage(L"\x0141ucja"), L"{\"type\":\"name\",\"value\":\"\x0141ucja\"}");
}

TEST(PageMessagesTest, SavedServersPingAndLog) {
  const std::vector<ui::SavedServer> saved = {{L"lobby", 27015, L"Night \"Shift\""}, {L"2001:db8::42", 7777, L""}};
  EXPECT_EQ(ui::BuildFavouritesMessage(saved),
            L"{\"type\":\"favourites\",\"list\":[{\"host\":\"lobby\",\"port\":27015,\"name\":\"Night "
            L"\\\"Shift\\\"\"},{\"host\":\"2001:db8::42\",\"port\":7777,\"name\":\"\"}]}");
  EXPECT_EQ(ui::BuildRecentMessage({}), L"{\"type\":\"recent\",\"list\":[]}");
  EXPECT_EQ(ui::BuildPingMessage({{L"lobby", 42}, {L"203.0.113.9", servers::kNoAnswer}}),
            L"{\"type\":\"ping\",\"results\":[{\"host\":\"lobby\",\"ms\":42},{\"host\":\"203.0.113.9\",\"ms\":-1}]}");
  EXPECT_EQ(ui::BuildLogMessage(L"C:\\Users\\\x00c5sa\\launcher.log"),
            L"{\"type\":\"log\",\"path\":\"C:\\\\Users\\\\\x00c5sa\\\\launcher.log\"}");
}

}  // namespace
