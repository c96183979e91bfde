#pragma once
// What the host does with the page's messages: the update and server-list
// workers, and Play. Runs with or without a real web view: everything goes
// to the page through PostToPage and the window's message queue.
#include <string>

namespace ui {

// One page message (its JSON text); runs on the window thread. Unknown
// types and text that is not a JSON object with a "type" are ignored.
void HandleWebMessage(const std::wstring& json);

// Posts a status message (busy < 0 leaves "busy" out). Any thread.
void PostStatus(const std::wstring& text, int percent, bool bad, bool good, int busy);

// Start one detached worker each and return at once.
void StartUpdate();
void StartRefresh();

// The refresh worker's body: fetch the list and post it (or the failure).
void RefreshServers();

// Refuses while the game runs; otherwise writes the hand-off, asks Steam,
// and closes the window once Steam accepted.
void Play(const std::wstring& host, int port, const std::wstring& name);

}  // namespace ui
