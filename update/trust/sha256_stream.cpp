#include "update/trust/sha256_stream.h"

#include "update/trust/digest.h"

namespace update {

bool BeginSha256Stream(Sha256Stream& stream) {
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(stream.provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    return false;
  }
  return BCRYPT_SUCCESS(BCryptCreateHash(stream.provider.get(), stream.hash.put(), nullptr, 0, nullptr, 0, 0));
}

bool FeedSha256Stream(Sha256Stream& stream, const unsigned char* data, size_t size) {
  if (size == 0) return true;
  return BCRYPT_SUCCESS(
      BCryptHashData(stream.hash.get(), const_cast<unsigned char*>(data), static_cast<ULONG>(size), 0));
}

bool FinishSha256StreamRaw(Sha256Stream& stream, unsigned char (&digest)[32]) {
  if (!stream.hash || !BCRYPT_SUCCESS(BCryptFinishHash(stream.hash.get(), digest, sizeof digest, 0))) return false;
  stream.hash.reset();
  return true;
}

std::string FinishSha256Stream(Sha256Stream& stream) {
  unsigned char raw[32];
  if (!FinishSha256StreamRaw(stream, raw)) return std::string();
  return ToHex(raw, sizeof raw);
}

}  // namespace update
