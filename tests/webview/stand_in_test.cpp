// The stand-in runtime as a host sees it, so that the window's own tests can
// rely on it: handlers on the window thread, the page script with its waits
// and foreign sources, the call log and saved page, and the runtime's
// refusals (invalid JSON, another thread, after Close, injected failures).
#include <gtest/gtest.h>
#include <objbase.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/harness.h"
#include "tests/support/webview_stand_in.h"
#include "tests/webview/com_handlers.h"
#include "webview/loader.h"

namespace {

using webview_test::ControllerCompletion;
using webview_test::EnvironmentCompletion;
using webview_test::PumpUntil;

struct Received {
  std::string source;
  std::string json;
  DWORD thread;
};

// Records every page message; answers "ready" with a name, as the host does.
class MessageRecorder final : public ICoreWebView2WebMessageReceivedEventHandler {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_ICoreWebView2WebMessageReceivedEventHandler)) {
      return E_NOINTERFACE;
    }
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender, ICoreWebView2WebMessageReceivedEventArgs* args) override {
    LPWSTR source = nullptr;
    LPWSTR json = nullptr;
    if (FAILED(args->get_Source(&source)) || FAILED(args->get_WebMessageAsJson(&json))) return E_FAIL;
    received.push_back({harness::Narrow(source), harness::Narrow(json), GetCurrentThreadId()});
    CoTaskMemFree(source);
    CoTaskMemFree(json);
    if (received.back().json == "{\"type\":\"ready\"}") {
      sender->PostWebMessageAsJson(L"{\"type\":\"name\",\"name\":\"\x0141ukasz\"}");
    }
    return S_OK;
  }

  ULONG references = 1;
  std::vector<Received> received;
};

// Records the events the launcher watches: each navigation's end and each
// process failure, with what their arguments say.
template <typename Interface, const IID& kIid, typename Args>
class EventRecorder final : public Interface {
 public:
  explicit EventRecorder(std::function<void(Args*)> read) : read_(std::move(read)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, kIid)) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2*, Args* args) override {
    read_(args);
    return S_OK;
  }
  ULONG references = 1;

 private:
  std::function<void(Args*)> read_;
};
using NavigationRecorder =
    EventRecorder<ICoreWebView2NavigationCompletedEventHandler, IID_ICoreWebView2NavigationCompletedEventHandler,
                  ICoreWebView2NavigationCompletedEventArgs>;
using ProcessFailedRecorder =
    EventRecorder<ICoreWebView2ProcessFailedEventHandler, IID_ICoreWebView2ProcessFailedEventHandler,
                  ICoreWebView2ProcessFailedEventArgs>;

LRESULT CALLBACK PlainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(window, message, wparam, lparam);
}

class StandInRuntimeTest : public ::testing::Test {
 protected:
  std::wstring root_ = harness::MakeTempDir(L"webview-stand-in");
  std::wstring log_ = root_ + L"\\calls.log";
  std::wstring script_ = root_ + L"\\page.txt";
  HWND window_ = nullptr;
  bool com_ = false;

  void SetUp() override {
    com_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    harness::UninstallRuntimes();
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_LOG", log_.c_str());
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_SCRIPT", script_.c_str());
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_FAIL", nullptr);
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = PlainWindowProc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"stand_in_test_parent";
    RegisterClassW(&window_class);
    window_ = CreateWindowExW(0, window_class.lpszClassName, L"host", WS_POPUP, 0, 0, 1000, 680, nullptr, nullptr,
                              window_class.hInstance, nullptr);
  }
  void TearDown() override {
    if (window_ != nullptr) DestroyWindow(window_);
    harness::UninstallRuntimes();
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_LOG", nullptr);
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_SCRIPT", nullptr);
    SetEnvironmentVariableW(L"VELMORA_WEBVIEW_FAIL", nullptr);
    harness::RemoveTree(root_);
    if (com_) CoUninitialize();
  }

  std::string Log() { return harness::ReadFileBytes(log_); }

  // Environment and controller, as the window front-end gets them.
  ICoreWebView2Controller* MakeController(EnvironmentCompletion& environment, ControllerCompletion& controller) {
    if (webview::CreateEnvironmentWithOptions(nullptr, nullptr, nullptr, &environment) != S_OK) return nullptr;
    if (!PumpUntil([&] { return environment.calls > 0; }) || environment.object == nullptr) return nullptr;
    if (environment.object->CreateCoreWebView2Controller(window_, &controller) != S_OK) return nullptr;
    if (!PumpUntil([&] { return controller.calls > 0; })) return nullptr;
    return controller.object;
  }
};

