#include "common/log.h"

#include <windows.h>

#include <mutex>

#include "common/file.h"
#include "common/format.h"
#include "common/path.h"
#include "common/text.h"
#include "common/unique_handle.h"

namespace common {
namespace {

// Never destroyed: detached workers may log while the process exits.
struct LogState {
  std::mutex lock;
  std::wstring path;
  UniqueFile file;
  uint64_t size = 0;  // kept here: asking the file system for every line costs a call
};

LogState& State() {
  static LogState* state = new LogState();
  return *state;
}

UniqueFile OpenForAppend(const std::wstring& path) {
  // Others may read it (a supporter opening it while the launcher runs),
  // and move or delete it.
  return UniqueFile(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::string TimeAndThread() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  char text[64];
  snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ [%lu] ", now.wYear, now.wMonth, now.wDay, now.wHour,
           now.wMinute, now.wSecond, now.wMilliseconds, static_cast<unsigned long>(GetCurrentThreadId()));
  return text;
}

// One old log is kept. When the full one cannot be moved aside (the old one
// is held, or cannot be replaced), the log starts again from empty, and
// says so, rather than grow without bound.
void Rotate(LogState& state) {
  state.file.reset();
  if (!MoveFileExW(state.path.c_str(), (state.path + L".1").c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const std::string note = TimeAndThread() + "the log could not be moved aside (win32 " +
                             std::to_string(GetLastError()) + "); it starts again here\r\n";
    UniqueFile restart(CreateFileW(state.path.c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (restart) (void)WriteFile(restart.get(), note.data(), static_cast<DWORD>(note.size()), &written, nullptr);
  }
  state.file = OpenForAppend(state.path);
  state.size = state.file ? FileSize(state.file.get()) : 0;
}

}  // namespace

void OpenLog(const std::wstring& path) {
  LogState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  state.file.reset();
  state.path = path;
  if (state.path.empty()) {
    const std::wstring folder = LauncherDataFolder();
    if (folder.empty()) return;
    state.path = folder + L"\\launcher.log";
  }
  state.file = OpenForAppend(state.path);
  if (!state.file) state.path.clear();
  state.size = state.file ? FileSize(state.file.get()) : 0;
}

std::wstring LogPath() {
  LogState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  return state.path;
}

namespace log_detail {

void Write(const wchar_t* format, const format_detail::Arg* args, size_t count) {
  const DWORD saved_error = GetLastError();  // a log line must not disturb an error being reported
  std::wstring text = format_detail::FormatArgs(2000, format, args, count);
  for (wchar_t& c : text) {
    if (c == L'\r' || c == L'\n') c = L' ';
  }
  const std::string line = TimeAndThread() + WideToUtf8(text) + "\r\n";

  LogState& state = State();
  std::lock_guard<std::mutex> hold(state.lock);
  if (state.file) {
    // Another launcher may append to the same log: its size is asked again
    // only when it seems full.
    if (state.size + line.size() > kMaxLogBytes && FileSize(state.file.get()) + line.size() > kMaxLogBytes)
      Rotate(state);
    DWORD written = 0;
    if (state.file && WriteFile(state.file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
      state.size += written;
    }
  }
  SetLastError(saved_error);
}

}  // namespace log_detail
}  // namespace common
