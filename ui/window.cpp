#include "ui/window.h"

#include <objbase.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "common/log.h"
#include "common/path.h"
#include "common/text.h"
#include "common/texts.h"
#include "common/unique_handle.h"
#include "game/handoff.h"
#include "ui/com_ref.h"
#include "ui/frontend.h"
#include "ui/page_requests.h"
#include "webview/environment_options.h"
#include "webview/interfaces.h"
#include "webview/loader.h"

namespace ui {

const wchar_t kPageSource[] = L"about:blank";

namespace {

const wchar_t kWindowClass[] = L"velmoramp_launcher";
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
using NavigationHandler =
    Handler<ICoreWebView2NavigationCompletedEventHandler, IID_ICoreWebView2NavigationCompletedEventHandler,
            ICoreWebView2*, ICoreWebView2NavigationCompletedEventArgs*>;
using ProcessFailedHandler = Handler<ICoreWebView2ProcessFailedEventHandler, IID_ICoreWebView2ProcessFailedEventHandler,
                                     ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs*>;

// A string the runtime allocated, freed when the owner goes.
class RuntimeString {
 public:
  LPWSTR* put() { return text_.put(); }
  bool empty() const { return !text_; }
  std::wstring str() const { return text_ ? text_.get() : L""; }

 private:
  common::UniqueCoTaskString text_;
};

// The page as text: RCDATA 1, UTF-8 without a terminator.
std::wstring LoadPage() {
  HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(kPageResource), RT_RCDATA);
  if (info == nullptr) return std::wstring();
  HGLOBAL loaded = LoadResource(nullptr, info);
  const DWORD size = SizeofResource(nullptr, info);
  const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (bytes == nullptr || size == 0) return std::wstring();
  std::wstring page = common::Utf8ToWide(std::string(bytes, size));
  // The page takes its texts, numbers and plurals from its lang attribute.
  const std::wstring english = L"<html lang=\"en\">";
  const size_t at = page.find(english);
  if (at != std::wstring::npos) page.replace(at, english.size(), L"<html lang=\"" + common::Language() + L"\">");
  return page;
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

// A result code the way every log line shows one.
unsigned long Code(HRESULT result) { return static_cast<unsigned long>(result); }

// The runtime method a call expression names: "put_Bounds" of
// "controller_->put_Bounds(bounds)".
std::wstring CallName(const char* call) {
  std::string text(call);
  text = text.substr(0, text.find('('));
  const size_t arrow = text.rfind("->");
  if (arrow != std::string::npos) text = text.substr(arrow + 2);
  return std::wstring(text.begin(), text.end());
}

// A runtime call whose failure is logged under the call's own name.
#define CHECK_CALL(call) Check(CallName(#call), (call))
// The same for a call the window cannot do without: its failure, or an
// object it should have handed back and did not, fails the web view.
#define REQUIRE_CALL(call, object)                                \
  Require(CallName(#call), [&] {                                  \
    const HRESULT result = (call);                                \
    return FAILED(result) ? result : (object) ? S_OK : E_POINTER; \
  }())

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
  LauncherWindow(const LauncherWindow&) = delete;
  LauncherWindow& operator=(const LauncherWindow&) = delete;

  WindowRun Run() {
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
    HWND window =
        CreateWindowExW(0, kWindowClass, common::Tr(L"Velmora Multiplayer"), WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX,
                        at.x, at.y, kWindowWidth, kWindowHeight, nullptr, nullptr, instance, this);
    if (window == nullptr) {
      WindowRun run;
      run.end = WindowEnd::kUseConsole;
      run.failure = HRESULT_FROM_WIN32(GetLastError());
      common::Log(L"window: could not be made (0x%08lx)", Code(run.failure));
      return run;
    }
    // Its size is in device-independent units: on a monitor scaled above
    // 100 % it grows with the scale, centred as before.
    const UINT dpi = DpiOf(window);
    if (dpi != kBaseDpi) {
      const POINT scaled = WindowPosition(monitor.rcWork, dpi);
      SetWindowPos(window, nullptr, scaled.x, scaled.y, MulDiv(kWindowWidth, dpi, kBaseDpi),
                   MulDiv(kWindowHeight, dpi, kBaseDpi), SWP_NOZORDER | SWP_NOACTIVATE);
      common::Log(L"window: %u dpi, %d%% scale", dpi, MulDiv(100, dpi, kBaseDpi));
    }
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);

