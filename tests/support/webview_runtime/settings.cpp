// The settings object: every value is recorded and read back.
#include "tests/support/webview_runtime/stand_in.h"

namespace stand_in {
namespace {

class Settings final : public ComObject<ICoreWebView2Settings, IID_ICoreWebView2Settings> {
 public:
  explicit Settings(std::shared_ptr<ViewState> state) : state_(std::move(state)) {}

#define STAND_IN_SETTING(name, field)                                             \
  HRESULT STDMETHODCALLTYPE get_##name(BOOL* value) override {                    \
    Log("Settings.get_" #name);                                                   \
    if (HRESULT hr = state_->Check("Settings.get_" #name); FAILED(hr)) return hr; \
    if (value == nullptr) return E_POINTER;                                       \
    *value = state_->field;                                                       \
    return S_OK;                                                                  \
  }                                                                               \
  HRESULT STDMETHODCALLTYPE put_##name(BOOL value) override {                     \
    Log("Settings.put_" #name " " + std::to_string(value));                       \
    if (HRESULT hr = state_->Check("Settings.put_" #name); FAILED(hr)) return hr; \
    state_->field = value;                                                        \
    return S_OK;                                                                  \
  }
  STAND_IN_SETTING(IsScriptEnabled, script_enabled)
  STAND_IN_SETTING(IsWebMessageEnabled, web_message_enabled)
  STAND_IN_SETTING(AreDefaultScriptDialogsEnabled, default_script_dialogs)
  STAND_IN_SETTING(IsStatusBarEnabled, status_bar)
  STAND_IN_SETTING(AreDevToolsEnabled, dev_tools)
  STAND_IN_SETTING(AreDefaultContextMenusEnabled, default_context_menus)
  STAND_IN_SETTING(AreHostObjectsAllowed, host_objects)
  STAND_IN_SETTING(IsZoomControlEnabled, zoom_control)
  STAND_IN_SETTING(IsBuiltInErrorPageEnabled, built_in_error_page)
#undef STAND_IN_SETTING

 private:
  std::shared_ptr<ViewState> state_;
};

}  // namespace

ICoreWebView2Settings* NewSettings(std::shared_ptr<ViewState> state) { return new Settings(std::move(state)); }

}  // namespace stand_in
