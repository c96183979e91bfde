// Releases that cannot be replayed: correctly signed descriptions served
// again, served for ever, or served under another channel, against the real
// test release server; the launcher's memory of sequences in a data folder
// of the test's own.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/harness.h"
#include "tests/support/release_server_client.h"
#include "update/engine.h"
#include "update/trust/digest.h"

namespace {

const std::string kContent = "the mod";

class FreshnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(harness::ReleaseServerPort(), 0) << "the release_server fixture did not run";
    name_ = harness::MakeReleaseFolder(L"fresh", folder_);
    game_ = harness::MakeTempDir(L"fresh-game");
    data_ = harness::MakeTempDir(L"fresh-data");
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", data_.c_str());
    ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub\\files\\mod.dll", kContent));
    options_.base_url = harness::ReleaseUrl(L"/" + name_ + L"/pub");
    options_.channel = L"stable";
    options_.game_dir = game_;
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", nullptr);
    harness::RemoveTree(folder_);
    harness::RemoveTree(game_);
    harness::RemoveTree(data_);
  }

  // A description of the stable channel with these extra lines, signed with
  // the release key; `source` may carry server switches.
  void Publish(const std::string& lines, const std::string& channel = "stable",
               const std::string& source = "files/mod.dll", const std::wstring& folder = L"stable") {
    const std::string sha = update::Sha256Hex(std::vector<unsigned char>(kContent.begin(), kContent.end()));
    const std::string text = "velmoramp-manifest 1\nchannel " + channel + "\nbuild b\n" + lines + "file mod.dll " +
                             std::to_string(kContent.size()) + " " + sha + " " + source + "\n";
    ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub\\" + folder + L"\\manifest.txt", text));
    ASSERT_TRUE(harness::SignRelease(name_ + L"/pub/" + folder + L"/manifest.txt"));
  }
  update::Result Run() {
    lines_.clear();
    DeleteFileW((game_ + L"\\mod.dll").c_str());  // each run has a file to fetch
    return update::RunUpdate(options_, [this](const update::StatusLine& line) { lines_.push_back(line.text); });
  }
  size_t FileRequests() const {
    size_t n = 0;
    const std::string log = harness::RequestsFor(name_);
    for (size_t at = log.find("/files/mod.dll"); at != std::string::npos; at = log.find("/files/mod.dll", at + 1)) ++n;
    return n;
  }

  std::wstring name_, folder_, game_, data_;
  update::Options options_;
  std::vector<std::wstring> lines_;
};

// The attacks and the publisher's ordinary steps, one after another on one
// channel: what is refused is refused before anything is fetched.
TEST_F(FreshnessTest, OnlyTheSameOrANewerSequenceIsTaken) {
  const struct {
    const char* what;
    std::string lines;
    std::string channel;
    std::wstring error;  // empty: accepted
  } steps[] = {
      {"first release with a sequence", "sequence 5\n", "stable", L""},
      {"the same release again", "sequence 5\n", "stable", L""},
      {"an older one replayed", "sequence 4\n", "stable",
       L"This release is older than one this launcher already installed (4 < 5). Nothing was changed."},
      {"one from before sequences", "", "stable",
       L"This release is older than one this launcher already installed (0 < 5). Nothing was changed."},
      {"another channel's, newer", "sequence 9\n", "beta",
       L"This release was published for channel beta, not stable. Nothing was changed."},
      {"expired", "sequence 6\nexpires 2001-09-09T01:46:40Z\n", "stable",
       L"This release expired on 2001-09-09 01:46:40 UTC; the update server may be out of date. Nothing was "
       L"changed."},
      {"a newer one", "sequence 6\nexpires 9999-12-31T23:59:59Z\n", "stable", L""},
      {"the one before it, now older", "sequence 5\n", "stable",
       L"This release is older than one this launcher already installed (5 < 6). Nothing was changed."},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    Publish(step.lines, step.channel);
    const size_t before = FileRequests();
    const update::Result r = Run();
    EXPECT_EQ(r.ok, step.error.empty());
    EXPECT_EQ(r.error, step.error);
    EXPECT_EQ(FileRequests() - before, step.error.empty() ? 1u : 0u);
    EXPECT_EQ(harness::FileExists(game_ + L"\\mod.dll"), step.error.empty());
  }
}

