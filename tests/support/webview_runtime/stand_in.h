#pragma once
// Shared pieces of the stand-in web view runtime that the tests install in
// place of the real one. It implements what the launcher uses, records every
// call in the file named by VELMORA_WEBVIEW_LOG (UTF-8, one line per call)
// and plays the page's part from the script named by VELMORA_WEBVIEW_SCRIPT.
// VELMORA_WEBVIEW_FAIL, a comma list, makes steps fail: "create" (the
// export, at once), "environment" and "controller" (their handlers get a
// failure and null, later), "settings" (get_Settings), "navigate"
// (NavigateToString refuses the page at once) and "navigation" (the page
// does not load: NavigationCompleted reports a failure and the page script
// never starts). The page script raises ProcessFailed (see page_script.h).
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "webview/interfaces.h"

namespace stand_in {

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& text);
std::wstring EnvironmentValue(const wchar_t* name);

// Appends one line to the log; line breaks inside are written as \n.
void Log(const std::string& line);
void Log(const std::wstring& line);
std::string Hex(unsigned long value);

// Whether VELMORA_WEBVIEW_FAIL names this step.
bool Fails(const char* step);

// Runs work later on the thread that created the environment, through a
// message-only window, as the runtime calls its handlers from that thread's
// message loop.
void InitDispatcher();
void Post(std::function<void()> work);
// Calls work once after delay_ms; returns an id for CancelTimer.
UINT_PTR After(UINT delay_ms, std::function<void()> work);
void CancelTimer(UINT_PTR id);

// Reference counting and QueryInterface for one interface.
template <typename Interface, const IID& kIid>
class ComObject : public Interface {
 public:
  virtual ~ComObject() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, kIid)) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 private:
  LONG references_ = 1;
};

// State one controller shares with its web view and settings.
struct ViewState {
  DWORD thread = GetCurrentThreadId();
  HWND parent = nullptr;
  bool closed = false;
  std::wstring source = L"about:blank";
  BOOL script_enabled = TRUE;
  BOOL web_message_enabled = TRUE;
  BOOL default_script_dialogs = TRUE;
  BOOL status_bar = TRUE;
  BOOL dev_tools = TRUE;
  BOOL default_context_menus = TRUE;
  BOOL host_objects = TRUE;
  BOOL zoom_control = TRUE;
  BOOL built_in_error_page = TRUE;
  std::function<void()> on_close;

  // S_OK, or the runtime's answer to a call from another thread or after
  // Close; either is logged.
  HRESULT Check(const char* what) const;
};

// Each is made with one reference, which the caller owns.
ICoreWebView2Environment* NewEnvironment();
ICoreWebView2Controller* NewController(HWND parent);
ICoreWebView2* NewWebView(std::shared_ptr<ViewState> state);
ICoreWebView2Settings* NewSettings(std::shared_ptr<ViewState> state);
ICoreWebView2WebMessageReceivedEventArgs* NewMessageArgs(const std::wstring& source, const std::wstring& json);
ICoreWebView2NavigationCompletedEventArgs* NewNavigationArgs(bool success, int web_error_status, UINT64 id);
ICoreWebView2ProcessFailedEventArgs* NewProcessFailedArgs(int kind);

HRESULT NotImplemented(const char* what);

// A CoTaskMemAlloc'd copy, as the runtime hands strings out.
LPWSTR CopyForCaller(const std::wstring& text);

}  // namespace stand_in
