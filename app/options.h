#pragma once
// The one record that governs a run, and where it comes from: built-in
// defaults, then launcher.ini beside the executable, then the command line.
#include <string>

namespace update {

struct Options {
  std::wstring base_url;     // release server root, never ends in "/"
  std::wstring channel;      // one path segment under base_url
  std::wstring game_dir;     // empty: ask the game locator
  std::wstring player_name;  // empty: use the saved name
  std::wstring list_url;     // where the window fetches the server list
  bool launch = true;        // start the game through Steam after updating
  bool check_only = false;   // dry run: count what would change
  bool use_window = true;    // window front-end when the runtime is there
};

}  // namespace update

// Release server and server-list service of the deployment.
inline constexpr wchar_t kDefaultBaseUrl[] = L"https://updates.velmora-mp.net";
inline constexpr wchar_t kDefaultListUrl[] = L"http://list.velmora-mp.net:27016/api/servers";

// Builds the record from defaults, launcher.ini and argv (argv[0] is the
// program). Never fails; unknown arguments are ignored.
update::Options ParseOptions(int argc, wchar_t** argv);

// Applies launcher.ini beside the executable to the record; a missing file,
// section, key or empty value leaves the field alone.
void LoadLauncherIni(update::Options& options);

// Full path of the running executable (at most 260 characters).
std::wstring ExePath();

// ExePath() up to its last backslash (the whole path if it has none).
std::wstring ExeDirectory();
