// Digests and the release signature through the platform's cryptography,
// against sha256sum and signatures made by openssl (see make_fixtures.sh).
#include <gtest/gtest.h>

#include <windows.h>

#include <cctype>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "tests/support/harness.h"
#include "update/trust/digest.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::wstring Fixture(const std::wstring& name) { return harness::BuildDir() + L"\\tests\\update\\fixtures\\" + name; }

Bytes ReadBytes(const std::wstring& path) {
  std::string s = harness::ReadFileBytes(path);
  return Bytes(s.begin(), s.end());
}

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(ToHex, LowerCaseHighNibbleFirst) {
  const unsigned char bytes[] = {0x00, 0xAB, 0xFF, 0x10, 0x09};
  EXPECT_EQ(update::ToHex(bytes, 3), "00abff");
  EXPECT_EQ(update::ToHex(bytes, 5), "00abff1009");
  EXPECT_EQ(update::ToHex(bytes, 0), "");
}

TEST(Sha256Hex, KnownAnswers) {
  EXPECT_EQ(update::Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(update::Sha256Hex(ToBytes("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(update::Sha256Hex(ToBytes("The quick brown fox jumps over the lazy dog")),
            "d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592");
  EXPECT_EQ(update::Sha256Hex(ToBytes(std::string("a\0b", 3))),
            "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138")
      << "an embedded NUL is data";
}

// sums.txt is sha256sum's own answer for each input file.
std::map<std::string, std::string> ExpectedSums() {
  std::map<std::string, std::string> sums;
  std::istringstream lines(harness::ReadFileBytes(Fixture(L"digest\\sums.txt")));
  std::string digest, name;
  while (lines >> digest >> name) sums[name] = digest;
  return sums;
}

TEST(Sha256File, EqualsSha256sumAndTheBufferDigest) {
  const std::map<std::string, std::string> sums = ExpectedSums();
  ASSERT_EQ(sums.size(), 3u) << "fixtures missing";
  for (const auto& [name, expected] : sums) {
    const std::wstring path = Fixture(L"digest\\" + harness::Widen(name));
    std::string digest = "untouched";
    ASSERT_TRUE(update::Sha256File(path, digest)) << name;
    EXPECT_EQ(digest, expected) << name;
    EXPECT_EQ(update::Sha256Hex(ReadBytes(path)), expected) << name << ": file and buffer agree";
  }
}

TEST(Sha256File, FalseWithoutTouchingTheDigest) {
  const std::wstring dir = harness::MakeTempDir(L"digest");
  for (const std::wstring& path : {dir, dir + L"\\missing.bin", dir + L"\\no\\such\\folder.bin"}) {
    std::string digest = "untouched";
    EXPECT_FALSE(update::Sha256File(path, digest)) << harness::Narrow(path);
    EXPECT_EQ(digest, "untouched");
  }
  harness::RemoveTree(dir);
}

TEST(Sha256File, FalseWhileAnotherProcessHoldsTheFileForWriting) {
  const std::wstring dir = harness::MakeTempDir(L"digest-held");
  const std::wstring file = dir + L"\\held.dll";
  ASSERT_TRUE(harness::WriteFileBytes(file, "still being written"));
  const std::wstring event_name = L"Local\\velmora-held-" + std::to_wstring(GetCurrentProcessId());
  common::UniqueKernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
  ASSERT_TRUE(ready.valid());
  {
    harness::ChildProcess holder;
    ASSERT_TRUE(holder.Start(harness::SupportBin() + L"\\hold-file.exe", {file, event_name, L"write"}));
    ASSERT_EQ(WaitForSingleObject(ready.get(), 20000), WAIT_OBJECT_0) << "the holder did not open the file";
    std::string digest = "untouched";
    EXPECT_FALSE(update::Sha256File(file, digest));
    EXPECT_EQ(digest, "untouched");
  }
  // Once the writer is gone the same file hashes again.
  std::string digest;
  EXPECT_TRUE(update::Sha256File(file, digest));
  EXPECT_EQ(digest, update::Sha256Hex(ToBytes("still being written")));
  harness::RemoveTree(dir);
}

class SignatureTest : public ::testing::Test {
 protected:
  Bytes text_ = ReadBytes(Fixture(L"signed\\manifest.txt"));
  Bytes signature_ = ReadBytes(Fixture(L"signed\\manifest.sig"));

  void SetUp() override {
    ASSERT_FALSE(text_.empty()) << "fixtures missing";
    ASSERT_EQ(signature_.size(), 256u);
  }
};

TEST_F(SignatureTest, OpensslSignatureWithTheReleaseKeyIsAccepted) {
  EXPECT_TRUE(update::VerifySignature(text_, signature_));
}

TEST_F(SignatureTest, AnyChangeToTheTextIsRejected) {
  std::vector<std::pair<const char*, Bytes>> changed;
  Bytes one_byte = text_;
  one_byte[one_byte.size() / 2] ^= 0x01;
  changed.push_back({"one byte changed", one_byte});
  Bytes lf = text_;
  const size_t cr = std::string(lf.begin(), lf.end()).find("\r\n");
  ASSERT_NE(cr, std::string::npos) << "the fixture has CR LF line ends";
  lf.erase(lf.begin() + static_cast<std::ptrdiff_t>(cr));
  changed.push_back({"one CR LF turned into LF", lf});
  Bytes bom = text_;
  bom.insert(bom.begin(), {0xEF, 0xBB, 0xBF});
  changed.push_back({"byte-order mark added", bom});
  Bytes appended = text_;
  appended.push_back('\n');
  changed.push_back({"a line feed appended", appended});
  changed.push_back({"empty text", Bytes()});
  for (const auto& [what, text] : changed) {
    EXPECT_FALSE(update::VerifySignature(text, signature_)) << what;
  }
}

TEST_F(SignatureTest, OnlyAPkcs1Sha256SignatureByTheReleaseKeyCounts) {
  std::vector<std::pair<const char*, Bytes>> signatures;
  signatures.push_back({"255 bytes", Bytes(signature_.begin(), signature_.end() - 1)});
  Bytes longer = signature_;
  longer.push_back(0);
  signatures.push_back({"257 bytes", longer});
  Bytes leading_zero = signature_;
  leading_zero.insert(leading_zero.begin(), 0);
  signatures.push_back({"a zero byte in front", leading_zero});
  signatures.push_back({"empty", Bytes()});
  signatures.push_back({"256 zero bytes", Bytes(256, 0)});
  Bytes flipped = signature_;
  flipped[255] ^= 0x80;
  signatures.push_back({"one bit of the signature flipped", flipped});
  signatures.push_back({"PSS padding", ReadBytes(Fixture(L"signed\\manifest.pss.sig"))});
  signatures.push_back({"SHA-1 digest", ReadBytes(Fixture(L"signed\\manifest.sha1.sig"))});
  signatures.push_back({"another key", ReadBytes(Fixture(L"signed\\manifest.other.sig"))});
  for (const auto& [what, signature] : signatures) {
    EXPECT_FALSE(update::VerifySignature(text_, signature)) << what;
  }
  EXPECT_EQ(signatures[6].second.size(), 256u) << "the PSS fixture is a full-length signature";
}

// The other key's modulus, as openssl prints it: 512 hex digits.
bool ReadModulus(const std::wstring& path, unsigned char (&modulus)[256]) {
  std::string hex;
  for (char c : harness::ReadFileBytes(path)) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex.push_back(c);
  }
  if (hex.size() != 512) return false;
  for (size_t i = 0; i < 256; ++i)
    modulus[i] = static_cast<unsigned char>(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
  return true;
}

TEST_F(SignatureTest, TheKeyIsAParameterOneLevelDown) {
  unsigned char other[256];
  ASSERT_TRUE(ReadModulus(Fixture(L"other\\other-key.modulus"), other));
  const Bytes other_signature = ReadBytes(Fixture(L"signed\\manifest.other.sig"));
  EXPECT_TRUE(update::VerifySignatureWithKey(text_, other_signature, other));
  EXPECT_FALSE(update::VerifySignatureWithKey(text_, signature_, other)) << "the release key's signature";
  Bytes changed = text_;
  changed[0] ^= 0x20;
  EXPECT_FALSE(update::VerifySignatureWithKey(changed, other_signature, other));
}

}  // namespace
