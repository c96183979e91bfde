// Self-replacement under Wine with real processes: a copy of the update
// runner plays the running launcher, and a release offering launcher 6
// carries the record-start program, which notes the command line it was
// started with.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_handle.h"
#include "tests/support/harness.h"
#include "tests/support/release_server_client.h"
#include "velmora_version.h"

namespace {

std::string Bytes(size_t size, char seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 13 + i / 97);
  return bytes;
}

// The Unix path of a path on Wine's Z: drive.
std::string UnixPath(const std::wstring& path) {
  std::string unix_path = harness::Narrow(path.substr(2));
  for (char& c : unix_path) {
    if (c == '\\') c = '/';
  }
  return unix_path;
}

class SelfReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(harness::ReleaseServerPort(), 0) << "the release_server fixture did not run";
    name_ = harness::MakeReleaseFolder(L"self", folder_);
    game_ = harness::MakeTempDir(L"game");
    ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\Velmora.exe", "the game"));  // as Steam lays it out
    // Under the build folder (drive Z:), so that a Unix shell can reach it.
    dir_ = harness::BuildDir() + L"\\self-replace\\" + name_;
    harness::RemoveTree(dir_);
    ASSERT_TRUE(harness::MakeDirs(dir_));
    exe_ = dir_ + L"\\VelmoraMultiplayer.exe";
    runner_ = harness::ReadFileBytes(harness::SupportBin() + L"\\update-runner.exe");
    ASSERT_FALSE(runner_.empty());
    ASSERT_TRUE(harness::WriteFileBytes(exe_, runner_));
    new_launcher_ = harness::ReadFileBytes(harness::SupportBin() + L"\\record-start.exe");
    ASSERT_FALSE(new_launcher_.empty());
    // What the launchers remember between starts stays with this test.
    data_ = harness::MakeTempDir(L"self-data");
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", data_.c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", nullptr);
    harness::RemoveTree(data_);
    harness::RemoveTree(folder_);
    harness::RemoveTree(game_);
    harness::RemoveTree(dir_);
  }

  // Release b1 of "stable" with one game file and launcher 6 made of bytes.
  void Publish(const std::string& launcher) {
    ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\src\\mod.dll", mod_));
    ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\VelmoraMultiplayer.exe", launcher));
    ASSERT_EQ(harness::PublishRelease(name_ + L"/src", name_ + L"/pub",
                                      L"channel=stable&build=b1&protocol=1&server=h:1&launcher=" + name_ +
                                          L"/VelmoraMultiplayer.exe&launcher-version=" +
                                          std::to_wstring(VELMORA_LAUNCHER_RELEASE + 1)),
              "");
  }
  std::wstring BaseUrl() const { return harness::ReleaseUrl(L"/" + name_ + L"/pub"); }

  std::vector<std::wstring> RunnerArguments() const { return {BaseUrl(), L"stable", game_}; }
  harness::RunResult RunLauncher() { return harness::RunProcess(exe_, RunnerArguments(), dir_, 60000); }
  // The command line a program started with these arguments has.
  std::string CommandLine(const std::vector<std::wstring>& args) const {
    return harness::RestartCommandLine(exe_, args);
  }

  // started.txt appears once the new launcher ran; bounded wait.
  std::string StartedWith(DWORD timeout_ms) const {
    return harness::WaitForFileBytes(dir_ + L"\\started.txt", timeout_ms);
  }

  std::wstring name_, folder_, game_, dir_, exe_, data_;
  std::string runner_, new_launcher_;
  const std::string mod_ = Bytes(4000, 'm');
};

TEST_F(SelfReplaceTest, NewerLauncherReplacesTheRunningOneAndStartsIt) {
  Publish(new_launcher_);
  // A stale .old from an earlier replacement gives way to this one.
  ASSERT_TRUE(harness::WriteFileBytes(exe_ + L".old", "stale"));

  const harness::RunResult run = RunLauncher();
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.output, "ok=1 launcher_updated=1 changed=0 error=\n");
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(StartedWith(20000), CommandLine(RunnerArguments())) << "the new launcher gets this run's arguments";
  EXPECT_TRUE(harness::ReadFileBytes(exe_) == new_launcher_);
  EXPECT_TRUE(harness::ReadFileBytes(exe_ + L".old") == runner_);
  EXPECT_FALSE(harness::FileExists(exe_ + L".new"));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\mod.dll")) << "no game file is looked at after a replacement";
}

