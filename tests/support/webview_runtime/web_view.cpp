// The web view: navigation, host messages, page messages and settings.
#include <map>

#include "tests/support/webview_runtime/json_check.h"
#include "tests/support/webview_runtime/page_script.h"
#include "tests/support/webview_runtime/stand_in.h"

namespace stand_in {
namespace {

// The platform refuses pages above 2 MB.
const size_t kMaxPageBytes = 2 * 1024 * 1024;

unsigned long Fnv1a(const std::string& bytes) {
  unsigned long hash = 2166136261ul;
  for (unsigned char c : bytes) hash = (hash ^ c) * 16777619ul;
  return hash & 0xfffffffful;
}

void SaveBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

class WebView final : public ComObject<ICoreWebView2, IID_ICoreWebView2> {
 public:
  explicit WebView(std::shared_ptr<ViewState> state) : state_(std::move(state)) {
    script_ = std::make_shared<PageScript>(
        [this](const std::wstring& source, const std::wstring& json) { DeliverPageMessage(source, json); },
        [this](int kind) { RaiseProcessFailed(kind); });
    std::weak_ptr<PageScript> script = script_;
    state_->on_close = [script]() {
      if (auto s = script.lock()) s->Stop();
    };
  }
  ~WebView() override {
    script_->Stop();
    state_->on_close = nullptr;
    for (auto& entry : handlers_) entry.second->Release();
    for (auto& entry : navigation_handlers_) entry.second->Release();
    for (auto& entry : process_failed_handlers_) entry.second->Release();
  }

  HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) override {
    Log("WebView.get_Settings");
    if (HRESULT hr = state_->Check("WebView.get_Settings"); FAILED(hr)) return hr;
    if (settings == nullptr) return E_POINTER;
    *settings = nullptr;
    if (Fails("settings")) return E_FAIL;
    *settings = NewSettings(state_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* uri) override {
    Log("WebView.get_Source");
    if (HRESULT hr = state_->Check("WebView.get_Source"); FAILED(hr)) return hr;
    if (uri == nullptr) return E_POINTER;
    *uri = CopyForCaller(state_->source);
    return *uri != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) override {
    Log(L"WebView.Navigate " + std::wstring(uri != nullptr ? uri : L"(null)"));
    if (HRESULT hr = state_->Check("WebView.Navigate"); FAILED(hr)) return hr;
    if (uri == nullptr || *uri == L'\0') return E_INVALIDARG;
    state_->source = uri;
    return StartNavigation();
  }
  HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR html) override {
    if (HRESULT hr = state_->Check("WebView.NavigateToString"); FAILED(hr)) return hr;
    if (html == nullptr) {
      Log("WebView.NavigateToString (null)");
      return E_INVALIDARG;
    }
    std::wstring page(html);
    std::string bytes = Utf8(page);
    std::string head = bytes.substr(0, 40);
    Log("WebView.NavigateToString length=" + std::to_string(page.size()) + " bytes=" + std::to_string(bytes.size()) +
        " fnv1a=" + Hex(Fnv1a(bytes)) + " head=" + head);
    if (bytes.size() > kMaxPageBytes) {
      Log("WebView.NavigateToString refused: above 2 MB");
      return E_INVALIDARG;
    }
    if (Fails("navigate")) {
      Log("WebView.NavigateToString refused (injected failure)");
      return E_FAIL;
    }
    std::wstring log = EnvironmentValue(L"VELMORA_WEBVIEW_LOG");
    if (!log.empty()) SaveBytes(log + L".page.html", bytes);
    // A page from a string has the origin about:blank.
    state_->source = L"about:blank";
    return StartNavigation();
  }
  HRESULT STDMETHODCALLTYPE PostWebMessageAsJson(LPCWSTR json) override {
    if (HRESULT hr = state_->Check("WebView.PostWebMessageAsJson"); FAILED(hr)) return hr;
    if (json == nullptr) {
      Log("WebView.PostWebMessageAsJson (null)");
      return E_INVALIDARG;
    }
    if (!IsJson(json)) {
      Log(L"WebView.PostWebMessageAsJson INVALID JSON " + std::wstring(json));
      return E_INVALIDARG;
    }
    Log(L"WebView.PostWebMessageAsJson " + std::wstring(json));
    script_->OnHostMessage(json);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE PostWebMessageAsString(LPCWSTR text) override {
    Log(L"WebView.PostWebMessageAsString " + std::wstring(text != nullptr ? text : L"(null)"));
    if (HRESULT hr = state_->Check("WebView.PostWebMessageAsString"); FAILED(hr)) return hr;
    return text != nullptr ? S_OK : E_INVALIDARG;
  }
  HRESULT STDMETHODCALLTYPE add_WebMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* handler,
                                                   EventRegistrationToken* token) override {
    if (HRESULT hr = state_->Check("WebView.add_WebMessageReceived"); FAILED(hr)) return hr;
    if (handler == nullptr) {
      Log("WebView.add_WebMessageReceived (null handler)");
      return E_INVALIDARG;
    }
    if (token == nullptr) {
      Log("WebView.add_WebMessageReceived (null token)");
      return E_POINTER;
    }
    INT64 value = next_token_++;
    handler->AddRef();
    handlers_[value] = handler;
    token->value = value;
    Log("WebView.add_WebMessageReceived token=" + std::to_string(value));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE remove_WebMessageReceived(EventRegistrationToken token) override {
    Log("WebView.remove_WebMessageReceived token=" + std::to_string(token.value));
    if (HRESULT hr = state_->Check("WebView.remove_WebMessageReceived"); FAILED(hr)) return hr;
    auto found = handlers_.find(token.value);
    if (found != handlers_.end()) {
      found->second->Release();
      handlers_.erase(found);
    }
    return S_OK;
  }

  // Not used by the launcher: recorded and refused.
  HRESULT STDMETHODCALLTYPE add_NavigationStarting(ICoreWebView2NavigationStartingEventHandler*,
                                                   EventRegistrationToken*) override {
    return NotImplemented("WebView.add_NavigationStarting");
  }
  HRESULT STDMETHODCALLTYPE remove_NavigationStarting(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_NavigationStarting");
  }
  HRESULT STDMETHODCALLTYPE add_ContentLoading(ICoreWebView2ContentLoadingEventHandler*,
                                               EventRegistrationToken*) override {
    return NotImplemented("WebView.add_ContentLoading");
  }
  HRESULT STDMETHODCALLTYPE remove_ContentLoading(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_ContentLoading");
  }
  HRESULT STDMETHODCALLTYPE add_SourceChanged(ICoreWebView2SourceChangedEventHandler*,
                                              EventRegistrationToken*) override {
    return NotImplemented("WebView.add_SourceChanged");
  }
  HRESULT STDMETHODCALLTYPE remove_SourceChanged(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_SourceChanged");
  }
  HRESULT STDMETHODCALLTYPE add_HistoryChanged(ICoreWebView2HistoryChangedEventHandler*,
                                               EventRegistrationToken*) override {
    return NotImplemented("WebView.add_HistoryChanged");
  }
  HRESULT STDMETHODCALLTYPE remove_HistoryChanged(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_HistoryChanged");
  }
  HRESULT STDMETHODCALLTYPE add_NavigationCompleted(ICoreWebView2NavigationCompletedEventHandler* handler,
                                                    EventRegistrationToken* token) override {
    return AddHandler("WebView.add_NavigationCompleted", navigation_handlers_, handler, token);
  }
  HRESULT STDMETHODCALLTYPE remove_NavigationCompleted(EventRegistrationToken token) override {
    return RemoveHandler("WebView.remove_NavigationCompleted", navigation_handlers_, token);
  }
  HRESULT STDMETHODCALLTYPE add_FrameNavigationStarting(ICoreWebView2NavigationStartingEventHandler*,
                                                        EventRegistrationToken*) override {
    return NotImplemented("WebView.add_FrameNavigationStarting");
  }
  HRESULT STDMETHODCALLTYPE remove_FrameNavigationStarting(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_FrameNavigationStarting");
  }
  HRESULT STDMETHODCALLTYPE add_FrameNavigationCompleted(ICoreWebView2NavigationCompletedEventHandler*,
                                                         EventRegistrationToken*) override {
    return NotImplemented("WebView.add_FrameNavigationCompleted");
  }
  HRESULT STDMETHODCALLTYPE remove_FrameNavigationCompleted(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_FrameNavigationCompleted");
  }
  HRESULT STDMETHODCALLTYPE add_ScriptDialogOpening(ICoreWebView2ScriptDialogOpeningEventHandler*,
                                                    EventRegistrationToken*) override {
    return NotImplemented("WebView.add_ScriptDialogOpening");
  }
  HRESULT STDMETHODCALLTYPE remove_ScriptDialogOpening(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_ScriptDialogOpening");
  }
  HRESULT STDMETHODCALLTYPE add_PermissionRequested(ICoreWebView2PermissionRequestedEventHandler*,
                                                    EventRegistrationToken*) override {
    return NotImplemented("WebView.add_PermissionRequested");
  }
  HRESULT STDMETHODCALLTYPE remove_PermissionRequested(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_PermissionRequested");
  }
  HRESULT STDMETHODCALLTYPE add_ProcessFailed(ICoreWebView2ProcessFailedEventHandler* handler,
                                              EventRegistrationToken* token) override {
    return AddHandler("WebView.add_ProcessFailed", process_failed_handlers_, handler, token);
  }
  HRESULT STDMETHODCALLTYPE remove_ProcessFailed(EventRegistrationToken token) override {
    return RemoveHandler("WebView.remove_ProcessFailed", process_failed_handlers_, token);
  }
  HRESULT STDMETHODCALLTYPE AddScriptToExecuteOnDocumentCreated(
      LPCWSTR, ICoreWebView2AddScriptToExecuteOnDocumentCreatedCompletedHandler*) override {
    return NotImplemented("WebView.AddScriptToExecuteOnDocumentCreated");
  }
  HRESULT STDMETHODCALLTYPE RemoveScriptToExecuteOnDocumentCreated(LPCWSTR) override {
    return NotImplemented("WebView.RemoveScriptToExecuteOnDocumentCreated");
  }
  HRESULT STDMETHODCALLTYPE ExecuteScript(LPCWSTR, ICoreWebView2ExecuteScriptCompletedHandler*) override {
    return NotImplemented("WebView.ExecuteScript");
  }
  HRESULT STDMETHODCALLTYPE CapturePreview(COREWEBVIEW2_CAPTURE_PREVIEW_IMAGE_FORMAT, IStream*,
                                           ICoreWebView2CapturePreviewCompletedHandler*) override {
    return NotImplemented("WebView.CapturePreview");
  }
  HRESULT STDMETHODCALLTYPE Reload() override { return NotImplemented("WebView.Reload"); }
  HRESULT STDMETHODCALLTYPE
  CallDevToolsProtocolMethod(LPCWSTR, LPCWSTR, ICoreWebView2CallDevToolsProtocolMethodCompletedHandler*) override {
    return NotImplemented("WebView.CallDevToolsProtocolMethod");
  }
  HRESULT STDMETHODCALLTYPE get_BrowserProcessId(UINT32*) override {
    return NotImplemented("WebView.get_BrowserProcessId");
  }
  HRESULT STDMETHODCALLTYPE get_CanGoBack(BOOL*) override { return NotImplemented("WebView.get_CanGoBack"); }
  HRESULT STDMETHODCALLTYPE get_CanGoForward(BOOL*) override { return NotImplemented("WebView.get_CanGoForward"); }
  HRESULT STDMETHODCALLTYPE GoBack() override { return NotImplemented("WebView.GoBack"); }
  HRESULT STDMETHODCALLTYPE GoForward() override { return NotImplemented("WebView.GoForward"); }
  HRESULT STDMETHODCALLTYPE GetDevToolsProtocolEventReceiver(LPCWSTR,
                                                             ICoreWebView2DevToolsProtocolEventReceiver**) override {
    return NotImplemented("WebView.GetDevToolsProtocolEventReceiver");
  }
  HRESULT STDMETHODCALLTYPE Stop() override { return NotImplemented("WebView.Stop"); }
  HRESULT STDMETHODCALLTYPE add_NewWindowRequested(ICoreWebView2NewWindowRequestedEventHandler*,
                                                   EventRegistrationToken*) override {
    return NotImplemented("WebView.add_NewWindowRequested");
  }
  HRESULT STDMETHODCALLTYPE remove_NewWindowRequested(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_NewWindowRequested");
  }
  HRESULT STDMETHODCALLTYPE add_DocumentTitleChanged(ICoreWebView2DocumentTitleChangedEventHandler*,
                                                     EventRegistrationToken*) override {
    return NotImplemented("WebView.add_DocumentTitleChanged");
  }
  HRESULT STDMETHODCALLTYPE remove_DocumentTitleChanged(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_DocumentTitleChanged");
  }
  HRESULT STDMETHODCALLTYPE get_DocumentTitle(LPWSTR*) override { return NotImplemented("WebView.get_DocumentTitle"); }
  HRESULT STDMETHODCALLTYPE AddHostObjectToScript(LPCWSTR, VARIANT*) override {
    return NotImplemented("WebView.AddHostObjectToScript");
  }
  HRESULT STDMETHODCALLTYPE RemoveHostObjectFromScript(LPCWSTR) override {
    return NotImplemented("WebView.RemoveHostObjectFromScript");
  }
  HRESULT STDMETHODCALLTYPE OpenDevToolsWindow() override { return NotImplemented("WebView.OpenDevToolsWindow"); }
  HRESULT STDMETHODCALLTYPE add_ContainsFullScreenElementChanged(
      ICoreWebView2ContainsFullScreenElementChangedEventHandler*, EventRegistrationToken*) override {
    return NotImplemented("WebView.add_ContainsFullScreenElementChanged");
  }
  HRESULT STDMETHODCALLTYPE remove_ContainsFullScreenElementChanged(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_ContainsFullScreenElementChanged");
  }
  HRESULT STDMETHODCALLTYPE get_ContainsFullScreenElement(BOOL*) override {
    return NotImplemented("WebView.get_ContainsFullScreenElement");
  }
  HRESULT STDMETHODCALLTYPE add_WebResourceRequested(ICoreWebView2WebResourceRequestedEventHandler*,
                                                     EventRegistrationToken*) override {
    return NotImplemented("WebView.add_WebResourceRequested");
  }
  HRESULT STDMETHODCALLTYPE remove_WebResourceRequested(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_WebResourceRequested");
  }
  HRESULT STDMETHODCALLTYPE AddWebResourceRequestedFilter(LPCWSTR, COREWEBVIEW2_WEB_RESOURCE_CONTEXT) override {
    return NotImplemented("WebView.AddWebResourceRequestedFilter");
  }
  HRESULT STDMETHODCALLTYPE RemoveWebResourceRequestedFilter(LPCWSTR, COREWEBVIEW2_WEB_RESOURCE_CONTEXT) override {
    return NotImplemented("WebView.RemoveWebResourceRequestedFilter");
  }
  HRESULT STDMETHODCALLTYPE add_WindowCloseRequested(ICoreWebView2WindowCloseRequestedEventHandler*,
                                                     EventRegistrationToken*) override {
    return NotImplemented("WebView.add_WindowCloseRequested");
  }
  HRESULT STDMETHODCALLTYPE remove_WindowCloseRequested(EventRegistrationToken) override {
    return NotImplemented("WebView.remove_WindowCloseRequested");
  }

 private:
  template <typename Handler>
  HRESULT AddHandler(const char* what, std::map<INT64, Handler*>& handlers, Handler* handler,
                     EventRegistrationToken* token) {
    if (HRESULT hr = state_->Check(what); FAILED(hr)) return hr;
    if (handler == nullptr || token == nullptr) {
      Log(std::string(what) + " (null)");
      return handler == nullptr ? E_INVALIDARG : E_POINTER;
    }
    INT64 value = next_token_++;
    handler->AddRef();
    handlers[value] = handler;
    token->value = value;
    Log(std::string(what) + " token=" + std::to_string(value));
    return S_OK;
  }
  template <typename Handler>
  HRESULT RemoveHandler(const char* what, std::map<INT64, Handler*>& handlers, EventRegistrationToken token) {
    Log(std::string(what) + " token=" + std::to_string(token.value));
    if (HRESULT hr = state_->Check(what); FAILED(hr)) return hr;
    auto found = handlers.find(token.value);
    if (found != handlers.end()) {
      found->second->Release();
      handlers.erase(found);
    }
    return S_OK;
  }

  // Every handler of one event, on a copy of the list: a handler may remove
  // itself, or release the view, while it runs.
  template <typename Handler, typename Args>
  void Raise(const char* what, const std::map<INT64, Handler*>& registered, Args* args) {
    std::map<INT64, Handler*> handlers = registered;
    for (auto& entry : handlers) entry.second->AddRef();
    AddRef();
    for (auto& entry : handlers) {
      HRESULT result = entry.second->Invoke(this, args);
      if (FAILED(result)) Log(std::string(what) + " handler returned " + Hex(static_cast<unsigned long>(result)));
      entry.second->Release();
    }
    Release();
  }

  // The navigation ends later, from the message loop; the page script
  // starts with the first page that loads.
  HRESULT StartNavigation() {
    const UINT64 id = next_navigation_++;
    const bool fails = Fails("navigation");
    AddRef();
    Post([this, id, fails]() {
      if (!state_->closed) {
        Log("NavigationCompleted id=" + std::to_string(id) + (fails ? " failed" : " ok"));
        // An unexpected error: what a page that cannot load reports.
        ICoreWebView2NavigationCompletedEventArgs* args = NewNavigationArgs(!fails, fails ? 16 : 0, id);
        Raise("NavigationCompleted", navigation_handlers_, args);
        args->Release();
        if (!fails) script_->Start();
      }
      Release();
    });
    return S_OK;
  }

  void RaiseProcessFailed(int kind) {
    if (state_->closed) return;
    Log("ProcessFailed kind=" + std::to_string(kind));
    if (kind == COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED) {
      // The web view is closed for good, as the platform does it.
      state_->closed = true;
      script_->Stop();
    }
    ICoreWebView2ProcessFailedEventArgs* args = NewProcessFailedArgs(kind);
    Raise("ProcessFailed", process_failed_handlers_, args);
    args->Release();
  }

  void DeliverPageMessage(const std::wstring& from, const std::wstring& json) {
    if (state_->closed) return;
    std::wstring source = from.empty() ? state_->source : from;
    if (!state_->web_message_enabled) {
      Log(L"Page.message dropped (web messages disabled) " + json);
      return;
    }
    if (handlers_.empty()) {
      Log(L"Page.message dropped (no handler) " + json);
      return;
    }
    Log(L"Page.message source=" + source + L" " + json);
    ICoreWebView2WebMessageReceivedEventArgs* args = NewMessageArgs(source, json);
    // A handler may remove itself or close the view while it runs.
    std::map<INT64, ICoreWebView2WebMessageReceivedEventHandler*> handlers = handlers_;
    for (auto& entry : handlers) entry.second->AddRef();
    AddRef();
    for (auto& entry : handlers) {
      HRESULT result = entry.second->Invoke(this, args);
      if (FAILED(result)) Log("Page.message handler returned " + Hex(static_cast<unsigned long>(result)));
      entry.second->Release();
    }
    Release();
    args->Release();
  }

  std::shared_ptr<ViewState> state_;
  std::shared_ptr<PageScript> script_;
  std::map<INT64, ICoreWebView2WebMessageReceivedEventHandler*> handlers_;
  std::map<INT64, ICoreWebView2NavigationCompletedEventHandler*> navigation_handlers_;
  std::map<INT64, ICoreWebView2ProcessFailedEventHandler*> process_failed_handlers_;
  INT64 next_token_ = 1;
  UINT64 next_navigation_ = 1;
};

}  // namespace

ICoreWebView2* NewWebView(std::shared_ptr<ViewState> state) { return new WebView(std::move(state)); }

}  // namespace stand_in
