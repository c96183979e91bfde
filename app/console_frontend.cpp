#include "app/console_frontend.h"

#include "app/console.h"
#include "common/format.h"
#include "game/handoff.h"
#include "update/engine.h"

namespace app {

namespace {

// The engine's status lines: a line with a percentage is rewritten in place
// (ends in a carriage return), a line without one ends the line.
void ConsoleStatus(const std::wstring& text, int percent) {
  if (percent >= 0) {
    ConsoleWrite(common::FormatWide(1024, L"    %s  %d%%\r", text.c_str(), percent));
  } else {
    ConsoleWrite(common::FormatWide(1024, L"  %s\n", text.c_str()));
  }
}

}  // namespace

int RunConsole(const update::Options& options) {
  EnsureConsole();
  ConsoleWrite(L"\n  Velmora MP launcher\n\n");
  ConsolePrint(L"  game: %s", options.game_dir.c_str());
  ConsolePrint(L"  channel: %s", options.channel.c_str());

  const update::Result result = update::RunUpdate(options, ConsoleStatus);
  if (!result.ok) {
    ConsolePrint(L"\n  %s\n", result.error.c_str());
    return 1;
  }
  if (result.launcher_updated) {
    ConsolePrint(L"\n  the launcher updated itself and restarted.");
    return 0;
  }

  ConsolePrint(L"\n  build: %s (protocol %d)", result.build.c_str(), result.protocol);
  if (!result.notes.empty()) ConsolePrint(L"  notes: %s", result.notes.c_str());

  if (options.check_only) {
    if (result.changed == 0) {
      ConsolePrint(L"\n  up to date.");
    } else {
      ConsolePrint(L"\n  %d file(s) would be updated.", result.changed);
    }
    return 0;
  }
  if (result.changed == 0) {
    ConsolePrint(L"\n  already up to date.");
  } else {
    ConsolePrint(L"\n  updated %d file(s).", result.changed);
  }

  std::wstring name = options.player_name;
  if (name.empty()) name = game::ReadSavedName(options.game_dir);
  if (name.empty()) name = L"Player";
  game::WriteHandoff(options.game_dir, result.server_host, result.server_port, name);
  ConsolePrint(L"  playing as %s", name.c_str());
  if (!options.launch) return 0;

  ConsolePrint(L"\n  starting the game through Steam...");
  if (game::LaunchGame()) {
    ConsolePrint(L"  the mod loads itself once the game is up. Have fun.");
    return 0;
  }
  ConsolePrint(L"\n  %s\n", L"Steam did not accept the launch request. Start Velmora from Steam yourself.");
  return 1;
}

}  // namespace app
