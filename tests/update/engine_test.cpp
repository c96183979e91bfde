// The update run in-process against the real test release server: releases
// published with the release tool (or written and signed by hand where the
// tool rightly refuses), a real game folder in the test prefix.
#include "update/engine.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/file.h"
#include "common/unique_handle.h"
#include "tests/support/harness.h"
#include "tests/support/release_server_client.h"
#include "update/staging.h"
#include "velmora_version.h"

namespace {

// The release after this launcher's, and a stand-in executable built as it.
const std::wstring kNextRelease = std::to_wstring(VELMORA_LAUNCHER_RELEASE + 1);
std::string NextLauncher() { return harness::ReadFileBytes(harness::SupportBin() + L"\\record-start.exe"); }

using Lines = std::vector<std::pair<std::wstring, int>>;
using Files = std::map<std::wstring, std::string>;  // relative path ("\") -> content

const wchar_t kCannotWrite[] =
    L"Could not write into the game folder. Close the game and Steam, or run the launcher as administrator.";
const wchar_t kMismatch[] =
    L"The update could not be completed: a downloaded file does not match the release description";

std::string Bytes(size_t size, char seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 13 + i / 97);
  return bytes;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(harness::ReleaseServerPort(), 0) << "the release_server fixture did not run";
    name_ = harness::MakeReleaseFolder(L"engine", folder_);
    game_ = harness::MakeTempDir(L"game");
    options_.base_url = harness::ReleaseUrl(L"/" + name_ + L"/pub");
    options_.channel = L"stable";
    options_.game_dir = game_;
  }
  void TearDown() override {
    harness::RemoveTree(folder_);
    harness::RemoveTree(game_);
  }

  // Publishes files as build b1 of channel "stable" under <name>/pub.
  void Publish(const Files& files, const std::wstring& extra = L"") {
    for (const auto& f : files) ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\src\\" + f.first, f.second));
    const std::string problem = harness::PublishRelease(
        name_ + L"/src", name_ + L"/pub",
        L"channel=stable&build=b1&protocol=7&server=play.example:27015&notes=Fresh%20maps" + extra);
    ASSERT_EQ(problem, "");
  }
  std::wstring Published(const std::wstring& path) const { return folder_ + L"\\pub\\files\\b1\\" + path; }

  // Writes and signs a description by hand.
  void PublishText(const std::string& text) {
    ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub\\stable\\manifest.txt", text));
    ASSERT_TRUE(harness::SignRelease(name_ + L"/pub/stable/manifest.txt"));
  }

  void PutGame(const Files& files) {
    for (const auto& f : files) ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\" + f.first, f.second));
  }
  std::string Game(const std::wstring& path) const { return harness::ReadFileBytes(game_ + L"\\" + path); }

  update::Result Run() {
    lines_.clear();
    return update::RunUpdate(options_,
                             [this](const std::wstring& text, int percent) { lines_.emplace_back(text, percent); });
  }

  // Paths the server was asked for under this test's folder, in order.
  std::vector<std::string> Requested() const {
    std::vector<std::string> paths;
    const std::string log = harness::RequestsFor(name_);
    size_t start = 0;
    while (start < log.size()) {
      size_t end = log.find('\n', start);
      const std::string line = log.substr(start, end - start);
      paths.push_back(line.substr(0, line.find('\t')));
      start = end + 1;
    }
    return paths;
  }
  std::vector<std::string> ChannelOnly() const {
    const std::string base = "/" + harness::Narrow(name_) + "/pub/stable/";
    return {base + "manifest.txt", base + "manifest.sig"};
  }

  std::wstring name_, folder_, game_;
  update::Options options_;
  Lines lines_;
};

TEST_F(EngineTest, UpToDateFetchesOnlyTheDescriptionAndSaysOneLine) {
  const Files files = {{L"mod.dll", Bytes(5000, 'a')}, {L"maps\\one.map", Bytes(300, 'b')}};
  Publish(files);
  PutGame(files);
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(r.changed, 0);
  EXPECT_FALSE(r.launcher_updated);
  EXPECT_EQ(r.build, L"b1");
  EXPECT_EQ(r.notes, L"Fresh maps");
  EXPECT_EQ(r.protocol, 7);
  EXPECT_EQ(r.server_host, L"play.example");
  EXPECT_EQ(r.server_port, 27015);
  EXPECT_EQ(lines_, (Lines{{L"Checking for updates", -1}}));
  EXPECT_EQ(Requested(), ChannelOnly());
}

