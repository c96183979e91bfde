#include "ui/window.h"

#include <objbase.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "common/path.h"
#include "common/text.h"
#include "game/handoff.h"
#include "ui/com_ref.h"
#include "ui/frontend.h"
#include "ui/page_requests.h"
#include "webview/interfaces.h"
#include "webview/loader.h"

namespace ui {

const wchar_t kPageSource[] = L"about:blank";

namespace {

const wchar_t kWindowClass[] = L"velmoramp_launcher";
const wchar_t kWindowTitle[] = L"Velmora Multiplayer";
// The page: RCDATA 1 of the executable.
constexpr int kPageResource = 1;

// A reference-counted handler object with one Invoke, forwarding to a
// function; the runtime calls it on the window thread.
template <typename Interface, const IID& kIid, typename... Args>
class Handler : public Interface {
 public:
  static ComRef<Interface> Make(std::function<HRESULT(Args...)> fn) {
    return ComRef<Interface>::Adopt(new Handler(std::move(fn)));
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIid)) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE Invoke(Args... args) override { return fn_(args...); }

 private:
  explicit Handler(std::function<HRESULT(Args...)> fn) : fn_(std::move(fn)) {}
  virtual ~Handler() = default;
  std::atomic<ULONG> refs_{1};
  std::function<HRESULT(Args...)> fn_;
};

using EnvironmentHandler =
    Handler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
            IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT, ICoreWebView2Environment*>;
using ControllerHandler =
    Handler<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
            IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT, ICoreWebView2Controller*>;
using MessageHandler =
    Handler<ICoreWebView2WebMessageReceivedEventHandler, IID_ICoreWebView2WebMessageReceivedEventHandler,
            ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs*>;

// A string the runtime allocated, freed when the owner goes.
class RuntimeString {
 public:
  RuntimeString() = default;
  ~RuntimeString() { CoTaskMemFree(text_); }
  RuntimeString(const RuntimeString&) = delete;
  RuntimeString& operator=(const RuntimeString&) = delete;
  LPWSTR* put() {
    CoTaskMemFree(text_);
    text_ = nullptr;
    return &text_;
  }
  bool empty() const { return text_ == nullptr; }
  std::wstring str() const { return text_ ? text_ : L""; }

 private:
  LPWSTR text_ = nullptr;
};

// The page as text: RCDATA 1, UTF-8 without a terminator.
std::wstring LoadPage() {
  HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(kPageResource), RT_RCDATA);
  if (info == nullptr) return std::wstring();
  HGLOBAL loaded = LoadResource(nullptr, info);
  const DWORD size = SizeofResource(nullptr, info);
  const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (bytes == nullptr || size == 0) return std::wstring();
  return common::Utf8ToWide(std::string(bytes, size));
}

