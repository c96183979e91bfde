#include "update/disk/self_replace.h"

#include <windows.h>

#include "common/env.h"
#include "common/file.h"
#include "common/log.h"
#include "common/path.h"
#include "common/timing.h"
#include "common/unique_handle.h"

namespace update {
namespace {

const wchar_t kMark[] = L"VELMORA_STARTED_BY_SELF_UPDATE";

// The executable's own name, wherever this process was started from (a
// launcher run as X.exe.new or X.exe.old still means X.exe).
std::wstring CanonicalPath() {
  std::wstring exe = common::ExePath();
  for (const wchar_t* suffix : {L".new", L".old"}) {
    const size_t n = wcslen(suffix);
    if (exe.size() > n && _wcsicmp(exe.c_str() + exe.size() - n, suffix) == 0) exe.resize(exe.size() - n);
  }
  return exe;
}

// A file that starts like a Windows program and is not cut short in its
// headers: a replacement cut off while writing does not pass.
bool LooksLikeProgram(const std::wstring& path) {
  const std::vector<unsigned char> head = common::ReadWholeFile(path, 64 * 1024 * 1024);
  if (head.size() < 0x40 || head[0] != 'M' || head[1] != 'Z') return false;
  const uint32_t pe = head[0x3C] | (head[0x3D] << 8) | (head[0x3E] << 16) | (uint32_t{head[0x3F]} << 24);
  return pe + 4 <= head.size() && head[pe] == 'P' && head[pe + 1] == 'E' && head[pe + 2] == 0 && head[pe + 3] == 0;
}

// Renames from to to, replacing it, written through; tried again while
// another program holds either. False with the last error set.
bool MoveWhenFree(const std::wstring& from, const std::wstring& to) {
  for (size_t attempt = 0;; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD code = GetLastError();
    if ((code != ERROR_SHARING_VIOLATION && code != ERROR_ACCESS_DENIED) || attempt == common::kBusyTries) {
      SetLastError(code);
      return false;
    }
    if (attempt == 0) common::Log(L"moving %s: held by another program (win32 %lu); trying again", to, code);
    Sleep(common::BusyWaitMs(attempt));
  }
}

const wchar_t kRefusedFile[] = L"refused-launchers.txt";
constexpr size_t kRefusedKept = 8;
// A mirror or a cache may put a bad copy right: a day later it is tried again.
constexpr int64_t kRefusedForSeconds = 24 * 3600;

bool StartWithTheseArguments(const std::wstring& exe) {
  std::wstring command = L"\"" + exe + L"\"" + ArgumentsOfThisRun();
  SetEnvironmentVariableW(kMark, L"1");  // inherited by the new launcher only
  bool started = false;
  // An antivirus scan holds a new executable for a moment.
  for (int attempt = 0; attempt < 8 && !started; ++attempt) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring buffer = command;  // CreateProcessW may write into it
    if (CreateProcessW(exe.c_str(), &buffer[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
      // Not waited for: the new launcher runs on its own.
      common::UniqueKernelHandle thread(info.hThread);
      common::UniqueKernelHandle process(info.hProcess);
      started = true;
      break;
    }
    const DWORD code = GetLastError();
    common::Log(L"starting the new launcher failed (win32 %lu)", code);
    if (code != ERROR_SHARING_VIOLATION && code != ERROR_ACCESS_DENIED) break;
    Sleep(common::BusyWaitMs(3));
  }
  SetEnvironmentVariableW(kMark, nullptr);
  return started;
}

// "SHA256 SECONDS" lines: each refused launcher and when it was refused.
std::string RefusedLines(std::wstring& path) {
  const std::wstring data = common::LauncherDataFolder();
  path = data.empty() ? std::wstring() : data + L"\\" + kRefusedFile;
  if (path.empty()) return std::string();
  const std::vector<unsigned char> bytes = common::ReadWholeFile(path, 64 * 1024);
  return std::string(bytes.begin(), bytes.end());
}

int64_t NowSeconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<int64_t>(((uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime) / 10000000ull);
}

}  // namespace

std::wstring ArgumentsOfThisRun() {
  // The program's name ends at its closing quote, or at the first blank
  // when it is not quoted: the rules the platform's own splitter uses.
  const wchar_t* line = GetCommandLineW();
  const wchar_t* p = line;
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  return std::wstring(p);
}

bool ReplaceSelfAndRestart(const std::vector<unsigned char>& bytes) {
  const std::wstring exe = common::ExePath();
  const std::wstring fresh = exe + L".new";
  const std::wstring old = exe + L".old";
  // The new launcher is whole on disk before the old one moves: a crash
  // at any moment leaves a launcher that starts.
  if (!common::WriteFileAtomically(fresh, bytes)) {
    common::Log(L"self-update: cannot write %s (win32 %lu)", fresh.c_str(), GetLastError());
    return false;
  }
  DeleteFileW(old.c_str());
  // A running executable may be renamed within its volume, though not
  // overwritten: the new copy takes the freed name. Between the two renames
  // there is no launcher under its own name; a start from either of the
  // other two puts that right (FinishSelfUpdate).
  if (!MoveWhenFree(exe, old)) {
    common::Log(L"self-update: cannot move the running launcher aside (win32 %lu)", GetLastError());
    DeleteFileW(fresh.c_str());
    return false;
  }
  if (!MoveWhenFree(fresh, exe)) {
    common::Log(L"self-update: cannot put the new launcher in place (win32 %lu)", GetLastError());
    if (!MoveWhenFree(old, exe))
      common::Log(L"self-update: cannot put the old launcher back (win32 %lu)", GetLastError());
    DeleteFileW(fresh.c_str());
    return false;
  }
  return StartWithTheseArguments(exe);
}

void FinishSelfUpdate() {
  const std::wstring exe = CanonicalPath();
  const std::wstring fresh = exe + L".new";
  const std::wstring old = exe + L".old";
  if (!common::IsFile(exe)) {
    if (common::IsFile(fresh) && LooksLikeProgram(fresh)) {
      common::Log(L"completing a cut-off self-update: %s", fresh);
      if (!MoveWhenFree(fresh, exe)) common::Log(L"self-update: cannot be completed (win32 %lu)", GetLastError());
    } else if (common::IsFile(old)) {
      common::Log(L"undoing a cut-off self-update: %s", old);
      if (!MoveWhenFree(old, exe)) common::Log(L"self-update: cannot be undone (win32 %lu)", GetLastError());
    }
  }
  if (common::IsFile(exe)) DeleteFileW(fresh.c_str());
  // Still in use while the previous launcher runs: removed at a later start.
  DeleteFileW(old.c_str());
}

bool LauncherRefusedBefore(const std::string& sha256) {
  std::wstring path;
  const std::string text = RefusedLines(path);
  const size_t at = sha256.empty() ? std::string::npos : text.rfind(sha256 + " ");
  if (at == std::string::npos) return false;
  const int64_t when = std::atoll(text.c_str() + at + sha256.size() + 1);
  return NowSeconds() - when < kRefusedForSeconds;
}

void RememberRefusedLauncher(const std::string& sha256) {
  std::wstring path;
  std::string text = RefusedLines(path);
  if (path.empty() || sha256.empty()) return;
  // The newest few: a release that is put right gets a new digest anyway.
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  for (; lines >= kRefusedKept; --lines) text.erase(0, text.find('\n') + 1);
  text += sha256 + " " + std::to_string(NowSeconds()) + "\n";
  if (!common::WriteFileAtomically(path, text)) {
    common::Log(L"self-update: cannot note the refused launcher (win32 %lu)", GetLastError());
  }
}

bool StartedBySelfUpdate() {
  const bool marked = !common::EnvironmentValue(kMark).empty();
  SetEnvironmentVariableW(kMark, nullptr);
  return marked;
}

}  // namespace update
