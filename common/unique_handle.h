#pragma once
// Move-only owners for operating-system handles: one owner per handle, closed
// on every path. One template over the close function; the invalid value is
// part of each owner's type, and reset() keeps the thread's last error so
// that an error text built after clean-up still carries the code of the call
// that failed.
#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <utility>

namespace common {

// Handle: the handle's type; Close: what frees it; kInvalid: the value that
// holds nothing (0, or -1 for INVALID_HANDLE_VALUE).
template <typename Handle, auto Close, intptr_t kInvalid = 0>
class UniqueHandle {
 public:
  static Handle Invalid() { return reinterpret_cast<Handle>(kInvalid); }

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
  bool valid() const { return handle_ != Invalid(); }
  explicit operator bool() const { return valid(); }

  // For out-parameters of the platform's open/create calls.
  Handle* put() {
    reset();
    return &handle_;
  }

  Handle release() {
    Handle h = handle_;
    handle_ = Invalid();
    return h;
  }

  void reset(Handle h = Invalid()) {
    if (handle_ != Invalid()) {
      DWORD saved = GetLastError();
      Close(handle_);
      SetLastError(saved);
    }
    handle_ = h;
  }

 private:
  Handle handle_ = Invalid();
};

using UniqueFile = UniqueHandle<HANDLE, &CloseHandle, -1>;      // CreateFileW, snapshots: INVALID_HANDLE_VALUE
using UniqueFind = UniqueHandle<HANDLE, &FindClose, -1>;        // FindFirstFileW
using UniqueKernelHandle = UniqueHandle<HANDLE, &CloseHandle>;  // processes, threads, events, mutexes: NULL
using UniqueRegKey = UniqueHandle<HKEY, &RegCloseKey>;
using UniqueModule = UniqueHandle<HMODULE, &FreeLibrary>;
using UniqueLocalMem = UniqueHandle<HLOCAL, &LocalFree>;  // CommandLineToArgvW
// Text the platform allocated with CoTaskMemAlloc (known folders, the web
// view's strings).
using UniqueCoTaskString = UniqueHandle<wchar_t*, &CoTaskMemFree>;
// A mutex this thread owns, released (not closed) when the owner goes; the
// handle itself belongs to a UniqueKernelHandle that outlives this owner.
using HeldMutex = UniqueHandle<HANDLE, &ReleaseMutex>;

// A named mutex of this user's session, held for the owner's scope: one
// writer at a time among the user's launchers for a file they share. A
// lock that cannot be had within about 10 s is gone without (the file is
// still written in one step).
class UserLock {
 public:
  explicit UserLock(const wchar_t* name) : mutex_(CreateMutexW(nullptr, FALSE, name)) {
    const DWORD waited = mutex_ ? WaitForSingleObject(mutex_.get(), 10000) : WAIT_FAILED;
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) held_.reset(mutex_.get());
  }
  UserLock(const UserLock&) = delete;
  UserLock& operator=(const UserLock&) = delete;

 private:
  UniqueKernelHandle mutex_;
  HeldMutex held_;  // released before the handle above is closed
};

// COM on this thread for the owner's lifetime: CoUninitialize pairs only
// with an initialisation that succeeded.
class ComApartment {
 public:
  explicit ComApartment(DWORD model) : result_(CoInitializeEx(nullptr, model)) {}
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

}  // namespace common
