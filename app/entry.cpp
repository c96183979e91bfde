#include "app/entry.h"

#include <windows.h>

#include <cwchar>

#include "app/console.h"
#include "app/console_frontend.h"
#include "app/options.h"
#include "app/self_test.h"
#include "common/format.h"
#include "common/log.h"
#include "common/path.h"
#include "common/texts.h"
#include "common/timing.h"
#include "game/locator.h"
#include "ui/window.h"
#include "update/disk/self_replace.h"
#include "velmora_version.h"
#include "webview/loader.h"

namespace app {

const wchar_t* RuntimeMissingMessage() {
  return common::Tr(
      L"Microsoft Edge WebView2 is not installed, so the launcher window cannot open.\n\n"
      L"The update will run in a console window instead. Installing the WebView2 runtime from "
      L"Microsoft brings the normal launcher back.");
}

// The command line stays out of the text: it is typed as it is.
std::wstring GameFolderHint() {
  return common::TrF(L"If it is installed elsewhere, start the launcher with:\n%s",
                     L"VelmoraMultiplayer.exe --game \"D:\\SteamLibrary\\steamapps\\common\\Velmora\"");
}

namespace {

const wchar_t* Title() { return common::Tr(L"Velmora Multiplayer"); }

// Fills an empty game folder from the game locator and strips trailing
// backslashes. False, with the error text, when the game cannot be found,
// or the folder the options name does not exist (a typo must not become a
// new folder with the mod in it); one without the game is used all the
// same, with a note.
bool ResolveGameFolder(update::Options& options, std::wstring& error) {
  const bool named = !options.game_dir.empty();
  if (!named) options.game_dir = game::FindGameFolder();
  if (options.game_dir.empty()) {
    error = std::wstring(common::Tr(L"Could not find Velmora. Is it installed through Steam?")) + L"\n\n" +
            GameFolderHint();
    common::Log(L"game folder: not found through Steam");
    return false;
  }
  common::StripTrailingBackslashes(options.game_dir);
  if (named) {
    const DWORD attributes = GetFileAttributesW(common::LongPathForm(common::AbsolutePath(options.game_dir)).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      error = common::TrF(L"The game folder %s does not exist. Check --game or [game] path.", options.game_dir);
      common::Log(L"game folder: %s does not exist (win32 %lu)", options.game_dir, GetLastError());
      return false;
    }
    if (!common::IsFile(options.game_dir + L"\\Velmora.exe")) {
      options.notices.push_back(common::TrF(
          L"The game folder %s holds no Velmora.exe; the mod is installed there all the same.", options.game_dir));
      common::Log(L"game folder: %s holds no Velmora.exe", options.game_dir);
    }
  }
  common::Log(L"game folder: %s (%s)", options.game_dir.c_str(),
              named ? L"as the options name it" : L"found through Steam");
  return true;
}

// The arguments as the log keeps them: a player name is left out.
std::wstring LoggedArguments(int argc, wchar_t** argv) {
  std::wstring text;
  for (int i = 1; i < argc; ++i) {
    const bool name = i > 1 && wcscmp(argv[i - 1], L"--name") == 0;
    text += name ? L" (a name)" : L" \"" + std::wstring(argv[i] ? argv[i] : L"") + L"\"";
  }
  return text;
}

// What the log says of a start: the options and where each came from.
void LogSettings(const Settings& settings) {
  const update::Options& o = settings.options;
  for (const auto& source : settings.sources) {
    std::wstring value;
    if (source.first == L"base_url") value = o.base_url;
    if (source.first == L"channel") value = o.channel;
    if (source.first == L"list_url") value = o.list_url;
    if (source.first == L"game_dir") value = o.game_dir.empty() ? L"(ask Steam)" : o.game_dir;
    if (source.first == L"language") value = settings.language;
    if (source.first == L"connections") value = std::to_wstring(o.connections);
    if (source.first == L"chunks") value = o.use_chunks ? L"on" : L"off";
    if (source.first == L"max_speed") value = std::to_wstring(o.max_speed_kib) + L" KiB/s";
    if (source.first == L"mirrors") value = std::to_wstring(settings.ini_mirrors.size()) + L" from launcher.ini";
    common::Log(L"option %s = %s (%s)", source.first.c_str(), value.c_str(), source.second.c_str());
  }
  for (const std::wstring& mirror : o.mirrors) common::Log(L"option mirror %s", mirror);
  for (const std::wstring& note : settings.notes) common::Log(L"option: %s", note);
  // The player's name is not written down: only whether one was given.
  common::Log(L"option name %s, launch %s, dry run %s, window %s, verify %s, chunks %s",
              o.player_name.empty() ? L"not given" : L"given", o.launch ? L"yes" : L"no", o.check_only ? L"yes" : L"no",
              o.use_window ? L"yes" : L"no", o.verify ? L"yes" : L"no", o.use_chunks ? L"yes" : L"no");
}

// A fatal start-up message in a message box (use_window) or on the
// console. Always returns 1, the exit code.
int ReportFatal(const std::wstring& message, bool use_window) {
  if (use_window) {
    MessageBoxW(nullptr, message.c_str(), Title(), MB_OK | MB_ICONERROR);
  } else if (common::LogPath().empty()) {
    ConsolePrint(L"\n  %s\n", message.c_str());
  } else {
    ConsolePrint(L"\n  %s\n  %s\n", message, common::TrF(L"The launcher's log: %s", common::LogPath()));
  }
  return 1;
}

}  // namespace

int RunLauncher(int argc, wchar_t** argv) {
  common::TimingFromEnvironment();
  // Before anything else: a self-update cut off by a crash is put right.
  update::FinishSelfUpdate();
  const bool restarted = update::StartedBySelfUpdate();

  // Any use of --self-test but its exact form is a mistake that must not
  // become a normal run, which would update the game and start it. A normal
  // run's language is chosen with its settings; the self-test's here.
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && wcscmp(argv[i], L"--self-test") == 0) {
      (void)ChooseLanguage(argc, argv);
      return argc == 4 && i == 1 ? RunSelfTest(argv[2], argv[3]) : SelfTestUsage();
    }
  }

  Settings settings = ReadSettings(argc, argv);
  common::OpenLog(settings.log_file);
  update::Options& options = settings.options;
  options.restarted = restarted;
  common::Log(L"start: launcher %s (release %d)%s, mode %s, arguments:%s", VELMORA_VERSION_WTEXT,
              VELMORA_LAUNCHER_RELEASE, restarted ? L", started by its own update" : L"",
              options.check_only ? L"dry run" : (options.use_window ? L"window" : L"console"),
              LoggedArguments(argc, argv).c_str());
  LogSettings(settings);

  std::wstring error;
  if (!ResolveGameFolder(options, error)) return ReportFatal(error, options.use_window);

  if (options.use_window) {
    std::wstring box = RuntimeMissingMessage();
    if (webview::IsRuntimeAvailable()) {
      const ui::WindowRun run = ui::Run(options);
      if (run.end == ui::WindowEnd::kClosed) return run.exit_code;
      // A runtime that is there but does not work: the same way on, with
      // the code for whoever helps the player.
      box += L"\n\n" + common::TrF(L"(web view error 0x%08lx)", static_cast<unsigned long>(run.failure));
    }
    MessageBoxW(nullptr, box.c_str(), Title(), MB_OK | MB_ICONINFORMATION);
  }
  return RunConsole(options);
}

}  // namespace app
