// Finding the game through Steam's records, and telling whether it runs.
// The registry cases run the real launcher, which shows the folder it found.
#include <gtest/gtest.h>

#include "common/registry.h"
#include "game/locator.h"
#include "tests/support/harness.h"

namespace {

using harness::CleanSteam;

class LocatorTest : public ::testing::Test {
 protected:
  CleanSteam clean_;
  std::wstring root_ = harness::MakeTempDir(L"locator");

  // The launcher keeps its state and log in a folder of this test's own.
  void SetUp() override { SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", (root_ + L"\\data").c_str()); }
  void TearDown() override {
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", nullptr);
    harness::RemoveTree(root_);
  }

  // <library>\steamapps\common\Velmora\Velmora.exe, returns the game folder.
  static std::wstring InstallGame(const std::wstring& library) {
    std::wstring game = library + L"\\steamapps\\common\\Velmora";
    EXPECT_TRUE(harness::WriteFileBytes(game + L"\\Velmora.exe", "MZ"));
    return game;
  }
  static void WriteLibraryList(const std::wstring& steam, const std::string& text) {
    ASSERT_TRUE(harness::WriteFileBytes(steam + L"\\steamapps\\libraryfolders.vdf", text));
  }
  // The game line the real launcher prints in a console run.
  std::string GameLineOfLauncher() {
    harness::RunResult r = harness::RunProcess(
        // A base URL refused at once: the game line is all this wants.
        harness::LauncherExe(), {L"--console", L"--check", L"--base-url", L"ftp://localhost"}, root_);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timed_out);
    size_t at = r.output.find("  game: ");
    if (at == std::string::npos) return "(no game line) " + r.output;
    return r.output.substr(at + 8, r.output.find('\n', at) - at - 8);
  }
};

TEST_F(LocatorTest, CurrentUserSteamPathWithForwardSlashes) {
  std::wstring steam = root_ + L"\\Steam";
  std::wstring game = InstallGame(steam);
  std::wstring forward = steam + L"\\";
  for (wchar_t& c : forward) c = c == L'\\' ? L'/' : c;
  ASSERT_TRUE(harness::SetRegValue(HKEY_CURRENT_USER, L"Software\\Valve\\Steam", L"SteamPath", forward));
  EXPECT_EQ(game::ReadSteamPath(), steam);
  EXPECT_EQ(GameLineOfLauncher(), harness::Narrow(game));
}

TEST_F(LocatorTest, MachineInstallPathIn32BitView) {
  std::wstring steam = root_ + L"\\Steam32";
  std::wstring game = InstallGame(steam);
  ASSERT_TRUE(harness::SetRegValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Valve\\Steam", L"InstallPath", steam, REG_SZ,
                                   KEY_WOW64_32KEY));
  EXPECT_EQ(GameLineOfLauncher(), harness::Narrow(game));
}

TEST_F(LocatorTest, MachineInstallPathOnlyIn64BitView) {
  std::wstring steam = root_ + L"\\Steam64";
  std::wstring game = InstallGame(steam);
  ASSERT_TRUE(harness::SetRegValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Valve\\Steam", L"InstallPath", steam, REG_SZ,
                                   KEY_WOW64_64KEY));
  ASSERT_EQ(common::ReadRegistryString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Valve\\Steam", L"InstallPath", KEY_WOW64_32KEY),
            L"")
      << "the prefix must keep the two views apart for this test to mean anything";
  EXPECT_EQ(GameLineOfLauncher(), harness::Narrow(game));
}

TEST_F(LocatorTest, ExpandableOrOverlongValuesAreSkipped) {
  std::wstring decoy = root_ + L"\\Decoy";
  InstallGame(decoy);
  std::wstring steam = root_ + L"\\Machine";
  std::wstring game = InstallGame(steam);
  ASSERT_TRUE(harness::SetRegValue(HKEY_CURRENT_USER, L"Software\\Valve\\Steam", L"SteamPath", decoy, REG_EXPAND_SZ));
  ASSERT_TRUE(harness::SetRegValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Valve\\Steam", L"InstallPath",
                                   decoy + L"\\" + std::wstring(300, L'x'), REG_SZ, KEY_WOW64_32KEY));
  ASSERT_TRUE(harness::SetRegValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Valve\\Steam", L"InstallPath", steam, REG_SZ,
                                   KEY_WOW64_64KEY));
  EXPECT_EQ(GameLineOfLauncher(), harness::Narrow(game));
}

