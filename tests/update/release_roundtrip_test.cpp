// A release laid out by the publisher's tool (make_fixtures.sh runs it) is
// one the launcher accepts: the real executable's self-test passes it, and
// every file it placed matches the digest its description names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/harness.h"
#include "update/trust/digest.h"
#include "update/trust/manifest.h"
#include "velmora_version.h"

namespace {

std::wstring Published(const std::wstring& name) {
  return harness::BuildDir() + L"\\tests\\update\\fixtures\\published\\" + name;
}

std::wstring WindowsPath(std::wstring source) {
  for (wchar_t& c : source) {
    if (c == L'/') c = L'\\';
  }
  return source;
}

std::wstring SlashPath(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  return path;
}

class ReleaseRoundTrip : public ::testing::Test {
 protected:
  update::Manifest manifest_;

  void SetUp() override {
    const std::string text = harness::ReadFileBytes(Published(L"beta\\manifest.txt"));
    ASSERT_FALSE(text.empty()) << "fixtures missing";
    std::wstring error;
    ASSERT_TRUE(update::ParseManifest(std::vector<unsigned char>(text.begin(), text.end()), manifest_, error))
        << harness::Narrow(error);
  }
};

TEST_F(ReleaseRoundTrip, ThePublishedReleasePassesTheSelfTest) {
  harness::RunResult r = harness::RunProcess(
      harness::LauncherExe(), {L"--self-test", Published(L"beta\\manifest.txt"), Published(L"beta\\manifest.sig")},
      Published(L""));
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.output,
            "  signature ok: channel beta, build 2.0.1, protocol 8, 3 files\n"
            "  sequence 1\n"
            "    bin\\sub\\mod.dll  3 bytes\n"
            "    empty.cfg  0 bytes\n"
            "    maps\\carte-\xC3\xA9t\xC3\xA9.map  5 bytes\n");
}

TEST_F(ReleaseRoundTrip, EveryPlacedFileMatchesItsLine) {
  EXPECT_EQ(manifest_.server_host, L"play.example.net");
  EXPECT_EQ(manifest_.server_port, 27016);
  EXPECT_EQ(manifest_.notes, L"Round trip");
  ASSERT_EQ(manifest_.files.size(), 3u);
  for (const update::ManifestFile& file : manifest_.files) {
    const std::wstring placed = Published(WindowsPath(file.source));
    std::string digest;
    ASSERT_TRUE(update::Sha256File(placed, digest)) << harness::Narrow(placed);
    EXPECT_EQ(digest, file.sha256) << harness::Narrow(file.path);
    EXPECT_EQ(harness::ReadFileBytes(placed).size(), file.size) << harness::Narrow(file.path);
    EXPECT_EQ(file.source, L"files/2.0.1/" + SlashPath(file.path)) << "laid out under the build";
  }
  EXPECT_EQ(manifest_.launcher_version, VELMORA_LAUNCHER_RELEASE + 1);
  std::string launcher_digest;
  ASSERT_TRUE(update::Sha256File(Published(WindowsPath(manifest_.launcher_source)), launcher_digest));
  EXPECT_EQ(launcher_digest, manifest_.launcher_sha256);
}

TEST_F(ReleaseRoundTrip, AFileChangedAfterPublishingNoLongerMatches) {
  const std::wstring dir = harness::MakeTempDir(L"roundtrip");
  const update::ManifestFile& file = manifest_.files[0];
  std::string content = harness::ReadFileBytes(Published(WindowsPath(file.source)));
  ASSERT_FALSE(content.empty());
  content[0] ^= 0x01;
  ASSERT_TRUE(harness::WriteFileBytes(dir + L"\\changed.dll", content));
  std::string digest;
  ASSERT_TRUE(update::Sha256File(dir + L"\\changed.dll", digest));
  EXPECT_NE(digest, file.sha256);
  harness::RemoveTree(dir);
}

}  // namespace
