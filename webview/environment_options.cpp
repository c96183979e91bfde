#include "webview/environment_options.h"

#include <objbase.h>

#include <atomic>
#include <cwchar>
#include <new>

namespace webview {
namespace {

// {2FDE08A8-1E9A-4766-8C05-95A9CEB9D1C5}
constexpr IID kOptionsIid = {0x2fde08a8, 0x1e9a, 0x4766, {0x8c, 0x05, 0x95, 0xa9, 0xce, 0xb9, 0xd1, 0xc5}};

// The oldest runtime the launcher's calls need: the first stable one.
constexpr wchar_t kTargetVersion[] = L"86.0.616.0";

HRESULT Copy(const std::wstring& text, LPWSTR* value) {
  if (value == nullptr) return E_POINTER;
  const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  *value = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (*value == nullptr) return E_OUTOFMEMORY;
  std::wmemcpy(*value, text.c_str(), text.size() + 1);
  return S_OK;
}

class Options final : public ICoreWebView2EnvironmentOptions {
 public:
  explicit Options(std::wstring language) : language_(std::move(language)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    // Later versions of the options are not offered: their defaults hold.
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, kOptionsIid)) {
      *out = static_cast<ICoreWebView2EnvironmentOptions*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE get_AdditionalBrowserArguments(LPWSTR* value) override { return Copy(arguments_, value); }
  HRESULT STDMETHODCALLTYPE put_AdditionalBrowserArguments(LPCWSTR value) override {
    arguments_ = value != nullptr ? value : L"";
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Language(LPWSTR* value) override { return Copy(language_, value); }
  HRESULT STDMETHODCALLTYPE put_Language(LPCWSTR value) override {
    language_ = value != nullptr ? value : L"";
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_TargetCompatibleBrowserVersion(LPWSTR* value) override { return Copy(target_, value); }
  HRESULT STDMETHODCALLTYPE put_TargetCompatibleBrowserVersion(LPCWSTR value) override {
    target_ = value != nullptr ? value : L"";
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_AllowSingleSignOnUsingOSPrimaryAccount(BOOL* allow) override {
    if (allow == nullptr) return E_POINTER;
    *allow = allow_sso_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_AllowSingleSignOnUsingOSPrimaryAccount(BOOL allow) override {
    allow_sso_ = allow;
    return S_OK;
  }

 private:
  ~Options() = default;

  std::atomic<ULONG> references_{1};
  std::wstring language_;
  std::wstring arguments_;
  std::wstring target_ = kTargetVersion;
  BOOL allow_sso_ = FALSE;
};

}  // namespace

ICoreWebView2EnvironmentOptions* NewEnvironmentOptions(const std::wstring& language) {
  return new (std::nothrow) Options(language);
}

}  // namespace webview
