// The real launcher's start: mode choice, options from its own folder, the
// game folder, and the clean-up of an earlier self-replacement.
#include <gtest/gtest.h>

#include "tests/support/harness.h"

namespace {

class EntryTest : public ::testing::Test {
 protected:
  std::wstring root_ = harness::MakeTempDir(L"entry");
  std::wstring app_ = root_ + L"\\app";
  std::wstring elsewhere_ = root_ + L"\\elsewhere";
  std::wstring exe_;

  void SetUp() override {
    harness::StandInGameFolder();
    exe_ = harness::CopyLauncherTo(app_);
    ASSERT_FALSE(exe_.empty());
    ASSERT_TRUE(harness::MakeDirs(elsewhere_));
  }
  void TearDown() override { harness::RemoveTree(root_); }

  harness::RunResult Run(const std::vector<std::wstring>& args) {
    harness::RunResult r = harness::RunProcess(exe_, args, elsewhere_);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timed_out);
    return r;
  }
  static std::string Line(const std::string& output, const std::string& prefix) {
    size_t at = output.find("\n" + prefix);
    if (at == std::string::npos) return "(missing " + prefix + ")";
    at += 1 + prefix.size();
    return output.substr(at, output.find('\n', at) - at);
  }
};

TEST_F(EntryTest, ConsoleRunShowsBannerGameAndChannel) {
  harness::RunResult r = Run({L"--console", L"--game", L"C:\\Games\\Velmora\\\\\\", L"--channel", L"beta",
                              L"--base-url", L"https://localhost:9"});
  EXPECT_EQ(r.output.rfind("\n  Velmora MP launcher\n\n  game: C:\\Games\\Velmora\n  channel: beta\n", 0), 0u)
      << r.output;
}

TEST_F(EntryTest, LauncherIniIsReadBesideTheExecutableNotTheCurrentFolder) {
  const std::wstring from_ini = root_ + L"\\FromIni";
  ASSERT_TRUE(harness::MakeDirs(from_ini));
  ASSERT_TRUE(harness::WriteFileBytes(
      app_ + L"\\launcher.ini", "[update]\nchannel=from-ini\n[game]\npath=" + harness::Narrow(from_ini) + "\\\n"));
  ASSERT_TRUE(harness::WriteFileBytes(elsewhere_ + L"\\launcher.ini", "[update]\nchannel=wrong\n"));
  harness::RunResult r = Run({L"--console", L"--base-url", L"https://localhost:9", L"--game"});
  EXPECT_EQ(Line(r.output, "  game: "), harness::Narrow(from_ini)) << "'--game' as the last argument is ignored";
  EXPECT_EQ(Line(r.output, "  channel: "), "from-ini");
}

TEST_F(EntryTest, NonAsciiTextReachesRedirectedOutputAsUtf8) {
  const std::wstring game = root_ + L"\\\x0141ukasz\\Gra \x6E38\x620F";
  ASSERT_TRUE(harness::MakeDirs(game));
  harness::RunResult r = Run({L"--console", L"--game", game, L"--base-url", L"https://localhost:9"});
  EXPECT_EQ(Line(r.output, "  game: "), harness::Narrow(root_) + "\\\xC5\x81ukasz\\Gra \xE6\xB8\xB8\xE6\x88\x8F");
}

TEST_F(EntryTest, LeftoverOldLauncherIsDeletedInEveryMode) {
  const std::wstring old = exe_ + L".old";
  ASSERT_TRUE(harness::WriteFileBytes(old, "previous launcher"));
  Run({L"--console", L"--game", L"C:\\G", L"--base-url", L"https://localhost:9"});
  EXPECT_FALSE(harness::FileExists(old));

  ASSERT_TRUE(harness::WriteFileBytes(old, "previous launcher"));
  Run({L"--self-test", root_ + L"\\none.txt", root_ + L"\\none.sig"});
  EXPECT_FALSE(harness::FileExists(old)) << "the self-test cleans up too";
}

TEST_F(EntryTest, TheSelfTestRunsWithoutTheGame) {
  harness::CleanSteam no_steam;
  harness::RunResult r = Run({L"--self-test", root_ + L"\\none.txt", root_ + L"\\none.sig"});
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_EQ(r.output, "  cannot read the manifest or the signature\n");
}

}  // namespace
