#pragma once
// The console front-end: the whole job in one pass, printed as it goes.
#include "update/run/options.h"

namespace app {

// Update, hand-off and Steam launch. Returns the exit code: 0 on success,
// 1 on a reported failure.
int RunConsole(const update::Options& options);

}  // namespace app
