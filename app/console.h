#pragma once
// Console plumbing shared by the console front-end and the self-test.
#include <string>

namespace app {

// Makes sure the program's standard output goes somewhere. Output already
// redirected to a file or a pipe is kept as it is; otherwise the parent's
// console is attached, or a new one made. Tried once per process.
void EnsureConsole();

// Writes text to standard output as it is (no line break added). A real
// console gets UTF-16 so every character shows; a file or pipe gets UTF-8.
// Output is dropped silently when there is nowhere to write.
void ConsoleWrite(const std::wstring& text);

// EnsureConsole, then formats (wide printf conventions, "%s" is wide text)
// into 1024 characters, cutting at 1023, and writes it with one line break.
void ConsolePrint(const wchar_t* format, ...);

}  // namespace app
