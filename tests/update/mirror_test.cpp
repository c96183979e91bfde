// Mirrors: a base URL that fails in any way a host can is passed over for
// the next one that serves the release, for the description and for each
// file and chunk; and with no server at all the installed release is
// played while it is whole and has not expired. Real test server, its
// switches standing in for hosts that refuse, stall, serve bad or old
// copies, or ignore a Range.
#include <cctype>

#include "common/timing.h"
#include "tests/update/engine_fixture.h"
#include "update/disk/install_record.h"
#include "update/hosts/mirrors.h"
#include "update/trust/freshness.h"

namespace {

using namespace engine_test;  // the fixture and its helpers

class MirrorTest : public EngineTest {
 protected:
  // The release of the fixture published under pub and, as a mirror
  // would hold it, under pub2.
  void PublishBoth(const Files& files, const std::wstring& extra = L"") {
    Publish(files, extra);
    ASSERT_EQ(harness::PublishRelease(
                  name_ + L"/src", name_ + L"/pub2",
                  L"channel=stable&build=b1&protocol=7&server=play.example:27015&notes=Fresh%20maps" + extra),
              "");
  }
  std::wstring Url(const std::wstring& path) const { return harness::ReleaseUrl(L"/" + path); }
  std::wstring Mirror() const { return Url(name_ + L"/pub2"); }
  size_t AskedOf(const std::string& path) const {
    const std::vector<std::string> asked = Requested();
    return static_cast<size_t>(std::count(asked.begin(), asked.end(), "/" + harness::Narrow(name_) + path));
  }
};

// A request goes round the hosts once per retry; a host that failed three
// requests is asked no more, and new requests start past it.
TEST(MirrorSet, RequestsGoRoundAndHostsThatKeepFailingAreLeftAlone) {
  update::MirrorSet set({L"https://a.example/r", L"https://b.example:8443", L"https://c.example"});
  EXPECT_EQ(set.Host(1), L"b.example:8443");
  const common::Error busy{common::ErrorKind::kTransient, L"busy"};
  update::MirrorCursor request(&set, L"");
  EXPECT_EQ(request.Url(L"files/x"), L"https://a.example/r/files/x");
  EXPECT_TRUE(request.FailOver(L"x", busy));
  EXPECT_EQ(request.Url(L"files/x"), L"https://b.example:8443/files/x");
  EXPECT_TRUE(request.FailOver(L"x", busy));
  EXPECT_FALSE(request.FailOver(L"x", busy)) << "every host had its turn: the caller's retry";
  EXPECT_FALSE(request.FailOver(L"x", common::Error{common::ErrorKind::kWriteFailed, L"disk"}))
      << "a failure of this PC is no host's";
  for (int i = 0; i < 2; ++i) {
    update::MirrorCursor other(&set, L"");
    EXPECT_TRUE(other.FailOver(L"y", common::Error{common::ErrorKind::kNotFound, L"server answered 404"}));
  }
  EXPECT_FALSE(set.Usable(0));
  EXPECT_TRUE(set.Usable(1));
  EXPECT_EQ(update::MirrorCursor(&set, L"").Url(L"f"), L"https://b.example:8443/f") << "starts past the first";
  EXPECT_EQ(set.Next(2), 1u) << "going round, past the one left alone";
  update::MirrorSet one({L"https://only.example"});
  update::MirrorCursor alone(&one, L"");
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(alone.FailOver(L"z", busy));
  EXPECT_TRUE(one.Usable(0)) << "the only host is never left alone";
}

// However the base URL fails, the mirror after it serves the release.
TEST_F(MirrorTest, AFailingBaseUrlIsPassedOverForTheMirror) {
  const Files files = {{L"mod.dll", Bytes(5000, 'm')}, {L"maps\\a.pak", Bytes(70000, 'a')}};
  PublishBoth(files);
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\bad\\stable\\manifest.txt", Description()));
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\bad\\stable\\manifest.sig", std::string(256, 'x')));
  const struct {
    const char* what;
    std::wstring base;
  } cases[] = {
      {"refuses connections", L"https://localhost:1/" + name_ + L"/pub"},
      {"answers 404", Url(L"_404/" + name_ + L"/pub")},
      {"answers 503", Url(L"_status-503/" + name_ + L"/pub")},
      {"sends a pair that does not verify", Url(name_ + L"/bad")},
      {"accepts and never answers", Url(L"_stall-60/" + name_ + L"/pub")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    harness::RemoveTree(game_);
    options_.base_url = c.base;
    options_.mirrors = {Mirror()};
    const update::Result r = Run();
    EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
    EXPECT_EQ(r.changed, 2);
    for (const auto& f : files) EXPECT_TRUE(Game(f.first) == f.second) << harness::Narrow(f.first);
    bool told = false;
    for (const auto& line : lines_) told |= line.first.rfind(L"Trying mirror 2 of 2: localhost:", 0) == 0;
    EXPECT_TRUE(told) << "the status names the mirror";
  }
}

// A file (or a chunk) that fails on the host that served the description
// comes from the next one; a Range answered in full goes there too.
TEST_F(MirrorTest, EachFileFailsOverOnItsOwn) {
  const std::string big = Text(6 * 1024 * 1024, 3);  // compressed chunks: the chunk way even with none at hand
  PublishBoth({{L"mod.dll", Bytes(3000, 'x')}, {L"big.pak", big}, {L"maps\\b.pak", Bytes(2 * 1024 * 1024, 'b')}});
  // The primary's copies: one file flipped, one chunk of the big one gone.
  const std::string good = harness::ReadFileBytes(Published(L"mod.dll"));
  std::string flipped = good;
  flipped[100] ^= 1;
  ASSERT_TRUE(harness::WriteFileBytes(Published(L"mod.dll"), flipped));
  const std::string index = harness::ReadFileBytes(
      folder_ + L"\\pub\\chunks\\stable\\indexes\\" +
      harness::Widen(Description().substr(Description().find(" chunks/stable/indexes/") + 23, 64)) + L".txt");
  const std::string chunk = index.substr(index.find("\nchunk ") + 7, 64);
  ASSERT_NE(DeleteFileW((folder_ + L"\\pub\\chunks\\stable\\" + harness::Widen(chunk.substr(0, 2)) + L"\\" +
                         harness::Widen(chunk))
                            .c_str()),
            0);
  options_.mirrors = {Mirror()};
  update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"mod.dll") == Bytes(3000, 'x'));
  EXPECT_TRUE(Game(L"big.pak") == big);
  EXPECT_EQ(AskedOf("/pub2/files/b1/mod.dll"), 1u);
  EXPECT_EQ(AskedOf("/pub2/chunks/stable/" + chunk.substr(0, 2) + "/" + chunk), 1u);
  EXPECT_EQ(AskedOf("/pub2/stable/manifest.txt"), 0u) << "the description came from the base URL";

