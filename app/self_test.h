#pragma once
// Checks a release description and its signature held in local files.
#include <string>

#include <cstdint>

namespace app {

// A description is a few kilobytes; a file larger than this is not one and
// is not read.
inline constexpr uint64_t kMaxSelfTestFileBytes = 67108863;

// 0 when the signature is valid and the description parses, else 1. The
// signature counts when it carries the release threshold of the built-in
// key or of a root version this launcher keeps (it says which).
int RunSelfTest(const std::wstring& manifest_path, const std::wstring& signature_path);

// Prints how the self-test is asked for; 2, the exit code of a usage error.
int SelfTestUsage();

}  // namespace app
