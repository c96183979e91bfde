// The fetcher against the real test release server under Wine: TLS through
// the test CA, status and length handling, progress and every error text.
#include "net/https_get.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/format.h"
#include "tests/support/harness.h"
#include "tests/support/release_server_client.h"
#include "velmora_version.h"

using namespace net;  // the names under test

namespace {

using Calls = std::vector<std::pair<uint64_t, uint64_t>>;

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

class HttpsGetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(harness::ReleaseServerPort(), 0) << "the release_server fixture did not run";
    name_ = harness::MakeReleaseFolder(L"fetch", folder_);
    content_ = Pattern(200000);
    ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\f.bin", content_));
  }
  void TearDown() override { harness::RemoveTree(folder_); }

  // URL of f.bin with switches of the test server in front of its folder.
  std::wstring Url(const std::wstring& switches = L"") const {
    return harness::ReleaseUrl(switches + L"/" + name_ + L"/f.bin");
  }

  struct Fetch {
    bool ok = false;
    std::string body;
    std::wstring error = L"untouched";
    Calls calls;
  };
  static Fetch Get(const std::wstring& url, bool allow_http = false) {
    Fetch f;
    std::vector<unsigned char> body(3, 'x');  // must be cleared by the call
    f.ok = HttpsGet(url, body, f.error, allow_http ? Scheme::kHttpAllowed : Scheme::kHttpsOnly,
                    [&f](uint64_t received, uint64_t total) { f.calls.emplace_back(received, total); });
    f.body.assign(body.begin(), body.end());
    return f;
  }

  std::wstring name_;
  std::wstring folder_;
  std::string content_;
};

TEST_F(HttpsGetTest, WholeBodyWithProgressAfterEachChunk) {
  Fetch f = Get(Url(L"/_chunk-65536"));
  ASSERT_TRUE(f.ok) << harness::Narrow(f.error);
  EXPECT_EQ(f.error, L"untouched");
  EXPECT_TRUE(f.body == content_);
  EXPECT_EQ(f.calls, (Calls{{65536, 200000}, {131072, 200000}, {196608, 200000}, {200000, 200000}}));
}

TEST_F(HttpsGetTest, SendsTheUserAgentAndKeepsTheQuery) {
  ASSERT_TRUE(Get(Url() + L"?channel=beta&x=1").ok);
  const std::string log = harness::RequestsFor(name_);
  EXPECT_EQ(log,
            "/" + harness::Narrow(name_) + "/f.bin?channel=beta&x=1\tvelmoramp-launcher/" VELMORA_VERSION_TEXT "\n");
}

TEST_F(HttpsGetTest, NoContentLengthGivesATotalOfZero) {
  Fetch f = Get(Url(L"/_nolength"));
  ASSERT_TRUE(f.ok) << harness::Narrow(f.error);
  EXPECT_TRUE(f.body == content_);
  ASSERT_FALSE(f.calls.empty());
  EXPECT_EQ(f.calls.back().first, 200000u);
  for (const auto& call : f.calls) EXPECT_EQ(call.second, 0u);
}

TEST_F(HttpsGetTest, EmptyBodyIsSuccessWithoutProgress) {
  Fetch f = Get(Url(L"/_empty"));
  EXPECT_TRUE(f.ok) << harness::Narrow(f.error);
  EXPECT_TRUE(f.body.empty());
  EXPECT_TRUE(f.calls.empty());
}

TEST_F(HttpsGetTest, PlainHttpOnlyWhenAllowed) {
  const std::wstring url =
      L"http://localhost:" + std::to_wstring(harness::ReleaseServerHttpPort()) + L"/" + name_ + L"/f.bin";
  Fetch refused = Get(url, false);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.error, L"only https urls are accepted");
  EXPECT_EQ(harness::RequestsFor(name_), "") << "a refused URL must not be requested";

  Fetch allowed = Get(url, true);
  ASSERT_TRUE(allowed.ok) << harness::Narrow(allowed.error);
  EXPECT_TRUE(allowed.body == content_);
}

