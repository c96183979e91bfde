#include "game/handoff.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "common/file.h"
#include "common/log.h"
#include "common/texts.h"

namespace game {

namespace {

std::wstring SettingsPath(const std::wstring& game_folder) { return game_folder + L"\\velmoramp.ini"; }

bool HoldsControlCharacter(const std::wstring& text) {
  for (wchar_t c : text) {
    // C0 and C1 controls, and the Unicode line and paragraph separators.
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029) return true;
  }
  return false;
}

// How the file's text is stored; a file keeps the encoding it has.
enum class Encoding { kUtf16, kUtf8WithMark, kAnsi };

std::wstring Decode(const std::vector<unsigned char>& bytes, Encoding& encoding) {
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    encoding = Encoding::kUtf16;
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
  }
  UINT code_page = CP_ACP;
  size_t skip = 0;
  encoding = Encoding::kAnsi;
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    encoding = Encoding::kUtf8WithMark;
    code_page = CP_UTF8;
    skip = 3;
  }
  const char* text = reinterpret_cast<const char*>(bytes.data()) + skip;
  const int size = static_cast<int>(bytes.size() - skip);
  const int units = size > 0 ? MultiByteToWideChar(code_page, 0, text, size, nullptr, 0) : 0;
  std::wstring out(static_cast<size_t>(units > 0 ? units : 0), L'\0');
  if (units > 0) MultiByteToWideChar(code_page, 0, text, size, &out[0], units);
  return out;
}

std::vector<unsigned char> Encode(const std::wstring& text, Encoding encoding) {
  std::vector<unsigned char> bytes;
  if (encoding == Encoding::kUtf16) {
    bytes = {0xFF, 0xFE};
    const auto* raw = reinterpret_cast<const unsigned char*>(text.data());
    bytes.insert(bytes.end(), raw, raw + text.size() * sizeof(wchar_t));
    return bytes;
  }
  const UINT code_page = encoding == Encoding::kUtf8WithMark ? CP_UTF8 : CP_ACP;
  if (encoding == Encoding::kUtf8WithMark) bytes = {0xEF, 0xBB, 0xBF};
  const int size =
      WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return bytes;
  const size_t at = bytes.size();
  bytes.resize(at + static_cast<size_t>(size));
  WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), reinterpret_cast<char*>(&bytes[at]),
                      size, nullptr, nullptr);
  return bytes;
}

std::wstring TrimBlanks(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return std::wstring();
  return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

bool SameName(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

// The file's lines with the way the profile functions read them: section
// and key names without case, blanks around them ignored.
struct Ini {
  std::vector<std::wstring> lines;

  explicit Ini(const std::wstring& text) {
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find(L'\n', start);
      if (end == std::wstring::npos) end = text.size();
      std::wstring line = text.substr(start, end - start);
      if (!line.empty() && line.back() == L'\r') line.pop_back();
      lines.push_back(line);
      start = end + 1;
    }
  }

  static bool IsSection(const std::wstring& line, std::wstring* name) {
    const std::wstring t = TrimBlanks(line);
    if (t.size() < 2 || t.front() != L'[') return false;
    const size_t close = t.find(L']');
    if (close == std::wstring::npos) return false;
    if (name) *name = TrimBlanks(t.substr(1, close - 1));
    return true;
  }

  // Sets key in section: the first line of that key is replaced, or a line
  // is added at the end of the section, or the section is added at the end.
  void Set(const std::wstring& section, const std::wstring& key, const std::wstring& value) {
    bool in_section = false;
    size_t section_end = lines.size();  // after the last line of the section
    bool found_section = false;
    for (size_t i = 0; i < lines.size(); ++i) {
      std::wstring name;
      if (IsSection(lines[i], &name)) {
        if (in_section) break;
        in_section = SameName(name, section);
        if (in_section) {
          found_section = true;
          section_end = i + 1;
        }
        continue;
      }
      if (!in_section) continue;
      const std::wstring t = TrimBlanks(lines[i]);
      if (!t.empty()) section_end = i + 1;
      const size_t equals = lines[i].find(L'=');
      if (equals != std::wstring::npos && SameName(TrimBlanks(lines[i].substr(0, equals)), key)) {
        lines[i] = TrimBlanks(lines[i].substr(0, equals)) + L"=" + value;
        return;
      }
    }
    if (!found_section) {
      lines.push_back(L"[" + section + L"]");
      lines.push_back(key + L"=" + value);
      return;
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(section_end), key + L"=" + value);
  }

  std::wstring Text() const {
    std::wstring text;
    for (const std::wstring& line : lines) text += line + L"\r\n";
    return text;
  }
};

}  // namespace

bool CheckHandoff(const std::wstring& host, int port, const std::wstring& name, std::wstring& error) {
  if (HoldsControlCharacter(host) || host.find_first_of(L" \t") != std::wstring::npos || host.size() > kMaxHostChars) {
    error = common::Tr(L"That server address cannot be used.");
    return false;
  }
  if (!host.empty() && (port < 1 || port > 65535)) {
    error = common::Tr(L"That server port cannot be used: it must be 1 to 65535.");
    return false;
  }
  if (HoldsControlCharacter(name) || name.size() > kMaxNameChars) {
    error = common::Tr(L"That player name cannot be used: at most 127 characters, and no line breaks.");
    return false;
  }
  return true;
}

bool WriteHandoff(const std::wstring& game_folder, const std::wstring& host, int port, const std::wstring& name) {
  // A line break would add sections and keys of the sender's choosing.
  if (HoldsControlCharacter(host) || HoldsControlCharacter(name)) return false;
  const std::wstring path = SettingsPath(game_folder);

  // The file may hold the mod's own settings: everything else is kept. A
  // new file is UTF-16 with a byte-order mark, which every reader of
  // profiles keeps in UTF-16, so that any name fits.
  std::vector<unsigned char> bytes = common::ReadWholeFile(path, 16 * 1024 * 1024);
  Encoding encoding = Encoding::kUtf16;
  Ini ini(bytes.empty() ? std::wstring() : Decode(bytes, encoding));
  ini.Set(L"net", L"autoconnect", L"1");
  if (!name.empty()) ini.Set(L"net", L"name", name);
  if (!host.empty()) {
    ini.Set(L"net", L"host", host);
    ini.Set(L"net", L"port", std::to_wstring(port));
  }
  ini.Set(L"game", L"autocase", L"MPFreeRoam");

  // One step: a crash leaves the old file or the new one, never a new host
  // beside an old port or a cut file.
  const bool written = common::WriteFileAtomically(path, Encode(ini.Text(), encoding));
  if (!written) common::Log(L"hand-off: could not write %s (win32 %lu)", path.c_str(), GetLastError());
  DeleteFileW((game_folder + L"\\velmoramp.cmd").c_str());
  return written;
}

std::wstring ReadSavedName(const std::wstring& game_folder) {
  wchar_t name[kMaxNameChars + 1] = {};
  GetPrivateProfileStringW(L"net", L"name", L"", name, kMaxNameChars + 1, SettingsPath(game_folder).c_str());
  return std::wstring(name);
}

bool LaunchGame() {
  HINSTANCE result = ShellExecuteW(nullptr, L"open", L"steam://rungameid/900100", nullptr, nullptr, SW_SHOWNORMAL);
  // Values of 32 and below are error codes.
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace game