  // A part of maps\b.pak kept from a run the base URL cut off; then a base
  // URL that ignores the Range: the mirror sends the rest.
  ASSERT_TRUE(harness::WriteFileBytes(Published(L"mod.dll"), good));
  harness::RemoveTree(game_);
  options_.mirrors.clear();
  options_.base_url = Url(L"_cut-1200000/" + name_ + L"/pub");
  r = Run();
  ASSERT_FALSE(r.ok);
  ASSERT_EQ(harness::ReadFileBytes(game_ + L"\\maps\\b.pak.part").size(), 1200000u);
  options_.base_url = Url(L"_norange/" + name_ + L"/pub");
  options_.mirrors = {Mirror()};
  r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"maps\\b.pak") == Bytes(2 * 1024 * 1024, 'b'));
  bool resumed = false;
  for (const harness::ServedRequest& d : DetailsOf("pub2/files/b1/maps/b.pak")) {
    resumed |= d.range == "bytes=1200000-" && d.status == 206;
  }
  EXPECT_TRUE(resumed) << "the mirror was asked for the rest";
}

// A mirror that cannot serve never fails a run the base URL completes: one
// that is no https URL is left out at the start and said so; one this
// launcher cannot talk to (its TLS fails) sends a file that the base URL
// failed once back to the base URL, retries and all.
TEST_F(MirrorTest, ABrokenMirrorNeverFailsARunTheBaseUrlCompletes) {
  const Files files = {{L"mod.dll", Bytes(3000, 'x')}};
  const struct {
    const char* what;
    std::wstring mirror;
    bool left_out;
  } cases[] = {
      {"plain http", L"http://127.0.0.1:1", true},
      {"no host", L"https:///pub", true},
      {"a TLS handshake that fails", L"https://localhost:" + std::to_wstring(harness::ReleaseServerHttpPort()), false},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    harness::RemoveTree(game_);
    harness::RemoveTree(data_ + L"\\tables");
    Publish(files);
    SwitchSource("mod.dll", "_n" + std::to_string(n++) + "/_seq-503.ok");  // a path of its own: a fresh 503
    options_.mirrors = {c.mirror};
    const update::Result r = Run();
    EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
    EXPECT_TRUE(Game(L"mod.dll") == Bytes(3000, 'x'));
    bool told = false;
    for (const auto& line : lines_) told |= line.first.rfind(L"Mirror " + c.mirror + L" is left out: ", 0) == 0;
    EXPECT_EQ(told, c.left_out);
  }
}

