#include "update/sha256_stream.h"

#include "update/digest.h"

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

std::string FinishSha256Stream(Sha256Stream& stream) {
  unsigned char raw[32];
  if (!stream.hash || !BCRYPT_SUCCESS(BCryptFinishHash(stream.hash.get(), raw, sizeof raw, 0))) return std::string();
  stream.hash.reset();
  return ToHex(raw, sizeof raw);
}

}  // namespace update
