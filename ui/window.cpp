#include "ui/window.h"

#include <objbase.h>
#include <shlobj.h>

#include <atomic>
#include <functional>
#include <utility>

#include "game/handoff.h"
#include "ui/com_ref.h"
#include "ui/frontend_state.h"
#include "ui/page_requests.h"
#include "webview/interfaces.h"
#include "webview/loader.h"

namespace ui {

update::Options& g_options = *new update::Options();
std::wstring g_player_name;
HWND g_window = nullptr;

const wchar_t kPageSource[] = L"about:blank";

namespace {

ComRef<ICoreWebView2Controller> g_controller;
ComRef<ICoreWebView2> g_webview;

const wchar_t kWindowClass[] = L"velmoramp_launcher";
const wchar_t kWindowTitle[] = L"Velmora Multiplayer";

// A reference-counted handler object with one Invoke, forwarding to a
// function; the runtime calls it on the window thread.
template <typename Interface, const IID& kIid, typename... Args>
class Handler : public Interface {
 public:
  explicit Handler(std::function<HRESULT(Args...)> fn) : fn_(std::move(fn)) {}
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
  virtual ~Handler() = default;
  std::atomic<ULONG> refs_{1};
  std::function<HRESULT(Args...)> fn_;
};

using EnvironmentHandler = Handler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                                   IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, HRESULT,
                                   ICoreWebView2Environment*>;
using ControllerHandler = Handler<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                                  IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, HRESULT,
                                  ICoreWebView2Controller*>;
using MessageHandler = Handler<ICoreWebView2WebMessageReceivedEventHandler,
                               IID_ICoreWebView2WebMessageReceivedEventHandler, ICoreWebView2*,
                               ICoreWebView2WebMessageReceivedEventArgs*>;

// Takes a string the runtime allocated and frees it.
std::wstring TakeRuntimeString(LPWSTR text) {
  std::wstring copy = text ? text : L"";
  if (text) CoTaskMemFree(text);
  return copy;
}

HRESULT OnWebMessage(ICoreWebView2*, ICoreWebView2WebMessageReceivedEventArgs* args) {
  if (args == nullptr) return S_OK;
  // Only our own page may ask for anything, should it ever navigate away.
  LPWSTR source = nullptr;
  if (FAILED(args->get_Source(&source)) || TakeRuntimeString(source) != kPageSource) return S_OK;
  LPWSTR json = nullptr;
  if (FAILED(args->get_WebMessageAsJson(&json)) || json == nullptr) return S_OK;
  HandleWebMessage(TakeRuntimeString(json));
  return S_OK;
}

// The page: RCDATA 1 of the executable, UTF-8 without a terminator.
std::wstring LoadPage() {
  HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(10));
  if (info == nullptr) return std::wstring();
  HGLOBAL loaded = LoadResource(nullptr, info);
  DWORD size = SizeofResource(nullptr, info);
  const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (bytes == nullptr || size == 0) return std::wstring();
  int units = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring page(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), &page[0], units);
  return page;
}

void OnControllerCreated(ICoreWebView2Controller* controller) {
  if (controller == nullptr) return;
  g_controller.assign(controller);
  g_webview.reset();
  g_controller->get_CoreWebView2(g_webview.put());
  if (!g_webview) return;

  ComRef<ICoreWebView2Settings> settings;
  if (SUCCEEDED(g_webview->get_Settings(settings.put())) && settings) {
    settings->put_AreDefaultContextMenusEnabled(FALSE);
    settings->put_AreDevToolsEnabled(FALSE);
    settings->put_IsStatusBarEnabled(FALSE);
    settings->put_AreDefaultScriptDialogsEnabled(FALSE);
  }

  RECT bounds;
  GetClientRect(g_window, &bounds);
  g_controller->put_Bounds(bounds);

  // Before navigating, so that the page's first message ("ready") arrives.
  EventRegistrationToken token;
  MessageHandler* on_message = new MessageHandler(OnWebMessage);
  g_webview->add_WebMessageReceived(on_message, &token);
  on_message->Release();

  const std::wstring page = LoadPage();
  if (!page.empty()) g_webview->NavigateToString(page.c_str());
}

HRESULT OnEnvironmentCreated(HRESULT, ICoreWebView2Environment* environment) {
  if (environment == nullptr) return S_OK;
  ControllerHandler* on_controller = new ControllerHandler([](HRESULT, ICoreWebView2Controller* controller) {
    OnControllerCreated(controller);
    return S_OK;
  });
  environment->CreateCoreWebView2Controller(g_window, on_controller);
  on_controller->Release();
  return S_OK;
}

}  // namespace

void PostToPage(const std::wstring& json) {
  if (g_window == nullptr) return;
  std::wstring* text = new std::wstring(json);
  // Not posted (the window is gone, or its queue is full): nobody else will
  // ever see the text, so it is freed here.
  if (!PostMessageW(g_window, WM_PAGE_JSON, reinterpret_cast<WPARAM>(text), 0)) delete text;
}

LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAGE_JSON: {
      std::wstring* text = reinterpret_cast<std::wstring*>(wparam);
      if (text == nullptr) return 0;
      if (g_webview) g_webview->PostWebMessageAsJson(text->c_str());
      delete text;
      return 0;
    }
    case WM_GAME_STARTED:
      PostMessageW(window, WM_CLOSE, 0, 0);
      return 0;
    case WM_SIZE:
      if (g_controller) {
        RECT bounds;
        GetClientRect(window, &bounds);
        g_controller->put_Bounds(bounds);
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

std::wstring MakeUserDataFolder() {
  PWSTR local = nullptr;
  if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &local)) || local == nullptr) {
    if (local) CoTaskMemFree(local);
    return std::wstring();
  }
  const std::wstring folder = std::wstring(local) + L"\\velmoramp\\launcher";
  CoTaskMemFree(local);
  CreateDirectoryW(folder.substr(0, folder.find_last_of(L'\\')).c_str(), nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

POINT WindowPosition(const RECT& work) {
  POINT at;
  at.x = work.left + (work.right - work.left - kWindowWidth) / 2;
  at.y = work.top + (work.bottom - work.top - kWindowHeight) / 2;
  return at;
}

int Run(update::Options options) {
  g_options = std::move(options);
  g_player_name = !g_options.player_name.empty() ? g_options.player_name : ReadSavedName(g_options.game_dir);

  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class = {};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = LauncherWindowProc;
  window_class.hInstance = instance;
  window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
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

  g_window = CreateWindowExW(0, kWindowClass, kWindowTitle, WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX, at.x, at.y,
                             kWindowWidth, kWindowHeight, nullptr, nullptr, instance, nullptr);
  if (g_window == nullptr) return 1;
  ShowWindow(g_window, SW_SHOW);
  UpdateWindow(g_window);

  // The web view runs in a single-threaded apartment on this thread.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const std::wstring user_data = MakeUserDataFolder();
  EnvironmentHandler* on_environment = new EnvironmentHandler(OnEnvironmentCreated);
  HRESULT requested = webview::CreateEnvironmentWithOptions(
      nullptr, user_data.empty() ? nullptr : user_data.c_str(), nullptr, on_environment);
  on_environment->Release();
  if (FAILED(requested)) {
    DestroyWindow(g_window);
    return 1;
  }

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (g_controller) g_controller->Close();
  g_webview.reset();
  g_controller.reset();
  return 0;
}

}  // namespace ui
