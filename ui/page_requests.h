#pragma once
// What the host does with the page's messages: the update and server-list
// workers, and Play. Runs with or without a real web view: everything goes
// to the page through PostToPage and the window's message queue.
#include <string>

#include "ui/frontend.h"

namespace ui {

// One page message (its JSON text); runs on the window thread. Unknown
// types and text that is not a JSON object with a "type" are ignored.
void HandleWebMessage(Frontend& frontend, const std::wstring& json);

}  // namespace ui
