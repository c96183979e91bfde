#include "app/console_frontend.h"

#include "app/console.h"

// Start-up part of the console run; the update, hand-off and launch steps
// join it as they are built.
int RunConsole(const update::Options& options) {
  EnsureConsole();
  ConsoleWrite(L"\n  Velmora MP launcher\n\n");
  ConsolePrint(L"  game: %s", options.game_dir.c_str());
  ConsolePrint(L"  channel: %s", options.channel.c_str());
  return 0;
}
