#pragma once
// Move-only owners for operating-system handles: one owner per handle, closed
// on every path. The invalid value is part of each owner's type, and reset()
// keeps the thread's last error so that an error text built after clean-up
// still carries the code of the call that failed.
#include <windows.h>
#include <utility>

namespace common {

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle h) : handle_(h) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  Handle get() const { return handle_; }
  bool valid() const { return handle_ != Traits::Invalid(); }
  explicit operator bool() const { return valid(); }

  // For out-parameters of the platform's open/create calls.
  Handle* put() {
    reset();
    return &handle_;
  }

  Handle release() {
    Handle h = handle_;
    handle_ = Traits::Invalid();
    return h;
  }

  void reset(Handle h = Traits::Invalid()) {
    if (handle_ != Traits::Invalid()) {
      DWORD saved = GetLastError();
      Traits::Close(handle_);
      SetLastError(saved);
    }
    handle_ = h;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

struct FileHandleTraits {  // CreateFileW, snapshots: INVALID_HANDLE_VALUE
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { CloseHandle(h); }
};

struct KernelHandleTraits {  // processes, threads, events, pipes: NULL
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { CloseHandle(h); }
};

struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { RegCloseKey(h); }
};

struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { FreeLibrary(h); }
};

using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueModule = UniqueHandle<ModuleTraits>;

// Memory the platform allocated with LocalAlloc (CommandLineToArgvW).
struct LocalMemTraits {
  using Handle = HLOCAL;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { LocalFree(h); }
};
using UniqueLocalMem = UniqueHandle<LocalMemTraits>;

}  // namespace common
