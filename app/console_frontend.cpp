#include "app/console_frontend.h"

#include <exception>
#include <new>

#include "app/console.h"
#include "common/format.h"
#include "common/log.h"
#include "common/texts.h"
#include "game/handoff.h"
#include "update/engine.h"

namespace app {

namespace {

// The engine's status lines: a line with a percentage is rewritten in place
// (ends in a carriage return), padded over what a longer line before it
// left; a line without one ends the line.
class ConsoleStatus {
 public:
  void operator()(const update::StatusLine& line) {
    if (line.percent >= 0) {
      std::wstring text = common::FormatWide(1024, L"    %s  %d%%", line.text.c_str(), line.percent);
      if (!line.detail.empty()) text += L"  " + line.detail;
      const size_t length = text.size();
      if (length < last_length_) text.append(last_length_ - length, L' ');
      last_length_ = length;
      ConsoleWrite(text + L"\r");
    } else {
      last_length_ = 0;
      ConsoleWrite(common::FormatWide(1024, L"  %s\n", line.text.c_str()));
    }
  }

 private:
  size_t last_length_ = 0;
};

// A failure, and where the log of the run is for whoever looks into it.
int Failed(const std::wstring& text) {
  const std::wstring log = common::LogPath();
  if (log.empty()) {
    ConsolePrint(L"\n  %s\n", text.c_str());
  } else {
    ConsolePrint(L"\n  %s\n  %s\n", text, common::TrF(L"The launcher's log: %s", log));
  }
  common::Log(L"console: %s", text.c_str());
  return 1;
}

update::Result Update(const update::Options& options) {
  ConsoleStatus status;
  try {
    return update::RunUpdate(options, [&status](const update::StatusLine& line) { status(line); });
  } catch (const std::bad_alloc&) {
    update::Result result;
    result.error = common::Tr(L"The update could not be completed: the launcher ran out of memory.");
    return result;
  } catch (const std::exception& e) {
    update::Result result;
    result.error = common::TrF(L"The update could not be completed: an internal error stopped it (%s).",
                               common::FormatWide(256, L"%hs", e.what()));
    return result;
  }
}

}  // namespace

int RunConsole(const update::Options& options) {
  EnsureConsole();
  ConsoleWrite(common::FormatWide(256, L"\n  %s\n\n", common::Tr(L"Velmora MP launcher")));
  ConsolePrint(L"  %s", common::TrF(L"game: %s", options.game_dir));
  ConsolePrint(L"  %s", common::TrF(L"channel: %s", options.channel));
  for (const std::wstring& notice : options.notices) ConsolePrint(L"  %s", notice);

  const update::Result result = Update(options);
  for (const std::wstring& notice : result.notices) ConsolePrint(L"  %s", notice);
  if (!result.ok) return Failed(result.error);
  if (result.launcher_updated) {
    ConsolePrint(L"\n  %s", common::Tr(L"the launcher updated itself and restarted."));
    return 0;
  }

  ConsolePrint(L"\n  %s", common::TrF(L"build: %s (protocol %d)", result.build, result.protocol));
  if (!result.notes.empty()) ConsolePrint(L"  %s", common::TrF(L"notes: %s", result.notes));

  if (options.check_only) {
    if (result.changed == 0 && result.removed == 0) {
      ConsolePrint(L"\n  %s", common::Tr(L"up to date."));
    } else {
      ConsolePrint(L"\n  %s",
                   common::TrN(result.changed, L"%s file would be updated (%s to download).",
                               L"%s files would be updated (%s to download).", common::FormatCount(result.changed),
                               common::FormatSize(result.download_bytes)));
    }
    if (result.removed > 0) {
      ConsolePrint(L"  %s", common::TrN(result.removed, L"%s file the release no longer has would be removed.",
                                        L"%s files the release no longer has would be removed.",
                                        common::FormatCount(result.removed)));
    }
    return 0;
  }
  if (result.offline) {
    ConsolePrint(L"\n  %s", result.offline_text);
  } else if (result.changed == 0 && result.removed == 0) {
    ConsolePrint(L"\n  %s", common::Tr(L"already up to date."));
  } else {
    ConsolePrint(L"\n  %s", common::TrN(result.changed, L"updated %s file.", L"updated %s files.",
                                        common::FormatCount(result.changed)));
  }
  if (result.removed > 0) {
    ConsolePrint(L"  %s",
                 common::TrN(result.removed, L"removed %s file the release no longer has.",
                             L"removed %s files the release no longer has.", common::FormatCount(result.removed)));
  }

  std::wstring name = options.player_name;
  if (name.empty()) name = game::ReadSavedName(options.game_dir);
  // The name other players see in the game: the same in every language.
  if (name.empty()) name = L"Player";
  std::wstring problem;
  if (!game::CheckHandoff(result.server_host, result.server_port, name, problem)) return Failed(problem);
  if (!game::WriteHandoff(options.game_dir, result.server_host, result.server_port, name)) {
    return Failed(common::Tr(L"Could not write the hand-off file into the game folder."));
  }
  ConsolePrint(L"  %s", common::TrF(L"playing as %s", name));
  if (!options.launch) return 0;

  ConsolePrint(L"\n  %s", common::Tr(L"starting the game through Steam..."));
  if (game::LaunchGame()) {
    common::Log(L"play: %s:%d, Steam accepted the launch", result.server_host.c_str(), result.server_port);
    ConsolePrint(L"  %s", common::Tr(L"the mod loads itself once the game is up. Have fun."));
    return 0;
  }
  common::Log(L"play: %s:%d, Steam refused the launch", result.server_host.c_str(), result.server_port);
  return Failed(common::Tr(L"Steam did not accept the launch request. Start Velmora from Steam yourself."));
}

}  // namespace app
