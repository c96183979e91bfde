// The trust root: chains of root versions published beside the channels,
// each row saying which version the launcher ends up trusting and whether
// the description is accepted. Keys, root texts and every signature are
// made with openssl on the host (tests/support/roots.py), not by the
// release tool; key 0 is the test release key built into the launcher.
#include "tests/update/engine_fixture.h"
#include "update/trust/freshness.h"
#include "update/trust/trust_root.h"

namespace {

using namespace engine_test;  // the fixture and its helpers

class TrustTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    keys_ = harness::UnixPath(harness::BuildDir() + L"\\trust-keys");
    script_ = harness::UnixPath(harness::SourceDir() + L"\\tests\\support\\roots.py");
    if (keys_.empty()) GTEST_SKIP() << "not running under Wine: the roots are made on the host";
    std::string problem;
    ASSERT_TRUE(harness::RunUnixScript("python3 '" + script_ + "' keys '" + keys_ + "' 7", 300000, problem)) << problem;
    ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\src\\mod.dll", "signed under a root"));
  }
  std::string RootsCommand(const std::string& out, const std::string& command) const {
    return "python3 '" + script_ + "' root '" + keys_ + "' '" + out + "' " + command + "\n";
  }
  void Roots(const std::string& out, const std::string& command) { RunBatch(RootsCommand(out, command)); }
  // Commands of roots.py, one per line, in one Unix script: each start of
  // one costs Wine a round trip.
  void RunBatch(const std::string& commands) {
    std::string problem;
    ASSERT_TRUE(harness::RunUnixScript("set -e\n" + commands, 300000, problem)) << commands << ": " << problem;
  }
  // A release of its own under `row`, its description signed by `signers`
  // ("sig" lines; empty: the tool's binary signature by key 0); with
  // sign_later, the signing command goes there to be run in a batch.
  std::wstring PublishRow(const std::wstring& row, const std::string& signers, int64_t sequence = 0,
                          std::string* sign_later = nullptr) {
    const std::wstring query = L"channel=stable&build=b1&protocol=7&server=h:1" +
                               (sequence > 0 ? L"&sequence=" + std::to_wstring(sequence) + L"&force=" : L"");
    // The tool refuses a release that launchers would refuse under the roots
    // beside it, and these roots are what a row puts to the launcher (some
    // of them bad on purpose): they are set aside while the tool runs.
    const std::wstring roots = folder_ + L"\\" + row + L"\\root", aside = roots + L".aside";
    const bool set_aside = MoveFileW(roots.c_str(), aside.c_str()) != 0;
    EXPECT_EQ(harness::PublishRelease(name_ + L"/src", name_ + L"/" + row, query), "");
    if (set_aside) {
      EXPECT_NE(MoveFileW(aside.c_str(), roots.c_str()), 0);
    }
    if (!signers.empty()) {
      const std::string stable = harness::UnixPath(folder_ + L"\\" + row + L"\\stable");
      const std::string sign = "python3 '" + script_ + "' sign '" + keys_ + "' '" + stable + "/manifest.txt' '" +
                               stable + "/manifest.sig' " + signers + "\n";
      if (sign_later != nullptr) {
        *sign_later += sign;
      } else {
        RunBatch(sign);
      }
    }
    return harness::ReleaseUrl(L"/" + name_ + L"/" + row);
  }
  // (Made first: Wine names no Unix path for a folder that is not there.)
  std::string RootFolder(const std::wstring& row) const {
    CreateDirectoryW((folder_ + L"\\" + row).c_str(), nullptr);
    CreateDirectoryW((folder_ + L"\\" + row + L"\\root").c_str(), nullptr);
    return harness::UnixPath(folder_ + L"\\" + row + L"\\root");
  }
  int64_t Trusted(const std::wstring& base) const {
    update::TrustRoot root;
    return update::LoadKeptRoot(base, root) ? root.version : 1;
  }
  // The one root the data folder keeps (the test's runs use one base URL
  // at a time), a byte of its first root key flipped.
  void DamageKeptRoot() const {
    WIN32_FIND_DATAW found = {};
    const HANDLE find = FindFirstFileW((data_ + L"\\roots\\*.root").c_str(), &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    FindClose(find);
    const std::wstring kept = data_ + L"\\roots\\" + found.cFileName;
    std::string text = harness::ReadFileBytes(kept);
    text[text.find("root-key ") + 20] ^= 1;
    ASSERT_TRUE(harness::WriteFileBytes(kept, text));
  }

  std::string keys_, script_;
};

