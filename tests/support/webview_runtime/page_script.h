#pragma once
// The page's side of a run, read from the file named by
// VELMORA_WEBVIEW_SCRIPT (UTF-8, one step a line), played once the first
// page has been navigated to. Steps:
//   {"type":"ready"}              a page message from the navigated document
//   from <uri> {"type":"play"}    a page message from another document
//   sleep <ms>                    wait that long
//   wait-for <text>               wait for a host message containing <text>
//                                 (each wait looks only at host messages after
//                                 the one that ended the previous wait); gives
//                                 up, ending the script, after 30 s
//   wait-seen <text>              the same over every host message so far
//                                 (for answers that come in any order)
//   wait-percent <n>              wait, as wait-for does, for a status of at
//                                 least n percent
//   wait-file <path>              wait until that file exists (a test's
//                                 own step done); gives up as wait-for does
//   process-failed <kind>         the runtime raises ProcessFailed with that
//                                 COREWEBVIEW2_PROCESS_FAILED_KIND (0: the
//                                 browser process exited and the web view is
//                                 closed; the script ends there)
//   dpi-changed <dpi> <left> <top> <right> <bottom>
//                                 sends WM_DPICHANGED with that suggested
//                                 rectangle to this thread's top-level window,
//                                 as Windows does when it moves to a monitor
//                                 of another scale
//   # comment, or a blank line
// Each step runs from the window thread's message loop, one per turn.
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace stand_in {

class PageScript : public std::enable_shared_from_this<PageScript> {
 public:
  // deliver(source, json); source empty means the navigated document.
  using Deliver = std::function<void(const std::wstring& source, const std::wstring& json)>;
  using ProcessFailed = std::function<void(int kind)>;
  PageScript(Deliver deliver, ProcessFailed process_failed)
      : deliver_(std::move(deliver)), process_failed_(std::move(process_failed)) {}

  void Start();  // the first call loads and starts the script; later ones do nothing
  void OnHostMessage(const std::wstring& json);
  void Stop();

 private:
  void Next();
  void Schedule();
  bool Matches(const std::wstring& message, const std::wstring& text) const;
  void WaitForFile(const std::wstring& path, unsigned long since);
  bool FindAfterCursor(const std::wstring& text);

  Deliver deliver_;
  ProcessFailed process_failed_;
  bool started_ = false;
  bool stopped_ = false;
  std::vector<std::wstring> steps_;
  size_t next_step_ = 0;
  std::vector<std::wstring> host_messages_;
  size_t cursor_ = 0;
  std::wstring waiting_for_;
  int waiting_percent_ = -1;  // a wait-percent: the least percent waited for
  bool waiting_ = false;
  unsigned long long timer_ = 0;
};

}  // namespace stand_in
