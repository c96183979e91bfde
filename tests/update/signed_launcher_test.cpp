// Code-signed launchers under Wine: the release tool signs the launcher it
// publishes (Authenticode, with a throwaway test CA), the description names
// the digest of the signed file, and the self-update takes that file, both
// from a stand-in old launcher and from the real one, itself signed.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tests/support/harness.h"
#include "tests/support/release_server_client.h"
#include "update/trust/digest.h"
#include "velmora_version.h"

namespace {

// The Unix path of a path on Wine's Z: drive.
std::string UnixPath(const std::wstring& path) {
  std::string unix_path = harness::Narrow(path.substr(2));
  for (char& c : unix_path) {
    if (c == '\\') c = '/';
  }
  return unix_path;
}

// A value for the query text of the release server's publish request.
std::wstring QueryValue(const std::string& text) {
  std::wstring value;
  for (unsigned char c : text) {
    if (c == '%' || c == '&' || c == '+' || c == '#' || c == '=' || c <= ' ' || c >= 0x7f) {
      wchar_t escaped[4];
      swprintf(escaped, 4, L"%%%02X", c);
      value += escaped;
    } else {
      value += static_cast<wchar_t>(c);
    }
  }
  return value;
}

// The size of a PE image's certificate table (its signature); 0 for none.
uint32_t SignatureSize(const std::string& image) {
  uint32_t pe = 0;
  uint16_t magic = 0;
  uint32_t size = 0;
  if (image.size() < 0x40) return 0;
  std::memcpy(&pe, image.data() + 0x3c, sizeof pe);
  if (image.size() < pe + 26u) return 0;
  std::memcpy(&magic, image.data() + pe + 24, sizeof magic);
  const size_t entry = pe + 24 + (magic == 0x20b ? 112 : 96) + 4 * 8;
  if (image.size() < entry + 8) return 0;
  std::memcpy(&size, image.data() + entry + 4, sizeof size);
  return size;
}

class SignedLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(harness::ReleaseServerPort(), 0) << "the release_server fixture did not run";
    signing_ = harness::BuildDir() + L"\\tests\\update\\signing";
    ASSERT_TRUE(harness::FileExists(signing_ + L"\\VelmoraMultiplayer-signed.exe"))
        << "the code_signing fixture did not run";
    name_ = harness::MakeReleaseFolder(L"signed", folder_);
    game_ = harness::MakeTempDir(L"game");
    ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\Velmora.exe", "the game"));  // as Steam lays it out
    // Under the build folder (drive Z:), as the replaced launcher's folder.
    dir_ = harness::BuildDir() + L"\\signed-launcher\\" + name_;
    harness::RemoveTree(dir_);
    ASSERT_TRUE(harness::MakeDirs(dir_));
    exe_ = dir_ + L"\\VelmoraMultiplayer.exe";
    new_launcher_ = harness::ReadFileBytes(harness::SupportBin() + L"\\record-start.exe");
    ASSERT_FALSE(new_launcher_.empty());
    ASSERT_EQ(SignatureSize(new_launcher_), 0u);
  }
  void TearDown() override {
    harness::RemoveTree(folder_);
    harness::RemoveTree(game_);
    harness::RemoveTree(dir_);
  }

  // Release b1 of "stable" offering the stand-in next launcher, which the
  // release tool signs as it publishes it. Returns the published file.
  std::string PublishSigned() {
    EXPECT_TRUE(harness::WriteFileBytes(folder_ + L"\\src\\mod.dll", "mod"));
    EXPECT_TRUE(harness::WriteFileBytes(folder_ + L"\\VelmoraMultiplayer.exe", new_launcher_));
    const std::wstring next = std::to_wstring(VELMORA_LAUNCHER_RELEASE + 1);
    EXPECT_EQ(harness::PublishRelease(name_ + L"/src", name_ + L"/pub",
                                      L"channel=stable&build=b1&protocol=1&server=h:1&launcher=" + name_ +
                                          L"/VelmoraMultiplayer.exe&launcher-version=" + next + L"&code-signing-cert=" +
                                          QueryValue(UnixPath(signing_ + L"\\ca\\signer.pem")) + L"&code-signing-key=" +
                                          QueryValue(UnixPath(signing_ + L"\\ca\\signer.key"))),
              "");
    return harness::ReadFileBytes(folder_ + L"\\pub\\launcher\\" + next + L"\\VelmoraMultiplayer.exe");
  }
  std::wstring BaseUrl() const { return harness::ReleaseUrl(L"/" + name_ + L"/pub"); }

  // The command line a program started with these arguments has.
  std::string CommandLine(const std::vector<std::wstring>& args) const {
    return harness::RestartCommandLine(exe_, args);
  }

  // started.txt appears once the new launcher ran; bounded wait.
  std::string StartedWith(DWORD timeout_ms) const {
    return harness::WaitForFileBytes(dir_ + L"\\started.txt", timeout_ms);
  }

  std::wstring signing_, name_, folder_, game_, dir_, exe_;
  std::string new_launcher_;
};

