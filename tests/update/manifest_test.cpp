// The release description parser and its path rule: what a release may name
// decides what the launcher writes into the game folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/harness.h"
#include "update/manifest.h"

namespace {

const std::string kDigest = "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb";
const std::string kHeader = "velmoramp-manifest 1\n";

struct Parsed {
  bool ok = false;
  update::Manifest manifest;
  std::wstring error;
};

Parsed Parse(const std::string& text) {
  Parsed p;
  p.ok = update::ParseManifest(std::vector<unsigned char>(text.begin(), text.end()), p.manifest, p.error);
  return p;
}

std::string FileLine(const std::string& path, const std::string& source = "files/x",
                     const std::string& digest = kDigest) {
  return "file " + path + " 10 " + digest + " " + source + "\n";
}

// A description that is valid but for the line under test.
std::string With(const std::string& line) { return kHeader + "build 1\n" + line; }

TEST(ParseManifest, EveryFailureHasItsMessage) {
  struct Case {
    const char* what;
    std::string text;
    const wchar_t* error;
  };
  const std::string file = FileLine("a.dll");
  const Case cases[] = {
      // Nothing to read.
      {"empty text", "", L"the manifest is empty"},
      {"only blank and comment lines", "\n  \r\n\t\n# velmoramp-manifest 1\n", L"the manifest is empty"},
      // Not our header first.
      {"format 2", "velmoramp-manifest 2\n" + file, L"this is not a manifest we understand"},
      {"key line before the header", "build 1\n" + kHeader + file, L"this is not a manifest we understand"},
      {"header without format", "velmoramp-manifest\n" + file, L"this is not a manifest we understand"},
      {"format not a number", "velmoramp-manifest one\n" + file, L"this is not a manifest we understand"},
      {"format with trailing letters", "velmoramp-manifest 1x\n" + file, L"this is not a manifest we understand"},
      {"magic in other case", "Velmoramp-Manifest 1\n" + file, L"this is not a manifest we understand"},
      {"byte-order mark", "\xEF\xBB\xBF" + kHeader + "build 1\n" + file, L"this is not a manifest we understand"},
      // End checks.
      {"header, build and channel only", kHeader + "build 1\nchannel stable\n", L"the manifest lists no files"},
      {"no build line", kHeader + file, L"the manifest has no build name"},
      {"build line without a name", kHeader + "build\n" + file, L"the manifest has no build name"},
      {"later empty build overwrites", kHeader + "build 1\nbuild\n" + file, L"the manifest has no build name"},
      // File lines that are not whole.
      {"file without source", With("file a.dll 10 " + kDigest + "\n"), L"a file line is incomplete"},
      {"file with only a path", With("file a.dll\n"), L"a file line is incomplete"},
      {"size in letters", With("file a.dll ten " + kDigest + " files/a\n"), L"a file line is incomplete"},
      {"size with letters after it", With("file a.dll 10kb " + kDigest + " files/a\n"), L"a file line is incomplete"},
      {"negative size", With("file a.dll -1 " + kDigest + " files/a\n"), L"a file line is incomplete"},
      {"size beyond 64 bits", With("file a.dll 18446744073709551616 " + kDigest + " files/a\n"),
       L"a file line is incomplete"},
      // Launcher lines.
      {"launcher version not a number", With(file + "launcher six " + kDigest + " l/v.exe\n"),
       L"the launcher line is malformed"},
      {"launcher without source", With(file + "launcher 6 " + kDigest + "\n"), L"the launcher line is malformed"},
      {"launcher with a short digest", With(file + "launcher 6 " + kDigest.substr(1) + " l/v.exe\n"),
       L"the launcher line is malformed"},
      {"launcher from outside", With(file + "launcher 6 " + kDigest + " ../v.exe\n"),
       L"the launcher line is malformed"},
      {"bare launcher key", With(file + "launcher\n"), L"the launcher line is malformed"},
      // Freshness lines: a signed promise is exact or it is refused.
      {"sequence 0", With(file + "sequence 0\n"), L"the sequence line is malformed"},
      {"sequence with a sign", With(file + "sequence +5\n"), L"the sequence line is malformed"},
      {"sequence with a leading zero", With(file + "sequence 05\n"), L"the sequence line is malformed"},
      {"sequence past 2^63-1", With(file + "sequence 9223372036854775808\n"), L"the sequence line is malformed"},
      {"sequence in letters", With(file + "sequence seven\n"), L"the sequence line is malformed"},
      {"bare sequence key", With(file + "sequence\n"), L"the sequence line is malformed"},
      {"expiry without Z", With(file + "expires 2030-01-01T00:00:00\n"), L"the expiry line is malformed"},
      {"expiry in lower case", With(file + "expires 2030-01-01t00:00:00z\n"), L"the expiry line is malformed"},
      {"expiry on 30 February", With(file + "expires 2030-02-30T00:00:00Z\n"), L"the expiry line is malformed"},
      {"expiry at hour 24", With(file + "expires 2030-01-01T24:00:00Z\n"), L"the expiry line is malformed"},
      {"expiry as a date only", With(file + "expires 2030-01-01\n"), L"the expiry line is malformed"},
      {"bare expiry key", With(file + "expires\n"), L"the expiry line is malformed"},
      // The first failing line ends parsing before the end checks.
      {"bad line before the build", kHeader + "file a.dll\n", L"a file line is incomplete"}};
  for (const Case& c : cases) {
    Parsed p = Parse(c.text);
    EXPECT_FALSE(p.ok) << c.what;
    EXPECT_EQ(p.error, c.error) << c.what;
  }
}

TEST(ParseManifest, UnsafePathsSourcesAndDigestsAreRefused) {
  std::vector<std::string> lines;
  // Paths and sources that leave the folder or the base URL.
  for (const char* path : {"../x", "a/./b", "a//b", "/a", "a/", "D:/a", "a\\b", "a?b"}) {
    lines.push_back(FileLine(path));
    lines.push_back(FileLine("ok.dll", path));
  }
  lines.push_back(FileLine(std::string(241, 'a')));
  lines.push_back(FileLine("ok.dll", std::string(241, 'a')));
  // Digests that are not 64 hex digits.
  lines.push_back(FileLine("ok.dll", "files/x", kDigest.substr(1)));
  lines.push_back(FileLine("ok.dll", "files/x", kDigest + "0"));
  lines.push_back(FileLine("ok.dll", "files/x", "g" + kDigest.substr(1)));
  for (const std::string& line : lines) {
    Parsed p = Parse(With(line));
    EXPECT_FALSE(p.ok) << line;
    EXPECT_EQ(p.error, L"a file line names something we will not write") << line;
  }
  Parsed longest = Parse(With(FileLine(std::string(240, 'a'), std::string(240, 'b'))));
  EXPECT_TRUE(longest.ok) << "240 bytes is the longest path allowed";
}

TEST(ParseManifest, ReadsEveryFieldAsWritten) {
  const std::string upper = "CA978112CA1BBDCAFAC231B39A23DC4DA786EFF8147C4E72B9807785AFEE48BB";
  const std::string text =
      "\r\n# published by hand\r\n"
      "  velmoramp-manifest \t 1   ignored  \r\n"
      "channel stable extra\r\n"
      "build 1.4.2 extra\r\n"
      "protocol 7\r\n"
      "server play.example.net 27015\r\n"
      "notes   Fixes  the   map.   \r\n"
      "file bin/sub/mod.dll 1234 " +
      kDigest +
      " files/1.4.2/bin/sub/mod.dll\r\n"
      "file carte-\xC3\xA9t\xC3\xA9.map 18446744073709551615 " +
      upper +
      " files/carte-\xC3\xA9t\xC3\xA9.map\r\n"
      "file bin/sub/mod.dll 1 " +
      kDigest +
      " files/again.dll\r\n"
      "velmoramp-manifest 2\r\n"
      "mirror https://elsewhere.example/\r\n"
      "launcher 6 " +
      upper + " launcher/6/VelmoraMultiplayer.exe";  // no final line feed
  Parsed p = Parse(text);
  ASSERT_TRUE(p.ok) << harness::Narrow(p.error);
  const update::Manifest& m = p.manifest;
  EXPECT_EQ(m.channel, L"stable");
  EXPECT_EQ(m.build, L"1.4.2");
  EXPECT_EQ(m.protocol, 7);
  EXPECT_EQ(m.server_host, L"play.example.net");
  EXPECT_EQ(m.server_port, 27015);
  EXPECT_EQ(m.notes, L"Fixes  the   map.");
  ASSERT_EQ(m.files.size(), 3u) << "both lines of a repeated path are kept";
  EXPECT_EQ(m.files[0].path, L"bin\\sub\\mod.dll");
  EXPECT_EQ(m.files[0].source, L"files/1.4.2/bin/sub/mod.dll");
  EXPECT_EQ(m.files[0].size, 1234u);
  EXPECT_EQ(m.files[0].sha256, kDigest);
  EXPECT_EQ(m.files[1].path, L"carte-\x00E9t\x00E9.map");
  EXPECT_EQ(m.files[1].source, L"files/carte-\x00E9t\x00E9.map");
  EXPECT_EQ(m.files[1].size, 18446744073709551615ull);
  EXPECT_EQ(m.files[1].sha256, upper) << "upper-case digests are kept as written";
  EXPECT_EQ(m.files[2].source, L"files/again.dll");
  EXPECT_EQ(m.launcher_version, 6);
  EXPECT_EQ(m.launcher_sha256, upper);
  EXPECT_EQ(m.launcher_source, L"launcher/6/VelmoraMultiplayer.exe");
}

TEST(ParseManifest, AwkwardNamesDecodeLeniently) {
  Parsed p = Parse(With(FileLine("\xF0\x9F\x8E\xAE/bad-\xFF.dll", "files/\xF0\x9F\x8E\xAE")));
  ASSERT_TRUE(p.ok) << harness::Narrow(p.error);
  EXPECT_EQ(p.manifest.files[0].path, L"\xD83C\xDFAE\\bad-\xFFFD.dll") << "surrogate pair; bad byte as U+FFFD";
  EXPECT_EQ(p.manifest.files[0].source, L"files/\xD83C\xDFAE");
}

TEST(ParseManifest, ServerLinesOutOfRangeAreIgnored) {
  struct Case {
    const char* line;
    const wchar_t* host;
    int port;
  };
  const Case cases[] = {
      {"server b.example 0\n", L"a.example", 1},         {"server b.example 65536\n", L"a.example", 1},
      {"server b.example\n", L"a.example", 1},           {"server b.example port\n", L"a.example", 1},
      {"server b.example -27015\n", L"a.example", 1},    {"server\n", L"a.example", 1},
      {"server b.example 65535\n", L"b.example", 65535}, {"server b.example 27015 extra\n", L"b.example", 27015}};
  for (const Case& c : cases) {
    Parsed p = Parse(With(FileLine("a.dll") + "server a.example 1\n" + c.line));
    ASSERT_TRUE(p.ok) << c.line;
    EXPECT_EQ(p.manifest.server_host, c.host) << c.line;
    EXPECT_EQ(p.manifest.server_port, c.port) << c.line;
  }
}

TEST(ParseManifest, ScalarsRepeatAndLooseValuesDoNotFail) {
  Parsed p = Parse(With(FileLine("a.dll") + "protocol 3\nprotocol 4\nchannel a\nchannel\nnotes\nprotocol x\n"));
  ASSERT_TRUE(p.ok) << harness::Narrow(p.error);
  EXPECT_EQ(p.manifest.protocol, 4) << "the last number wins; a word is no error";
  EXPECT_EQ(p.manifest.channel, L"") << "a channel line without a name empties it";
  EXPECT_EQ(p.manifest.notes, L"");
}

TEST(ParseManifest, StartsFromAnEmptyRecord) {
  update::Manifest m;
  m.notes = L"stale";
  m.launcher_version = 9;
  m.files.push_back({L"old.dll", 1, kDigest, L"old"});
  std::wstring error;
  const std::string text = With(FileLine("a.dll"));
  ASSERT_TRUE(update::ParseManifest(std::vector<unsigned char>(text.begin(), text.end()), m, error));
  EXPECT_EQ(m.notes, L"");
  EXPECT_EQ(m.launcher_version, 0);
  ASSERT_EQ(m.files.size(), 1u);
  EXPECT_EQ(m.files[0].path, L"a.dll");
  EXPECT_TRUE(error.empty()) << "success leaves the error text alone";
}

TEST(ParseManifest, SequenceAndExpiryAreRead) {
  const std::string file = FileLine("a.dll");
  Parsed p = Parse(With(file + "sequence 9223372036854775807 ignored\nexpires 2024-02-29T23:59:59Z\n"));
  ASSERT_TRUE(p.ok) << harness::Narrow(p.error);
  EXPECT_EQ(p.manifest.sequence, INT64_MAX);
  EXPECT_TRUE(p.manifest.has_expiry);
  EXPECT_EQ(p.manifest.expires, L"2024-02-29T23:59:59Z");
  EXPECT_EQ(p.manifest.expires_at, 1709251199);  // date -d 2024-02-29T23:59:59Z +%s

  p = Parse(With(file));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.manifest.sequence, 0) << "none";
  EXPECT_FALSE(p.manifest.has_expiry);

  p = Parse(With(file + "sequence 3\nsequence 4\nexpires 1970-01-01T00:00:00Z\n"));
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.manifest.sequence, 4) << "a repeated key: the later line wins";
  EXPECT_EQ(p.manifest.expires_at, 0);
  EXPECT_TRUE(p.manifest.has_expiry);
}

}  // namespace
