#pragma once
// The launcher's log: one UTF-8 line per event with its UTC time and thread
// id, appended to <local application data>\velmoramp\launcher.log (or the
// file --log names) and kept below 1 MiB by moving a full log to
// "<log>.1". Logging never stops the launcher: a log that cannot be opened
// or written is skipped. Any thread.
#include <cstdint>
#include <string>

namespace common {

// Where the log goes; an empty path means the default file. Before this is
// called, Log() writes nothing.
void OpenLog(const std::wstring& path);

// The log's path once opened; empty when no log is being written.
std::wstring LogPath();

// One event, formatted like FormatWide ("%s" is wide text) into at most
// 2,000 characters; line breaks in it become blanks.
void Log(const wchar_t* format, ...);

// The size at which the log moves to "<log>.1".
inline constexpr uint64_t kMaxLogBytes = 1024 * 1024;

}  // namespace common