TEST_F(LocatorTest, SecondLibraryFromTheListFile) {
  std::wstring steam = root_ + L"\\Steam";
  std::wstring library = root_ + L"\\Other Lib";
  std::wstring game = InstallGame(library);
  std::string escaped;
  for (char c : harness::Narrow(library)) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  WriteLibraryList(steam,
                   "\"libraryfolders\"\r\n{\r\n"
                   "\t\"0\"\r\n\t{\r\n\t\t\"path\"\t\t\"" +
                       escaped +
                       "\\\\\\\\\"\r\n\t}\r\n"
                       "\t\"path\" \"unterminated\r\n"
                       "\t\"1\"\t\t\"D:\\\\NotAPathKey\"\r\n");
  ASSERT_TRUE(harness::SetRegValue(HKEY_CURRENT_USER, L"Software\\Valve\\Steam", L"SteamPath", steam));
  std::vector<std::wstring> libraries = game::ReadLibraryFolders(steam);
  ASSERT_EQ(libraries.size(), 2u);
  EXPECT_EQ(libraries[0], steam);
  EXPECT_EQ(libraries[1], library);
  EXPECT_EQ(GameLineOfLauncher(), harness::Narrow(game));
}

TEST_F(LocatorTest, DefaultFolderWhenSteamIsNotRecorded) {
  std::wstring game = InstallGame(L"C:\\Program Files (x86)\\Steam");
  EXPECT_EQ(game::FindGameFolder(), game);
  EXPECT_EQ(GameLineOfLauncher(), harness::Narrow(game));
}

TEST_F(LocatorTest, FolderNamedLikeTheExecutableDoesNotCount) {
  std::wstring steam = root_ + L"\\Steam";
  ASSERT_TRUE(harness::MakeDirs(steam + L"\\steamapps\\common\\Velmora\\Velmora.exe"));
  ASSERT_TRUE(harness::SetRegValue(HKEY_CURRENT_USER, L"Software\\Valve\\Steam", L"SteamPath", steam));
  EXPECT_EQ(game::FindGameFolder(), L"");
}

TEST_F(LocatorTest, NotFoundIsReportedOnTheConsoleWithTheHint) {
  harness::RunResult r = harness::RunProcess(harness::LauncherExe(), {L"--console"}, root_);
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_EQ(r.output,
            "\n  Could not find Velmora. Is it installed through Steam?\n\n"
            "If it is installed elsewhere, start the launcher with:\n"
            "VelmoraMultiplayer.exe --game \"D:\\SteamLibrary\\steamapps\\common\\Velmora\"\n"
            "  The launcher's log: " +
                harness::Narrow(root_) + "\\data\\launcher.log\n\n");
}

// The library list is outside data: every damaged line is skipped on its own.
TEST(LibraryListTest, LinesAreReadOneByOne) {
  std::wstring steam = harness::MakeTempDir(L"vdf");
  struct Case {
    std::string text;
    std::vector<std::wstring> extra;
  } cases[] = {{"\"path\"\t\"D:\\\\Lib\\\\\\\\\"\n", {L"D:\\Lib"}},
               {"\"path\" \"\"\n\"path\" \"x\n", {}},
               {"  \"path\"\"E:\\\\A\"  trailing junk {\n\"PATH\" \"F:\\\\B\"\n", {L"E:\\A"}},
               {"\"path\" \"G:\\\\Same\"\n\"path\" \"G:\\\\Same\"", {L"G:\\Same", L"G:\\Same"}},
               {"\"path\" \"H:\\\\a\\b\"\r\n", {L"H:\\a\\b"}},
               {"\"path\" \"D:\\\\\xc5\x81ukasz\"\n", {L"D:\\\x0141ukasz"}},
               {std::string("\0\xff\"path\"\0\"\x01\x02\"\n\x1a\x80", 16), {std::wstring(L"\x01\x02")}},
               {std::string(200000, 'a') + "\"path\" \"I:\\\\Long\"\n\"path\" \"J:\\\\Ok\"\n", {L"J:\\Ok"}}};
  for (const Case& c : cases) {
    ASSERT_TRUE(harness::WriteFileBytes(steam + L"\\steamapps\\libraryfolders.vdf", c.text));
    std::vector<std::wstring> expected = {steam};
    expected.insert(expected.end(), c.extra.begin(), c.extra.end());
    EXPECT_EQ(game::ReadLibraryFolders(steam), expected) << harness::Narrow(harness::Widen(c.text.substr(0, 60)));
  }
  EXPECT_TRUE(game::ReadLibraryFolders(L"").empty());
  harness::RemoveTree(steam);
  EXPECT_EQ(game::ReadLibraryFolders(steam), std::vector<std::wstring>{steam}) << "no list file";
}

TEST(GameRunningTest, RealProcessByThatNameInAnyLetterCase) {
  ASSERT_FALSE(game::IsGameRunning()) << "a stand-in game from another test is still running";
  for (const wchar_t* exe : {L"\\Velmora.exe", L"\\upper\\VELMORA.exe"}) {
    harness::ChildProcess game;
    ASSERT_TRUE(game.Start(harness::SupportBin() + exe));
    bool seen = false;
    for (int i = 0; i < 200 && !seen; ++i) {
      seen = game::IsGameRunning();
      if (!seen) Sleep(10);
    }
    EXPECT_TRUE(seen) << harness::Narrow(exe);
    game.Stop();
    EXPECT_FALSE(game::IsGameRunning());
  }
}

}  // namespace
