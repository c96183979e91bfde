#pragma once
// The program's start: choosing the mode and completing the options.

namespace app {

// The whole run for a split command line; the result is the exit code.
int RunLauncher(int argc, wchar_t** argv);

// The text of the box shown when the web view runtime is missing.
extern const wchar_t kRuntimeMissingMessage[];
// The hint appended to the game-folder error.
extern const wchar_t kGameFolderHint[];

}  // namespace app
