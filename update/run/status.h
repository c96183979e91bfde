#pragma once
// What a run and its front-end share as it goes: status lines one way, a
// request to stop the other.
#include <functional>
#include <string>

#include "common/stop_signal.h"
#include "common/texts.h"

namespace update {

// One status line of a run: its text, its percent (-1 when it has none) and,
// while files download, the amounts, the speed and the time left
// ("120.5 of 265.0 MB  12.3 MB/s  21 s left"; empty otherwise).
struct StatusLine {
  std::wstring text;
  int percent = -1;
  std::wstring detail;
};
// May be empty. Called on the engine's (calling) thread.
using StatusFn = std::function<void(const StatusLine& line)>;

inline void Say(const StatusFn& status, const std::wstring& text, int percent = -1, const std::wstring& detail = L"") {
  if (status) status(StatusLine{text, percent, detail});
}

// Set from another thread to ask a run to stop: it ends at once wherever it
// waits (an answer, a back-off, another run's lock, a file being read), with
// ok false and StoppedText(), its staging files closed whole.
using CancelFlag = common::StopSignal;
inline const wchar_t* StoppedText() { return common::Tr(L"The update was stopped."); }

// The sentence that ends the text of a run that refused before it replaced
// anything, with the space before it. A text of its own, so that the reason
// can be told without it (playing the installed release).
inline std::wstring NothingChanged() { return L" " + std::wstring(common::Tr(L"Nothing was changed.")); }

inline bool Stopped(const CancelFlag* cancel) { return cancel != nullptr && cancel->load(); }

// Status lines of a long step come at most this often.
inline constexpr unsigned long kStatusIntervalMs = 250;

}  // namespace update
