#include "app/self_test.h"

#include <windows.h>

#include "app/console.h"
#include "common/file.h"
#include "update/trust/digest.h"
#include "update/trust/freshness.h"
#include "update/trust/manifest.h"
#include "update/trust/trust_root.h"

namespace app {

int RunSelfTest(const std::wstring& manifest_path, const std::wstring& signature_path) {
  EnsureConsole();
  const std::vector<unsigned char> text = common::ReadWholeFile(manifest_path, kMaxSelfTestFileBytes);
  const std::vector<unsigned char> signature = common::ReadWholeFile(signature_path, kMaxSelfTestFileBytes);
  if (text.empty() || signature.empty()) {
    ConsolePrint(L"  cannot read the manifest or the signature");
    return 1;
  }
  // Either form of the signature: the binary one, or "sig" lines, by the
  // release keys of the built-in root or of one this launcher keeps.
  std::wstring signed_under;
  if (!update::SignedForRelease(update::BuiltInRoot(), text, signature)) {
    for (const update::KeptRoot& kept : update::KeptRoots()) {
      if (!update::SignedForRelease(kept.root, text, signature)) continue;
      signed_under = L"root version " + std::to_wstring(kept.root.version) + L" of " + kept.base_url;
      break;
    }
    if (signed_under.empty()) {
      ConsolePrint(L"  SIGNATURE REJECTED");
      return 1;
    }
  }
  update::Manifest manifest;
  std::wstring error;
  if (!update::ParseManifest(text, manifest, error)) {
    ConsolePrint(L"  signature ok, but the manifest is malformed: %s", error.c_str());
    return 1;
  }
  ConsolePrint(L"  signature ok: channel %s, build %s, protocol %d, %zu file(s)", manifest.channel.c_str(),
               manifest.build.c_str(), static_cast<int>(manifest.protocol), manifest.files.size());
  if (!signed_under.empty()) ConsolePrint(L"  signed by the release keys of %s", signed_under);
  if (manifest.sequence > 0) ConsolePrint(L"  sequence %lld", static_cast<long long>(manifest.sequence));
  if (manifest.has_expiry) {
    const bool passed = update::UtcNowSeconds() >= manifest.expires_at;
    ConsolePrint(L"  expires %s (%s)", update::FormatUtc(manifest.expires_at).c_str(),
                 passed ? L"passed: the launcher refuses it" : L"not yet passed");
  }
  for (const update::ManifestFile& file : manifest.files) {
    ConsolePrint(L"    %s  %llu bytes", file.path.c_str(), static_cast<unsigned long long>(file.size));
  }
  return 0;
}

int SelfTestUsage() {
  EnsureConsole();
  ConsolePrint(L"  usage: VelmoraMultiplayer.exe --self-test <manifest.txt> <manifest.sig>");
  ConsolePrint(L"  (the self-test takes exactly these two files and nothing else; nothing was changed)");
  return 2;
}

}  // namespace app
