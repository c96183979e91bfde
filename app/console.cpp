#include "app/console.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "common/format.h"
#include "common/text.h"

namespace app {

namespace {

bool g_console_ready = false;

// A file, a pipe, a console or a device such as NUL.
bool HasOutput(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN; }

void BindStandardHandle(DWORD which, const wchar_t* device, DWORD access) {
  HANDLE h = CreateFileW(device, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  // Handed over to the process for its lifetime: the console is never freed.
  if (h != INVALID_HANDLE_VALUE) SetStdHandle(which, h);
}

}  // namespace

void EnsureConsole() {
  if (g_console_ready) return;
  g_console_ready = true;

  // "launcher --check > log.txt", "> nul" or a pipe from a script: keep
  // writing there. Only a process with no output at all gets a console.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (HasOutput(out)) return;

  if (!AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole()) return;

  // The C streams too, for anything that prints through them. Their
  // write-only handles replace the process's standard handles, so ours,
  // which the console functions accept, are bound after them.
  FILE* ignored = nullptr;
  ignored = freopen("CONOUT$", "w", stdout);
  ignored = freopen("CONOUT$", "w", stderr);
  ignored = freopen("CONIN$", "r", stdin);
  (void)ignored;
  BindStandardHandle(STD_OUTPUT_HANDLE, L"CONOUT$", GENERIC_READ | GENERIC_WRITE);
  BindStandardHandle(STD_ERROR_HANDLE, L"CONOUT$", GENERIC_READ | GENERIC_WRITE);
  BindStandardHandle(STD_INPUT_HANDLE, L"CONIN$", GENERIC_READ | GENERIC_WRITE);
}

void ConsoleWrite(const std::wstring& text) {
  if (text.empty()) return;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  // A console takes UTF-16 as it is; anything else (a file, a pipe, the
  // null device) gets UTF-8.
  if (GetFileType(out) == FILE_TYPE_CHAR &&
      WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
    return;
  }
  const std::string utf8 = common::WideToUtf8(text);
  WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

void ConsolePrintLine(const std::wstring& text) {
  EnsureConsole();
  ConsoleWrite(text + L'\n');
}

}  // namespace app
