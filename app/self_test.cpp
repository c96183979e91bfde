#include "app/self_test.h"

#include <windows.h>

#include "app/console.h"
#include "common/unique_handle.h"
#include "update/digest.h"
#include "update/manifest.h"

namespace {
// A description is a few kilobytes; anything this big is not one.
constexpr LONGLONG kMaxReadBytes = 67108863;
}  // namespace

std::vector<unsigned char> ReadWholeFile(const std::wstring& path) {
  std::vector<unsigned char> bytes;
  common::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return bytes;
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || size.QuadPart > kMaxReadBytes) {
    return bytes;
  }
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
      read != bytes.size()) {
    bytes.clear();
  }
  return bytes;
}

int RunSelfTest(const std::wstring& manifest_path, const std::wstring& signature_path) {
  EnsureConsole();
  const std::vector<unsigned char> text = ReadWholeFile(manifest_path);
  const std::vector<unsigned char> signature = ReadWholeFile(signature_path);
  if (text.empty() || signature.empty()) {
    ConsolePrint(L"  cannot read the manifest or the signature");
    return 1;
  }
  if (!update::VerifySignature(text, signature)) {
    ConsolePrint(L"  SIGNATURE REJECTED");
    return 1;
  }
  update::Manifest manifest;
  std::wstring error;
  if (!update::ParseManifest(text, manifest, error)) {
    ConsolePrint(L"  signature ok, but the manifest is malformed: %s", error.c_str());
    return 1;
  }
  ConsolePrint(L"  signature ok: channel %s, build %s, protocol %d, %zu file(s)",
               manifest.channel.c_str(), manifest.build.c_str(), static_cast<int>(manifest.protocol),
               manifest.files.size());
  for (const update::ManifestFile& file : manifest.files) {
    ConsolePrint(L"    %s  %llu bytes", file.path.c_str(),
                 static_cast<unsigned long long>(file.size));
  }
  return 0;
}
