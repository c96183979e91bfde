#pragma once
// The update run in-process against the real test release server: releases
// published with the release tool (or written and signed by hand where the
// tool rightly refuses), a real game folder in the test prefix, the
// launcher's state in a data folder of the test's own.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/file.h"
#include "common/log.h"
#include "common/unique_handle.h"
#include "tests/support/harness.h"
#include "tests/support/release_server_client.h"
#include "update/disk/file_table.h"
#include "update/disk/game_folder.h"
#include "update/engine.h"
#include "update/trust/digest.h"
#include "velmora_version.h"

namespace engine_test {

// The release after this launcher's, and a stand-in executable built as it.
const std::wstring kNextRelease = std::to_wstring(VELMORA_LAUNCHER_RELEASE + 1);
inline std::string NextLauncher() { return harness::ReadFileBytes(harness::SupportBin() + L"\\record-start.exe"); }

using Lines = std::vector<std::pair<std::wstring, int>>;
using Files = std::map<std::wstring, std::string>;  // relative path ("\") -> content

const wchar_t kMismatch[] =
    L"The update could not be completed: a downloaded file does not match the release description. Nothing was "
    L"changed.";

// Bytes that do not compress, and text that does (as a mod's scripts do).
inline std::string RandomBytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i += 4) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    for (size_t b = 0; b < 4 && i + b < size; ++b) bytes[i + b] = static_cast<char>(seed >> (8 * b));
  }
  return bytes;
}
inline std::string Text(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"harbour ", "lantern ", "velmora ", "night ", "shift ", "crown ", "ash\n"};
  std::string text;
  while (text.size() < size) {
    seed = seed * 1103515245u + 12345u;
    text += kWords[(seed >> 16) % 7];
  }
  text.resize(size);
  return text;
}

inline std::string Bytes(size_t size, char seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 13 + i / 97);
  return bytes;
}

using harness::HeldFile;

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(harness::ReleaseServerPort(), 0) << "the release_server fixture did not run";
    name_ = harness::MakeReleaseFolder(L"engine", folder_);
    game_ = harness::MakeTempDir(L"game");
    data_ = harness::MakeTempDir(L"engine-data");
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", data_.c_str());
    common::OpenLog(data_ + L"\\launcher.log");
    options_.base_url = harness::ReleaseUrl(L"/" + name_ + L"/pub");
    options_.channel = L"stable";
    options_.game_dir = game_;
  }
  void TearDown() override {
    // The run's own account of what happened, for whoever reads a failure.
    if (HasFailure()) std::printf("launcher log:\n%s\n", harness::ReadFileBytes(data_ + L"\\launcher.log").c_str());
    common::OpenLog(harness::MakeTempDir(L"engine-log") + L"\\launcher.log");
    SetEnvironmentVariableW(L"VELMORA_DATA_FOLDER", nullptr);
    harness::RemoveTree(folder_);
    harness::RemoveTree(game_);
    harness::RemoveTree(data_);
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
  std::string Description() const { return harness::ReadFileBytes(folder_ + L"\\pub\\stable\\manifest.txt"); }

  // Writes and signs a description by hand.
  void PublishText(const std::string& text) {
    ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub\\stable\\manifest.txt", text));
    ASSERT_TRUE(harness::SignRelease(name_ + L"/pub/stable/manifest.txt"));
  }
  // Puts server switches in front of one file's download path.
  void SwitchSource(const std::string& file, const std::string& switches) {
    std::string text = Description();
    const std::string from = " files/b1/" + file + "\n";
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << file;
    text.replace(at, from.size(), " " + switches + "/files/b1/" + file + "\n");
    PublishText(text);
  }

  // A case of a table that starts with an empty game folder, no table and a new log.
  void StartAfresh() {
    harness::RemoveTree(game_);
    harness::RemoveTree(data_ + L"\\tables");
    DeleteFileW((data_ + L"\\launcher.log").c_str());
    common::OpenLog(data_ + L"\\launcher.log");
  }
  void PutGame(const Files& files) {
    for (const auto& f : files) ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\" + f.first, f.second));
  }
  std::string Game(const std::wstring& path) const { return harness::ReadFileBytes(game_ + L"\\" + path); }
  bool Staged(const std::wstring& path) const { return harness::FileExists(game_ + L"\\" + path + L".part"); }

  update::Result Run() {
    lines_.clear();
    details_.clear();
    return update::RunUpdate(options_, [this](const update::StatusLine& line) {
      lines_.emplace_back(line.text, line.percent);
      details_.push_back(line.detail);
    });
  }

  // Paths the server was asked for under this test's folder, in order;
  // the question for a newer root version every run asks first is left out
  // (the trust tests look at it). A description and its signature are asked
  // for at once: they are listed in that order, however they arrived.
  std::vector<std::string> Requested() const {
    std::vector<std::string> paths;
    const std::string log = harness::RequestsFor(name_);
    size_t start = 0;
    while (start < log.size()) {
      size_t end = log.find('\n', start);
      const std::string line = log.substr(start, end - start);
      if (line.find("/root/") == std::string::npos) paths.push_back(line.substr(0, line.find('\t')));
      start = end + 1;
    }
    const auto ends = [](const std::string& path, const std::string& tail) {
      return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
    };
    for (size_t i = 0; i + 1 < paths.size(); ++i) {
      if (ends(paths[i], "/manifest.sig") && ends(paths[i + 1], "/manifest.txt")) std::swap(paths[i], paths[i + 1]);
    }
    return paths;
  }
  // Chunk objects (not indexes: pieces of the pack too) the server sent, and whole files.
  size_t ChunkRequests() const {
    size_t n = 0;
    for (const std::string& path : Requested()) {
      n += path.find("/chunks/stable/") != std::string::npos && path.find("/indexes/") == std::string::npos;
    }
    return n;
  }
  size_t WholeRequests() const {
    size_t n = 0;
    for (const std::string& path : Requested()) n += path.find("/files/") != std::string::npos;
    return n;
  }
  size_t RequestsOf(const std::string& file) const {
    size_t n = 0;
    for (const std::string& path : Requested())
      n += path.size() >= file.size() + 1 && path.rfind("/" + file) == path.size() - file.size() - 1;
    return n;
  }
  // Each request for a file (a path ending in "/" + file), in order.
  std::vector<harness::ServedRequest> DetailsOf(const std::string& file) const {
    std::vector<harness::ServedRequest> out;
    for (const harness::ServedRequest& r : harness::RequestsServed(name_)) {
      if (r.Names(file)) out.push_back(r);
    }
    return out;
  }
  // The description, its signature and the look for an announced release,
  // in byte order (they are asked at once).
  std::vector<std::string> ChannelOnly() const {
    const std::string base = "/" + harness::Narrow(name_) + "/pub/stable/";
    return {base + "manifest.sig", base + "manifest.txt", base + "next/manifest.txt"};
  }
  std::vector<std::string> RequestedInOrder() const {
    std::vector<std::string> paths = Requested();
    std::sort(paths.begin(), paths.end());
    return paths;
  }
  std::vector<std::wstring> RetryLines() const {
    std::vector<std::wstring> out;
    for (const auto& line : lines_) {
      if (line.first.rfind(L"Retrying ", 0) == 0) out.push_back(line.first);
    }
    return out;
  }

  std::wstring name_, folder_, game_, data_;
  update::Options options_;
  Lines lines_;
  std::vector<std::wstring> details_;
};

}  // namespace engine_test
