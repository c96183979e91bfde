#include "update/disk/install_record.h"

#include <windows.h>

#include <vector>

#include "common/file.h"
#include "common/log.h"
#include "common/path.h"
#include "common/text.h"
#include "common/texts.h"
#include "update/disk/file_table.h"
#include "update/trust/digest.h"
#include "update/trust/freshness.h"
#include "update/trust/manifest_text.h"

namespace update {
namespace {

const char kMagic[] = "velmoramp-install 1";
const char kFilesMagic[] = "velmoramp-release-files 1";
constexpr uint64_t kMaxRecordBytes = 64 * 1024;
// A line per file: a release of a million files is far beyond any mod.
constexpr uint64_t kMaxFilesBytes = 64ull * 1024 * 1024;

// tables\<key><extension> in the data folder; empty when there is none.
std::wstring TablePath(const std::wstring& key, const wchar_t* extension) {
  const std::wstring data = common::LauncherDataFolder();
  if (data.empty() || key.empty()) return std::wstring();
  const std::wstring tables = data + L"\\tables";
  CreateDirectoryW(tables.c_str(), nullptr);
  return tables + L"\\" + key + extension;
}

std::wstring RecordPath(const std::wstring& key) { return TablePath(key, L".install.txt"); }

// One line's value: its text with line breaks made blanks.
std::string Value(const std::wstring& text) {
  std::string value = common::WideToUtf8(text);
  for (char& c : value) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return value;
}

const char* StateName(InstallRecord::State state) {
  switch (state) {
    case InstallRecord::State::kWhole: return "whole";
    case InstallRecord::State::kMixed: return "mixed";
    case InstallRecord::State::kChanged: return "changed";
    default: return "unknown";
  }
}

// Reads "KEY VALUE" into the record; false for a line it cannot take.
bool ReadLine(const std::string& key, const std::string& value, InstallRecord& r) {
  const std::wstring wide = common::Utf8ToWide(value);
  if (key == "state") {
    for (InstallRecord::State state :
         {InstallRecord::State::kWhole, InstallRecord::State::kMixed, InstallRecord::State::kChanged}) {
      if (value == StateName(state)) r.state = state;
    }
    return r.state != InstallRecord::State::kUnknown;
  } else if (key == "files") {
    r.files_digest = value;
  } else if (key == "note") {
    r.note = wide;
  } else if (key == "base") {
    r.base_url = wide;
  } else if (key == "channel") {
    r.channel = wide;
  } else if (key == "build") {
    r.build = wide;
  } else if (key == "notes") {
    r.notes = wide;
  } else if (key == "protocol") {
    return ParseInt32(value, r.protocol);
  } else if (key == "server-host") {
    r.server_host = wide;
  } else if (key == "server-port") {
    return ParseInt32(value, r.server_port);
  } else if (key == "sequence") {
    uint64_t n = 0;
    if (!ParseUint64(value, n)) return false;
    r.sequence = static_cast<int64_t>(n);
  } else if (key == "expires") {
    r.has_expiry = true;
    return ParseUtcTime(value, r.expires_at);
  }
  return true;  // a key of a later launcher
}

}  // namespace

InstallRecord RecordOf(InstallRecord::State state, const Manifest& manifest, const std::wstring& base_url,
                       const std::wstring& channel) {
  InstallRecord r;
  r.state = state;
  r.base_url = base_url;
  r.channel = channel;
  r.build = manifest.build;
  r.notes = manifest.notes;
  r.protocol = manifest.protocol;
  r.server_host = manifest.server_host;
  r.server_port = manifest.server_port;
  r.sequence = manifest.sequence;
  r.has_expiry = manifest.has_expiry;
  r.expires_at = manifest.expires_at;
  return r;
}

InstallRecord LoadInstallRecord(const std::wstring& folder_key) {
  InstallRecord record;
  const std::wstring path = RecordPath(folder_key);
  if (path.empty()) return record;
  const std::vector<unsigned char> bytes = common::ReadWholeFile(path, kMaxRecordBytes);
  if (bytes.empty()) return record;
  const std::string text(bytes.begin(), bytes.end());
  // The last line seals everything before it, as the file table's does.
  const size_t seal = text.rfind("end ");
  const std::string body = seal == std::string::npos ? std::string() : text.substr(0, seal);
  if (seal == std::string::npos || (seal > 0 && text[seal - 1] != '\n') ||
      Trim(text.substr(seal + 4)) != Sha256Hex(std::vector<unsigned char>(body.begin(), body.end()))) {
    common::Log(L"install record %s ignored: it is damaged", path);
    return InstallRecord();
  }
  const std::vector<std::string> lines = SplitLines(body);
  if (lines.empty() || lines[0] != kMagic) return InstallRecord();
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t blank = lines[i].find(' ');
    if (blank == std::string::npos || !ReadLine(lines[i].substr(0, blank), lines[i].substr(blank + 1), record)) {
      common::Log(L"install record %s ignored: a line is malformed", path);
      return InstallRecord();
    }
  }
  return record;
}

