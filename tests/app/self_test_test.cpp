// The real launcher's --self-test on signed descriptions made by openssl
// (make_fixtures.sh): its exact lines and exit code for every verdict, with
// no game installed.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "app/self_test.h"
#include "common/file.h"
#include "common/unique_handle.h"
#include "tests/support/harness.h"
#include "update/trust/digest.h"
#include "update/trust/trust_root.h"

namespace {

const char kCannotRead[] = "  cannot read the manifest or the signature\n";
const char kRejected[] = "  SIGNATURE REJECTED\n";

std::wstring Fixture(const std::wstring& name) {
  return harness::BuildDir() + L"\\tests\\update\\fixtures\\signed\\" + name;
}

// A file of exactly this many bytes, written in large pieces.
bool WriteSizedFile(const std::wstring& path, size_t size) {
  common::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  const std::string piece(1 << 20, 'x');
  while (size > 0) {
    DWORD chunk = static_cast<DWORD>(size < piece.size() ? size : piece.size());
    DWORD written = 0;
    if (!WriteFile(file.get(), piece.data(), chunk, &written, nullptr) || written != chunk) return false;
    size -= chunk;
  }
  return true;
}

class SelfTestTest : public ::testing::Test {
 protected:
  harness::CleanSteam no_game_;
  std::wstring root_ = harness::MakeTempDir(L"self-test");
  std::wstring exe_;
  int changes_ = 0;

  void SetUp() override {
    exe_ = harness::CopyLauncherTo(root_ + L"\\app");
    ASSERT_FALSE(exe_.empty());
    ASSERT_FALSE(harness::ReadFileBytes(Fixture(L"manifest.txt")).empty()) << "fixtures missing";
  }
  void TearDown() override { harness::RemoveTree(root_); }

  harness::RunResult SelfTest(const std::wstring& manifest, const std::wstring& signature) {
    harness::RunResult r = harness::RunProcess(exe_, {L"--self-test", manifest, signature}, root_);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timed_out);
    return r;
  }
  // A copy of a fixture, changed, in this test's own folder.
  std::wstring Changed(const std::wstring& fixture, std::string (*change)(std::string)) {
    std::wstring path = root_ + L"\\changed-" + std::to_wstring(++changes_) + L"-" + fixture;
    EXPECT_TRUE(harness::WriteFileBytes(path, change(harness::ReadFileBytes(Fixture(fixture)))));
    return path;
  }
};

TEST_F(SelfTestTest, AGoodReleaseListsItsFiles) {
  harness::RunResult r = SelfTest(Fixture(L"manifest.txt"), Fixture(L"manifest.sig"));
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.output,
            "  signature ok: channel stable, build 1.4.2, protocol 7, 2 files\n"
            "    bin\\sub\\mod.dll  1,234 bytes\n"
            "    maps\\carte-\xC3\xA9t\xC3\xA9.map  0 bytes\n");
}

TEST_F(SelfTestTest, FilesThatCannotBeReadInFull) {
  const std::wstring manifest = Fixture(L"manifest.txt");
  const std::wstring signature = Fixture(L"manifest.sig");
  const std::wstring empty = root_ + L"\\empty.bin";
  const std::wstring too_big = root_ + L"\\too-big.bin";
  ASSERT_TRUE(harness::WriteFileBytes(empty, ""));
  ASSERT_TRUE(WriteSizedFile(too_big, 67108864));
  struct Case {
    const char* what;
    std::wstring manifest, signature;
  };
  const Case cases[] = {{"missing description", root_ + L"\\none.txt", signature},
                        {"missing signature", manifest, root_ + L"\\none.sig"},
                        {"empty description", empty, signature},
                        {"0-byte signature", manifest, empty},
                        {"description is a folder", root_, signature},
                        {"description of 67,108,864 bytes", too_big, signature},
                        {"signature of 67,108,864 bytes", manifest, too_big}};
  for (const Case& c : cases) {
    harness::RunResult r = SelfTest(c.manifest, c.signature);
    EXPECT_EQ(r.exit_code, 1u) << c.what;
    EXPECT_EQ(r.output, kCannotRead) << c.what;
  }
}

