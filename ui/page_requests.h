#pragma once
// What the host does with the page's messages: the update and server-list
// workers (with the ping of the listed servers), favourites, recent servers
// and Play. Runs with or without a real web view: everything goes to the
// page through PostToPage and the window's message queue.
#include <string>

#include "ui/frontend.h"

namespace ui {

// One page message (its JSON text); runs on the window thread. Unknown
// types and text that is not a JSON object with a "type" are ignored.
// Whatever the page sends is checked before it is used.
void HandleWebMessage(Frontend& frontend, const std::wstring& json);

// Whether an update or a replacement of the launcher runs (or ran: a
// replaced launcher only waits to close). Window thread.
bool UpdateRunning(const Frontend& frontend);

// For a closing window: asks a running update to stop at its next chunk
// and stops the ping reports; nothing is started afterwards. Window thread.
void StopWorkers(Frontend& frontend);

// Waits up to wait_ms for a running update to end, its staging files
// closed. True when no update runs any more. Window thread.
bool WaitForUpdate(Frontend& frontend, unsigned long wait_ms);

// How long a closing window waits for an update to stop. A stop reaches a
// run within moments wherever it waits, so this only bounds a wait that
// nothing foresaw.
inline constexpr unsigned long kUpdateStopWaitMs = 60000;
// How long a window waits for it when Windows ends the session, which
// gives every program a few seconds.
inline constexpr unsigned long kSessionEndWaitMs = 4000;

}  // namespace ui
