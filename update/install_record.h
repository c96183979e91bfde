#pragma once
// What the launcher knows of the release a game folder holds: the release
// the last run installed whole, or that a run's move pass was cut off and
// left files of two releases side by side, which nobody should play. Kept
// per game folder (by its key) in the launcher's data folder.
#include <cstdint>
#include <string>

#include "update/manifest.h"

namespace update {

struct InstallRecord {
  enum class State { kUnknown, kWhole, kMixed };
  State state = State::kUnknown;  // kUnknown: no record, or one that cannot be read
  // kMixed: what the player is told when asking to play.
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
};

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

// What a player who asks to play a game folder left mixed by a cut-off run
// is told.
inline constexpr wchar_t kCutOffText[] =
    L"The last update stopped part way, so the game folder holds files of two releases. Let the launcher finish "
    L"the update before you play.";

}  // namespace update
