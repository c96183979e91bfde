#include "game/handoff.h"

#include <windows.h>
#include <shellapi.h>

#include "common/unique_handle.h"

namespace game {

namespace {

std::wstring SettingsPath(const std::wstring& game_folder) { return game_folder + L"\\velmoramp.ini"; }

// The profile functions write a new file in the ANSI code page, which cannot
// hold most names. A file that starts with a UTF-16 byte-order mark is kept
// in UTF-16 by every reader and writer of profiles, so a new file starts so.
// An existing file is left in the encoding its owner chose.
void CreateUnicodeProfile(const std::wstring& path) {
  common::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  static const unsigned char kBom[] = {0xFF, 0xFE};
  DWORD written = 0;
  WriteFile(file.get(), kBom, sizeof kBom, &written, nullptr);
}

}  // namespace

void WriteHandoff(const std::wstring& game_folder, const std::wstring& host, int port, const std::wstring& name) {
  const std::wstring ini = SettingsPath(game_folder);
  CreateUnicodeProfile(ini);
  WritePrivateProfileStringW(L"net", L"autoconnect", L"1", ini.c_str());
  if (!name.empty()) WritePrivateProfileStringW(L"net", L"name", name.c_str(), ini.c_str());
  if (!host.empty()) {
    WritePrivateProfileStringW(L"net", L"host", host.c_str(), ini.c_str());
    WritePrivateProfileStringW(L"net", L"port", std::to_wstring(port).c_str(), ini.c_str());
  }
  WritePrivateProfileStringW(L"game", L"autocase", L"MPFreeRoam", ini.c_str());
  DeleteFileW((game_folder + L"\\velmoramp.cmd").c_str());
}

std::wstring ReadSavedName(const std::wstring& game_folder) {
  wchar_t name[128] = {};
  GetPrivateProfileStringW(L"net", L"name", L"", name, 128, SettingsPath(game_folder).c_str());
  return std::wstring(name);
}

bool LaunchGame() {
  HINSTANCE result = ShellExecuteW(nullptr, L"open", L"steam://rungameid/900100", nullptr, nullptr, SW_SHOWNORMAL);
  // Values of 32 and below are error codes.
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace game
