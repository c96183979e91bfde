// The controller: bounds, visibility, the parent window and Close.
#include "tests/support/webview_runtime/stand_in.h"

namespace stand_in {
namespace {

std::string RectText(const RECT& r) {
  return std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) + " " +
         std::to_string(r.bottom);
}

class Controller final : public ComObject<ICoreWebView2Controller, IID_ICoreWebView2Controller> {
 public:
  explicit Controller(HWND parent) : state_(std::make_shared<ViewState>()) {
    state_->parent = parent;
    web_view_ = NewWebView(state_);
  }
  ~Controller() override {
    Log("Controller destroyed");
    web_view_->Release();
  }

  HRESULT STDMETHODCALLTYPE get_IsVisible(BOOL* visible) override {
    Log("Controller.get_IsVisible");
    if (HRESULT hr = state_->Check("Controller.get_IsVisible"); FAILED(hr)) return hr;
    if (visible == nullptr) return E_POINTER;
    *visible = visible_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL visible) override {
    Log("Controller.put_IsVisible " + std::to_string(visible));
    if (HRESULT hr = state_->Check("Controller.put_IsVisible"); FAILED(hr)) return hr;
    visible_ = visible;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Bounds(RECT* bounds) override {
    Log("Controller.get_Bounds");
    if (HRESULT hr = state_->Check("Controller.get_Bounds"); FAILED(hr)) return hr;
    if (bounds == nullptr) return E_POINTER;
    *bounds = bounds_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) override {
    Log("Controller.put_Bounds " + RectText(bounds));
    if (HRESULT hr = state_->Check("Controller.put_Bounds"); FAILED(hr)) return hr;
    bounds_ = bounds;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ZoomFactor(double* zoom) override {
    Log("Controller.get_ZoomFactor");
    if (HRESULT hr = state_->Check("Controller.get_ZoomFactor"); FAILED(hr)) return hr;
    if (zoom == nullptr) return E_POINTER;
    *zoom = zoom_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_ZoomFactor(double zoom) override {
    Log("Controller.put_ZoomFactor " + std::to_string(zoom));
    if (HRESULT hr = state_->Check("Controller.put_ZoomFactor"); FAILED(hr)) return hr;
    zoom_ = zoom;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE add_ZoomFactorChanged(ICoreWebView2ZoomFactorChangedEventHandler*,
                                                  EventRegistrationToken*) override {
    return NotImplemented("Controller.add_ZoomFactorChanged");
  }
  HRESULT STDMETHODCALLTYPE remove_ZoomFactorChanged(EventRegistrationToken) override {
    return NotImplemented("Controller.remove_ZoomFactorChanged");
  }
  HRESULT STDMETHODCALLTYPE SetBoundsAndZoomFactor(RECT bounds, double zoom) override {
    Log("Controller.SetBoundsAndZoomFactor " + RectText(bounds) + " " + std::to_string(zoom));
    if (HRESULT hr = state_->Check("Controller.SetBoundsAndZoomFactor"); FAILED(hr)) return hr;
    bounds_ = bounds;
    zoom_ = zoom;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE MoveFocus(COREWEBVIEW2_MOVE_FOCUS_REASON reason) override {
    Log("Controller.MoveFocus " + std::to_string(static_cast<int>(reason)));
    return state_->Check("Controller.MoveFocus");
  }
  HRESULT STDMETHODCALLTYPE add_MoveFocusRequested(ICoreWebView2MoveFocusRequestedEventHandler*,
                                                   EventRegistrationToken*) override {
    return NotImplemented("Controller.add_MoveFocusRequested");
  }
  HRESULT STDMETHODCALLTYPE remove_MoveFocusRequested(EventRegistrationToken) override {
    return NotImplemented("Controller.remove_MoveFocusRequested");
  }
  HRESULT STDMETHODCALLTYPE add_GotFocus(ICoreWebView2FocusChangedEventHandler*, EventRegistrationToken*) override {
    return NotImplemented("Controller.add_GotFocus");
  }
  HRESULT STDMETHODCALLTYPE remove_GotFocus(EventRegistrationToken) override {
    return NotImplemented("Controller.remove_GotFocus");
  }
  HRESULT STDMETHODCALLTYPE add_LostFocus(ICoreWebView2FocusChangedEventHandler*, EventRegistrationToken*) override {
    return NotImplemented("Controller.add_LostFocus");
  }
  HRESULT STDMETHODCALLTYPE remove_LostFocus(EventRegistrationToken) override {
    return NotImplemented("Controller.remove_LostFocus");
  }
  HRESULT STDMETHODCALLTYPE add_AcceleratorKeyPressed(ICoreWebView2AcceleratorKeyPressedEventHandler*,
                                                      EventRegistrationToken*) override {
    return NotImplemented("Controller.add_AcceleratorKeyPressed");
  }
  HRESULT STDMETHODCALLTYPE remove_AcceleratorKeyPressed(EventRegistrationToken) override {
    return NotImplemented("Controller.remove_AcceleratorKeyPressed");
  }
  HRESULT STDMETHODCALLTYPE get_ParentWindow(HWND* parent) override {
    Log("Controller.get_ParentWindow");
    if (HRESULT hr = state_->Check("Controller.get_ParentWindow"); FAILED(hr)) return hr;
    if (parent == nullptr) return E_POINTER;
    *parent = state_->parent;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_ParentWindow(HWND parent) override {
    Log("Controller.put_ParentWindow " + Hex(static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(parent))));
    if (HRESULT hr = state_->Check("Controller.put_ParentWindow"); FAILED(hr)) return hr;
    state_->parent = parent;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() override {
    Log("Controller.NotifyParentWindowPositionChanged");
    return state_->Check("Controller.NotifyParentWindowPositionChanged");
  }
  HRESULT STDMETHODCALLTYPE Close() override {
    Log("Controller.Close");
    if (HRESULT hr = state_->Check("Controller.Close"); FAILED(hr)) return hr;
    state_->closed = true;
    if (state_->on_close) state_->on_close();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** web_view) override {
    Log("Controller.get_CoreWebView2");
    if (HRESULT hr = state_->Check("Controller.get_CoreWebView2"); FAILED(hr)) return hr;
    if (web_view == nullptr) return E_POINTER;
    web_view_->AddRef();
    *web_view = web_view_;
    return S_OK;
  }

 private:
  std::shared_ptr<ViewState> state_;
  ICoreWebView2* web_view_ = nullptr;
  BOOL visible_ = TRUE;
  RECT bounds_ = {0, 0, 0, 0};
  double zoom_ = 1.0;
};

}  // namespace

ICoreWebView2Controller* NewController(HWND parent) { return new Controller(parent); }

}  // namespace stand_in