    // The web view runs in a single-threaded apartment on this thread.
    const common::ComApartment apartment(COINIT_APARTMENTTHREADED);
    Check(L"CoInitializeEx", apartment.result());
    user_data_ = MakeUserDataFolder();
    StartWebView();

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Finish();

    WindowRun run;
    if (failed_) {
      run.end = WindowEnd::kUseConsole;
      run.failure = failure_;
    }
    return run;
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
        if (text && webview_) CHECK_CALL(webview_->PostWebMessageAsJson(text->c_str()));
        return 0;
      }
      case WM_GAME_STARTED: PostMessageW(window, WM_CLOSE, 0, 0); return 0;
      case WM_DPICHANGED: {
        // Moved to a monitor of another scale: the size Windows suggests,
        // and the web view follows in WM_SIZE.
        const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
        if (suggested != nullptr) {
          common::Log(L"window: now %u dpi", static_cast<unsigned>(HIWORD(wparam)));
          SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                       suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        }
        return 0;
      }
      case WM_SIZE:
        if (controller_) {
          RECT bounds;
          GetClientRect(window, &bounds);
          CHECK_CALL(controller_->put_Bounds(bounds));
        }
        return 0;
      case WM_CLOSE:
        // At once: taking the window down may take a while.
        StopWorkers(frontend_);
        break;
      case WM_QUERYENDSESSION: return TRUE;
      case WM_ENDSESSION:
        // Windows ends the session once this returns: the update stops, its
        // staging files closed whole for the next start to continue.
        if (wparam) {
          common::Log(L"window: the session ends; stopping the update");
          StopWorkers(frontend_);
          if (!WaitForUpdate(frontend_, kSessionEndWaitMs)) common::Log(L"window: the update did not stop in time");
        }
        return 0;
      case WM_DESTROY: PostQuitMessage(0); return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  // Logs a failing call of the runtime; true when it succeeded.
  bool Check(const std::wstring& what, HRESULT result) {
    if (SUCCEEDED(result)) return true;
    common::Log(L"web view: %s failed (0x%08lx)", what, Code(result));
    return false;
  }

  bool Require(const std::wstring& what, HRESULT result) {
    if (SUCCEEDED(result)) return true;
    Fail(what, result);
    return false;
  }

  // The web view cannot be used: the window goes, and the caller continues
  // in the console front-end.
  void Fail(const std::wstring& what, HRESULT result) {
    common::Log(L"web view: %s failed (0x%08lx)", what, Code(result));
    if (failed_) return;
    failed_ = true;
    failure_ = result;
    common::Log(L"window: the web view cannot be used; closing the window for the console front-end");
    StopWorkers(frontend_);
    if (IsWindow(frontend_.window)) DestroyWindow(frontend_.window);
  }

  // Handlers the runtime may still call after this object is gone (from a
  // message loop the console front-end runs): they do nothing then.
  template <typename Fn>
  auto WhileAlive(Fn fn) {
    std::weak_ptr<bool> alive = alive_;
    return [alive, fn](auto... args) {
      if (alive.lock()) fn(args...);
      return S_OK;
    };
  }

  void StartWebView() {
    ComRef<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler> on_environment =
        EnvironmentHandler::Make(WhileAlive([this](HRESULT result, ICoreWebView2Environment* environment) {
          OnEnvironmentCreated(result, environment);
        }));
    // The browser speaks the launcher's language; it has no pseudo-language.
    const std::wstring language = common::Language() == L"qps-ploc" ? L"en" : common::Language();
    ComRef<ICoreWebView2EnvironmentOptions> options =
        ComRef<ICoreWebView2EnvironmentOptions>::Adopt(webview::NewEnvironmentOptions(language));
    const HRESULT requested = webview::CreateEnvironmentWithOptions(
        nullptr, user_data_.empty() ? nullptr : user_data_.c_str(), options.get(), on_environment.get());
    if (FAILED(requested)) Fail(L"requesting the environment", requested);
  }

