#pragma once
// The console front-end: the whole job in one pass, printed as it goes.
#include "app/options.h"

// Returns the exit code: 0 on success, 1 on a reported failure.
int RunConsole(const update::Options& options);