TEST_F(SignedLauncherTest, TheSignedLauncherIsPublishedAndTakenByTheSelfUpdate) {
  const std::string published = PublishSigned();
  ASSERT_FALSE(published.empty());
  EXPECT_NE(SignatureSize(published), 0u) << "published signed";
  EXPECT_GT(published.size(), new_launcher_.size());
  // The description names the signed file's digest.
  const std::string description = harness::ReadFileBytes(folder_ + L"\\pub\\stable\\manifest.txt");
  std::string digest;
  ASSERT_TRUE(update::Sha256File(
      folder_ + L"\\pub\\launcher\\" + std::to_wstring(VELMORA_LAUNCHER_RELEASE + 1) + L"\\VelmoraMultiplayer.exe",
      digest));
  EXPECT_NE(description.find("\nlauncher " + std::to_string(VELMORA_LAUNCHER_RELEASE + 1) + " " + digest + " "),
            std::string::npos)
      << description;

  const std::string runner = harness::ReadFileBytes(harness::SupportBin() + L"\\update-runner.exe");
  ASSERT_TRUE(harness::WriteFileBytes(exe_, runner));
  const std::vector<std::wstring> args = {BaseUrl(), L"stable", game_};
  const harness::RunResult run = harness::RunProcess(exe_, args, dir_, 60000);
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.output, "ok=1 launcher_updated=1 changed=0 error=\n");
  EXPECT_EQ(StartedWith(20000), CommandLine(args)) << "the signed launcher runs";
  EXPECT_TRUE(harness::ReadFileBytes(exe_) == published);
  EXPECT_TRUE(harness::ReadFileBytes(exe_ + L".old") == runner);
}

TEST_F(SignedLauncherTest, TheSignedRealLauncherReplacesItselfWithASignedOne) {
  const std::string signed_launcher = harness::ReadFileBytes(signing_ + L"\\VelmoraMultiplayer-signed.exe");
  ASSERT_NE(SignatureSize(signed_launcher), 0u);
  ASSERT_TRUE(harness::WriteFileBytes(exe_, signed_launcher));
  const std::string published = PublishSigned();
  ASSERT_NE(SignatureSize(published), 0u);

  const std::vector<std::wstring> console_args = {L"--console", L"--game", game_, L"--base-url", BaseUrl()};
  const harness::RunResult run = harness::RunProcess(exe_, console_args, dir_, 60000);
  EXPECT_EQ(run.exit_code, 0u) << run.output;
  const std::string tail = "  the launcher updated itself and restarted.\n";
  ASSERT_GE(run.output.size(), tail.size()) << run.output;
  EXPECT_EQ(run.output.substr(run.output.size() - tail.size()), tail);
  EXPECT_EQ(StartedWith(20000), CommandLine(console_args)) << "started with the same arguments";
  EXPECT_TRUE(harness::ReadFileBytes(exe_) == published);
  EXPECT_TRUE(harness::ReadFileBytes(exe_ + L".old") == signed_launcher);
}

}  // namespace
