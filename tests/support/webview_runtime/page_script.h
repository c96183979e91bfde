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
  explicit PageScript(Deliver deliver) : deliver_(std::move(deliver)) {}

  void Start();  // the first call loads and starts the script; later ones do nothing
  void OnHostMessage(const std::wstring& json);
  void Stop();

 private:
  void Next();
  void Schedule();
  bool FindAfterCursor(const std::wstring& text);

  Deliver deliver_;
  bool started_ = false;
  bool stopped_ = false;
  std::vector<std::wstring> steps_;
  size_t next_step_ = 0;
  std::vector<std::wstring> host_messages_;
  size_t cursor_ = 0;
  std::wstring waiting_for_;
  bool waiting_ = false;
  unsigned long long timer_ = 0;
};

}  // namespace stand_in
