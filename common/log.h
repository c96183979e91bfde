#pragma once
// The launcher's log: one UTF-8 line per event with its UTC time and thread
// id, appended to <local application data>\velmoramp\launcher.log (or the
// file --log names) and kept below 1 MiB by moving a full log to
// "<log>.1" (or, when that cannot be done, by starting it again). Logging never stops the launcher: a log that cannot
// be opened or written is skipped. Any thread.
#include <cstdint>
#include <string>

#include "common/format.h"

namespace common {

// Where the log goes; an empty path means the default file. Before this is
// called, Log() writes nothing.
void OpenLog(const std::wstring& path);

// The log's path once opened; empty when no log is being written.
std::wstring LogPath();

namespace log_detail {
void Write(const wchar_t* format, const format_detail::Arg* args, size_t count);
}

// One event, formatted like FormatWide (the compiler checks the format)
// into at most 2,000 characters; line breaks in it become blanks.
template <typename... Args>
void Log(format_detail::FormatFor<Args...> format, const Args&... args) {
  const format_detail::Arg list[] = {format_detail::MakeArg(args)..., format_detail::Arg()};
  log_detail::Write(format.text(), list, sizeof...(Args));
}

// The size at which the log moves to "<log>.1".
inline constexpr uint64_t kMaxLogBytes = 1024 * 1024;

}  // namespace common
