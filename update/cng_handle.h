#pragma once
// Scope-bound owners for CNG (bcrypt) handles: providers, hash objects and
// keys, each closed by its own function on every path.
#include <windows.h>
#include <bcrypt.h>

#include "common/unique_handle.h"

namespace update {

struct CngAlgorithmTraits {
  using Handle = BCRYPT_ALG_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { BCryptCloseAlgorithmProvider(h, 0); }
};

struct CngHashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { BCryptDestroyHash(h); }
};

struct CngKeyTraits {
  using Handle = BCRYPT_KEY_HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { BCryptDestroyKey(h); }
};

using UniqueAlgorithm = common::UniqueHandle<CngAlgorithmTraits>;
using UniqueHash = common::UniqueHandle<CngHashTraits>;
using UniqueKey = common::UniqueHandle<CngKeyTraits>;

}  // namespace update