  void OnEnvironmentCreated(HRESULT result, ICoreWebView2Environment* environment) {
    if (failed_ || closing_) return;
    if (FAILED(result) || environment == nullptr) {
      Fail(L"creating the environment", FAILED(result) ? result : E_POINTER);
      return;
    }
    RuntimeString version;
    if (CHECK_CALL(environment->get_BrowserVersionString(version.put()))) {
      common::Log(L"web view runtime %s", version.str().c_str());
    }
    ComRef<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler> on_controller =
        ControllerHandler::Make(WhileAlive(
            [this](HRESULT result, ICoreWebView2Controller* controller) { OnControllerCreated(result, controller); }));
    const HRESULT requested = environment->CreateCoreWebView2Controller(frontend_.window, on_controller.get());
    if (FAILED(requested)) Fail(L"requesting the controller", requested);
  }

  void OnControllerCreated(HRESULT result, ICoreWebView2Controller* controller) {
    if (failed_ || closing_) {
      if (controller != nullptr) controller->Close();
      return;
    }
    if (FAILED(result) || controller == nullptr) {
      Fail(L"creating the controller", FAILED(result) ? result : E_POINTER);
      return;
    }
    controller_.assign(controller);
    webview_.reset();
    if (!REQUIRE_CALL(controller_->get_CoreWebView2(webview_.put()), webview_)) return;

    ComRef<ICoreWebView2Settings> settings;
    if (CHECK_CALL(webview_->get_Settings(settings.put())) && settings) {
      CHECK_CALL(settings->put_AreDefaultContextMenusEnabled(FALSE));
      CHECK_CALL(settings->put_AreDevToolsEnabled(FALSE));
      CHECK_CALL(settings->put_IsStatusBarEnabled(FALSE));
      CHECK_CALL(settings->put_AreDefaultScriptDialogsEnabled(FALSE));
    }

    RECT bounds;
    GetClientRect(frontend_.window, &bounds);
    CHECK_CALL(controller_->put_Bounds(bounds));

    // Before navigating, so that the page's first message ("ready") and the
    // navigation's end arrive.
    EventRegistrationToken token;
    ComRef<ICoreWebView2WebMessageReceivedEventHandler> on_message = MessageHandler::Make(
        WhileAlive([this](ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) { OnWebMessage(args); }));
    if (!REQUIRE_CALL(webview_->add_WebMessageReceived(on_message.get(), &token), true)) return;
    ComRef<ICoreWebView2NavigationCompletedEventHandler> on_navigation = NavigationHandler::Make(WhileAlive(
        [this](ICoreWebView2*, ICoreWebView2NavigationCompletedEventArgs* args) { OnNavigationCompleted(args); }));
    CHECK_CALL(webview_->add_NavigationCompleted(on_navigation.get(), &token));
    ComRef<ICoreWebView2ProcessFailedEventHandler> on_process_failed = ProcessFailedHandler::Make(
        WhileAlive([this](ICoreWebView2*, ICoreWebView2ProcessFailedEventArgs* args) { OnProcessFailed(args); }));
    CHECK_CALL(webview_->add_ProcessFailed(on_process_failed.get(), &token));

    Navigate();
  }

