#include "ui/page_messages.h"

#include <cwchar>

#include "servers/ping.h"
#include "servers/server_list.h"
#include "ui/player_state.h"

namespace ui {
namespace {

std::wstring SavedServersMessage(const wchar_t* type, const std::vector<SavedServer>& list) {
  return std::wstring(L"{\"type\":\"") + type + L"\",\"list\":" + SavedServersJson(list) + L"}";
}

}  // namespace

std::wstring SavedServersJson(const std::vector<SavedServer>& list, const wchar_t* before_each) {
  std::wstring m = L"[";
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) m += L",";
    m += before_each;
    m += L"{\"host\":\"" + EscapeJson(list[i].host) + L"\",\"port\":" + std::to_wstring(list[i].port) +
         L",\"name\":\"" + EscapeJson(list[i].name) + L"\"}";
  }
  return m + L"]";
}

const wchar_t kEmptyServersMessage[] = L"{\"type\":\"servers\",\"list\":[]}";

std::wstring EscapeJson(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size() + 8);
  for (wchar_t c : text) {
    switch (c) {
      case L'"': out += L"\\\""; break;
      case L'\\': out += L"\\\\"; break;
      case L'\n': out += L"\\n"; break;
      case L'\r': out += L"\\r"; break;
      case L'\t': out += L"\\t"; break;
      default:
        if (c < 32) {
          wchar_t escaped[8];
          swprintf(escaped, 8, L"\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::wstring BuildStatusMessage(const std::wstring& text, int percent, Tone tone, Busy busy) {
  std::wstring m = L"{\"type\":\"status\",\"text\":\"";
  m += EscapeJson(text);
  m += L"\",\"percent\":";
  m += std::to_wstring(percent);
  if (tone == Tone::kBad) m += L",\"bad\":true";
  if (tone == Tone::kGood) m += L",\"good\":true";
  if (busy != Busy::kUnchanged) m += busy == Busy::kYes ? L",\"busy\":true" : L",\"busy\":false";
  m += L"}";
  return m;
}

std::wstring BuildServersMessage(const std::vector<servers::ServerRecord>& list) {
  std::wstring m = L"{\"type\":\"servers\",\"list\":[";
  bool first = true;
  for (const servers::ServerRecord& s : list) {
    if (!first) m += L",";
    first = false;
    m += L"{\"name\":\"" + EscapeJson(s.name) + L"\"";
    m += L",\"host\":\"" + EscapeJson(s.host) + L"\"";
    m += L",\"port\":" + std::to_wstring(s.port);
    m += L",\"address\":\"" + EscapeJson(servers::ServerAddress(s)) + L"\"";
    m += L",\"players\":" + std::to_wstring(s.players);
    m += L",\"maxPlayers\":" + std::to_wstring(s.maxPlayers);
    if (!s.description.empty()) m += L",\"description\":\"" + EscapeJson(s.description) + L"\"";
    if (!s.language.empty()) m += L",\"language\":\"" + EscapeJson(s.language) + L"\"";
    if (s.verified) m += L",\"verified\":true";
    if (!s.tags.empty()) {
      m += L",\"tags\":[";
      for (size_t i = 0; i < s.tags.size(); ++i) {
        if (i > 0) m += L",";
        m += L"\"" + EscapeJson(s.tags[i]) + L"\"";
      }
      m += L"]";
    }
    m += L"}";
  }
  m += L"]}";
  return m;
}

std::wstring BuildReleaseMessage(const std::wstring& build, int protocol) {
  return L"{\"type\":\"release\",\"build\":\"" + EscapeJson(build) + L"\",\"protocol\":" + std::to_wstring(protocol) +
         L"}";
}

std::wstring BuildRunMessage(const wchar_t* state) {
  return L"{\"type\":\"run\",\"state\":\"" + std::wstring(state) + L"\"}";
}

std::wstring BuildSpeedMessage(int kib_per_second) {
  return L"{\"type\":\"speed\",\"value\":" + std::to_wstring(kib_per_second) + L"}";
}

std::wstring BuildNameMessage(const std::wstring& name) {
  return L"{\"type\":\"name\",\"value\":\"" + EscapeJson(name) + L"\"}";
}

std::wstring BuildFavouritesMessage(const std::vector<SavedServer>& list) {
  return SavedServersMessage(L"favourites", list);
}

std::wstring BuildRecentMessage(const std::vector<SavedServer>& list) { return SavedServersMessage(L"recent", list); }

std::wstring BuildPingMessage(const std::vector<servers::PingResult>& results) {
  std::wstring m = L"{\"type\":\"ping\",\"results\":[";
  for (size_t i = 0; i < results.size(); ++i) {
    if (i > 0) m += L",";
    m += L"{\"host\":\"" + EscapeJson(results[i].host) + L"\",\"ms\":" + std::to_wstring(results[i].ms) + L"}";
  }
  m += L"]}";
  return m;
}

std::wstring BuildLogMessage(const std::wstring& path) {
  return L"{\"type\":\"log\",\"path\":\"" + EscapeJson(path) + L"\"}";
}

}  // namespace ui
