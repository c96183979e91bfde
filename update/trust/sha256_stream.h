#pragma once
// SHA-256 over data that arrives in pieces, so a download can be hashed on
// its way to disk instead of whole in memory. Same digest text as Sha256Hex.
#include <cstddef>
#include <string>

#include "update/trust/cng_handle.h"

namespace update {

struct Sha256Stream {
  UniqueAlgorithm provider;
  UniqueHash hash;
};

// Opens the provider and a hash object; false if the platform refuses.
[[nodiscard]] bool BeginSha256Stream(Sha256Stream& stream);

// Feeds one piece; an empty piece is skipped. False on a platform failure.
[[nodiscard]] bool FeedSha256Stream(Sha256Stream& stream, const unsigned char* data, size_t size);

// The 32-byte digest of everything fed; false on a failure. The stream
// cannot be fed afterwards.
[[nodiscard]] bool FinishSha256StreamRaw(Sha256Stream& stream, unsigned char (&digest)[32]);

// The lower-case digest text of everything fed, or empty on a failure.
// The stream cannot be fed afterwards.
std::string FinishSha256Stream(Sha256Stream& stream);

}  // namespace update
