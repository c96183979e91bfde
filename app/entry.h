#pragma once
// The program's start: choosing the mode and completing the options.
#include <string>

#include "app/options.h"

// The whole run for a split command line; the result is the exit code.
int RunLauncher(int argc, wchar_t** argv);

// Fills an empty game folder from the game locator and strips trailing
// backslashes. False, with the error text, when the game cannot be found.
bool ResolveGameFolder(update::Options& options, std::wstring& error);

// Shows a fatal start-up message in a message box (use_window) or on the
// console. Always returns 1, the exit code.
int ReportFatal(const std::wstring& message, bool use_window);

// The text of the box shown when the web view runtime is missing.
extern const wchar_t kRuntimeMissingMessage[];
// The hint appended to the game-folder error.
extern const wchar_t kGameFolderHint[];