// A launcher on the server that does not match its description: the run
// says so once, the game files update, and later starts do not fetch the
// same launcher again.
TEST_F(SelfReplaceTest, BadLauncherDigestIsPassedOverAndTheGameFilesUpdate) {
  Publish(new_launcher_);
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub\\launcher\\6\\VelmoraMultiplayer.exe", new_launcher_ + "x"));

  harness::RunResult run = RunLauncher();
  EXPECT_EQ(run.output,
            "notice: The new launcher could not be verified; this one keeps running.\n"
            "ok=1 launcher_updated=0 changed=1 error=\n");
  EXPECT_TRUE(harness::ReadFileBytes(exe_) == runner_);
  EXPECT_FALSE(harness::FileExists(exe_ + L".old"));
  EXPECT_TRUE(harness::ReadFileBytes(game_ + L"\\mod.dll") == mod_);
  EXPECT_EQ(StartedWith(0), "");

  run = RunLauncher();
  EXPECT_EQ(run.output, "ok=1 launcher_updated=0 changed=0 error=\n") << "said once";
  const std::string requests = harness::RequestsFor(name_ + L"/pub/launcher/");
  EXPECT_EQ(std::count(requests.begin(), requests.end(), '\n'), 1) << requests;
}

// A scan that holds the running launcher for a moment refuses the first
// rename: it is tried again rather than given up.
TEST_F(SelfReplaceTest, ARenameRefusedForAMomentIsTriedAgain) {
  Publish(new_launcher_);
  harness::HeldFile scan(exe_, L"scan");
  ASSERT_TRUE(scan.held());
  std::thread release([&] {
    // Once the rename has been refused.
    harness::WaitForFileText(data_ + L"\\launcher.log", "held by another program", 30000);
    scan.Release();
  });
  const harness::RunResult run = RunLauncher();
  release.join();
  EXPECT_EQ(run.output, "ok=1 launcher_updated=1 changed=0 error=\n");
  EXPECT_TRUE(harness::ReadFileBytes(exe_) == new_launcher_);
  EXPECT_NE(StartedWith(20000), "");
}

// A disk that takes the rename but not the new bytes: the runner runs from
// a Unix shell with a file-size limit below the new launcher's size, so the
// write stops short, as on a full disk.
TEST_F(SelfReplaceTest, FailedWritePutsTheOldExecutableBack) {
  const size_t limit_kib = runner_.size() / 1024 + 256;
  std::string big = new_launcher_;
  big.resize(runner_.size() + 1024 * 1024, '\0');  // a PE file with trailing data still runs
  Publish(big);

  const std::wstring out = dir_ + L"\\out.txt";
  const std::wstring script = dir_ + L"\\limited.sh";
  ASSERT_TRUE(harness::WriteFileBytes(
      script, "trap '' XFSZ\nulimit -f " + std::to_string(limit_kib) + "\nbash " + UnixPath(harness::SourceDir()) +
                  "/cmake/wine-run.sh --build " + UnixPath(harness::BuildDir()) + " " + UnixPath(exe_) + " '" +
                  harness::Narrow(BaseUrl()) + "' stable '" + harness::Narrow(game_) + "' > " + UnixPath(out) +
                  ".tmp 2>&1\nmv " + UnixPath(out) + ".tmp " + UnixPath(out) + "\n"));
  // start /unix does not wait for a Unix program: the script's last step
  // makes out.txt appear, and the wait for it is bounded.
  std::wstring command = L"start.exe /unix /bin/bash " + harness::Widen(UnixPath(script));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  common::UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  EXPECT_EQ(harness::WaitForFileBytes(out, 60000), "ok=1 launcher_updated=0 changed=1 error=\n");
  EXPECT_TRUE(harness::ReadFileBytes(exe_) == runner_);
  EXPECT_FALSE(harness::FileExists(exe_ + L".old"));
  EXPECT_TRUE(harness::ReadFileBytes(game_ + L"\\mod.dll") == mod_);
  EXPECT_EQ(StartedWith(0), "");
}

}  // namespace

