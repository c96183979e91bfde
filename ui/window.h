#pragma once
// The window front-end: one borderless window filled with a web view that
// shows the launcher page.
#include <windows.h>

#include "update/options.h"

namespace ui {

// Runs the window until it closes. 0 after the message loop ends; 1 when
// the window cannot be created or the web view environment cannot even be
// requested.
int Run(update::Options options);

// Where the window goes: centred on the work area of the monitor under the
// mouse pointer (the primary monitor when it is on none).
POINT WindowPosition(const RECT& work_area);

constexpr int kWindowWidth = 1000;
constexpr int kWindowHeight = 680;
// What the page's messages carry as their source: the document we navigate
// to with NavigateToString. Messages from anywhere else are ignored.
extern const wchar_t kPageSource[];

}  // namespace ui
