#include "app/options.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>

#include "common/path.h"

namespace app {
namespace {

const wchar_t kDefault[] = L"default";
const wchar_t kIni[] = L"launcher.ini";
const wchar_t kCommandLine[] = L"command line";

void SetSource(Settings& settings, const std::wstring& name, const wchar_t* source) {
  for (auto& entry : settings.sources) {
    if (entry.first == name) {
      entry.second = source;
      return;
    }
  }
  settings.sources.emplace_back(name, source);
}

// A KiB/s value: digits only, at most seven of them. False, value untouched,
// for anything else.
bool ParseSpeed(const std::wstring& text, int& value) {
  if (text.empty() || text.size() > 7 || text.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
  value = _wtoi(text.c_str());
  return true;
}

// launcher.ini beside the executable, noting what it set.
void ApplyIni(Settings& settings) {
  const std::wstring ini = common::ExeDirectory() + L"\\launcher.ini";
  if (!common::IsFile(ini)) return;
  update::Options& options = settings.options;

  // 512 characters: at most 511 of a value are taken.
  auto read = [&](const wchar_t* section, const wchar_t* key, std::wstring& field, const wchar_t* name) {
    wchar_t value[512] = {};
    DWORD n = GetPrivateProfileStringW(section, key, L"", value, 512, ini.c_str());
    if (n == 0) return;
    field.assign(value, n);
    SetSource(settings, name, kIni);
  };
  read(L"update", L"base_url", options.base_url, L"base_url");
  read(L"update", L"channel", options.channel, L"channel");
  read(L"update", L"list_url", options.list_url, L"list_url");
  read(L"game", L"path", options.game_dir, L"game_dir");

  // Blank-separated base URLs; those of the command line come first.
  std::wstring mirrors;
  read(L"update", L"mirrors", mirrors, L"mirrors");
  for (size_t at = 0; at < mirrors.size();) {
    const size_t start = mirrors.find_first_not_of(L" \t", at);
    if (start == std::wstring::npos) break;
    const size_t end = std::min(mirrors.find_first_of(L" \t", start), mirrors.size());
    settings.ini_mirrors.push_back(mirrors.substr(start, end - start));
    at = end;
  }

  // "chunks=off" (or 0, no, false) fetches whole files only, as a launcher
  // from before chunks did.
  std::wstring chunks;
  read(L"update", L"chunks", chunks, L"chunks");
  for (const wchar_t* off : {L"0", L"off", L"no", L"false"}) {
    if (_wcsicmp(chunks.c_str(), off) == 0) options.use_chunks = false;
  }

  // The download cap in KiB/s; 0 is none, and a value that is no number
  // (or below 0) is ignored.
  std::wstring speed;
  read(L"update", L"max_speed", speed, L"max_speed");
  (void)ParseSpeed(speed, options.max_speed_kib);

  // Files downloaded at once; a value out of range takes the nearest end,
  // one that is no number is ignored.
  wchar_t value[32] = {};
  if (GetPrivateProfileStringW(L"update", L"connections", L"", value, 32, ini.c_str()) > 0) {
    wchar_t* end = nullptr;
    const long n = wcstol(value, &end, 10);
    if (end != value && *end == L'\0') {
      options.connections = n < update::kMinConnections   ? update::kMinConnections
                            : n > update::kMaxConnections ? update::kMaxConnections
                                                          : static_cast<int>(n);
      SetSource(settings, L"connections", kIni);
    }
  }
}

}  // namespace

void LoadLauncherIni(update::Options& options) {
  Settings settings;
  settings.options = options;
  ApplyIni(settings);
  options = settings.options;
  options.mirrors.insert(options.mirrors.end(), settings.ini_mirrors.begin(), settings.ini_mirrors.end());
}

Settings ReadSettings(int argc, wchar_t** argv) {
  Settings settings;
  update::Options& options = settings.options;
  options.base_url = kDefaultBaseUrl;
  options.channel = L"stable";
  options.list_url = kDefaultListUrl;
  for (const wchar_t* name : {L"base_url", L"channel", L"list_url", L"game_dir", L"connections"}) {
    SetSource(settings, name, kDefault);
  }

  ApplyIni(settings);

  struct ValueOption {
    const wchar_t* name;
    std::wstring update::Options::*field;
    const wchar_t* source_name;
  };
  static const ValueOption kValueOptions[] = {{L"--channel", &update::Options::channel, L"channel"},
                                              {L"--base-url", &update::Options::base_url, L"base_url"},
                                              {L"--list-url", &update::Options::list_url, L"list_url"},
                                              {L"--game", &update::Options::game_dir, L"game_dir"},
                                              {L"--name", &update::Options::player_name, nullptr}};

  for (int i = 1; i < argc; ++i) {
    const wchar_t* arg = argv[i] ? argv[i] : L"";
    bool handled = false;
    for (const ValueOption& option : kValueOptions) {
      if (wcscmp(arg, option.name) != 0) continue;
      handled = true;
      // A value option as the last argument is ignored.
      if (i + 1 < argc) {
        options.*option.field = argv[i + 1] ? argv[i + 1] : L"";
        if (option.source_name) SetSource(settings, option.source_name, kCommandLine);
        ++i;
      }
      break;
    }
    if (handled) continue;
    if (wcscmp(arg, L"--log") == 0) {
      if (i + 1 < argc) settings.log_file = argv[++i] ? argv[i] : L"";
    } else if (wcscmp(arg, L"--no-launch") == 0) {
      options.launch = false;
    } else if (wcscmp(arg, L"--console") == 0) {
      options.use_window = false;
    } else if (wcscmp(arg, L"--check") == 0) {
      options.check_only = true;
      options.launch = false;
      options.use_window = false;
    } else if (wcscmp(arg, L"--verify") == 0) {
      options.verify = true;
    } else if (wcscmp(arg, L"--max-speed") == 0) {
      if (i + 1 < argc && ParseSpeed(argv[i + 1] ? argv[i + 1] : L"", options.max_speed_kib)) {
        SetSource(settings, L"max_speed", kCommandLine);
      }
      if (i + 1 < argc) ++i;
    } else if (wcscmp(arg, L"--mirror") == 0) {
      if (i + 1 < argc) options.mirrors.push_back(argv[++i] ? argv[i] : L"");
    }
  }
  options.mirrors.insert(options.mirrors.end(), settings.ini_mirrors.begin(), settings.ini_mirrors.end());
  for (std::wstring& mirror : options.mirrors) {
    while (!mirror.empty() && mirror.back() == L'/') mirror.pop_back();
  }
  options.mirrors.erase(std::remove(options.mirrors.begin(), options.mirrors.end(), std::wstring()),
                        options.mirrors.end());

  while (!options.base_url.empty() && options.base_url.back() == L'/') options.base_url.pop_back();
  return settings;
}

update::Options ParseOptions(int argc, wchar_t** argv) { return ReadSettings(argc, argv).options; }

}  // namespace app
