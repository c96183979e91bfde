#pragma once
// Scope-bound owners for CNG (bcrypt) handles: providers, hash objects and
// keys, each closed by its own function on every path.
#include <windows.h>
#include <bcrypt.h>

#include "common/unique_handle.h"

namespace update {

inline void CloseAlgorithm(BCRYPT_ALG_HANDLE provider) { BCryptCloseAlgorithmProvider(provider, 0); }

using UniqueAlgorithm = common::UniqueHandle<BCRYPT_ALG_HANDLE, &CloseAlgorithm>;
using UniqueHash = common::UniqueHandle<BCRYPT_HASH_HANDLE, &BCryptDestroyHash>;
using UniqueKey = common::UniqueHandle<BCRYPT_KEY_HANDLE, &BCryptDestroyKey>;

}  // namespace update
