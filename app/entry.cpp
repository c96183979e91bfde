#include "app/entry.h"

#include <windows.h>

#include <cwchar>

#include "app/console.h"
#include "app/console_frontend.h"
#include "app/options.h"
#include "app/self_test.h"
#include "common/format.h"
#include "common/path.h"
#include "game/locator.h"
#include "ui/window.h"
#include "update/self_replace.h"
#include "webview/loader.h"

namespace app {

const wchar_t kRuntimeMissingMessage[] =
    L"Microsoft Edge WebView2 is not installed, so the launcher window cannot open.\n\n"
    L"The update will run in a console window instead. Installing the WebView2 runtime from "
    L"Microsoft brings the normal launcher back.";

const wchar_t kGameFolderHint[] =
    L"\n\nIf it is installed elsewhere, start the launcher with:\n"
    L"VelmoraMultiplayer.exe --game \"D:\\SteamLibrary\\steamapps\\common\\Velmora\"";

namespace {

const wchar_t kTitle[] = L"Velmora Multiplayer";

// Fills an empty game folder from the game locator and strips trailing
// backslashes. False, with the error text, when the game cannot be found.
bool ResolveGameFolder(update::Options& options, std::wstring& error) {
  if (options.game_dir.empty()) options.game_dir = game::FindGameFolder();
  if (options.game_dir.empty()) {
    error = L"Could not find Velmora. Is it installed through Steam?";
    return false;
  }
  common::StripTrailingBackslashes(options.game_dir);
  return true;
}

// A fatal start-up message in a message box (use_window) or on the
// console. Always returns 1, the exit code.
int ReportFatal(const std::wstring& message, bool use_window) {
  if (use_window) {
    MessageBoxW(nullptr, message.c_str(), kTitle, MB_OK | MB_ICONERROR);
  } else {
    ConsolePrint(L"\n  %s\n", message.c_str());
  }
  return 1;
}

}  // namespace

int RunLauncher(int argc, wchar_t** argv) {
  update::RemoveOldLauncher();

  if (argc == 4 && wcscmp(argv[1], L"--self-test") == 0) {
    return RunSelfTest(argv[2], argv[3]);
  }

  update::Options options = ParseOptions(argc, argv);

  std::wstring error;
  if (!ResolveGameFolder(options, error)) {
    return ReportFatal(error + kGameFolderHint, options.use_window);
  }

  if (options.use_window) {
    std::wstring box = kRuntimeMissingMessage;
    if (webview::IsRuntimeAvailable()) {
      const ui::WindowRun run = ui::Run(options);
      if (run.end == ui::WindowEnd::kClosed) return run.exit_code;
      // A runtime that is there but does not work: the same way on, with
      // the code for whoever helps the player.
      box += common::FormatWide(64, L"\n\n(web view error 0x%08lx)", static_cast<unsigned long>(run.failure));
    }
    MessageBoxW(nullptr, box.c_str(), kTitle, MB_OK | MB_ICONINFORMATION);
  }
  return RunConsole(options);
}

}  // namespace app
