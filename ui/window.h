#pragma once
// The window front-end: a borderless window hosting the launcher page.
#include "app/options.h"

namespace ui {

// Runs the window until it closes; the result is the exit code.
int Run(update::Options options);

}  // namespace ui
