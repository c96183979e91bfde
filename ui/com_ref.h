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
  ComRef(ComRef&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  ComRef& operator=(ComRef&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = other.ptr_;
      other.ptr_ = nullptr;
    }
    return *this;
  }

  // Takes over a reference the caller already holds (a new object's).
  static ComRef Adopt(T* p) {
    ComRef ref;
    ref.ptr_ = p;
    return ref;
  }
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