TEST_F(SelfTestTest, ADescriptionHeldOpenForWritingIsUnreadable) {
  const std::wstring copy = root_ + L"\\manifest.txt";
  ASSERT_TRUE(CopyFileW(Fixture(L"manifest.txt").c_str(), copy.c_str(), FALSE));
  const std::wstring event_name = L"Local\\velmora-selftest-held-" + std::to_wstring(GetCurrentProcessId());
  common::UniqueKernelHandle ready(CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
  ASSERT_TRUE(ready.valid());
  harness::ChildProcess holder;
  ASSERT_TRUE(holder.Start(harness::SupportBin() + L"\\hold-file.exe", {copy, event_name, L"write"}));
  ASSERT_EQ(WaitForSingleObject(ready.get(), 20000), WAIT_OBJECT_0);
  harness::RunResult r = SelfTest(copy, Fixture(L"manifest.sig"));
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_EQ(r.output, kCannotRead);
  holder.Stop();
  EXPECT_EQ(SelfTest(copy, Fixture(L"manifest.sig")).exit_code, 0u) << "readable once the writer is gone";
}

TEST_F(SelfTestTest, TheLargestReadableFileIsRead) {
  // 67,108,863 bytes: a signed description padded to the limit passes...
  harness::RunResult r = SelfTest(Fixture(L"largest.txt"), Fixture(L"largest.sig"));
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.output, "  signature ok: channel big, build 9, protocol 0, 1 file\n    a.dll  1 byte\n");
  // ...and a signature file of that size is read, then refused for its length.
  const std::wstring big_signature = root_ + L"\\big.sig";
  ASSERT_TRUE(WriteSizedFile(big_signature, 67108863));
  r = SelfTest(Fixture(L"manifest.txt"), big_signature);
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_EQ(r.output, kRejected);
}

TEST_F(SelfTestTest, SignaturesThatDoNotMatchAreRejected) {
  struct Case {
    const char* what;
    std::wstring manifest, signature;
  };
  const Case cases[] = {
      {"one byte changed",
       Changed(L"manifest.txt",
               [](std::string s) {
                 s[30] ^= 1;
                 return s;
               }),
       Fixture(L"manifest.sig")},
      {"CR LF turned into LF", Changed(L"manifest.txt", [](std::string s) { return s.erase(s.find('\r'), 1); }),
       Fixture(L"manifest.sig")},
      {"byte-order mark added", Changed(L"manifest.txt", [](std::string s) { return "\xEF\xBB\xBF" + s; }),
       Fixture(L"manifest.sig")},
      {"255-byte signature", Fixture(L"manifest.txt"),
       Changed(L"manifest.sig",
               [](std::string s) {
                 s.pop_back();
                 return s;
               })},
      {"257-byte signature", Fixture(L"manifest.txt"), Changed(L"manifest.sig", [](std::string s) { return s + "x"; })},
      {"PSS padding", Fixture(L"manifest.txt"), Fixture(L"manifest.pss.sig")},
      {"SHA-1 digest", Fixture(L"manifest.txt"), Fixture(L"manifest.sha1.sig")},
      {"another key", Fixture(L"manifest.txt"), Fixture(L"manifest.other.sig")},
      {"signature of another description", Fixture(L"manifest.txt"), Fixture(L"nofiles.sig")}};
  for (const Case& c : cases) {
    harness::RunResult r = SelfTest(c.manifest, c.signature);
    EXPECT_EQ(r.exit_code, 1u) << c.what;
    EXPECT_EQ(r.output, kRejected) << c.what;
  }
}

