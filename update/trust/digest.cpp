#include "update/trust/digest.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "common/unique_handle.h"
#include "release_key.h"
#include "update/trust/cng_handle.h"
#include "update/trust/sha256_stream.h"

namespace update {

namespace {

constexpr size_t kDigestBytes = 32;
constexpr size_t kModulusBytes = 256;
constexpr size_t kSignatureBytes = 256;
// Whole files are never held in memory: they are hashed a chunk at a time.
constexpr DWORD kFileChunk = 65536;

// The raw digest of a buffer; an empty buffer is not fed at all.
bool Sha256Bytes(const std::vector<unsigned char>& data, unsigned char (&digest)[kDigestBytes]) {
  Sha256Stream stream;
  if (!BeginSha256Stream(stream)) return false;
  if (!FeedSha256Stream(stream, data.data(), data.size())) return false;
  return FinishSha256StreamRaw(stream, digest);
}

}  // namespace

std::string ToHex(const unsigned char* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

std::string Sha256Hex(const std::vector<unsigned char>& data) {
  unsigned char digest[kDigestBytes];
  if (!Sha256Bytes(data, digest)) return std::string();
  return ToHex(digest, kDigestBytes);
}

bool Sha256File(const std::wstring& path, std::string& digest, const common::StopSignal* stop) {
  // Readers only: a file someone is still writing is not a finished file.
  common::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;

  Sha256Stream stream;
  if (!BeginSha256Stream(stream)) return false;

  std::vector<unsigned char> buffer(kFileChunk);
  for (;;) {
    if (stop != nullptr && stop->load()) return false;
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.data(), kFileChunk, &read, nullptr)) return false;
    if (read == 0) break;
    if (!FeedSha256Stream(stream, buffer.data(), read)) return false;
  }
  file.reset();

  std::string text = FinishSha256Stream(stream);
  if (text.empty()) return false;
  digest = text;
  return true;
}

bool VerifySignatureWithKey(const std::vector<unsigned char>& text, const std::vector<unsigned char>& signature,
                            const unsigned char (&modulus)[kModulusBytes]) {
  if (signature.size() != kSignatureBytes) return false;

  unsigned char digest[kDigestBytes];
  if (!Sha256Bytes(text, digest)) return false;

  UniqueAlgorithm rsa;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(rsa.put(), BCRYPT_RSA_ALGORITHM, nullptr, 0))) {
    return false;
  }

  // RSAPUBLICBLOB: the header, then the exponent and the modulus, both
  // big-endian.
  static const unsigned char kExponent[] = {0x01, 0x00, 0x01};
  static_assert(sizeof(BCRYPT_RSAKEY_BLOB) + sizeof kExponent + kModulusBytes == 283,
                "the public key blob is 283 bytes");
  std::vector<unsigned char> blob(sizeof(BCRYPT_RSAKEY_BLOB) + sizeof kExponent + kModulusBytes, 0);
  BCRYPT_RSAKEY_BLOB header = {};
  header.Magic = BCRYPT_RSAPUBLIC_MAGIC;
  header.BitLength = kModulusBytes * 8;
  header.cbPublicExp = sizeof kExponent;
  header.cbModulus = kModulusBytes;
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, kExponent, sizeof kExponent);
  std::memcpy(blob.data() + sizeof header + sizeof kExponent, modulus, kModulusBytes);

  UniqueKey key;
  if (!BCRYPT_SUCCESS(BCryptImportKeyPair(rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, key.put(), blob.data(),
                                          static_cast<ULONG>(blob.size()), 0))) {
    return false;
  }

  BCRYPT_PKCS1_PADDING_INFO padding = {BCRYPT_SHA256_ALGORITHM};
  return BCRYPT_SUCCESS(BCryptVerifySignature(key.get(), &padding, digest, kDigestBytes,
                                              const_cast<PUCHAR>(signature.data()), kSignatureBytes, BCRYPT_PAD_PKCS1));
}

bool VerifySignature(const std::vector<unsigned char>& text, const std::vector<unsigned char>& signature) {
  return VerifySignatureWithKey(text, signature, kReleaseKeyModulus);
}

}  // namespace update