TEST_F(StandInRuntimeTest, PlaysThePageScriptAndRecordsTheHost) {
  harness::StandInRuntime installed(harness::RuntimeInstall::kPerUser);
  ASSERT_TRUE(harness::WriteFileBytes(script_,
                                      "# the page loads\n"
                                      "{\"type\":\"ready\"}\r\n"
                                      "\n"
                                      "wait-for \"type\":\"name\"\n"
                                      "from https://elsewhere.example/ {\"type\":\"play\"}\n"
                                      "sleep 50\n"
                                      "{\"type\":\"close\"}\n"));
  // Declared first: the web view holds it until the controller goes.
  MessageRecorder recorder;
  EnvironmentCompletion environment;
  ControllerCompletion controller_done;
  ICoreWebView2Controller* controller = MakeController(environment, controller_done);
  ASSERT_NE(controller, nullptr) << Log();

  ICoreWebView2* web_view = nullptr;
  ASSERT_EQ(controller->get_CoreWebView2(&web_view), S_OK);
  ICoreWebView2Settings* settings = nullptr;
  ASSERT_EQ(web_view->get_Settings(&settings), S_OK);
  EXPECT_EQ(settings->put_AreDefaultContextMenusEnabled(FALSE), S_OK);
  EXPECT_EQ(settings->put_AreDevToolsEnabled(FALSE), S_OK);
  BOOL value = TRUE;
  EXPECT_EQ(settings->get_AreDevToolsEnabled(&value), S_OK);
  EXPECT_EQ(value, FALSE);
  settings->Release();
  EXPECT_EQ(controller->put_Bounds(RECT{0, 0, 1000, 680}), S_OK);

  EventRegistrationToken token = {};
  ASSERT_EQ(web_view->add_WebMessageReceived(&recorder, &token), S_OK);
  const std::wstring page = L"<!doctype html><title>\x00e9t\x00e9</title>";
  ASSERT_EQ(web_view->NavigateToString(page.c_str()), S_OK);
  EXPECT_TRUE(recorder.received.empty()) << "the page loads later, from the message loop";
  ASSERT_TRUE(PumpUntil([&] { return Log().find("Page.script done") != std::string::npos; })) << Log();

  // Every message, in order, on this thread; the foreign one with its source.
  ASSERT_EQ(recorder.received.size(), 3u) << Log();
  EXPECT_EQ(recorder.received[0].json, "{\"type\":\"ready\"}");
  EXPECT_EQ(recorder.received[0].source, "about:blank");
  EXPECT_EQ(recorder.received[1].json, "{\"type\":\"play\"}");
  EXPECT_EQ(recorder.received[1].source, "https://elsewhere.example/");
  EXPECT_EQ(recorder.received[2].source, "about:blank");
  for (const Received& r : recorder.received) EXPECT_EQ(r.thread, GetCurrentThreadId());
  LPWSTR source = nullptr;
  ASSERT_EQ(web_view->get_Source(&source), S_OK);
  EXPECT_EQ(harness::Narrow(source), "about:blank");
  CoTaskMemFree(source);

  // The log: one line per call, in order; the wait held "play" back.
  const std::string log = Log();
  const std::string name_line = "WebView.PostWebMessageAsJson {\"type\":\"name\",\"name\":\"\xC5\x81ukasz\"}\n";
  for (const std::string& line :
       {std::string("Settings.put_AreDefaultContextMenusEnabled 0\n"),
        std::string("Settings.put_AreDevToolsEnabled 0\n"), std::string("Controller.put_Bounds 0 0 1000 680\n"),
        std::string("WebView.add_WebMessageReceived token=1\n"),
        "WebView.NavigateToString length=" + std::to_string(page.size()) +
            " bytes=" + std::to_string(harness::Narrow(page).size()),
        name_line}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_LT(log.find(name_line), log.find("Page.message source=https://elsewhere.example/")) << log;
  EXPECT_EQ(harness::ReadFileBytes(log_ + L".page.html"), harness::Narrow(page)) << "the whole page, as UTF-8";

  // What the runtime refuses.
  EXPECT_EQ(web_view->PostWebMessageAsJson(L"{\"text\":\"two\nlines\"}"), E_INVALIDARG);
  EXPECT_EQ(web_view->PostWebMessageAsJson(L"{\"type\":\"status\""), E_INVALIDARG);
  EXPECT_NE(Log().find("WebView.PostWebMessageAsJson INVALID JSON"), std::string::npos);
  HRESULT from_worker = S_OK;
  std::thread worker([&] { from_worker = web_view->PostWebMessageAsJson(L"{}"); });
  worker.join();
  EXPECT_EQ(from_worker, RPC_E_WRONG_THREAD);
  EXPECT_NE(Log().find("WRONG THREAD WebView.PostWebMessageAsJson"), std::string::npos);

  EXPECT_EQ(controller->Close(), S_OK);
  EXPECT_EQ(controller->put_Bounds(RECT{0, 0, 10, 10}), HRESULT_FROM_WIN32(ERROR_INVALID_STATE));
  EXPECT_EQ(web_view->PostWebMessageAsJson(L"{}"), HRESULT_FROM_WIN32(ERROR_INVALID_STATE));
  web_view->Release();
}

TEST_F(StandInRuntimeTest, InjectedFailuresReachTheHost) {
  harness::StandInRuntime installed(harness::RuntimeInstall::kFixedFolder);

  SetEnvironmentVariableW(L"VELMORA_WEBVIEW_FAIL", L"environment");
  EnvironmentCompletion no_environment;
  ASSERT_EQ(webview::CreateEnvironmentWithOptions(nullptr, nullptr, nullptr, &no_environment), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return no_environment.calls > 0; }));
  EXPECT_EQ(no_environment.result, E_FAIL);
  EXPECT_EQ(no_environment.object, nullptr);

  SetEnvironmentVariableW(L"VELMORA_WEBVIEW_FAIL", L"controller,settings");
  EnvironmentCompletion environment;
  ControllerCompletion no_controller;
  EXPECT_EQ(MakeController(environment, no_controller), nullptr);
  EXPECT_EQ(no_controller.calls, 1);
  EXPECT_EQ(no_controller.result, E_FAIL);

  SetEnvironmentVariableW(L"VELMORA_WEBVIEW_FAIL", L"settings");
  ControllerCompletion controller_done;
  ASSERT_EQ(environment.object->CreateCoreWebView2Controller(window_, &controller_done), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return controller_done.calls > 0; }));
  ASSERT_NE(controller_done.object, nullptr);
  ICoreWebView2* web_view = nullptr;
  ASSERT_EQ(controller_done.object->get_CoreWebView2(&web_view), S_OK);
  ICoreWebView2Settings* settings = nullptr;
  EXPECT_EQ(web_view->get_Settings(&settings), E_FAIL);
  EXPECT_EQ(settings, nullptr);
  web_view->Release();
}

