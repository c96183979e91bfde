#pragma once
// The window front-end: one borderless window filled with a web view that
// shows the launcher page.
#include <windows.h>

#include "update/run/options.h"

namespace ui {

// How a window run ended.
enum class WindowEnd {
  kClosed,      // the player closed it, Play went ahead, or the launcher was replaced
  kUseConsole,  // the web view failed: the window is gone, and the caller continues in the console front-end
};

struct WindowRun {
  WindowEnd end = WindowEnd::kClosed;
  int exit_code = 0;       // with kClosed
  HRESULT failure = S_OK;  // with kUseConsole: what failed, for the player's information box
};

// Runs the window until it closes, or until the web view fails: it could
// not be made (the window itself, the environment or the controller, at
// once or later), the page could not be loaded, or the runtime's processes
// failed twice while the page was up (the first time the page is loaded
// again). Every failure is logged with its result code. A running update is
// asked to stop and waited for (about 5 s) before this returns.
WindowRun Run(update::Options options);

constexpr int kWindowWidth = 1000;  // device-independent units (1/96 inch)
constexpr int kWindowHeight = 680;
constexpr UINT kBaseDpi = 96;  // 100 %

// Where the window goes: centred on the work area of the monitor under the
// mouse pointer (the primary monitor when it is on none), at its size for
// that monitor's dpi.
POINT WindowPosition(const RECT& work_area, UINT dpi = kBaseDpi);

// The dpi of the monitor a window is on; 96 where the system cannot tell.
UINT DpiOf(HWND window);
// What the page's messages carry as their source: the document we navigate
// to with NavigateToString. Messages from anywhere else are ignored.
extern const wchar_t kPageSource[];

}  // namespace ui
