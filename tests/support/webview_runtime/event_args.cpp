// The arguments of the navigation-completed and process-failed events.
#include "tests/support/webview_runtime/stand_in.h"

namespace stand_in {
namespace {

class NavigationArgs final
    : public ComObject<ICoreWebView2NavigationCompletedEventArgs, IID_ICoreWebView2NavigationCompletedEventArgs> {
 public:
  NavigationArgs(bool success, int status, UINT64 id) : success_(success), status_(status), id_(id) {}

  HRESULT STDMETHODCALLTYPE get_IsSuccess(BOOL* success) override {
    Log("NavigationArgs.get_IsSuccess");
    if (success == nullptr) return E_POINTER;
    *success = success_ ? TRUE : FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_WebErrorStatus(COREWEBVIEW2_WEB_ERROR_STATUS* status) override {
    Log("NavigationArgs.get_WebErrorStatus");
    if (status == nullptr) return E_POINTER;
    *status = static_cast<COREWEBVIEW2_WEB_ERROR_STATUS>(status_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_NavigationId(UINT64* id) override {
    Log("NavigationArgs.get_NavigationId");
    if (id == nullptr) return E_POINTER;
    *id = id_;
    return S_OK;
  }

 private:
  bool success_;
  int status_;
  UINT64 id_;
};

class ProcessFailedArgs final
    : public ComObject<ICoreWebView2ProcessFailedEventArgs, IID_ICoreWebView2ProcessFailedEventArgs> {
 public:
  explicit ProcessFailedArgs(int kind) : kind_(kind) {}

  HRESULT STDMETHODCALLTYPE get_ProcessFailedKind(COREWEBVIEW2_PROCESS_FAILED_KIND* kind) override {
    Log("ProcessFailedArgs.get_ProcessFailedKind");
    if (kind == nullptr) return E_POINTER;
    *kind = static_cast<COREWEBVIEW2_PROCESS_FAILED_KIND>(kind_);
    return S_OK;
  }

 private:
  int kind_;
};

}  // namespace

ICoreWebView2NavigationCompletedEventArgs* NewNavigationArgs(bool success, int web_error_status, UINT64 id) {
  return new NavigationArgs(success, web_error_status, id);
}

ICoreWebView2ProcessFailedEventArgs* NewProcessFailedArgs(int kind) { return new ProcessFailedArgs(kind); }

}  // namespace stand_in
