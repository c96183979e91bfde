#pragma once
// The console front-end: the whole job in one pass, printed as it goes.
#include <string>

#include "app/options.h"

// Update, hand-off and Steam launch. Returns the exit code: 0 on success,
// 1 on a reported failure.
int RunConsole(const update::Options& options);

// The update engine's status callback for the console: a line with a
// percentage is rewritten in place (ends in a carriage return), a line
// without one ends the line.
void ConsoleStatus(const std::wstring& text, int percent);
