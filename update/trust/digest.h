#pragma once
// SHA-256 digests as lower-case hex text, and the release signature check,
// all through the platform's cryptography (CNG).
#include <string>

#include <vector>
#include "common/stop_signal.h"

namespace update {

// Each byte as two lower-case hex digits, high nibble first.
std::string ToHex(const unsigned char* bytes, size_t count);

// Digest text of the whole vector; empty if the platform call fails.
std::string Sha256Hex(const std::vector<unsigned char>& data);

// Digest text of a file, read in 64 KiB chunks. False (digest untouched)
// when the file cannot be opened, read or hashed, or stop was asked for
// meanwhile; a file another process holds open for writing cannot be opened.
[[nodiscard]] bool Sha256File(const std::wstring& path, std::string& digest, const common::StopSignal* stop = nullptr);

// Whether signature is a valid RSA-2048 PKCS#1 v1.5 SHA-256 signature of
// exactly these bytes by the key with this 256-byte big-endian modulus
// (exponent 65537).
[[nodiscard]] bool VerifySignatureWithKey(const std::vector<unsigned char>& text,
                                          const std::vector<unsigned char>& signature,
                                          const unsigned char (&modulus)[256]);

// The same with the release key built into the launcher.
[[nodiscard]] bool VerifySignature(const std::vector<unsigned char>& text, const std::vector<unsigned char>& signature);

}  // namespace update