namespace {

// The same with the real launcher and its console front-end.
TEST_F(SelfReplaceTest, TheRealLauncherReplacesItselfAndSaysSo) {
  const std::string launcher = harness::ReadFileBytes(harness::LauncherExe());
  ASSERT_FALSE(launcher.empty());
  ASSERT_TRUE(harness::WriteFileBytes(exe_, launcher));
  Publish(new_launcher_);

  const std::vector<std::wstring> args = {L"--console", L"--game", game_, L"--base-url", BaseUrl()};
  const harness::RunResult run = harness::RunProcess(exe_, args, dir_, 60000);
  EXPECT_EQ(run.exit_code, 0u);
  // How many progress lines come depends on how the download arrives.
  const std::string head =
      "\n  Velmora MP launcher\n\n  game: " + harness::Narrow(game_) +
      "\n  channel: stable\n  Checking for updates\n  Updating the launcher\n    Updating the launcher  ";
  const std::string tail = "    Updating the launcher  100%\r\n  the launcher updated itself and restarted.\n";
  EXPECT_EQ(run.output.rfind(head, 0), 0u) << run.output;
  ASSERT_GE(run.output.size(), tail.size());
  EXPECT_EQ(run.output.substr(run.output.size() - tail.size()), tail);
  EXPECT_EQ(StartedWith(20000), CommandLine(args)) << "started with the same arguments";
  EXPECT_TRUE(harness::ReadFileBytes(exe_) == new_launcher_);
  EXPECT_TRUE(harness::ReadFileBytes(exe_ + L".old") == launcher);
  EXPECT_FALSE(harness::FileExists(game_ + L"\\velmoramp.ini")) << "no hand-off after a replacement";
}

// A launcher that a self-update started never replaces itself again in that
// run: a release whose launcher line is ahead of the exe it carries cannot
// make players restart for ever.
TEST_F(SelfReplaceTest, ALauncherStartedByItsOwnUpdateDoesNotReplaceItselfAgain) {
  Publish(new_launcher_);
  SetEnvironmentVariableW(L"VELMORA_STARTED_BY_SELF_UPDATE", L"1");
  const harness::RunResult run = RunLauncher();
  SetEnvironmentVariableW(L"VELMORA_STARTED_BY_SELF_UPDATE", nullptr);
  EXPECT_EQ(run.output, "ok=1 launcher_updated=0 changed=1 error=\n");
  EXPECT_TRUE(harness::ReadFileBytes(exe_) == runner_);
  EXPECT_FALSE(harness::FileExists(exe_ + L".old"));
  EXPECT_EQ(StartedWith(0), "");
}

// A replacement cut off by a crash or a power cut is put right at the next
// start, whichever of the three files that start comes from.
TEST_F(SelfReplaceTest, ACutOffReplacementIsCompletedOrUndoneAtTheNextStart) {
  const std::string launcher = harness::ReadFileBytes(harness::LauncherExe());
  ASSERT_FALSE(launcher.empty());
  const struct {
    const char* what;
    const char* exe;  // content of VelmoraMultiplayer.exe, .new and .old; "-" for none
    const char* fresh;
    const char* old;
    const wchar_t* started;  // the file that is run
    const char* exe_after;   // "launcher", "runner" or "-"
  } cases[] = {
      {"only the new one is whole", "-", "launcher", "runner", L".new", "launcher"},
      {"the new one is cut short", "-", "MZ cut", "launcher", L".old", "launcher"},
      {"a stale new one beside a sound exe", "launcher", "MZ cut", "-", L"", "launcher"},
  };
  const auto content = [&](const char* name) -> std::string {
    if (std::string(name) == "launcher") return launcher;
    if (std::string(name) == "runner") return runner_;
    return name;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const wchar_t* suffix : {L"", L".new", L".old"}) DeleteFileW((exe_ + suffix).c_str());
    const std::pair<const char*, const wchar_t*> files[] = {{c.exe, L""}, {c.fresh, L".new"}, {c.old, L".old"}};
    for (const auto& f : files) {
      if (std::string(f.first) != "-") {
        ASSERT_TRUE(harness::WriteFileBytes(exe_ + f.second, content(f.first)));
      }
    }
    // The quickest mode there is: a self-test of files that are not there.
    const harness::RunResult run = harness::RunProcess(exe_ + c.started, {L"--self-test", L"a", L"b"}, dir_, 30000);
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(harness::ReadFileBytes(exe_) == content(c.exe_after));
    EXPECT_FALSE(harness::FileExists(exe_ + L".new"));
  }
}

}  // namespace
