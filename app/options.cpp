#include "app/options.h"

#include <windows.h>

#include <cwchar>

#include "common/path.h"

namespace app {

void LoadLauncherIni(update::Options& options) {
  const std::wstring ini = common::ExeDirectory() + L"\\launcher.ini";
  if (!common::IsFile(ini)) return;

  // 512 characters: at most 511 of a value are taken.
  auto read = [&ini](const wchar_t* section, const wchar_t* key, std::wstring& field) {
    wchar_t value[512] = {};
    DWORD n = GetPrivateProfileStringW(section, key, L"", value, 512, ini.c_str());
    if (n > 0) field.assign(value, n);
  };
  read(L"update", L"base_url", options.base_url);
  read(L"update", L"channel", options.channel);
  read(L"update", L"list_url", options.list_url);
  read(L"game", L"path", options.game_dir);
}

update::Options ParseOptions(int argc, wchar_t** argv) {
  update::Options options;
  options.base_url = kDefaultBaseUrl;
  options.channel = L"stable";
  options.list_url = kDefaultListUrl;

  LoadLauncherIni(options);

  struct ValueOption {
    const wchar_t* name;
    std::wstring update::Options::*field;
  };
  static const ValueOption kValueOptions[] = {{L"--channel", &update::Options::channel},
                                              {L"--base-url", &update::Options::base_url},
                                              {L"--list-url", &update::Options::list_url},
                                              {L"--game", &update::Options::game_dir},
                                              {L"--name", &update::Options::player_name}};

  for (int i = 1; i < argc; ++i) {
    const wchar_t* arg = argv[i] ? argv[i] : L"";
    bool handled = false;
    for (const ValueOption& option : kValueOptions) {
      if (wcscmp(arg, option.name) != 0) continue;
      handled = true;
      // A value option as the last argument is ignored.
      if (i + 1 < argc) {
        options.*option.field = argv[i + 1] ? argv[i + 1] : L"";
        ++i;
      }
      break;
    }
    if (handled) continue;
    if (wcscmp(arg, L"--no-launch") == 0) {
      options.launch = false;
    } else if (wcscmp(arg, L"--console") == 0) {
      options.use_window = false;
    } else if (wcscmp(arg, L"--check") == 0) {
      options.check_only = true;
      options.launch = false;
      options.use_window = false;
    }
  }

  while (!options.base_url.empty() && options.base_url.back() == L'/') options.base_url.pop_back();
  return options;
}

}  // namespace app
