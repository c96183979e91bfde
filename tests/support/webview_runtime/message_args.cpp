// One page message as the host's handler sees it.
#include "tests/support/webview_runtime/stand_in.h"

namespace stand_in {

namespace {

class MessageArgs final
    : public ComObject<ICoreWebView2WebMessageReceivedEventArgs, IID_ICoreWebView2WebMessageReceivedEventArgs> {
 public:
  MessageArgs(const std::wstring& source, const std::wstring& json) : source_(source), json_(json) {}

  HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* source) override {
    Log("MessageArgs.get_Source");
    if (source == nullptr) return E_POINTER;
    *source = CopyForCaller(source_);
    return *source != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR* json) override {
    Log("MessageArgs.get_WebMessageAsJson");
    if (json == nullptr) return E_POINTER;
    *json = CopyForCaller(json_);
    return *json != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE TryGetWebMessageAsString(LPWSTR* text) override {
    Log("MessageArgs.TryGetWebMessageAsString");
    if (text == nullptr) return E_POINTER;
    *text = nullptr;
    // Only a message posted as a string has a string form; ours post objects.
    return E_INVALIDARG;
  }

 private:
  std::wstring source_;
  std::wstring json_;
};

}  // namespace

ICoreWebView2WebMessageReceivedEventArgs* NewMessageArgs(const std::wstring& source, const std::wstring& json) {
  return new MessageArgs(source, json);
}

}  // namespace stand_in
