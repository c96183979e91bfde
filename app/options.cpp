#include "app/options.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "common/path.h"
#include "common/texts.h"

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

// The options a player may give, for the name of a near miss.
const wchar_t* const kValueOptions[] = {L"--channel", L"--base-url",  L"--list-url", L"--game",    L"--name",
                                        L"--log",     L"--max-speed", L"--mirror",   L"--language"};
const wchar_t* const kFlags[] = {L"--no-launch", L"--console", L"--check", L"--verify"};

bool IsValueOption(const std::wstring& arg) {
  return std::any_of(std::begin(kValueOptions), std::end(kValueOptions), [&arg](const wchar_t* o) { return arg == o; });
}

// How many letters (in any case) one word needs changed, added or removed
// to become the other.
size_t Distance(const std::wstring& a, const std::wstring& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const bool same = towlower(a[i - 1]) == towlower(b[j - 1]);
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// What an argument the launcher does not know was probably meant to be.
std::wstring Unknown(const std::wstring& arg) {
  const size_t equals = arg.find(L'=');
  if (equals != std::wstring::npos && IsValueOption(arg.substr(0, equals))) {
    return common::TrF(L"Ignored %s: not an option (write %s %s)", arg, arg.substr(0, equals), arg.substr(equals + 1));
  }
  std::wstring best;
  size_t best_distance = 3;  // a near miss is at most two letters off
  std::vector<const wchar_t*> known(std::begin(kValueOptions), std::end(kValueOptions));
  known.insert(known.end(), std::begin(kFlags), std::end(kFlags));
  for (const wchar_t* option : known) {
    const std::wstring name = option;
    const size_t d = Distance(arg, name);
    // A start of a name ("--chan") is a near miss too.
    const bool start = arg.size() >= 4 && name.compare(0, arg.size(), arg) == 0;
    if (d < best_distance || (start && best_distance > 1)) {
      best = name;
      best_distance = start ? 1 : d;
    }
  }
  if (best.empty()) return common::TrF(L"Ignored %s: not an option", arg);
  return common::TrF(L"Ignored %s: not an option (did you mean %s?)", arg, best);
}

std::wstring IniPath() { return common::ExeDirectory() + L"\\launcher.ini"; }

// launcher.ini beside the executable, noting what it set.
void ApplyIni(Settings& settings) {
  const std::wstring ini = IniPath();
  if (!common::IsFile(ini)) return;
  update::Options& options = settings.options;

  // 512 characters: at most 511 of a value are taken.
  auto read = [&](const wchar_t* section, const wchar_t* key, std::wstring& field, const wchar_t* name) {
    wchar_t value[512] = {};
    DWORD n = GetPrivateProfileStringW(section, key, L"", value, 512, ini.c_str());
    if (n == 0) return false;
    field.assign(value, n);
    if (name != nullptr) SetSource(settings, name, kIni);
    return true;
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
  if (read(L"update", L"chunks", chunks, nullptr)) {
    const auto is = [&chunks](std::initializer_list<const wchar_t*> words) {
      return std::any_of(words.begin(), words.end(),
                         [&chunks](const wchar_t* w) { return _wcsicmp(chunks.c_str(), w) == 0; });
    };
    if (is({L"0", L"off", L"no", L"false"})) {
      options.use_chunks = false;
      SetSource(settings, L"chunks", kIni);
    } else if (is({L"1", L"on", L"yes", L"true"})) {
      SetSource(settings, L"chunks", kIni);
    } else {
      settings.notes.push_back(common::TrF(L"Ignored [update] chunks=%s: on or off", chunks));
    }
  }

  // The download cap in KiB/s; 0 is none.
  std::wstring speed;
  if (read(L"update", L"max_speed", speed, nullptr)) {
    if (ParseSpeed(speed, options.max_speed_kib)) {
      SetSource(settings, L"max_speed", kIni);
    } else {
      settings.notes.push_back(
          common::TrF(L"Ignored [update] max_speed=%s: give a whole number of KiB/s, 0 for no limit", speed));
    }
  }

  // Files downloaded at once; a value out of range takes the nearest end.
  std::wstring connections;
  if (read(L"update", L"connections", connections, nullptr)) {
    wchar_t* end = nullptr;
    const long n = wcstol(connections.c_str(), &end, 10);
    if (end == connections.c_str() || *end != L'\0') {
      settings.notes.push_back(common::TrF(L"Ignored [update] connections=%s: not a whole number", connections));
      return;
    }
    options.connections = static_cast<int>(std::clamp<long>(n, update::kMinConnections, update::kMaxConnections));
    SetSource(settings, L"connections", kIni);
    if (options.connections != n) {
      settings.notes.push_back(
          common::TrN(options.connections, L"[update] connections=%s is out of range (%d to %d): %s is used",
                      L"[update] connections=%s is out of range (%d to %d): %s are used", connections,
                      update::kMinConnections, update::kMaxConnections, common::FormatCount(options.connections)));
    }
  }
}

// One argument of the command line at i (and its value after it); i is
// left on the last argument taken.
void ApplyArgument(Settings& settings, int argc, wchar_t** argv, int& i) {
  update::Options& options = settings.options;
  const std::wstring arg = argv[i] ? argv[i] : L"";
  struct Text {
    const wchar_t* name;
    std::wstring update::Options::*field;
    const wchar_t* source_name;
  };
  static const Text kTexts[] = {{L"--channel", &update::Options::channel, L"channel"},
                                {L"--base-url", &update::Options::base_url, L"base_url"},
                                {L"--list-url", &update::Options::list_url, L"list_url"},
                                {L"--game", &update::Options::game_dir, L"game_dir"},
                                {L"--name", &update::Options::player_name, nullptr}};
  if (IsValueOption(arg)) {
    if (i + 1 >= argc) {
      settings.notes.push_back(common::TrF(L"Ignored %s: it needs a value after it", arg));
      return;
    }
    const std::wstring value = argv[++i] ? argv[i] : L"";
    for (const Text& text : kTexts) {
      if (arg != text.name) continue;
      options.*text.field = value;
      if (text.source_name) SetSource(settings, text.source_name, kCommandLine);
    }
    if (arg == L"--log") settings.log_file = value;
    if (arg == L"--mirror") options.mirrors.push_back(value);
    if (arg == L"--max-speed") {
      if (ParseSpeed(value, options.max_speed_kib)) {
        SetSource(settings, L"max_speed", kCommandLine);
      } else {
        settings.notes.push_back(
            common::TrF(L"Ignored --max-speed %s: give a whole number of KiB/s, 0 for no limit", value));
      }
    }
  } else if (arg == L"--no-launch") {
    options.launch = false;
  } else if (arg == L"--console") {
    options.use_window = false;
  } else if (arg == L"--check") {
    options.check_only = true;
    options.launch = false;
    options.use_window = false;
  } else if (arg == L"--verify") {
    options.verify = true;
  } else {
    settings.notes.push_back(Unknown(arg));
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

LanguageChoice ChooseLanguage(int argc, wchar_t** argv) {
  LanguageChoice choice;
  std::wstring asked;
  const std::wstring ini = IniPath();
  wchar_t value[64] = {};
  if (common::IsFile(ini) && GetPrivateProfileStringW(L"ui", L"language", L"", value, 64, ini.c_str()) > 0) {
    asked = value;
    choice.source = kIni;
  }
  for (int i = 1; i + 1 < argc; ++i) {
    if (argv[i] != nullptr && argv[i + 1] != nullptr && wcscmp(argv[i], L"--language") == 0) {
      asked = argv[++i];
      choice.source = kCommandLine;
    }
  }
  choice.tag = common::ChooseLanguage(asked, common::PreferredLanguages());
  (void)common::SetLanguage(choice.tag);  // ChooseLanguage gives only tags we ship
  const bool english = _wcsnicmp(asked.c_str(), L"en", 2) == 0 && (asked.size() == 2 || asked[2] == L'-');
  if (!asked.empty() && !english && common::ChooseLanguage(asked, {}) == L"en") {
    std::wstring shipped;
    for (const std::wstring& tag : common::ShippedLanguages()) shipped += (shipped.empty() ? L"" : L", ") + tag;
    choice.note = common::TrF(L"Ignored language %s: the launcher speaks %s", asked, shipped);
  }
  return choice;
}

Settings ReadSettings(int argc, wchar_t** argv) {
  Settings settings;
  // The language comes first, so that every note after it is in that language.
  const LanguageChoice language = ChooseLanguage(argc, argv);
  settings.language = language.tag;
  SetSource(settings, L"language", language.source);
  if (!language.note.empty()) settings.notes.push_back(language.note);
  update::Options& options = settings.options;
  options.base_url = kDefaultBaseUrl;
  options.channel = L"stable";
  options.list_url = kDefaultListUrl;
  for (const wchar_t* name : {L"base_url", L"channel", L"list_url", L"game_dir", L"connections"}) {
    SetSource(settings, name, kDefault);
  }

  ApplyIni(settings);
  for (int i = 1; i < argc; ++i) ApplyArgument(settings, argc, argv, i);

  options.mirrors.insert(options.mirrors.end(), settings.ini_mirrors.begin(), settings.ini_mirrors.end());
  for (std::wstring& mirror : options.mirrors) {
    while (!mirror.empty() && mirror.back() == L'/') mirror.pop_back();
  }
  options.mirrors.erase(std::remove(options.mirrors.begin(), options.mirrors.end(), std::wstring()),
                        options.mirrors.end());

  while (!options.base_url.empty() && options.base_url.back() == L'/') options.base_url.pop_back();
  options.notices = settings.notes;
  return settings;
}

update::Options ParseOptions(int argc, wchar_t** argv) { return ReadSettings(argc, argv).options; }

}  // namespace app