TEST_F(EngineTest, MissingFileInNewFoldersIsWrittenWithoutStatusCallback) {
  const Files files = {{L"bin\\sub\\mod.dll", Bytes(70000, 'c')}};
  Publish(files);
  const update::Result r = update::RunUpdate(options_, update::StatusFn());
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 1);
  EXPECT_TRUE(Game(L"bin\\sub\\mod.dll") == files.at(L"bin\\sub\\mod.dll"));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\bin\\sub\\mod.dll.part"));
}

TEST_F(EngineTest, DryRunCountsAndTouchesNothingNotEvenTheLauncher) {
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\VelmoraMultiplayer.exe", NextLauncher()));
  Publish({{L"a.dll", Bytes(100, 'a')}, {L"data\\b.pak", Bytes(200, 'b')}, {L"c.txt", Bytes(300, 'c')}},
          L"&launcher=" + name_ + L"/VelmoraMultiplayer.exe&launcher-version=" + kNextRelease);
  PutGame({{L"a.dll", "old a"}});
  options_.check_only = true;
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 3);
  EXPECT_FALSE(r.launcher_updated);
  // The release tool lists files in its own order; each changed one is named once.
  ASSERT_EQ(lines_.size(), 4u);
  EXPECT_EQ(lines_[0], (std::pair<std::wstring, int>{L"Checking for updates", -1}));
  std::map<std::wstring, int> named;
  for (size_t i = 1; i < lines_.size(); ++i) named[lines_[i].first] = lines_[i].second;
  EXPECT_EQ(named, (std::map<std::wstring, int>{{L"a.dll", -1}, {L"data\\b.pak", -1}, {L"c.txt", -1}}));
  EXPECT_EQ(Game(L"a.dll"), "old a");
  EXPECT_FALSE(harness::FileExists(game_ + L"\\c.txt"));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\data"));
  EXPECT_EQ(Requested(), ChannelOnly());
}

// Whatever is wrong with the signature, nothing is parsed or changed.
TEST_F(EngineTest, BadSignatureChangesNothing) {
  Publish({{L"a.dll", Bytes(100, 'a')}});
  PutGame({{L"a.dll", "old"}});
  const std::wstring sig = folder_ + L"\\pub\\stable\\manifest.sig";
  const std::wstring text = folder_ + L"\\pub\\stable\\manifest.txt";
  const std::string good_sig = harness::ReadFileBytes(sig);
  const std::string good_text = harness::ReadFileBytes(text);
  std::string flipped = good_sig;
  flipped[100] ^= 1;
  const struct {
    const char* what;
    std::string text, sig;
  } cases[] = {{"signature with one bit flipped", good_text, flipped},
               {"signature cut to 255 bytes", good_text, good_sig.substr(0, 255)},
               {"empty signature", good_text, ""},
               {"description with a blank line put in front", "\r\n" + good_text, good_sig}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(harness::WriteFileBytes(text, c.text));
    ASSERT_TRUE(harness::WriteFileBytes(sig, c.sig));
    const update::Result r = Run();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, L"This update is not signed by us. Nothing was changed.");
    EXPECT_EQ(r.build, L"");
    EXPECT_EQ(r.changed, 0);
    EXPECT_EQ(Game(L"a.dll"), "old");
  }
}

TEST_F(EngineTest, SecondOfThreeFailingItsDigestStopsTheRun) {
  const std::string a = Bytes(1000, 'a'), b = Bytes(2000, 'b'), c = Bytes(3000, 'c');
  Publish({{L"a.dll", a}, {L"b.dll", b}, {L"c.dll", c}});
  // Keep the order fixed: a, b, c.
  const std::string text = harness::ReadFileBytes(folder_ + L"\\pub\\stable\\manifest.txt");
  std::string ordered, file_lines[3];
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start + 1);
    if (line.rfind("file a.dll", 0) == 0)
      file_lines[0] = line;
    else if (line.rfind("file b.dll", 0) == 0)
      file_lines[1] = line;
    else if (line.rfind("file c.dll", 0) == 0)
      file_lines[2] = line;
    else
      ordered += line;
    start = end == std::string::npos ? text.size() : end + 1;
  }
  PublishText(ordered + file_lines[0] + file_lines[1] + file_lines[2]);
  ASSERT_TRUE(harness::WriteFileBytes(Published(L"b.dll"), "not what the description says"));
  PutGame({{L"a.dll", "old a"}, {L"b.dll", "old b"}, {L"c.dll", "old c"}});

  const update::Result r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kMismatch);
  EXPECT_EQ(r.changed, 1);
  EXPECT_EQ(r.build, L"b1");
  EXPECT_TRUE(Game(L"a.dll") == a);
  EXPECT_EQ(Game(L"b.dll"), "old b");
  EXPECT_EQ(Game(L"c.dll"), "old c");
  EXPECT_FALSE(harness::FileExists(game_ + L"\\b.dll.part"));
}

