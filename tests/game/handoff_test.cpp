// The hand-off file the mod reads, and the launch request to Steam.
#include <gtest/gtest.h>

#include "common/unique_handle.h"
#include "game/handoff.h"
#include "tests/support/harness.h"

namespace {

class HandoffTest : public ::testing::Test {
 protected:
  std::wstring game_ = harness::MakeTempDir(L"handoff");
  std::wstring ini_ = game_ + L"\\velmoramp.ini";
  void TearDown() override { harness::RemoveTree(game_); }

  // The file's text, whichever encoding it is in.
  std::wstring IniText() const {
    std::string bytes = harness::ReadFileBytes(ini_);
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
      return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    }
    return harness::Widen(bytes);
  }
};

TEST_F(HandoffTest, NewFileHoldsTheEntriesInOrder) {
  EXPECT_TRUE(game::WriteHandoff(game_, L"lobby.example", 27015, L"Ann"));
  EXPECT_EQ(IniText(),
            L"[net]\r\nautoconnect=1\r\nname=Ann\r\nhost=lobby.example\r\nport=27015\r\n"
            L"[game]\r\nautocase=MPFreeRoam\r\n");
  EXPECT_EQ(game::ReadSavedName(game_), L"Ann");
}

TEST_F(HandoffTest, ExistingFileKeepsEverythingElse) {
  ASSERT_TRUE(harness::WriteFileBytes(
      ini_,
      "; the mod's own settings\r\n[net]\r\nname=Old\r\nhost=old.example\r\nport=1234\r\ntimeout=30\r\n"
      "[video]\r\nwidth=1920\r\n[game]\r\nautocase=Other\r\nseed=7\r\n"));
  EXPECT_TRUE(game::WriteHandoff(game_, L"", 27015, L""));
  std::wstring text = IniText();
  EXPECT_EQ(text,
            L"; the mod's own settings\r\n[net]\r\nname=Old\r\nhost=old.example\r\nport=1234\r\ntimeout=30\r\n"
            L"autoconnect=1\r\n[video]\r\nwidth=1920\r\n[game]\r\nautocase=MPFreeRoam\r\nseed=7\r\n")
      << "an empty host keeps the earlier server, an empty name the earlier name";
  EXPECT_EQ(game::ReadSavedName(game_), L"Old");

  EXPECT_TRUE(game::WriteHandoff(game_, L"[::1]", -1, L"New"));
  text = IniText();
  EXPECT_NE(text.find(L"host=[::1]\r\nport=-1\r\n"), std::wstring::npos) << harness::Narrow(text);
  EXPECT_NE(text.find(L"width=1920"), std::wstring::npos);
  EXPECT_EQ(game::ReadSavedName(game_), L"New");
}

TEST_F(HandoffTest, NamesBeyondAsciiAndLongNames) {
  const std::wstring name = L"\x0141ukasz \x00e9\x4E16\xD83D\xDE00";
  EXPECT_TRUE(game::WriteHandoff(game_, L"h", 1, name));
  EXPECT_EQ(game::ReadSavedName(game_), name);

  EXPECT_TRUE(game::WriteHandoff(game_, L"h", 1, std::wstring(200, L'n')));
  EXPECT_EQ(game::ReadSavedName(game_), std::wstring(127, L'n'));
}

TEST_F(HandoffTest, NoFileMeansNoName) { EXPECT_EQ(game::ReadSavedName(game_), L""); }

TEST_F(HandoffTest, StaleCommandFileIsDeletedEvenWhenTheLaunchFails) {
  harness::SteamHandler::Unregister();
  ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\velmoramp.cmd", "connect old.example"));
  EXPECT_TRUE(game::WriteHandoff(game_, L"h", 2, L"n"));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.cmd"));
  EXPECT_FALSE(game::LaunchGame());
}

// The file is replaced in one step: a process killed at any moment leaves
// the old hand-off or the new one, never a new host beside an old port.
TEST_F(HandoffTest, AKillAtAnyMomentLeavesAWholeFile) {
  const std::string start = "; kept by the mod\r\n[video]\r\nwidth=1920\r\n";
  const auto handoff = [&](const char* name, const char* host, const char* port) {
    return start + "[net]\r\nautoconnect=1\r\nname=" + name + "\r\nhost=" + host + "\r\nport=" + port +
           "\r\n[game]\r\nautocase=MPFreeRoam\r\n";
  };
  const std::string ann = handoff("Ann", "alpha.example", "1111"), bob = handoff("Bob", "beta.example", "2222");
  ASSERT_TRUE(harness::WriteFileBytes(ini_, start));
  const std::wstring name = L"velmora-handoff-written-" + std::to_wstring(GetCurrentProcessId());
  common::UniqueKernelHandle written(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  ASSERT_TRUE(written);
  // Killed while it writes on, after a different number of writes each round.
  for (DWORD round = 0; round < 12; ++round) {
    ResetEvent(written.get());
    harness::ChildProcess writer;
    ASSERT_TRUE(
        writer.Start(harness::SupportBin() + L"\\handoff-writer.exe", {game_, name, std::to_wstring(1 + round * 7)}));
    ASSERT_EQ(WaitForSingleObject(written.get(), 60000), WAIT_OBJECT_0);
    writer.Stop();
    const std::string seen = harness::ReadFileBytes(ini_);
    EXPECT_TRUE(seen == ann || seen == bob) << seen;
  }
}

TEST(LaunchTest, SteamIsAskedForTheGame) {
  harness::SteamHandler steam;
  EXPECT_TRUE(game::LaunchGame());
  EXPECT_EQ(steam.Requests(), "steam://rungameid/900100\n");
}

TEST(LaunchTest, RefusedWithoutAHandler) {
  harness::SteamHandler::Unregister();
  EXPECT_FALSE(game::LaunchGame());
}

}  // namespace
