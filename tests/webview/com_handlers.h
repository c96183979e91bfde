#pragma once
// Completion handlers for the tests: each records what the runtime handed
// it and on which thread, and keeps a reference to the object it got.
#include <windows.h>

#include <functional>

#include "webview/interfaces.h"

namespace webview_test {

template <typename Interface, const IID& kIid, typename Result>
class Completion final : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, kIid)) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  // Lives on the test's stack: counting only.
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE Invoke(HRESULT error, Result* created) override {
    ++calls;
    result = error;
    thread = GetCurrentThreadId();
    if (created != nullptr) created->AddRef();
    if (object != nullptr) object->Release();
    object = created;
    return S_OK;
  }
  ~Completion() {
    if (object != nullptr) object->Release();
  }

  ULONG references = 1;
  int calls = 0;
  HRESULT result = E_UNEXPECTED;
  DWORD thread = 0;
  Result* object = nullptr;
};

using EnvironmentCompletion =
    Completion<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
               IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, ICoreWebView2Environment>;
using ControllerCompletion =
    Completion<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
               IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, ICoreWebView2Controller>;

// Runs this thread's message loop until done() or the time is up.
inline bool PumpUntil(const std::function<bool()>& done, DWORD limit_ms = 10000) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > limit_ms) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return true;
}

}  // namespace webview_test
