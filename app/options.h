#pragma once
// Where the run's options come from: built-in defaults, then launcher.ini
// beside the executable, then the command line.
#include <string>
#include <utility>
#include <vector>

#include "update/run/options.h"

namespace app {

// Release server and server-list service of the deployment.
inline constexpr wchar_t kDefaultBaseUrl[] = L"https://updates.velmora-mp.net";
inline constexpr wchar_t kDefaultListUrl[] = L"http://list.velmora-mp.net:27016/api/servers";

// What a start is given: the run's options, where the log goes, and where
// each option came from ("default", "launcher.ini" or "command line").
struct Settings {
  update::Options options;
  std::wstring log_file;  // --log FILE; empty: the launcher's own log
  std::wstring language;  // the tag of the language every text is in
  std::vector<std::pair<std::wstring, std::wstring>> sources;
  std::vector<std::wstring> ini_mirrors;  // [update] mirrors, before they join the command line's
  // What was ignored or changed, and why, as the player reads it (also in
  // options.notices, for the front-ends).
  std::vector<std::wstring> notes;
};

// The language of every text: [ui] language, then --language (the last one
// given), else the first of the user's preferred UI languages we ship.
// Sets it, and says where it came from and what was ignored.
struct LanguageChoice {
  std::wstring tag;
  const wchar_t* source = L"default";
  std::wstring note;  // empty, or why the language asked for was not used
};
LanguageChoice ChooseLanguage(int argc, wchar_t** argv);

// Builds the settings from defaults, launcher.ini and argv (argv[0] is the
// program). Never fails: an argument it does not know, a value option
// without its value and a value it cannot use are ignored, a number out of
// range takes the nearest end, each with a note.
Settings ReadSettings(int argc, wchar_t** argv);

// The options alone.
update::Options ParseOptions(int argc, wchar_t** argv);

// Applies launcher.ini beside the executable to the record; a missing file,
// section, key or empty value leaves the field alone.
void LoadLauncherIni(update::Options& options);

}  // namespace app
