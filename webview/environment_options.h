#pragma once
// The options a web view environment is created with: the language its
// browser runs in (its own texts, Accept-Language, navigator.language).
#include <string>

#include "webview/interfaces.h"

// The runtime's view of the options: IUnknown, then the getters and setters
// in the order the interface declares them.
struct ICoreWebView2EnvironmentOptions : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_AdditionalBrowserArguments(LPWSTR* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AdditionalBrowserArguments(LPCWSTR value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Language(LPWSTR* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Language(LPCWSTR value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_TargetCompatibleBrowserVersion(LPWSTR* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_TargetCompatibleBrowserVersion(LPCWSTR value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AllowSingleSignOnUsingOSPrimaryAccount(BOOL* allow) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AllowSingleSignOnUsingOSPrimaryAccount(BOOL allow) = 0;
};

namespace webview {

// A new options object holding one reference, which the caller owns;
// nullptr when out of memory. The language is a BCP 47 tag ("de", "pt-BR").
ICoreWebView2EnvironmentOptions* NewEnvironmentOptions(const std::wstring& language);

}  // namespace webview
