#pragma once
// The program's start: choosing the mode and completing the options.
#include <string>

namespace app {

// The whole run for a split command line; the result is the exit code.
int RunLauncher(int argc, wchar_t** argv);

// The text of the box shown when the web view runtime is missing, in the
// player's language.
const wchar_t* RuntimeMissingMessage();
// The hint that follows the game-folder error, after a blank line.
std::wstring GameFolderHint();

}  // namespace app