// Each failure the callers turn into a message, with its exact text.
TEST_F(HttpsGetTest, FailureTable) {
  const struct {
    std::wstring url;
    bool allow_http;
    std::wstring error;
  } cases[] = {{Url(L"/_404"), false, L"server answered 404"},
               {Url(L"/_status-500"), false, L"server answered 500"},
               // A proxy that wants a sign-in gets its own text (none is set up here).
               {Url(L"/_status-407"), false,
                L"the proxy of this network asks for a user name and password (407); sign in to it in Windows' proxy "
                L"settings, or ask whoever runs your network"},
               {harness::ReleaseUrl(L"/" + name_ + L"/missing.bin"), false, L"server answered 404"},
               {L"ftp://localhost/f.bin", false, L"only https urls are accepted"},
               {L"ftp://localhost/f.bin", true, L"only https urls are accepted"},
               {L"http://localhost:1/f.bin", false, L"only https urls are accepted"},
               {L"not a url", false, L"malformed url (win32 12006)"},
               {L"https://" + std::wstring(300, L'h') + L".example/f.bin", false, L"malformed url (win32 122)"},
               // What a player meets most: plain words before the code.
               {L"https://no-such-host.invalid/f.bin", false,
                L"the server's name does not resolve: check the address (win32 12007)"},
               {L"https://localhost:1/f.bin", false,
                L"the connection was refused: nothing answers at that address and port (win32 12029)"},
               {L"https://localhost:" + std::to_wstring(harness::ReleaseServerUntrustedPort()) + L"/f.bin", false,
                L"no secure connection could be made: the server's certificate is not trusted here or does not name "
                L"this host (win32 12157)"},
               {L"https://127.0.0.1:" + std::to_wstring(harness::ReleaseServerPort()) + L"/f.bin", false,
                L"no secure connection could be made: the server's certificate is not trusted here or does not name "
                L"this host (win32 12157)"},
               // The test server's certificate does not name 127.0.0.1 for Wine.
               {Url(L"/_cut-1000"), false, L"the download was cut short (win32 12030)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(harness::Narrow(c.url.substr(0, 80)));
    Fetch f = Get(c.url, c.allow_http);
    EXPECT_FALSE(f.ok);
    EXPECT_EQ(harness::Narrow(f.error), harness::Narrow(c.error));
    if (c.error.rfind(L"server answered", 0) == 0) {
      EXPECT_TRUE(f.body.empty());
    }
  }
}

TEST_F(HttpsGetTest, EndlessBodyStopsAtTheBound) {
  Fetch f = Get(Url(L"/_endless"));
  EXPECT_FALSE(f.ok);
  EXPECT_EQ(f.error, L"the download is too large");
  EXPECT_LE(f.body.size(), kMaxBodyBytes);
  EXPECT_GT(f.body.size(), kMaxBodyBytes - 65536);
}

TEST_F(HttpsGetTest, StreamHandsOverChunksAndStopsWhenTheSinkSays) {
  std::string got;
  std::wstring error;
  int chunks = 0;
  const BodySink sink = [&](const unsigned char* data, size_t size, std::wstring& sink_error) {
    got.append(reinterpret_cast<const char*>(data), size);
    if (++chunks == 2) {
      sink_error = L"no room";
      return false;
    }
    return true;
  };
  Calls calls;
  EXPECT_FALSE(HttpsGetStream(Url(L"/_chunk-65536"), sink, error, Scheme::kHttpsOnly,
                              [&](uint64_t r, uint64_t t) { calls.emplace_back(r, t); }));
  EXPECT_EQ(error, L"no room");
  EXPECT_EQ(chunks, 2);
  EXPECT_TRUE(got == content_.substr(0, 131072));
  EXPECT_EQ(calls, (Calls{{65536, 200000}})) << "no progress for a chunk the sink refused";
}

TEST(FormatWin32ErrorTest, AppendsTheLastErrorAndCutsAt255) {
  SetLastError(5);
  EXPECT_EQ(common::FormatWin32Error(L"cannot open a connection"), L"cannot open a connection (win32 5)");
  SetLastError(4294967295u);
  EXPECT_EQ(common::FormatWin32Error(L"x"), L"x (win32 4294967295)");
  SetLastError(12029);
  const std::wstring long_text = common::FormatWin32Error(std::wstring(300, L'a'));
  EXPECT_EQ(long_text, std::wstring(255, L'a'));
}

}  // namespace
