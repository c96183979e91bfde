#pragma once
// Whom the launcher trusts to sign releases: a chain of root versions, each
// naming root keys (which sign the next version) and release keys (which
// sign descriptions), each with a threshold. Version 1 is built in: today's
// release key as its only root and release key. A version is trusted only
// when the keys of the version before it and its own keys sign it, so a
// lost or leaked key is replaced without a new launcher.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace update {

using Modulus = std::array<unsigned char, 256>;  // RSA-2048, big-endian; exponent 65537

struct TrustRoot {
  int64_t version = 1;
  bool has_expiry = false;
  int64_t expires_at = 0;          // seconds since 1970, UTC
  std::vector<Modulus> root_keys;  // distinct, in the order first listed
  int root_threshold = 1;
  std::vector<Modulus> release_keys;
  int release_threshold = 1;
};

inline constexpr size_t kMaxRootBytes = 64 * 1024;

// Version 1: the release key built into this launcher.
TrustRoot BuiltInRoot();

// A root version's text ("velmoramp-root 1", version, optional expires,
// root-key and release-key lines, both thresholds). False with a
// lower-case reason for a text that breaks the format.
[[nodiscard]] bool ParseTrustRoot(const std::vector<unsigned char>& text, TrustRoot& out, std::wstring& error);

// A key's id: the SHA-256 of its modulus, lower-case hex.
std::string KeyId(const Modulus& key);

// How many distinct keys of `keys` signed exactly `text` in `signatures`:
// "sig <key id> <512 hex digits>" lines (those of other keys ignored, one
// key counted once), or one 256-byte binary signature, counted for the
// first of the keys it verifies under.
int DistinctSigners(const std::vector<unsigned char>& text, const std::vector<unsigned char>& signatures,
                    const std::vector<Modulus>& keys);

// Whether a description carries the release threshold of the root's
// release keys.
[[nodiscard]] bool SignedForRelease(const TrustRoot& root, const std::vector<unsigned char>& text,
                                    const std::vector<unsigned char>& signatures);

// Whether the next version (its text and signatures) may follow `trusted`:
// exactly one version on, well formed, signed by the root threshold of the
// trusted version's root keys and by its own root threshold of its own.
// False with a lower-case reason.
[[nodiscard]] bool AcceptNextRoot(const TrustRoot& trusted, const std::vector<unsigned char>& text,
                                  const std::vector<unsigned char>& signatures, TrustRoot& next, std::wstring& why);

// The newest version kept for this base URL (checked again: well formed and
// signed by its own root keys); false when there is none or it is damaged
// (logged), and then the chain starts again from version 1.
[[nodiscard]] bool LoadKeptRoot(const std::wstring& base_url, TrustRoot& out);
// Every version kept in the data folder, with the base URL it is kept for
// (those that are damaged are passed over).
struct KeptRoot {
  std::wstring base_url;
  TrustRoot root;
};
std::vector<KeptRoot> KeptRoots();

// Keeps a newly trusted version in the data folder, written safely; logged
// when it cannot be.
void KeepRoot(const std::wstring& base_url, const std::vector<unsigned char>& text,
              const std::vector<unsigned char>& signatures);

}  // namespace update