// <local application data>\velmoramp\launcher, created; empty when the
// local application data folder is unknown.
std::wstring MakeUserDataFolder() {
  const std::wstring base = common::LauncherDataFolder();
  if (base.empty()) return std::wstring();
  const std::wstring folder = base + L"\\launcher";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

// The launcher window: owns the front-end state and the web view. Its
// pointer travels with the window (GWLP_USERDATA); everything here runs on
// the window thread.
class LauncherWindow {
 public:
  explicit LauncherWindow(update::Options options) {
    frontend_.options = std::make_shared<const update::Options>(std::move(options));
    const update::Options& o = *frontend_.options;
    frontend_.player_name = !o.player_name.empty() ? o.player_name : game::ReadSavedName(o.game_dir);
  }

  int Run() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    // The page's darkest ink, shown until the page paints.
    window_class.hbrBackground = CreateSolidBrush(RGB(10, 10, 12));
    window_class.lpszClassName = kWindowClass;
    RegisterClassExW(&window_class);

    POINT cursor = {0, 0};
    GetCursorPos(&cursor);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const POINT at = WindowPosition(monitor.rcWork);

    // Creation data: WindowProc keeps the pointer with the window.
    HWND window = CreateWindowExW(0, kWindowClass, kWindowTitle, WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX, at.x, at.y,
                                  kWindowWidth, kWindowHeight, nullptr, nullptr, instance, this);
    if (window == nullptr) return 1;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);

    // The web view runs in a single-threaded apartment on this thread.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::wstring user_data = MakeUserDataFolder();
    ComRef<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler> on_environment =
        EnvironmentHandler::Make([this](HRESULT, ICoreWebView2Environment* environment) {
          OnEnvironmentCreated(environment);
          return S_OK;
        });
    const HRESULT requested = webview::CreateEnvironmentWithOptions(
        nullptr, user_data.empty() ? nullptr : user_data.c_str(), nullptr, on_environment.get());
    if (FAILED(requested)) {
      DestroyWindow(window);
      return 1;
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (controller_) controller_->Close();
    webview_.reset();
    controller_.reset();
    return 0;
  }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      auto* self = static_cast<LauncherWindow*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
      self->frontend_.window = window;
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<LauncherWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr) return self->HandleMessage(window, message, wparam, lparam);
    return DefWindowProcW(window, message, wparam, lparam);
  }

  LRESULT HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
      case WM_PAGE_JSON: {
        std::unique_ptr<std::wstring> text(reinterpret_cast<std::wstring*>(wparam));
        if (text && webview_) webview_->PostWebMessageAsJson(text->c_str());
        return 0;
      }
      case WM_GAME_STARTED: PostMessageW(window, WM_CLOSE, 0, 0); return 0;
      case WM_SIZE:
        if (controller_) {
          RECT bounds;
          GetClientRect(window, &bounds);
          controller_->put_Bounds(bounds);
        }
        return 0;
      case WM_DESTROY: PostQuitMessage(0); return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  void OnEnvironmentCreated(ICoreWebView2Environment* environment) {
    if (environment == nullptr) return;
    ComRef<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler> on_controller =
        ControllerHandler::Make([this](HRESULT, ICoreWebView2Controller* controller) {
          OnControllerCreated(controller);
          return S_OK;
        });
    environment->CreateCoreWebView2Controller(frontend_.window, on_controller.get());
  }

  void OnControllerCreated(ICoreWebView2Controller* controller) {
    if (controller == nullptr) return;
    controller_.assign(controller);
    webview_.reset();
    controller_->get_CoreWebView2(webview_.put());
    if (!webview_) return;

    ComRef<ICoreWebView2Settings> settings;
    if (SUCCEEDED(webview_->get_Settings(settings.put())) && settings) {
      settings->put_AreDefaultContextMenusEnabled(FALSE);
      settings->put_AreDevToolsEnabled(FALSE);
      settings->put_IsStatusBarEnabled(FALSE);
      settings->put_AreDefaultScriptDialogsEnabled(FALSE);
    }

    RECT bounds;
    GetClientRect(frontend_.window, &bounds);
    controller_->put_Bounds(bounds);

    // Before navigating, so that the page's first message ("ready") arrives.
    EventRegistrationToken token;
    ComRef<ICoreWebView2WebMessageReceivedEventHandler> on_message =
        MessageHandler::Make([this](ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) {
          OnWebMessage(args);
          return S_OK;
        });
    webview_->add_WebMessageReceived(on_message.get(), &token);

    const std::wstring page = LoadPage();
    if (!page.empty()) webview_->NavigateToString(page.c_str());
  }

  void OnWebMessage(ICoreWebView2WebMessageReceivedEventArgs* args) {
    if (args == nullptr) return;
    // Only our own page may ask for anything, should it ever navigate away.
    RuntimeString source;
    if (FAILED(args->get_Source(source.put())) || source.str() != kPageSource) return;
    RuntimeString json;
    if (FAILED(args->get_WebMessageAsJson(json.put())) || json.empty()) return;
    HandleWebMessage(frontend_, json.str());
  }

  Frontend frontend_;
  ComRef<ICoreWebView2Controller> controller_;
  ComRef<ICoreWebView2> webview_;
};

}  // namespace

void PostToPage(HWND window, const std::wstring& json) {
  if (window == nullptr) return;
  std::wstring* text = new std::wstring(json);
  // Not posted (the window is gone, or its queue is full): nobody else will
  // ever see the text, so it is freed here.
  if (!PostMessageW(window, WM_PAGE_JSON, reinterpret_cast<WPARAM>(text), 0)) delete text;
}

POINT WindowPosition(const RECT& work) {
  POINT at;
  at.x = work.left + (work.right - work.left - kWindowWidth) / 2;
  at.y = work.top + (work.bottom - work.top - kWindowHeight) / 2;
  return at;
}

int Run(update::Options options) {
  LauncherWindow window(std::move(options));
  return window.Run();
}

}  // namespace ui
