// The runtime's entry and its environment object.
#include <objbase.h>

#include "stand_in_version.h"
#include "tests/support/webview_runtime/stand_in.h"
#include "webview/environment_options.h"

namespace stand_in {
namespace {

class Environment final : public ComObject<ICoreWebView2Environment, IID_ICoreWebView2Environment> {
 public:
  HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
      HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) override {
    Log("Environment.CreateCoreWebView2Controller parent=" +
        Hex(static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(parent))));
    if (GetCurrentThreadId() != thread_) {
      Log("WRONG THREAD Environment.CreateCoreWebView2Controller");
      return RPC_E_WRONG_THREAD;
    }
    if (handler == nullptr) return E_POINTER;
    if (!IsWindow(parent)) return E_INVALIDARG;
    handler->AddRef();
    Post([handler, parent]() {
      if (Fails("controller")) {
        Log("ControllerCompleted E_FAIL null");
        handler->Invoke(E_FAIL, nullptr);
      } else {
        ICoreWebView2Controller* controller = NewController(parent);
        Log("ControllerCompleted S_OK");
        handler->Invoke(S_OK, controller);
        controller->Release();
      }
      handler->Release();
    });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE CreateWebResourceResponse(IStream*, int, LPCWSTR, LPCWSTR,
                                                      ICoreWebView2WebResourceResponse**) override {
    return NotImplemented("Environment.CreateWebResourceResponse");
  }
  HRESULT STDMETHODCALLTYPE get_BrowserVersionString(LPWSTR* version) override {
    Log("Environment.get_BrowserVersionString");
    if (version == nullptr) return E_POINTER;
    *version = CopyForCaller(Wide(STAND_IN_VERSION_TEXT));
    return *version != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE add_NewBrowserVersionAvailable(ICoreWebView2NewBrowserVersionAvailableEventHandler*,
                                                           EventRegistrationToken*) override {
    return NotImplemented("Environment.add_NewBrowserVersionAvailable");
  }
  HRESULT STDMETHODCALLTYPE remove_NewBrowserVersionAvailable(EventRegistrationToken) override {
    return NotImplemented("Environment.remove_NewBrowserVersionAvailable");
  }

 private:
  DWORD thread_ = GetCurrentThreadId();
};

}  // namespace

ICoreWebView2Environment* NewEnvironment() { return new Environment(); }

namespace {

// What the options given ask of the browser, as the log says it.
std::string OptionsText(IUnknown* options) {
  if (options == nullptr) return "(null)";
  static constexpr IID kOptions = {0x2fde08a8, 0x1e9a, 0x4766, {0x8c, 0x05, 0x95, 0xa9, 0xce, 0xb9, 0xd1, 0xc5}};
  ICoreWebView2EnvironmentOptions* o = nullptr;
  if (FAILED(options->QueryInterface(kOptions, reinterpret_cast<void**>(&o))) || o == nullptr) {
    return "set (without the options interface)";
  }
  std::string text = "set";
  LPWSTR value = nullptr;
  if (SUCCEEDED(o->get_Language(&value)) && value != nullptr) text += " language=" + Utf8(value);
  CoTaskMemFree(value);
  value = nullptr;
  if (SUCCEEDED(o->get_TargetCompatibleBrowserVersion(&value)) && value != nullptr) text += " target=" + Utf8(value);
  CoTaskMemFree(value);
  o->Release();
  return text;
}

}  // namespace

}  // namespace stand_in

// What a loader calls: check for a running instance, runtime type (0
// installed, 1 fixed folder), user-data folder, options, completion handler.
extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE
    CreateWebViewEnvironmentWithOptionsInternal(bool check_running_instance, int runtime_type, PCWSTR user_data_folder,
                                                IUnknown* options,
                                                ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
  using namespace stand_in;
  Log("CreateWebViewEnvironmentWithOptionsInternal checkRunningInstance=" +
      std::to_string(check_running_instance ? 1 : 0) + " runtimeType=" + std::to_string(runtime_type) +
      " userDataFolder=" + (user_data_folder != nullptr ? Utf8(user_data_folder) : std::string("(null)")) +
      " options=" + OptionsText(options));
  if (handler == nullptr) return E_POINTER;
  if (Fails("create")) return E_FAIL;
  // The runtime needs a single-threaded apartment on the calling thread.
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  HRESULT apartment = CoGetApartmentType(&type, &qualifier);
  if (FAILED(apartment)) {
    Log("refused: COM is not initialised on this thread");
    return CO_E_NOTINITIALIZED;
  }
  if (type != APTTYPE_STA && type != APTTYPE_MAINSTA) {
    Log("refused: this thread is not single-threaded");
    return RPC_E_CHANGED_MODE;
  }
  InitDispatcher();
  handler->AddRef();
  Post([handler]() {
    if (Fails("environment")) {
      Log("EnvironmentCompleted E_FAIL null");
      handler->Invoke(E_FAIL, nullptr);
    } else {
      ICoreWebView2Environment* environment = NewEnvironment();
      Log("EnvironmentCompleted S_OK");
      handler->Invoke(S_OK, environment);
      environment->Release();
    }
    handler->Release();
  });
  return S_OK;
}