// An index that fails its digest on the base URL is fetched from the mirror
// before the file falls back to the whole file's way.
TEST_F(MirrorTest, AnIndexWithTheWrongDigestComesFromTheNextHost) {
  const std::string big = Text(6 * 1024 * 1024, 4);
  PublishBoth({{L"big.pak", big}});
  const std::wstring index =
      folder_ + L"\\pub\\chunks\\stable\\indexes\\" +
      harness::Widen(Description().substr(Description().find(" chunks/stable/indexes/") + 23, 64)) + L".txt";
  ASSERT_TRUE(harness::WriteFileBytes(index, harness::ReadFileBytes(index) + "# changed\n"));
  options_.mirrors = {Mirror()};
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"big.pak") == big);
  EXPECT_EQ(RequestsOf("big.pak"), 0u) << "built from chunks, not fetched whole";
}

// A host left alone after three failures is still asked for a file that
// every other host refuses: a mirror still syncing says 404 for the
// newest file, which only the base URL holds.
TEST_F(MirrorTest, AHostLeftAloneIsAskedForWhatNoOtherHolds) {
  PublishBoth({{L"a1.dat", "one"}, {L"a2.dat", "two"}, {L"a3.dat", "three"}, {L"z.dat", "newest"}});
  for (const wchar_t* file : {L"a1.dat", L"a2.dat", L"a3.dat"}) ASSERT_NE(DeleteFileW(Published(file).c_str()), 0);
  ASSERT_NE(DeleteFileW((folder_ + L"\\pub2\\files\\b1\\z.dat").c_str()), 0);
  options_.mirrors = {Mirror()};
  options_.connections = 1;  // in the description's order: the base URL fails three before z.dat
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(Game(L"z.dat"), "newest");
  EXPECT_EQ(AskedOf("/pub/files/b1/z.dat"), 1u);
}

// A base URL that serves an older release than the one installed is stale;
// the mirror's newer release is installed.
TEST_F(MirrorTest, AStaleCopyIsPassedOver) {
  Publish({{L"mod.dll", "release one"}});
  const std::string old_text = Description();
  const std::string old_sig = harness::ReadFileBytes(folder_ + L"\\pub\\stable\\manifest.sig");
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\src\\mod.dll", "release two"));
  ASSERT_EQ(harness::PublishRelease(name_ + L"/src", name_ + L"/pub", L"channel=stable&build=b2&protocol=7&server=h:1"),
            "");
  ASSERT_TRUE(Run().ok);
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\src\\mod.dll", "release three"));
  ASSERT_EQ(harness::PublishRelease(name_ + L"/src", name_ + L"/pub2",
                                    L"channel=stable&build=b3&protocol=7&server=h:1&sequence=3"),
            "");
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub\\stable\\manifest.txt", old_text));
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub\\stable\\manifest.sig", old_sig));
  options_.mirrors = {Mirror()};
  update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.build, L"b3");
  EXPECT_EQ(Game(L"mod.dll"), "release three");

  // Every one stale: the replay text, as without mirrors, is the reason
  // the installed release is played.
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub2\\stable\\manifest.txt", old_text));
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub2\\stable\\manifest.sig", old_sig));
  r = Run();
  EXPECT_TRUE(r.offline) << harness::Narrow(r.error);
  EXPECT_EQ(r.offline_text.rfind(L"Playing the installed release b3: This release is older than one this launcher "
                                 L"already installed",
                                 0),
            0u)
      << harness::Narrow(r.offline_text);
  EXPECT_EQ(Game(L"mod.dll"), "release three");
}

