#include "game/locator.h"

#include <tlhelp32.h>

#include "common/path.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/unique_handle.h"

namespace game {

namespace {

const wchar_t kGameSubPath[] = L"\\steamapps\\common\\Velmora";
const wchar_t kGameExe[] = L"\\Velmora.exe";
const wchar_t kLibraryList[] = L"\\steamapps\\libraryfolders.vdf";
const wchar_t kDefaultSteamFolder[] = L"C:\\Program Files (x86)\\Steam";

// A line longer than this cannot be one of Steam's and is skipped, so a
// damaged or binary file cannot make us hold it whole.
const size_t kMaxLibraryLine = 64 * 1024;

// Steam's registry values are read into 260 units with the terminator.
constexpr size_t kMaxRegistryPath = 259;

bool ExecutablePresent(const std::wstring& game_folder) { return common::IsFile(game_folder + kGameExe); }

// The value of a line's quoted "path" key, or nothing.
bool LibraryPathFromLine(const std::string& line, std::wstring& folder) {
  static const std::string kKey = "\"path\"";
  size_t key = line.find(kKey);
  if (key == std::string::npos) return false;
  size_t open = line.find('"', key + kKey.size());
  if (open == std::string::npos) return false;
  size_t close = line.find('"', open + 1);
  if (close == std::string::npos) return false;
  const std::string raw = line.substr(open + 1, close - open - 1);

  // Steam doubles every backslash; nothing else is escaped.
  std::string value;
  for (size_t i = 0; i < raw.size(); ++i) {
    value += raw[i];
    if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == '\\') ++i;
  }
  // Steam writes the file in UTF-8, so libraries under non-ASCII folder
  // names are found too.
  folder = common::Utf8ToWide(value);
  common::StripTrailingBackslashes(folder);
  return !folder.empty();
}

}  // namespace

std::wstring ReadSteamPath() {
  // Named views: a 64-bit build reads exactly what a 32-bit one does.
  std::wstring path =
      common::ReadRegistryString(HKEY_CURRENT_USER, L"Software\\Valve\\Steam", L"SteamPath", 0, kMaxRegistryPath);
  if (path.empty()) {
    path = common::ReadRegistryString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Valve\\Steam", L"InstallPath", KEY_WOW64_32KEY,
                                      kMaxRegistryPath);
  }
  if (path.empty()) {
    path = common::ReadRegistryString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Valve\\Steam", L"InstallPath", KEY_WOW64_64KEY,
                                      kMaxRegistryPath);
  }
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  common::StripTrailingBackslashes(path);
  return path;
}

std::vector<std::wstring> ReadLibraryFolders(const std::wstring& steam_folder) {
  std::vector<std::wstring> folders;
  if (steam_folder.empty()) return folders;
  folders.push_back(steam_folder);

  // Steam may be writing the file right now: share everything.
  common::UniqueFile file(CreateFileW((steam_folder + kLibraryList).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return folders;

  std::string line;
  bool line_too_long = false;
  auto finish_line = [&]() {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::wstring folder;
    if (!line_too_long && LibraryPathFromLine(line, folder)) folders.push_back(folder);
    line.clear();
    line_too_long = false;
  };

  char chunk[16 * 1024];
  DWORD got = 0;
  while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) {
      if (chunk[i] == '\n') {
        finish_line();
      } else if (line.size() < kMaxLibraryLine) {
        line += chunk[i];
      } else {
        line_too_long = true;
      }
    }
  }
  if (!line.empty()) finish_line();
  return folders;
}

std::wstring FindGameFolder() {
  for (const std::wstring& library : ReadLibraryFolders(ReadSteamPath())) {
    std::wstring game = library + kGameSubPath;
    if (ExecutablePresent(game)) return game;
  }
  std::wstring fallback = std::wstring(kDefaultSteamFolder) + kGameSubPath;
  if (ExecutablePresent(fallback)) return fallback;
  return std::wstring();
}

bool IsGameRunning() {
  common::UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;

  auto is_game = [](const wchar_t* name) {
    static const wchar_t kName[] = L"velmora.exe";
    for (size_t i = 0;; ++i) {
      wchar_t c = name[i];
      if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
      if (c != kName[i]) return false;
      if (c == L'\0') return true;
    }
  };

  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (is_game(entry.szExeFile)) return true;
  }
  return false;
}

}  // namespace game