  void Navigate() {
    if (page_.empty()) page_ = LoadPage();
    if (page_.empty()) {
      Fail(L"loading the page from the executable", HRESULT_FROM_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND));
      return;
    }
    awaiting_navigation_ = true;
    if (!REQUIRE_CALL(webview_->NavigateToString(page_.c_str()), true)) awaiting_navigation_ = false;
  }

  // Only the end of our own navigation matters: later ones (an error page
  // the runtime shows) are left to the process-failed handling.
  void OnNavigationCompleted(ICoreWebView2NavigationCompletedEventArgs* args) {
    if (!awaiting_navigation_ || args == nullptr || failed_ || closing_) return;
    BOOL success = FALSE;
    if (!CHECK_CALL(args->get_IsSuccess(&success))) return;
    if (success) {
      awaiting_navigation_ = false;
      return;
    }
    COREWEBVIEW2_WEB_ERROR_STATUS status = COREWEBVIEW2_WEB_ERROR_STATUS_UNKNOWN;
    CHECK_CALL(args->get_WebErrorStatus(&status));
    // Overtaken by a newer navigation, whose own end follows.
    if (status == COREWEBVIEW2_WEB_ERROR_STATUS_OPERATION_CANCELED) return;
    awaiting_navigation_ = false;
    common::Log(L"web view: the page did not load (web error status %d)", static_cast<int>(status));
    Fail(L"loading the page", E_FAIL);
  }

  void OnProcessFailed(ICoreWebView2ProcessFailedEventArgs* args) {
    if (args == nullptr || failed_ || closing_) return;
    COREWEBVIEW2_PROCESS_FAILED_KIND kind = COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_EXITED;
    CHECK_CALL(args->get_ProcessFailedKind(&kind));
    common::Log(L"web view: a runtime process failed (kind %d)", static_cast<int>(kind));
    // Other processes (graphics, utilities, a frame's own renderer) are
    // restarted by the runtime, and the page stays.
    if (kind != COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED &&
        kind != COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_EXITED &&
        kind != COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_UNRESPONSIVE) {
      return;
    }
    if (++process_failures_ > 1) {
      Fail(L"the runtime's processes, a second time", HRESULT_FROM_WIN32(ERROR_PROCESS_ABORTED));
      return;
    }
    if (kind == COREWEBVIEW2_PROCESS_FAILED_KIND_BROWSER_PROCESS_EXITED) {
      // The web view closed itself: it is made again, page and all.
      common::Log(L"window: making the web view again");
      webview_.reset();
      controller_.reset();
      StartWebView();
    } else {
      common::Log(L"window: loading the page again");
      Navigate();
    }
  }

  void OnWebMessage(ICoreWebView2WebMessageReceivedEventArgs* args) {
    if (args == nullptr || failed_ || closing_) return;
    // Only our own page may ask for anything, should it ever navigate away.
    RuntimeString source;
    if (!CHECK_CALL(args->get_Source(source.put())) || source.str() != kPageSource) return;
    RuntimeString json;
    if (!CHECK_CALL(args->get_WebMessageAsJson(json.put())) || json.empty()) return;
    HandleWebMessage(frontend_, json.str());
  }

  // The window is gone: the web view goes, and a running update is asked
  // to stop and waited for, so that its staging files are closed cleanly.
  void Finish() {
    closing_ = true;
    if (controller_) CHECK_CALL(controller_->Close());
    webview_.reset();
    controller_.reset();
    const bool was_updating = UpdateRunning(frontend_);
    StopWorkers(frontend_);
    if (!WaitForUpdate(frontend_, kUpdateStopWaitMs)) {
      common::Log(L"window: the update did not stop in time; it ends with the launcher");
    } else if (was_updating) {
      common::Log(L"window: the update stopped before the launcher closed");
    }
    alive_.reset();
  }

  Frontend frontend_;
  ComRef<ICoreWebView2Controller> controller_;
  ComRef<ICoreWebView2> webview_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::wstring user_data_;
  std::wstring page_;
  bool failed_ = false;
  HRESULT failure_ = S_OK;
  bool closing_ = false;
  bool awaiting_navigation_ = false;
  int process_failures_ = 0;
};

}  // namespace

void PostToPage(HWND window, const std::wstring& json) {
  if (window == nullptr) return;
  std::wstring* text = new std::wstring(json);
  // Not posted (the window is gone, or its queue is full): nobody else will
  // ever see the text, so it is freed here.
  if (!PostMessageW(window, WM_PAGE_JSON, reinterpret_cast<WPARAM>(text), 0)) delete text;
}

POINT WindowPosition(const RECT& work, UINT dpi) {
  POINT at;
  at.x = work.left + (work.right - work.left - MulDiv(kWindowWidth, dpi, kBaseDpi)) / 2;
  at.y = work.top + (work.bottom - work.top - MulDiv(kWindowHeight, dpi, kBaseDpi)) / 2;
  return at;
}

UINT DpiOf(HWND window) {
  // Looked up: Windows 10 before 1607 has no such call, and is at 96 then.
  using DpiFn = UINT(WINAPI*)(HWND);
  static const auto dpi_for_window = reinterpret_cast<DpiFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  const UINT dpi = dpi_for_window != nullptr ? dpi_for_window(window) : 0;
  return dpi == 0 ? kBaseDpi : dpi;
}

WindowRun Run(update::Options options) {
  LauncherWindow window(std::move(options));
  return window.Run();
}

}  // namespace ui
