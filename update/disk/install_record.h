#pragma once
// What the launcher knows of the release a game folder holds: the release
// the last run installed whole (with the list of its files, which is what
// offline play holds the folder to), that a run's move pass was cut off and
// left files of two releases side by side, or that a run found a file of
// the installed release changed or gone. Nobody plays the last two. Kept
// per game folder (by its key) in the launcher's data folder.
#include <cstdint>
#include <string>
#include <vector>

#include "update/trust/manifest.h"

namespace update {

struct InstallRecord {
  enum class State { kUnknown, kWhole, kMixed, kChanged };
  State state = State::kUnknown;  // kUnknown: no record, or one that cannot be read
  // kMixed, kChanged: what the player is told when asking to play.
  std::wstring note;
  // The release (kWhole: the one installed; kMixed: the one half installed).
  std::wstring base_url;
  std::wstring channel;
  std::wstring build;
  std::wstring notes;
  int32_t protocol = 0;
  std::wstring server_host;
  int32_t server_port = 0;
  int64_t sequence = 0;
  bool has_expiry = false;
  int64_t expires_at = 0;  // seconds since 1970, UTC
  // kWhole: the SHA-256 of the kept list of the release's files (empty
  // when none could be kept: the folder is then never vouched for).
  std::string files_digest;
};

// A file of the installed release as its description names it.
struct InstalledFile {
  std::wstring path;
  std::string sha256;  // lower case
};

// Keeps the list of the release's files (each path once, as its deciding
// line names it) for the game folder with this key, written in one step.
// The digest for the record; empty (logged) when it cannot be written.
std::string KeepReleaseFiles(const std::wstring& folder_key, const Manifest& manifest);
// The kept list whose digest the record names; false when it is missing or
// is not that one.
[[nodiscard]] bool LoadReleaseFiles(const std::wstring& folder_key, const std::string& digest,
                                    std::vector<InstalledFile>& files);

// A record of the given state for a release.
InstallRecord RecordOf(InstallRecord::State state, const Manifest& manifest, const std::wstring& base_url,
                       const std::wstring& channel);

// The record of the game folder with this key; kUnknown when there is none
// or it is damaged (logged).
InstallRecord LoadInstallRecord(const std::wstring& folder_key);
// Replaces it in one step; false (logged) when it cannot be written.
[[nodiscard]] bool SaveInstallRecord(const std::wstring& folder_key, const InstallRecord& record);

// The record of the game folder at this path, for a front-end.
InstallRecord InstallRecordOf(const std::wstring& game_folder);

// The note of a kChanged record: what a player who asks to play is told.
std::wstring ChangedNote(const std::wstring& path);

// What a player who asks to play a game folder left mixed by a cut-off run
// is told.
std::wstring CutOffText();

}  // namespace update