// The signature as a "sig" line: taken when it names the built-in key and
// verifies under it, whatever else the file holds.
TEST_F(SelfTestTest, SignatureLinesByTheBuiltInKey) {
  const std::string good = harness::ReadFileBytes(Fixture(L"manifest.sig"));
  const std::string other = harness::ReadFileBytes(Fixture(L"manifest.other.sig"));
  const std::string id = update::KeyId(update::BuiltInRoot().release_keys[0]);
  const auto hex = [](const std::string& bytes) {
    return update::ToHex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  };
  const struct {
    const char* what;
    std::string lines;
    unsigned exit_code;
  } cases[] = {
      {"the built-in key", "sig " + id + " " + hex(good) + "\n", 0},
      {"after a comment and a key it does not hold",
       "# signed twice\nsig " + std::string(64, 'a') + " " + hex(other) + "\nsig " + id + " " + hex(good) + "\n", 0},
      {"another key's signature under the built-in key's id", "sig " + id + " " + hex(other) + "\n", 1},
      {"the right signature under another id", "sig " + std::string(64, 'b') + " " + hex(good) + "\n", 1},
      {"a signature one digit short", "sig " + id + " " + hex(good).substr(1) + "\n", 1},
  };
  for (const auto& c : cases) {
    const std::wstring sig = root_ + L"\\lines-" + std::to_wstring(++changes_) + L".sig";
    ASSERT_TRUE(harness::WriteFileBytes(sig, c.lines));
    const harness::RunResult r = SelfTest(Fixture(L"manifest.txt"), sig);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.what << "\n" << r.output;
  }
}

TEST_F(SelfTestTest, SignedButMalformedDescriptions) {
  harness::RunResult r = SelfTest(Fixture(L"nofiles.txt"), Fixture(L"nofiles.sig"));
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_EQ(r.output, "  signature ok, but the manifest is malformed: the manifest lists no files\n");
  r = SelfTest(Fixture(L"unsafe.txt"), Fixture(L"unsafe.sig"));
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_EQ(r.output, "  signature ok, but the manifest is malformed: a file line names something we will not write\n");
}

// The listing says how fresh a release is, and whether the launcher would
// still take it.
TEST_F(SelfTestTest, SequenceAndExpiryAreListed) {
  harness::RunResult r = SelfTest(Fixture(L"fresh.txt"), Fixture(L"fresh.sig"));
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.output,
            "  signature ok: channel stable, build 7, protocol 0, 1 file\n"
            "  sequence 42\n"
            "  expires 9999-12-31 23:59:59 UTC (not yet passed)\n"
            "    a.dll  1 byte\n");
  r = SelfTest(Fixture(L"expired.txt"), Fixture(L"expired.sig"));
  EXPECT_EQ(r.exit_code, 0u) << "the signature and the format are sound";
  EXPECT_EQ(r.output,
            "  signature ok: channel stable, build 7, protocol 0, 1 file\n"
            "  sequence 41\n"
            "  expires 2001-09-09 01:46:40 UTC (passed: the launcher refuses it)\n"
            "    a.dll  1 byte\n");
}

TEST(ReadWholeFile, WholeFilesUpTo64MiBMinusOne) {
  const std::wstring dir = harness::MakeTempDir(L"read-whole");
  const std::string small("a\0b\r\n\xFF", 6);
  ASSERT_TRUE(harness::WriteFileBytes(dir + L"\\small.bin", small));
  const std::vector<unsigned char> read = common::ReadWholeFile(dir + L"\\small.bin", app::kMaxSelfTestFileBytes);
  EXPECT_EQ(std::string(read.begin(), read.end()), small) << "bytes exactly as on disk";

  ASSERT_TRUE(WriteSizedFile(dir + L"\\largest.bin", 67108863));
  EXPECT_EQ(common::ReadWholeFile(dir + L"\\largest.bin", app::kMaxSelfTestFileBytes).size(), 67108863u);
  ASSERT_TRUE(WriteSizedFile(dir + L"\\too-big.bin", 67108864));
  EXPECT_TRUE(common::ReadWholeFile(dir + L"\\too-big.bin", app::kMaxSelfTestFileBytes).empty());
  ASSERT_TRUE(harness::WriteFileBytes(dir + L"\\empty.bin", ""));
  EXPECT_TRUE(common::ReadWholeFile(dir + L"\\empty.bin", app::kMaxSelfTestFileBytes).empty());
  EXPECT_TRUE(common::ReadWholeFile(dir + L"\\missing.bin", app::kMaxSelfTestFileBytes).empty());
  EXPECT_TRUE(common::ReadWholeFile(dir, app::kMaxSelfTestFileBytes).empty());
  harness::RemoveTree(dir);
}

}  // namespace
