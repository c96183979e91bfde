#pragma once
// Where the run's options come from: built-in defaults, then launcher.ini
// beside the executable, then the command line.
#include "update/options.h"

namespace app {

// Release server and server-list service of the deployment.
inline constexpr wchar_t kDefaultBaseUrl[] = L"https://updates.velmora-mp.net";
inline constexpr wchar_t kDefaultListUrl[] = L"http://list.velmora-mp.net:27016/api/servers";

// Builds the record from defaults, launcher.ini and argv (argv[0] is the
// program). Never fails; unknown arguments are ignored.
update::Options ParseOptions(int argc, wchar_t** argv);

// Applies launcher.ini beside the executable to the record; a missing file,
// section, key or empty value leaves the field alone.
void LoadLauncherIni(update::Options& options);

}  // namespace app
