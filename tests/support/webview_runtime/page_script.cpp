#include "tests/support/webview_runtime/page_script.h"

#include <windows.h>

#include <cwchar>

#include "tests/support/webview_runtime/stand_in.h"

namespace stand_in {
namespace {

const UINT kWaitLimitMs = 30000;

std::wstring Trimmed(const std::wstring& text) {
  size_t begin = text.find_first_not_of(L" \t\r\n");
  if (begin == std::wstring::npos) return std::wstring();
  size_t end = text.find_last_not_of(L" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string ReadFileBytes(const std::wstring& path) {
  std::string bytes;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

// The first visible top-level window of the thread: the launcher's.
BOOL CALLBACK FindTopWindow(HWND candidate, LPARAM found) {
  if (GetParent(candidate) != nullptr || !IsWindowVisible(candidate)) return TRUE;
  *reinterpret_cast<HWND*>(found) = candidate;
  return FALSE;
}

}  // namespace

void PageScript::Start() {
  if (started_) return;
  started_ = true;
  std::wstring path = EnvironmentValue(L"VELMORA_WEBVIEW_SCRIPT");
  if (path.empty()) return;
  std::wstring text = Wide(ReadFileBytes(path));
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(L'\n', at);
    if (end == std::wstring::npos) end = text.size();
    std::wstring step = Trimmed(text.substr(at, end - at));
    if (!step.empty() && step[0] != L'#') steps_.push_back(step);
    at = end + 1;
  }
  Log("Page.script " + std::to_string(steps_.size()) + " steps");
  Schedule();
}

void PageScript::Stop() {
  stopped_ = true;
  if (timer_ != 0) CancelTimer(static_cast<UINT_PTR>(timer_));
  timer_ = 0;
}

void PageScript::Schedule() {
  std::weak_ptr<PageScript> self = weak_from_this();
  Post([self]() {
    if (auto script = self.lock()) script->Next();
  });
}

// A host message the wait is for: one containing the text, or for a
// percent wait, a status at least that far.
bool PageScript::Matches(const std::wstring& message, const std::wstring& text) const {
  if (waiting_percent_ < 0) return message.find(text) != std::wstring::npos;
  const size_t at = message.find(L"\"percent\":");
  return at != std::wstring::npos && wcstol(message.c_str() + at + 10, nullptr, 10) >= waiting_percent_;
}

bool PageScript::FindAfterCursor(const std::wstring& text) {
  for (size_t i = cursor_; i < host_messages_.size(); ++i) {
    if (Matches(host_messages_[i], text)) {
      cursor_ = i + 1;
      return true;
    }
  }
  cursor_ = host_messages_.size();
  return false;
}

void PageScript::OnHostMessage(const std::wstring& json) {
  host_messages_.push_back(json);
  if (!waiting_ || stopped_) return;
  if (!FindAfterCursor(waiting_for_)) return;
  waiting_ = false;
  CancelTimer(static_cast<UINT_PTR>(timer_));
  timer_ = 0;
  Log(L"Page.script waited for " + waiting_for_);
  // The page reacts later, never inside the host's own call.
  Schedule();
}

// Looks again each turn of a short timer: a file has no event to wait on here.
void PageScript::WaitForFile(const std::wstring& path, unsigned long since) {
  if (stopped_) return;
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    Log(L"Page.script waited for " + path);
    Schedule();
    return;
  }
  if (GetTickCount() - since > kWaitLimitMs) {
    Log(L"Page.script gave up waiting for " + path);
    Stop();
    return;
  }
  std::weak_ptr<PageScript> self = weak_from_this();
  timer_ = After(10, [self, path, since]() {
    if (auto script = self.lock()) {
      script->timer_ = 0;
      script->WaitForFile(path, since);
    }
  });
}

void PageScript::Next() {
  if (stopped_ || waiting_) return;
  if (next_step_ >= steps_.size()) {
    Log("Page.script done");
    stopped_ = true;
    return;
  }
  std::wstring step = steps_[next_step_++];
  std::weak_ptr<PageScript> self = weak_from_this();

  if (StartsWith(step, L"sleep ")) {
    UINT ms = static_cast<UINT>(wcstoul(step.c_str() + 6, nullptr, 10));
    timer_ = After(ms, [self]() {
      if (auto script = self.lock()) {
        script->timer_ = 0;
        script->Next();
      }
    });
    return;
  }
  if (StartsWith(step, L"wait-file ")) {
    WaitForFile(step.substr(10), GetTickCount());
    return;
  }
  if (StartsWith(step, L"wait-seen ")) {
    // The same wait over every host message so far: workers answer in any order.
    cursor_ = 0;
    step = L"wait-for " + step.substr(10);
  }
  waiting_percent_ = -1;
  if (StartsWith(step, L"wait-percent ")) {
    waiting_percent_ = static_cast<int>(wcstol(step.c_str() + 13, nullptr, 10));
    step = L"wait-for " + step;
  }
  if (StartsWith(step, L"wait-for ")) {
    waiting_for_ = step.substr(9);
    if (FindAfterCursor(waiting_for_)) {
      Log(L"Page.script waited for " + waiting_for_);
      Schedule();
      return;
    }
    waiting_ = true;
    timer_ = After(kWaitLimitMs, [self]() {
      if (auto script = self.lock()) {
        script->timer_ = 0;
        script->waiting_ = false;
        Log(L"Page.script gave up waiting for " + script->waiting_for_);
        script->Stop();
      }
    });
    return;
  }
  if (StartsWith(step, L"dpi-changed ")) {
    unsigned dpi = 0;
    RECT suggested = {};
    if (swscanf(step.c_str() + 12, L"%u %ld %ld %ld %ld", &dpi, &suggested.left, &suggested.top, &suggested.right,
                &suggested.bottom) == 5) {
      HWND window = nullptr;
      EnumThreadWindows(GetCurrentThreadId(), FindTopWindow, reinterpret_cast<LPARAM>(&window));
      if (window != nullptr) {
        SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
      }
      Log(window != nullptr ? "Page.script sent dpi-changed" : "Page.script found no window for dpi-changed");
    }
    Schedule();
    return;
  }
  if (StartsWith(step, L"process-failed ")) {
    const int kind = static_cast<int>(wcstol(step.c_str() + 15, nullptr, 10));
    // Scheduled first: raising it may stop this script and release it.
    Schedule();
    process_failed_(kind);
    return;
  }
  std::wstring source;
  std::wstring json = step;
  if (StartsWith(step, L"from ")) {
    size_t space = step.find(L' ', 5);
    source = step.substr(5, space == std::wstring::npos ? std::wstring::npos : space - 5);
    json = space == std::wstring::npos ? std::wstring() : Trimmed(step.substr(space + 1));
  }
  deliver_(source, json);
  Schedule();
}

}  // namespace stand_in
