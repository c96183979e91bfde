#pragma once
// Console plumbing shared by the console front-end and the self-test.
#include <string>

#include "common/format.h"

namespace app {

// Makes sure the program's standard output goes somewhere. Output already
// redirected to a file or a pipe is kept as it is; otherwise the parent's
// console is attached, or a new one made. Tried once per process.
void EnsureConsole();

// Writes text to standard output as it is (no line break added). A real
// console gets UTF-16 so every character shows; a file or pipe gets UTF-8.
// Output is dropped silently when there is nowhere to write.
void ConsoleWrite(const std::wstring& text);

// EnsureConsole, then writes text with one line break.
void ConsolePrintLine(const std::wstring& text);

// Formats like common::FormatWide into 1024 characters, cutting at 1023,
// and prints it as a line.
template <typename... Args>
void ConsolePrint(common::format_detail::FormatFor<Args...> format, const Args&... args) {
  ConsolePrintLine(common::FormatWide(1024, format, args...));
}

}  // namespace app