// Without a sequence, a description keeps today's behaviour: its channel
// line binds nothing.
TEST_F(FreshnessTest, UnnumberedDescriptionsAreNotBoundToTheirChannel) {
  Publish("", "beta");
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
}

// A dry run and a failed run remember nothing.
TEST_F(FreshnessTest, OnlyASuccessfulRunRaisesTheSequence) {
  Publish("sequence 7\n");
  options_.check_only = true;
  ASSERT_TRUE(Run().ok);
  options_.check_only = false;
  Publish("sequence 8\n", "stable", "_404/files/mod.dll");
  ASSERT_FALSE(Run().ok);
  Publish("sequence 6\n");
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
}

// The memory's file: missing or damaged, nothing is remembered; one that
// cannot be written leaves the run a success that says so.
TEST_F(FreshnessTest, TheMemoryFileMissingDamagedOrReadOnly) {
  const std::wstring file = data_ + L"\\sequences.txt";
  Publish("sequence 5\n");
  ASSERT_TRUE(Run().ok);
  ASSERT_TRUE(harness::FileExists(file));

  ASSERT_TRUE(harness::WriteFileBytes(file, "velmoramp-sequences 1\nfive\tstable\tx\n"));
  Publish("sequence 3\n");
  EXPECT_TRUE(Run().ok) << "a damaged file remembers nothing";

  DeleteFileW(file.c_str());
  Publish("sequence 2\n");
  EXPECT_TRUE(Run().ok) << "nor does a missing one";

  // Read-only, and (since Wine replaces a read-only file where Windows
  // refuses) a folder where the new copy would be written first.
  ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(harness::MakeDirs(file + L".tmp"));
  Publish("sequence 9\n");
  const update::Result r = Run();
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW((file + L".tmp").c_str());
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  ASSERT_FALSE(lines_.empty());
  EXPECT_EQ(lines_.back().rfind(L"Could not remember this release's sequence number: ", 0), 0u)
      << harness::Narrow(lines_.back());
  EXPECT_EQ(harness::ReadFileBytes(file).find("9\t"), std::string::npos);
}

// A damaged line costs only its own channel: the others are still
// remembered, so their old releases are still refused.
TEST_F(FreshnessTest, ADamagedLineForgetsOnlyItself) {
  const std::wstring file = data_ + L"\\sequences.txt";
  ASSERT_TRUE(harness::WriteFileBytes(file, "velmoramp-sequences 1\nnine\tbeta\t" + harness::Narrow(options_.base_url) +
                                                "\n5\tstable\t" + harness::Narrow(options_.base_url) + "\n"));
  Publish("sequence 4\n");
  const update::Result r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, L"This release is older than one this launcher already installed (4 < 5). Nothing was changed.");
}

// Two runs at once, of two channels into two game folders: each remembers
// its own sequence, and neither loses the other's.
TEST_F(FreshnessTest, RunsAtOnceBothRemember) {
  Publish("sequence 7\n");
  Publish("sequence 3\n", "beta", "files/mod.dll", L"beta");
  update::Options beta = options_;
  beta.channel = L"beta";
  beta.game_dir = harness::MakeTempDir(L"fresh-game-beta");
  update::Result stable_run, beta_run;
  std::thread other([&] { beta_run = update::RunUpdate(beta, update::StatusFn()); });
  stable_run = update::RunUpdate(options_, update::StatusFn());
  other.join();
  ASSERT_TRUE(stable_run.ok) << harness::Narrow(stable_run.error);
  ASSERT_TRUE(beta_run.ok) << harness::Narrow(beta_run.error);
  const std::string memory = harness::ReadFileBytes(data_ + L"\\sequences.txt");
  EXPECT_NE(memory.find("7\tstable\t"), std::string::npos) << memory;
  EXPECT_NE(memory.find("3\tbeta\t"), std::string::npos) << memory;
  harness::RemoveTree(beta.game_dir);
}

}  // namespace