const wchar_t kNotSigned[] = L"This update is not signed by us. Nothing was changed.";

// Each row: the root versions published (roots.py arguments), who signs the
// description, the version trusted after the run, and whether it installs.
TEST_F(TrustTest, ChainsOfRootVersions) {
  const struct {
    const char* what;
    std::vector<std::string> chain;  // "VERSION arguments..."
    std::string signers;             // of the description
    int64_t trusted;
    bool accepted;
  } rows[] = {
      {"no root published: today's binary signature", {}, "", 1, true},
      {"the built-in key in sig lines", {}, "0", 1, true},
      {"rotation 1-of-1 to a new key",
       {"2 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0 1"},
       "1",
       2,
       true},
      {"the old release key after rotation",
       {"2 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0 1"},
       "",
       2,
       false},
      {"version 2 without the old keys' signature",
       {"2 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 1"},
       "1",
       1,
       false},
      {"version 2 without its own keys' signature",
       {"2 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0"},
       "",
       1,
       true},
      {"2 of 3, one key rotated",
       {"2 --root 1 2 3 --root-threshold 2 --release 4 --release-threshold 1 --sign 0 1 2",
        "3 --root 1 2 5 --root-threshold 2 --release 4 --release-threshold 1 --sign 1 2 5"},
       "4",
       3,
       true},
      {"all three rotated through a version between",
       {"2 --root 1 2 3 --root-threshold 2 --release 4 --release-threshold 1 --sign 0 1 2",
        "3 --root 3 5 6 --root-threshold 2 --release 4 --release-threshold 1 --sign 1 3 5",
        "4 --root 5 6 7 --root-threshold 2 --release 4 --release-threshold 1 --sign 5 6 7"},
       "4",
       4,
       true},
      {"a threshold raised, then lowered without enough keys",
       {"2 --root 1 2 3 --root-threshold 1 --release 4 --release-threshold 1 --sign 0 1",
        "3 --root 1 2 3 --root-threshold 3 --release 4 --release-threshold 1 --sign 1 2 3",
        "4 --root 1 2 3 --root-threshold 1 --release 4 --release-threshold 1 --sign 1 2"},
       "4",
       3,
       true},
      {"a threshold raised, then lowered by all its keys",
       {"2 --root 1 2 3 --root-threshold 1 --release 4 --release-threshold 1 --sign 0 1",
        "3 --root 1 2 3 --root-threshold 3 --release 4 --release-threshold 1 --sign 1 2 3",
        "4 --root 1 2 3 --root-threshold 1 --release 4 --release-threshold 1 --sign 3 2 1"},
       "4",
       4,
       true},
      {"release threshold 2: one release signature is not enough",
       {"2 --root 1 --root-threshold 1 --release 4 5 --release-threshold 2 --sign 0 1"},
       "4 4",
       2,
       false},
      {"release threshold 2 met",
       {"2 --root 1 --root-threshold 1 --release 4 5 --release-threshold 2 --sign 0 1"},
       "5 4",
       2,
       true},
      {"one key listed three times against a threshold of 2",
       {"2 --root 1 1 1 --root-threshold 2 --release 1 --release-threshold 1 --sign 0 1"},
       "",
       1,
       true},
      {"one key signing three times",
       {"2 --root 1 2 --root-threshold 2 --release 1 --release-threshold 1 --sign 0 1 1 1"},
       "",
       1,
       true},
      {"a skipped version",
       {"3 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0 1"},
       "",
       1,
       true},
      {"a version that names another number",
       {"2 --version-line 3 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0 1"},
       "",
       1,
       true},
      {"a root over 64 KiB",
       {"2 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --pad 70000 --sign 0 1"},
       "",
       1,
       true},
  };
  // Every row's roots in one batch, then every release, then their signatures.
  std::string roots, signatures;
  std::vector<std::wstring> bases;
  for (size_t n = 0; n < std::size(rows); ++n) {
    for (const std::string& version : rows[n].chain)
      roots += RootsCommand(RootFolder(L"row" + std::to_wstring(n)), version);
  }
  RunBatch(roots);
  for (size_t n = 0; n < std::size(rows); ++n) {
    bases.push_back(PublishRow(L"row" + std::to_wstring(n), rows[n].signers, 0, &signatures));
  }
  if (!signatures.empty()) RunBatch(signatures);
  for (size_t n = 0; n < std::size(rows); ++n) {
    const auto& row = rows[n];
    SCOPED_TRACE(row.what);
    options_.base_url = bases[n];
    harness::RemoveTree(game_);
    const update::Result r = Run();
    EXPECT_EQ(r.ok, row.accepted) << harness::Narrow(r.error);
    if (!row.accepted) {
      EXPECT_EQ(r.error, kNotSigned);
    }
    EXPECT_EQ(Trusted(options_.base_url), row.trusted);
    EXPECT_EQ(Game(L"mod.dll") == "signed under a root", row.accepted);
  }
}

