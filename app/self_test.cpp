#include "app/self_test.h"

#include <windows.h>

#include "app/console.h"
#include "common/file.h"
#include "update/digest.h"
#include "update/manifest.h"

namespace app {

int RunSelfTest(const std::wstring& manifest_path, const std::wstring& signature_path) {
  EnsureConsole();
  const std::vector<unsigned char> text = common::ReadWholeFile(manifest_path, kMaxSelfTestFileBytes);
  const std::vector<unsigned char> signature = common::ReadWholeFile(signature_path, kMaxSelfTestFileBytes);
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
  ConsolePrint(L"  signature ok: channel %s, build %s, protocol %d, %zu file(s)", manifest.channel.c_str(),
               manifest.build.c_str(), static_cast<int>(manifest.protocol), manifest.files.size());
  for (const update::ManifestFile& file : manifest.files) {
    ConsolePrint(L"    %s  %llu bytes", file.path.c_str(), static_cast<unsigned long long>(file.size));
  }
  return 0;
}

}  // namespace app