// The mirrors a description names are remembered and tried in a later run
// whose base URL is down.
TEST_F(MirrorTest, TheDescriptionsMirrorsServeALaterRun) {
  const std::wstring mirror = Mirror();
  std::string escaped;
  for (unsigned char c : harness::Narrow(mirror)) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    escaped += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(hex);
  }
  PublishBoth({{L"mod.dll", "with mirrors"}}, L"&mirror=" + harness::Widen(escaped));
  ASSERT_NE(Description().find("\nmirror " + harness::Narrow(mirror) + "\n"), std::string::npos) << Description();
  ASSERT_TRUE(Run().ok);
  ASSERT_EQ(AskedOf("/pub2/stable/manifest.txt"), 0u);

  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\src\\mod.dll", "from the mirror"));
  ASSERT_EQ(harness::PublishRelease(name_ + L"/src", name_ + L"/pub2",
                                    L"channel=stable&build=b2&protocol=7&server=h:1&sequence=2"),
            "");
  ASSERT_NE(DeleteFileW((folder_ + L"\\pub\\stable\\manifest.txt").c_str()), 0);
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(Game(L"mod.dll"), "from the mirror");
  EXPECT_EQ(AskedOf("/pub2/stable/manifest.txt"), 1u);
}

// No server offers a usable description: the installed release is played
// only when it is whole, not expired, and the run is no dry run.
TEST_F(MirrorTest, WithNoServerTheWholeInstalledReleaseIsPlayed) {
  const auto expiring = [this](int64_t seconds) {
    std::string text = Description();
    text.insert(text.find("\nbuild "),
                "\nexpires " + harness::Narrow(update::FormatUtcToken(update::UtcNowSeconds() + seconds)));
    PublishText(text);
  };
  const struct {
    const char* what;
    // 0 whole, 1 mixed, 2 expired, 3 nothing installed, 4 dry run, 5 a file changed since, 6 a file edited
    // and then a dry run (which reads it), 7 a file deleted and then a run whose download fails
    int state;
    bool played;
  } cases[] = {
      {"whole", 0, true},
      {"mixed", 1, false},
      {"expired", 2, false},
      {"nothing installed", 3, false},
      {"dry run", 4, false},
      {"a file changed since", 5, false},
      {"edited, then a dry run", 6, false},
      {"deleted, then a failed download", 7, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    harness::RemoveTree(game_);
    harness::RemoveTree(data_ + L"\\tables");
    options_.check_only = false;
    Publish({{L"mod.dll", "installed"}});
    if (c.state == 2) expiring(60);
    if (c.state != 3) {
      ASSERT_TRUE(Run().ok);
    }
    if (c.state == 1) {
      update::Manifest m;
      m.build = L"b1";
      ASSERT_TRUE(update::SaveInstallRecord(
          update::FolderKey(game_),
          update::RecordOf(update::InstallRecord::State::kMixed, m, options_.base_url, L"stable")));
    }
    if (c.state == 5 || c.state == 6) {
      ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\mod.dll", "edited"));
    }
    if (c.state == 6 || c.state == 7) {
      // The run that finds the file changed or gone marks the record at once.
      options_.check_only = c.state == 6;
      if (c.state == 7) {
        ASSERT_NE(DeleteFileW((game_ + L"\\mod.dll").c_str()), 0);
        SwitchSource("mod.dll", "_404");
      }
      EXPECT_EQ(Run().ok, c.state == 6);
      EXPECT_EQ(update::InstallRecordOf(game_).state, update::InstallRecord::State::kChanged);
    }
    options_.check_only = c.state == 4;
    ASSERT_NE(DeleteFileW((folder_ + L"\\pub\\stable\\manifest.txt").c_str()), 0);
    const common::Timing saved = common::CurrentTiming();
    common::Timing later = saved;
    if (c.state == 2) later.wall_offset_s = 120;  // past the expiry
    common::SetTiming(later);
    const update::Result r = Run();
    common::SetTiming(saved);
    EXPECT_EQ(r.ok, c.played) << harness::Narrow(r.error);
    EXPECT_EQ(r.offline, c.played);
    if (!c.played) continue;
    EXPECT_EQ(r.offline_text, L"Playing the installed release b1: There is no release for channel stable at " +
                                  options_.base_url + L".");
    EXPECT_EQ(r.server_host, L"play.example");
    EXPECT_EQ(r.server_port, 27015);
    EXPECT_EQ(r.protocol, 7);
  }
}

}  // namespace