// The launcher itself, started as a player starts it, follows a rotation.
TEST_F(TrustTest, TheLauncherFollowsARotation) {
  Roots(RootFolder(L"exe"), "2 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0 1");
  const std::wstring base = PublishRow(L"exe", "1");
  harness::RunResult r = harness::RunProcess(
      harness::LauncherExe(), {L"--console", L"--no-launch", L"--game", game_, L"--base-url", base}, data_, 120000);
  EXPECT_EQ(r.exit_code, 0u) << r.output;
  EXPECT_NE(r.output.find("\n  updated 1 file.\n"), std::string::npos) << r.output;
  EXPECT_EQ(Trusted(base), 2);
  EXPECT_NE(harness::ReadFileBytes(data_ + L"\\launcher.log").find("root version 2 trusted"), std::string::npos);
}

// A root that has expired when the walk ends stops the run before anything
// the description names is asked for (the description itself is asked for
// while the roots are walked).
TEST_F(TrustTest, AnExpiredRootStopsTheRun) {
  Roots(RootFolder(L"old"),
        "2 --expires 2001-09-09T01:46:40Z --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0 1");
  options_.base_url = PublishRow(L"old", "1");
  const update::Result r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, L"The signing keys of this update server have expired. Nothing was changed.");
  EXPECT_EQ(Requested().size(), RequestsOf("manifest.txt") + RequestsOf("manifest.sig"));
}

// A kept root that is damaged is forgotten: the chain is walked again from
// the built-in version.
TEST_F(TrustTest, ADamagedKeptRootIsWalkedAgain) {
  Roots(RootFolder(L"kept"), "2 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0 1");
  options_.base_url = PublishRow(L"kept", "1");
  ASSERT_TRUE(Run().ok);
  ASSERT_EQ(Trusted(options_.base_url), 2);
  DamageKeptRoot();
  EXPECT_EQ(Trusted(options_.base_url), 1) << "its signatures no longer hold";
  harness::RemoveTree(game_);
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(Trusted(options_.base_url), 2);
}

