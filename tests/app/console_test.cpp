// Console output: a real console shows every character, and the line
// formatting keeps to its 1023-character limit.
#include <gtest/gtest.h>

#include <windows.h>
#include <io.h>

#include <cstdio>

#include "app/console.h"
#include "common/format.h"
#include "tests/support/harness.h"

namespace {

// In a child of this program (VELMORA_CONSOLE_CHILD set) only: it takes
// the process off its redirected output so that a console is attached or
// made, and making one can hang under Wine now and then.
TEST(ConsoleTest, RealConsoleShowsNonAsciiText) {
  if (GetEnvironmentVariableW(L"VELMORA_CONSOLE_CHILD", nullptr, 0) == 0) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SetEnvironmentVariableW(L"VELMORA_CONSOLE_CHILD", L"1");
    // A hang is the platform's (it makes the console): once more, then failed.
    harness::RunResult r;
    for (int attempt = 0; attempt < 2 && (attempt == 0 || r.timed_out); ++attempt) {
      r = harness::RunProcess(self, {L"--gtest_filter=ConsoleTest.RealConsoleShowsNonAsciiText"}, L"", 30000);
    }
    SetEnvironmentVariableW(L"VELMORA_CONSOLE_CHILD", nullptr);
    ASSERT_TRUE(r.started);
    EXPECT_FALSE(r.timed_out) << "making a console hung twice";
    EXPECT_EQ(r.exit_code, 0u) << r.output;
    return;
  }
  // Keep this program's own report: the console set-up rebinds the streams.
  HANDLE report = GetStdHandle(STD_OUTPUT_HANDLE);
  fflush(stdout);
  int saved_fd = _dup(_fileno(stdout));

  SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
  FreeConsole();
  app::ConsolePrint(L"  game: %s", L"C:\\Users\\\x0141ukasz\\\x00e9t\x00e9");

  std::wstring shown;
  bool have_console = false;
  HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (out != INVALID_HANDLE_VALUE && GetConsoleScreenBufferInfo(out, &info)) {
    have_console = true;
    // The line just written is the one above the cursor.
    wchar_t cells[64] = {};
    DWORD read = 0;
    COORD at = {0, static_cast<SHORT>(info.dwCursorPosition.Y - 1)};
    ReadConsoleOutputCharacterW(out, cells, 27, at, &read);
    shown.assign(cells, read);
  }
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);

  fflush(stdout);
  _dup2(saved_fd, _fileno(stdout));
  SetStdHandle(STD_OUTPUT_HANDLE, report);

  ASSERT_TRUE(have_console) << "no console was attached or made";
  EXPECT_EQ(shown, L"  game: C:\\Users\\\x0141ukasz\\\x00e9t\x00e9");
}

TEST(FormatTest, WideConventionsAndTheBufferLimit) {
  EXPECT_EQ(common::FormatWide(1024, L"%s|%d|%zu|%llu|%lu%%", L"w\x0141", -3, size_t{7}, 12345678901234ULL, 42ul),
            L"w\x0141|-3|7|12345678901234|42%");
  std::wstring long_text(2000, L'x');
  EXPECT_EQ(common::FormatWide(1024, L"\n  %s\n", long_text.c_str()).size(), 1023u);
  EXPECT_EQ(common::FormatWide(8, L"%s", L"abcdefghij"), L"abcdefg");
}

}  // namespace
