#pragma once
// What the window front-end's page requests work with, and the one way from
// any thread to the page: a private window message carrying owned text.
#include <windows.h>

#include <memory>
#include <string>

#include "ui/player_state.h"
#include "update/run/options.h"

namespace ui {

// Private window messages.
// wParam: a heap-allocated std::wstring holding one host message; the
// window procedure delivers it to the page and deletes it.
constexpr UINT WM_PAGE_JSON = WM_APP + 1;
// Posted after Steam accepted the launch: the window closes itself.
constexpr UINT WM_GAME_STARTED = WM_APP + 2;

// What the window thread shares with its workers (page_requests.cpp).
struct Workers;

struct Frontend {
  // Shared with the workers, which may outlive the window: never written
  // once the first worker has started.
  std::shared_ptr<const update::Options> options;
  // Target of every post; set before any worker starts.
  HWND window = nullptr;
  // Used on the window thread only.
  std::wstring player_name;
  // Made by the first page message; every worker holds its own reference.
  std::shared_ptr<Workers> workers;
  // Favourites and recent servers, read from player_path by the first page
  // message that needs them. Window thread only.
  PlayerState player;
  std::wstring player_path;
  bool player_loaded = false;
  bool player_unreadable = false;  // told to the page once, at "ready"
  // Changes that could not be written: made again before the next one, so
  // that they last until the launcher closes.
  std::vector<PlayerChange> unsaved;
  // How many refreshes were started; each is known by its number. Window
  // thread only.
  unsigned refreshes = 0;
  // How many updates were started. Window thread only.
  unsigned runs = 0;
};

// Hands one host message to the window thread for the page. Any thread.
// Dropped while there is no window; freed here when it cannot be posted.
void PostToPage(HWND window, const std::wstring& json);

}  // namespace ui
