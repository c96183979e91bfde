#include <map>

#include "tests/support/webview_runtime/stand_in.h"

namespace stand_in {
namespace {

const UINT kRunWork = WM_APP + 1;
thread_local HWND t_window = nullptr;
thread_local std::map<UINT_PTR, std::function<void()>>* t_timers = nullptr;
thread_local UINT_PTR t_next_timer = 1;

LRESULT CALLBACK DispatcherProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kRunWork) {
    std::unique_ptr<std::function<void()>> work(reinterpret_cast<std::function<void()>*>(wparam));
    (*work)();
    return 0;
  }
  if (message == WM_TIMER && t_timers != nullptr) {
    KillTimer(window, wparam);
    auto found = t_timers->find(wparam);
    if (found == t_timers->end()) return 0;
    std::function<void()> work = std::move(found->second);
    t_timers->erase(found);
    work();
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

void InitDispatcher() {
  if (t_window != nullptr) return;
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = DispatcherProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = L"velmora_stand_in_runtime";
  RegisterClassW(&window_class);
  t_window = CreateWindowExW(0, window_class.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             window_class.hInstance, nullptr);
  t_timers = new std::map<UINT_PTR, std::function<void()>>();
}

void Post(std::function<void()> work) {
  auto* item = new std::function<void()>(std::move(work));
  if (t_window == nullptr || !PostMessageW(t_window, kRunWork, reinterpret_cast<WPARAM>(item), 0)) {
    Log("stand-in: cannot post to the window thread");
    delete item;
  }
}

UINT_PTR After(UINT delay_ms, std::function<void()> work) {
  if (t_window == nullptr) return 0;
  UINT_PTR id = t_next_timer++;
  (*t_timers)[id] = std::move(work);
  SetTimer(t_window, id, delay_ms, nullptr);
  return id;
}

void CancelTimer(UINT_PTR id) {
  if (t_window == nullptr || id == 0) return;
  KillTimer(t_window, id);
  t_timers->erase(id);
}

}  // namespace stand_in