// A download that breaks off or does not arrive leaves the target as it was
// and no staging file.
TEST_F(EngineTest, FailedFileDownloadsLeaveTheTargetAlone) {
  const std::string a = Bytes(150000, 'a');
  Publish({{L"a.dll", a}});
  PutGame({{L"a.dll", "old a"}});
  const std::string text = harness::ReadFileBytes(folder_ + L"\\pub\\stable\\manifest.txt");
  const struct {
    std::string from, to;
    std::wstring error;
  } cases[] = {{" files/b1/a.dll", " _cut-70000/files/b1/a.dll",
                L"The update could not be completed: the download was cut short (win32 12030)"},
               {" files/b1/a.dll", " _404/files/b1/a.dll", L"The update could not be completed: server answered 404"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(harness::Narrow(c.error));
    std::string changed = text;
    const size_t at = changed.find(c.from);
    ASSERT_NE(at, std::string::npos);
    changed.replace(at, c.from.size(), c.to);
    PublishText(changed);
    const update::Result r = Run();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.changed, 0);
    EXPECT_EQ(Game(L"a.dll"), "old a");
    EXPECT_FALSE(harness::FileExists(game_ + L"\\a.dll.part"));
  }
}

TEST_F(EngineTest, TargetHeldOpenGivesTheWriteErrorAndKeepsTheOldContent) {
  const std::string a = Bytes(1000, 'a');
  Publish({{L"a.dll", a}, {L"b.dll", Bytes(1000, 'b')}});
  PutGame({{L"a.dll", "old a"}, {L"b.dll", "old b"}});
  const std::wstring event_name = L"velmora-hold-" + name_;
  common::UniqueKernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
  harness::ChildProcess holder;
  ASSERT_TRUE(holder.Start(harness::SupportBin() + L"\\hold-file.exe", {game_ + L"\\b.dll", event_name, L"lock"}));
  ASSERT_EQ(WaitForSingleObject(ready.get(), 20000), WAIT_OBJECT_0);

  const update::Result r = Run();
  holder.Stop();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kCannotWrite);
  EXPECT_EQ(Game(L"b.dll"), "old b");
  EXPECT_FALSE(harness::FileExists(game_ + L"\\b.dll.part"));
  // The release tool orders files by name: a comes first and stays replaced.
  EXPECT_TRUE(Game(L"a.dll") == a);
  EXPECT_EQ(r.changed, 1);
}

TEST_F(EngineTest, ProgressFollowsTheChunksOfADownload) {
  Publish({{L"big.bin", Bytes(200000, 'z')}});
  options_.base_url = harness::ReleaseUrl(L"/_chunk-65536/" + name_ + L"/pub");
  update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(lines_, (Lines{{L"Checking for updates", -1},
                           {L"Downloading big.bin", 32},
                           {L"Downloading big.bin", 65},
                           {L"Downloading big.bin", 98},
                           {L"Downloading big.bin", 100}}));

  // Without an announced length every chunk says -1.
  harness::RemoveTree(game_ + L"\\big.bin");
  DeleteFileW((game_ + L"\\big.bin").c_str());
  options_.base_url = harness::ReleaseUrl(L"/_nolength/_chunk-65536/" + name_ + L"/pub");
  r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  ASSERT_GE(lines_.size(), 2u);
  for (size_t i = 1; i < lines_.size(); ++i)
    EXPECT_EQ(lines_[i], (std::pair<std::wstring, int>{L"Downloading big.bin", -1}));
  EXPECT_EQ(r.changed, 1);
}

TEST_F(EngineTest, EmptyFileIsWrittenWithoutAnyLine) {
  Publish({{L"empty.cfg", ""}});
  PutGame({{L"empty.cfg", "something"}});
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 1);
  EXPECT_EQ(lines_, (Lines{{L"Checking for updates", -1}}));
  EXPECT_TRUE(harness::FileExists(game_ + L"\\empty.cfg"));
  EXPECT_EQ(Game(L"empty.cfg"), "");
}

