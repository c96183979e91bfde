#include "update/engine.h"

#include <windows.h>

#include <vector>

#include "common/unique_handle.h"
#include "net/https_get.h"
#include "update/digest.h"
#include "update/manifest.h"
#include "update/self_replace.h"
#include "update/sha256_stream.h"
#include "update/staging.h"

namespace update {
namespace {

const wchar_t kMismatch[] = L"a downloaded file does not match the release description";
const wchar_t kCannotWrite[] =
    L"Could not write into the game folder. Close the game and Steam, or run the launcher as administrator.";

// Turns the fetcher's byte counts into status lines under label.
net::ProgressFn MakeProgress(const StatusFn& status, const std::wstring& label) {
  return [&status, &label](uint64_t received, uint64_t total) {
    if (!status) return;
    if (total == 0) {
      status(label, -1);
    } else {
      status(label, static_cast<int>(received * 100 / total));
    }
  };
}

// Fetches url whole into body and accepts it only with the expected digest.
bool DownloadVerified(const std::wstring& url, const std::string& expected, std::vector<unsigned char>& body,
                      const StatusFn& status, const std::wstring& label, std::wstring& error) {
  if (!net::HttpsGet(url, body, error, net::Scheme::kHttpsOnly, MakeProgress(status, label))) return false;
  if (Sha256Hex(body) != expected) {
    error = kMismatch;
    return false;
  }
  return true;
}

enum class FileOutcome { kReplaced, kDownloadFailed, kWriteFailed };

// The game-file form of DownloadVerified: the body goes straight into the
// staging file while it is hashed, so memory stays at one read buffer for a
// file of any size. The staging file is made only once the server answered
// with a body, and is moved over the target only with the expected digest;
// a download that fails or does not match leaves no staging file behind.
FileOutcome DownloadFileVerified(const std::wstring& url, const std::string& expected, const std::wstring& target,
                                 const StatusFn& status, const std::wstring& label, std::wstring& error) {
  const std::wstring staging = target + L".part";
  common::UniqueFile file;
  bool write_failed = false;
  const auto open_staging = [&]() {
    CreateParentFolders(target);
    file.reset(CreateFileW(staging.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid();
  };

  Sha256Stream hash;
  // A hash that cannot start gives no digest, which then never matches.
  bool hash_ok = BeginSha256Stream(hash);
  const net::BodySink sink = [&](const unsigned char* data, size_t size, std::wstring& sink_error) {
    DWORD written = 0;
    if ((!file && !open_staging()) || !WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) ||
        written != size) {
      write_failed = true;
      sink_error = L"cannot write the staging file";
      return false;
    }
    hash_ok = hash_ok && FeedSha256Stream(hash, data, size);
    return true;
  };

  const bool fetched = net::HttpsGetStream(url, sink, error, net::Scheme::kHttpsOnly, MakeProgress(status, label));
  const bool staged = file.valid();
  file.reset();
  if (!fetched) {
    // What a failed write left stays; a broken download is of no use.
    if (write_failed) return FileOutcome::kWriteFailed;
    if (staged) DeleteFileW(staging.c_str());
    return FileOutcome::kDownloadFailed;
  }
  const std::string digest = hash_ok ? FinishSha256Stream(hash) : std::string();
  if (digest.empty() || digest != expected) {
    if (staged) DeleteFileW(staging.c_str());
    error = kMismatch;
    return FileOutcome::kDownloadFailed;
  }
  if (!staged) {  // an empty body still becomes an empty file
    if (!open_staging()) return FileOutcome::kWriteFailed;
    file.reset();
  }
  return MoveStagedFile(staging, target) ? FileOutcome::kReplaced : FileOutcome::kWriteFailed;
}

}  // namespace

Result RunUpdate(const Options& options, const StatusFn& status, const CancelFlag* cancel) {
  Result result;
  const std::wstring channel_url = options.base_url + L"/" + options.channel;
  if (status) status(L"Checking for updates", -1);

  std::vector<unsigned char> text;
  std::vector<unsigned char> signature;
  std::wstring error;
  if (!net::HttpsGet(channel_url + L"/manifest.txt", text, error)) {
    result.error = L"Could not reach the update server: " + error;
    return result;
  }
  if (!net::HttpsGet(channel_url + L"/manifest.sig", signature, error)) {
    result.error = L"Could not download the signature: " + error;
    return result;
  }
  if (!VerifySignature(text, signature)) {
    result.error = L"This update is not signed by us. Nothing was changed.";
    return result;
  }
  Manifest manifest;
  if (!ParseManifest(text, manifest, error)) {
    result.error = L"The release description is malformed: " + error;
    return result;
  }
  result.build = manifest.build;
  result.notes = manifest.notes;
  result.protocol = manifest.protocol;
  result.server_host = manifest.server_host;
  result.server_port = manifest.server_port;

  if (manifest.launcher_version > kLauncherVersion && !options.check_only) {
    const std::wstring label = L"Updating the launcher";
    if (status) status(label, -1);
    std::vector<unsigned char> launcher;
    std::wstring launcher_error;
    // A launcher that cannot be fetched, verified or put in place is passed
    // over silently: the game files still get their update.
    if (DownloadVerified(options.base_url + L"/" + manifest.launcher_source, manifest.launcher_sha256, launcher, status,
                         label, launcher_error) &&
        ReplaceSelfAndRestart(launcher)) {
      result.ok = true;
      result.launcher_updated = true;
      return result;
    }
  }

  for (const ManifestFile& entry : manifest.files) {
    if (cancel != nullptr && cancel->load()) {
      result.error = kStoppedText;
      return result;
    }
    const std::wstring local = options.game_dir + L"\\" + entry.path;
    std::string digest;
    if (Sha256File(local, digest) && digest == entry.sha256) continue;
    if (options.check_only) {
      ++result.changed;
      if (status) status(entry.path, -1);
      continue;
    }
    const std::wstring label = L"Downloading " + entry.path;
    switch (DownloadFileVerified(options.base_url + L"/" + entry.source, entry.sha256, local, status, label, error)) {
      case FileOutcome::kReplaced: ++result.changed; break;
      case FileOutcome::kDownloadFailed: result.error = L"The update could not be completed: " + error; return result;
      case FileOutcome::kWriteFailed: result.error = kCannotWrite; return result;
    }
  }
  result.ok = true;
  return result;
}

}  // namespace update
