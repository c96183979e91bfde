#pragma once
// Holds one reference to a COM object and releases it on every path.
#include <unknwn.h>

namespace ui {

template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() { reset(); }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;

  // Takes a new reference of its own to p.
  void assign(T* p) {
    if (p) p->AddRef();
    reset();
    ptr_ = p;
  }
  // For out-parameters that hand over a reference.
  T** put() {
    reset();
    return &ptr_;
  }
  void reset() {
    if (ptr_) {
      T* p = ptr_;
      ptr_ = nullptr;
      p->Release();
    }
  }
  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  T* ptr_ = nullptr;
};

}  // namespace ui