TEST_F(StandInRuntimeTest, RefusesAThreadWithoutASingleThreadedApartment) {
  harness::StandInRuntime installed(harness::RuntimeInstall::kPerMachine);
  HRESULT result = S_OK;
  std::thread no_com([&] {
    EnvironmentCompletion done;
    result = webview::CreateEnvironmentWithOptions(nullptr, nullptr, nullptr, &done);
  });
  no_com.join();
  EXPECT_EQ(result, CO_E_NOTINITIALIZED);
}

TEST_F(StandInRuntimeTest, NavigationsEndAndTheScriptMakesProcessesFail) {
  harness::StandInRuntime installed(harness::RuntimeInstall::kFixedFolder);
  ASSERT_TRUE(harness::WriteFileBytes(script_,
                                      "{\"type\":\"ready\"}\n"
                                      "process-failed 1\n"
                                      "{\"type\":\"again\"}\n"
                                      "process-failed 0\n"
                                      "{\"type\":\"never\"}\n"));
  MessageRecorder messages;
  std::vector<std::pair<BOOL, int>> navigations;
  NavigationRecorder on_navigation([&](ICoreWebView2NavigationCompletedEventArgs* args) {
    BOOL success = FALSE;
    COREWEBVIEW2_WEB_ERROR_STATUS status = COREWEBVIEW2_WEB_ERROR_STATUS_OPERATION_CANCELED;
    args->get_IsSuccess(&success);
    args->get_WebErrorStatus(&status);
    navigations.emplace_back(success, static_cast<int>(status));
  });
  std::vector<int> kinds;
  ProcessFailedRecorder on_failure([&](ICoreWebView2ProcessFailedEventArgs* args) {
    COREWEBVIEW2_PROCESS_FAILED_KIND kind = COREWEBVIEW2_PROCESS_FAILED_KIND_RENDER_PROCESS_UNRESPONSIVE;
    args->get_ProcessFailedKind(&kind);
    kinds.push_back(static_cast<int>(kind));
  });
  EnvironmentCompletion environment;
  ControllerCompletion controller_done;
  ICoreWebView2Controller* controller = MakeController(environment, controller_done);
  ASSERT_NE(controller, nullptr) << Log();
  ICoreWebView2* web_view = nullptr;
  ASSERT_EQ(controller->get_CoreWebView2(&web_view), S_OK);
  EventRegistrationToken token = {};
  ASSERT_EQ(web_view->add_WebMessageReceived(&messages, &token), S_OK);
  ASSERT_EQ(web_view->add_NavigationCompleted(&on_navigation, &token), S_OK);
  ASSERT_EQ(web_view->add_ProcessFailed(&on_failure, &token), S_OK);
  ASSERT_EQ(web_view->NavigateToString(L"<p>page</p>"), S_OK);
  EXPECT_TRUE(navigations.empty()) << "the navigation ends later";

  ASSERT_TRUE(PumpUntil([&] { return kinds.size() == 2; })) << Log();
  EXPECT_EQ(navigations, (std::vector<std::pair<BOOL, int>>{{TRUE, 0}}));
  EXPECT_EQ(kinds, (std::vector<int>{1, 0}));
  ASSERT_EQ(messages.received.size(), 2u) << "the script ends with the browser process";
  EXPECT_EQ(messages.received[1].json, "{\"type\":\"again\"}");
  // The browser process is gone: the view is closed.
  EXPECT_EQ(web_view->PostWebMessageAsJson(L"{}"), HRESULT_FROM_WIN32(ERROR_INVALID_STATE));
  web_view->Release();
}

}  // namespace
