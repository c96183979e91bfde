#include "app/self_test.h"

#include <windows.h>

#include "app/console.h"
#include "common/file.h"
#include "common/texts.h"
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
    ConsolePrint(L"  %s", common::Tr(L"cannot read the manifest or the signature"));
    return 1;
  }
  // Either form of the signature: the binary one, or "sig" lines, by the
  // release keys of the built-in root or of one this launcher keeps.
  std::wstring signed_under;
  if (!update::SignedForRelease(update::BuiltInRoot(), text, signature)) {
    for (const update::KeptRoot& kept : update::KeptRoots()) {
      if (!update::SignedForRelease(kept.root, text, signature)) continue;
      signed_under =
          common::TrF(L"signed by the release keys of root version %d of %s", kept.root.version, kept.base_url);
      break;
    }
    if (signed_under.empty()) {
      ConsolePrint(L"  %s", common::Tr(L"SIGNATURE REJECTED"));
      return 1;
    }
  }
  update::Manifest manifest;
  std::wstring error;
  if (!update::ParseManifest(text, manifest, error)) {
    ConsolePrint(L"  %s", common::TrF(L"signature ok, but the manifest is malformed: %s", error));
    return 1;
  }
  ConsolePrint(L"  %s", common::TrN(manifest.files.size(), L"signature ok: channel %s, build %s, protocol %d, %s file",
                                    L"signature ok: channel %s, build %s, protocol %d, %s files", manifest.channel,
                                    manifest.build, static_cast<int>(manifest.protocol),
                                    common::FormatCount(manifest.files.size())));
  if (!signed_under.empty()) ConsolePrint(L"  %s", signed_under);
  // A number that names the release, not an amount: not grouped.
  if (manifest.sequence > 0) ConsolePrint(L"  %s", common::TrF(L"sequence %d", manifest.sequence));
  if (manifest.has_expiry) {
    const std::wstring when = update::FormatUtc(manifest.expires_at);
    ConsolePrint(L"  %s", update::UtcNowSeconds() >= manifest.expires_at
                              ? common::TrF(L"expires %s (passed: the launcher refuses it)", when)
                              : common::TrF(L"expires %s (not yet passed)", when));
  }
  // Exact sizes, to be checked against the files themselves.
  for (const update::ManifestFile& file : manifest.files) {
    ConsolePrint(L"    %s  %s", file.path,
                 common::TrN(file.size, L"%s byte", L"%s bytes", common::FormatCount(file.size)));
  }
  return 0;
}

int SelfTestUsage() {
  EnsureConsole();
  ConsolePrint(L"  %s", common::TrF(L"usage: %s", L"VelmoraMultiplayer.exe --self-test <manifest.txt> <manifest.sig>"));
  ConsolePrint(L"  %s",
               common::Tr(L"(the self-test takes exactly these two files and nothing else; nothing was changed)"));
  return 2;
}

}  // namespace app