bool SaveInstallRecord(const std::wstring& folder_key, const InstallRecord& r) {
  const std::wstring path = RecordPath(folder_key);
  if (path.empty()) return false;
  std::string body = std::string(kMagic) + "\nstate " + StateName(r.state) + "\n";
  const auto add = [&body](const char* key, const std::string& value) {
    if (!value.empty()) body += std::string(key) + " " + value + "\n";
  };
  add("note", Value(r.note));
  add("base", Value(r.base_url));
  add("channel", Value(r.channel));
  add("build", Value(r.build));
  add("notes", Value(r.notes));
  add("protocol", std::to_string(r.protocol));
  add("server-host", Value(r.server_host));
  add("server-port", std::to_string(r.server_port));
  add("sequence", std::to_string(r.sequence));
  if (r.has_expiry) add("expires", common::WideToUtf8(FormatUtcToken(r.expires_at)));
  add("files", r.files_digest);
  const std::string text = body + "end " + Sha256Hex(std::vector<unsigned char>(body.begin(), body.end())) + "\n";
  if (!common::WriteFileAtomically(path, text)) {
    common::Log(L"install record %s: could not be written (win32 %lu)", path, GetLastError());
    return false;
  }
  return true;
}

InstallRecord InstallRecordOf(const std::wstring& game_folder) { return LoadInstallRecord(FolderKey(game_folder)); }

std::string KeepReleaseFiles(const std::wstring& folder_key, const Manifest& manifest) {
  const std::wstring path = TablePath(folder_key, L".files.txt");
  if (path.empty()) return std::string();
  // "<sha256> <path>" per file; a path holds no line break.
  std::string text = std::string(kFilesMagic) + "\n";
  const std::vector<char> deciding = DecidingLines(manifest);
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    if (!deciding[i]) continue;
    text += AsciiLower(manifest.files[i].sha256) + " " + common::WideToUtf8(manifest.files[i].path) + "\n";
  }
  const std::vector<unsigned char> bytes(text.begin(), text.end());
  if (!common::WriteFileAtomically(path, bytes)) {
    common::Log(L"the files of release %s could not be kept (win32 %lu)", manifest.build, GetLastError());
    return std::string();
  }
  return Sha256Hex(bytes);
}

bool LoadReleaseFiles(const std::wstring& folder_key, const std::string& digest, std::vector<InstalledFile>& files) {
  files.clear();
  const std::wstring path = TablePath(folder_key, L".files.txt");
  if (path.empty() || digest.empty()) return false;
  const std::vector<unsigned char> bytes = common::ReadWholeFile(path, kMaxFilesBytes);
  if (bytes.empty() || Sha256Hex(bytes) != digest) return false;
  const std::vector<std::string> lines = SplitLines(std::string(bytes.begin(), bytes.end()));
  if (lines.empty() || lines[0] != kFilesMagic) return false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t blank = lines[i].find(' ');
    if (blank != 64) return false;
    files.push_back(InstalledFile{common::Utf8ToWide(lines[i].substr(blank + 1)), lines[i].substr(0, blank)});
  }
  return !files.empty();
}

std::wstring ChangedNote(const std::wstring& path) {
  return common::TrF(
      L"A file of the installed release changed or is missing (%s). Let the launcher update the game folder before "
      L"you play.",
      path);
}

std::wstring CutOffText() {
  return common::Tr(
      L"The last update stopped part way, so the game folder holds files of two releases. Let the launcher finish "
      L"the update before you play.");
}

}  // namespace update