// Sequence 10 is installed; later a description with sequence 3 is served.
// It is taken only when a release key that signed for the base URL is no
// longer one: a walk that crosses a rotation again (its kept root damaged),
// keys added or listed in another order forget no sequence, and a walk that
// ends below the version trusted before is refused.
TEST_F(TrustTest, OnlyADroppedReleaseKeyForgetsTheSequences) {
  const struct {
    const char* what;
    std::vector<std::string> before, after;  // root versions published before each run
    std::string signers_before, signers_after;
    bool damage_kept, withhold_roots;
    int64_t sequence_after;
    bool accepted;
  } rows[] = {
      {"the kept root damaged: the rotation is crossed again",
       {"2 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0 1"},
       {},
       "1",
       "1",
       true,
       false,
       3,
       false},
      {"a release key added",
       {"2 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0 1"},
       {"3 --root 1 --root-threshold 1 --release 1 4 --release-threshold 1 --sign 1"},
       "1",
       "1",
       false,
       false,
       3,
       false},
      {"the release keys listed in another order",
       {"2 --root 1 --root-threshold 1 --release 1 4 --release-threshold 1 --sign 0 1"},
       {"3 --root 1 --root-threshold 1 --release 4 1 --release-threshold 1 --sign 1"},
       "1",
       "4",
       false,
       false,
       3,
       false},
      {"a release key dropped",
       {"2 --root 1 --root-threshold 1 --release 1 4 --release-threshold 1 --sign 0 1"},
       {"3 --root 1 --root-threshold 1 --release 4 --release-threshold 1 --sign 1"},
       "1",
       "4",
       false,
       false,
       3,
       true},
      {"the walk ends below the version trusted before (the old key signs a newer one)",
       {"2 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0 1"},
       {},
       "1",
       "",
       true,
       true,
       11,
       false},
  };
  int n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::wstring folder = L"seq" + std::to_wstring(n++);
    harness::RemoveTree(game_);
    harness::RemoveTree(data_ + L"\\roots");
    for (const std::string& version : row.before) Roots(RootFolder(folder), version);
    options_.base_url = PublishRow(folder, row.signers_before, 10);
    ASSERT_TRUE(Run().ok) << harness::Narrow(lines_.empty() ? L"" : lines_.back().first);
    if (row.damage_kept) DamageKeptRoot();
    if (row.withhold_roots) harness::RemoveTree(folder_ + L"\\" + folder + L"\\root");
    for (const std::string& version : row.after) Roots(RootFolder(folder), version);
    PublishRow(folder, row.signers_after, row.sequence_after);
    const update::Result r = Run();
    EXPECT_EQ(r.ok && !r.offline, row.accepted) << harness::Narrow(r.error + r.offline_text);
    if (!row.accepted) {
      EXPECT_TRUE(r.offline) << "the installed release is played: " << harness::Narrow(r.error);
    }
    if (!row.accepted && row.sequence_after == 3) {
      EXPECT_NE(r.offline_text.find(L"(3 < 10)"), std::wstring::npos) << harness::Narrow(r.offline_text);
    }
    if (row.withhold_roots) {
      EXPECT_NE(r.offline_text.find(L"does not offer the signing keys this launcher trusted before"),
                std::wstring::npos)
          << harness::Narrow(r.offline_text);
    }
  }
}

// A mirror cannot withhold the version that revokes a key: the base URL
// fails once for version 2 (which replaces the release key) while the
// mirror says it has none, and serves a description the old key signed.
// Version 2 is found all the same, and the mirror's description refused.
TEST_F(TrustTest, AMirrorCannotWithholdARootVersion) {
  Roots(RootFolder(L"primary"), "2 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0 1");
  PublishRow(L"primary", "1");
  ASSERT_NE(DeleteFileW((folder_ + L"\\primary\\stable\\manifest.txt").c_str()), 0);
  options_.base_url = harness::ReleaseUrl(L"/_seq-503.ok/" + name_ + L"/primary");
  options_.mirrors = {PublishRow(L"mirror", "")};
  const update::Result r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kNotSigned);
  EXPECT_EQ(Trusted(options_.base_url), 2);
  EXPECT_EQ(Game(L"mod.dll"), "");
}

// A stolen key published sequence 1,000,000; once the keys are rotated, the
// publisher's sequence 5 is installed.
TEST_F(TrustTest, RotatedKeysUnlockPlayersFromAStolenSequence) {
  options_.base_url = PublishRow(L"leak", "", 1000000);
  ASSERT_TRUE(Run().ok);
  PublishRow(L"leak", "", 5);
  update::Result r = Run();
  EXPECT_TRUE(r.offline) << "5 < 1000000 while the keys are the same: the installed release is played";
  EXPECT_NE(r.offline_text.find(L"(5 < 1000000)"), std::wstring::npos) << harness::Narrow(r.offline_text);
  Roots(RootFolder(L"leak"), "2 --root 1 --root-threshold 1 --release 1 --release-threshold 1 --sign 0 1");
  PublishRow(L"leak", "1", 5);
  r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_FALSE(r.offline) << harness::Narrow(r.offline_text);
  EXPECT_EQ(update::SequenceMemory::Load().Highest(options_.base_url, L"stable"), 5);
}

}  // namespace