// The texts of each step that can fail before any file is looked at.
TEST_F(EngineTest, DescriptionFailures) {
  Publish({{L"a.dll", Bytes(100, 'a')}});
  const std::string sha_of_a = [&] {
    const std::string text = harness::ReadFileBytes(folder_ + L"\\pub\\stable\\manifest.txt");
    const size_t at = text.find("file a.dll 100 ");
    return text.substr(at + 15, 64);
  }();
  std::string upper = sha_of_a;
  for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));

  // Unsigned channel, missing signature, no files, upper-case digests.
  options_.channel = L"nothing-here";
  update::Result r = Run();
  EXPECT_EQ(r.error, L"Could not reach the update server: server answered 404");

  options_.channel = L"stable";
  DeleteFileW((folder_ + L"\\pub\\stable\\manifest.sig").c_str());
  r = Run();
  EXPECT_EQ(r.error, L"Could not download the signature: server answered 404");

  PublishText("velmoramp-manifest 1\nbuild b2\n");
  r = Run();
  EXPECT_EQ(r.error, L"The release description is malformed: the manifest lists no files");

  PublishText("velmoramp-manifest 1\nbuild b2\nfile a.dll 100 " + upper + " files/b1/a.dll\n");
  r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.build, L"b2");
  EXPECT_EQ(r.error, kMismatch);
  EXPECT_FALSE(harness::FileExists(game_ + L"\\a.dll"));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\a.dll.part"));

  options_.base_url = L"http://localhost:" + std::to_wstring(harness::ReleaseServerHttpPort()) + L"/" + name_ + L"/pub";
  r = Run();
  EXPECT_EQ(r.error, L"Could not reach the update server: only https urls are accepted");
}

// A newer launcher whose digest does not match is passed over silently; the
// game files still update. (A matching one would replace this test program:
// the real replacement is tested through a copied runner.)
TEST_F(EngineTest, LauncherWithBadDigestIsPassedOverSilently) {
  // Trailing data: the version resource stays readable.
  const std::string launcher = NextLauncher() + Bytes(150000, 'L');
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\VelmoraMultiplayer.exe", launcher));
  const std::string a = Bytes(100, 'a');
  Publish({{L"a.dll", a}}, L"&launcher=" + name_ + L"/VelmoraMultiplayer.exe&launcher-version=" + kNextRelease);
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub\\launcher\\" + kNextRelease + L"\\VelmoraMultiplayer.exe",
                                      Bytes(launcher.size(), 'M')));
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_FALSE(r.launcher_updated);
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(r.changed, 1);
  EXPECT_TRUE(Game(L"a.dll") == a);
  ASSERT_GE(lines_.size(), 3u);
  EXPECT_EQ(lines_[1], (std::pair<std::wstring, int>{L"Updating the launcher", -1}));
  EXPECT_EQ(lines_[2].first, L"Updating the launcher");
  EXPECT_GE(lines_[2].second, 0);
  EXPECT_EQ(lines_.back().first, L"Downloading a.dll");
}

TEST_F(EngineTest, LauncherVersionFiveIsNotNewer) {
  ASSERT_TRUE(
      harness::WriteFileBytes(folder_ + L"\\VelmoraMultiplayer.exe", harness::ReadFileBytes(harness::LauncherExe())));
  const Files files = {{L"a.dll", Bytes(100, 'a')}};
  Publish(files, L"&launcher=" + name_ + L"/VelmoraMultiplayer.exe&launcher-version=" +
                     std::to_wstring(VELMORA_LAUNCHER_RELEASE));
  PutGame(files);
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(lines_, (Lines{{L"Checking for updates", -1}}));
  EXPECT_EQ(Requested(), ChannelOnly());
}

}  // namespace

// Writing a whole buffer into the game folder through its staging file.
bool StageAndMove(const std::wstring& target, const std::vector<unsigned char>& bytes) {
  update::CreateParentFolders(target);
  return common::WriteWholeFile(target + L".part", bytes) && update::MoveStagedFile(target + L".part", target);
}

TEST(StagingTest, StagesThenMovesAndLeavesNoStagingFileOnAFailedMove) {
  const std::wstring game = harness::MakeTempDir(L"replace");
  const std::wstring target = game + L"\\new\\deeper\\mod.dll";
  EXPECT_TRUE(StageAndMove(target, {'n', 'e', 'w'}));
  EXPECT_EQ(harness::ReadFileBytes(target), "new");
  EXPECT_TRUE(StageAndMove(target, {}));
  EXPECT_EQ(harness::ReadFileBytes(target), "");
  EXPECT_TRUE(harness::FileExists(target)) << "an empty buffer gives an empty file";
  EXPECT_FALSE(harness::FileExists(target + L".part"));

  ASSERT_TRUE(harness::WriteFileBytes(target, "old"));
  const std::wstring event_name = L"velmora-hold-replace";
  common::UniqueKernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
  harness::ChildProcess holder;
  ASSERT_TRUE(holder.Start(harness::SupportBin() + L"\\hold-file.exe", {target, event_name, L"lock"}));
  ASSERT_EQ(WaitForSingleObject(ready.get(), 20000), WAIT_OBJECT_0);
  EXPECT_FALSE(StageAndMove(target, {'x'}));
  holder.Stop();
  EXPECT_EQ(harness::ReadFileBytes(target), "old");
  EXPECT_FALSE(harness::FileExists(target + L".part"));
  harness::RemoveTree(game);
}
