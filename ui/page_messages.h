#pragma once
// Host messages to the launcher page: one JSON object each, written by
// concatenation in a fixed member order, as UTF-16 text.
#include <string>
#include <vector>

namespace servers {
struct ServerRecord;
struct PingResult;
}  // namespace servers

namespace ui {

struct SavedServer;

// How the page marks a status line.
enum class Tone { kPlain, kBad, kGood };
// What a status says of the page's busy state; kUnchanged leaves it out.
enum class Busy { kUnchanged, kNo, kYes };
// The percentage of a status line that has none.
inline constexpr int kNoPercent = -1;

// Text escaped for a JSON string (without the enclosing quotes): quote,
// backslash, LF, CR and tab as two-character escapes, every other unit
// below 32 as \u00XX; everything else unchanged.
std::wstring EscapeJson(const std::wstring& text);

// {"type":"status","text":...,"percent":N[,"bad":true|,"good":true][,"busy":B]}
std::wstring BuildStatusMessage(const std::wstring& text, int percent, Tone tone, Busy busy);

// {"type":"servers","list":[...]} with one object per record.
std::wstring BuildServersMessage(const std::vector<servers::ServerRecord>& list);

// {"type":"release","build":...,"protocol":N}
std::wstring BuildReleaseMessage(const std::wstring& build, int protocol);

// {"type":"run","state":"running"|"paused"|"failed"|"done"}
std::wstring BuildRunMessage(const wchar_t* state);

// {"type":"speed","value":N}: the download limit in KiB/s, 0 for none.
std::wstring BuildSpeedMessage(int kib_per_second);

// {"type":"name","value":...}
std::wstring BuildNameMessage(const std::wstring& name);

// [{"host":...,"port":N,"name":...},...]; before_each goes before every
// object (a line break and indent in a file a person may read).
std::wstring SavedServersJson(const std::vector<SavedServer>& list, const wchar_t* before_each = L"");

// {"type":"favourites","list":[{"host":...,"port":N,"name":...},...]}, and
// the same with "recent".
std::wstring BuildFavouritesMessage(const std::vector<SavedServer>& list);
std::wstring BuildRecentMessage(const std::vector<SavedServer>& list);

// {"type":"ping","results":[{"host":...,"ms":N},...]}; N is -1 for no answer.
std::wstring BuildPingMessage(const std::vector<servers::PingResult>& results);

// {"type":"log","path":...}
std::wstring BuildLogMessage(const std::wstring& path);

// What an empty or unreachable server list sends.
extern const wchar_t kEmptyServersMessage[];

}  // namespace ui
