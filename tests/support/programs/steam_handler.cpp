// Stands in for Steam's steam: URL handler. The tests register it for the
// steam: scheme in the test prefix; it appends each URL it is asked to open
// to the file named by VELMORA_STEAM_RECORD (or steam-requests.txt beside
// itself), one per line, so a test can see what the launcher asked for.
#include <windows.h>

#include <string>

#include "common/text.h"

int wmain(int argc, wchar_t** argv) {
  wchar_t record[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"VELMORA_STEAM_RECORD", record, MAX_PATH) == 0) {
    GetModuleFileNameW(nullptr, record, MAX_PATH);
    std::wstring path = record;
    path = path.substr(0, path.find_last_of(L'\\')) + L"\\steam-requests.txt";
    wcsncpy(record, path.c_str(), MAX_PATH - 1);
  }
  std::string line;
  for (int i = 1; i < argc; ++i) line += (i > 1 ? " " : "") + common::WideToUtf8(argv[i]);
  line += "\n";
  HANDLE file =
      CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
  return 0;
}
