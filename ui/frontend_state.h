#pragma once
// The window front-end's state, one instance per process. g_options and
// g_window are written on the window thread before any worker starts and
// only read afterwards; the rest is used on the window thread alone.
#include <windows.h>

#include <string>

#include "app/options.h"

namespace ui {

// Private window messages.
// wParam: a heap-allocated std::wstring holding one host message; the
// window procedure delivers it to the page and deletes it.
constexpr UINT WM_PAGE_JSON = WM_APP + 1;
// Posted after Steam accepted the launch: the window closes itself.
constexpr UINT WM_GAME_STARTED = WM_APP + 2;

// Never destroyed: detached workers read it until the process is gone,
// also while the exit-time destructors run.
extern update::Options& g_options;
extern std::wstring g_player_name;
extern HWND g_window;

// Hands one host message to the window thread for the page. Any thread.
// Dropped while there is no window; freed here when it cannot be posted.
void PostToPage(const std::wstring& json);

}  // namespace ui
