// The update run in-process against the real test release server.
#include "tests/update/engine_fixture.h"

namespace {

using namespace engine_test;  // the fixture and its helpers

TEST_F(EngineTest, UpToDateFetchesOnlyTheDescriptionAndSaysOneLine) {
  const Files files = {{L"mod.dll", Bytes(5000, 'a')}, {L"maps\\one.map", Bytes(300, 'b')}};
  Publish(files);
  PutGame(files);
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(r.changed, 0);
  EXPECT_FALSE(r.launcher_updated);
  EXPECT_EQ(r.build, L"b1");
  EXPECT_EQ(r.notes, L"Fresh maps");
  EXPECT_EQ(r.protocol, 7);
  EXPECT_EQ(r.server_host, L"play.example");
  EXPECT_EQ(r.server_port, 27015);
  EXPECT_EQ(lines_, (Lines{{L"Checking for updates", -1}}));
  EXPECT_EQ(RequestedInOrder(), ChannelOnly());
}

TEST_F(EngineTest, MissingFileInNewFoldersIsWrittenWithoutStatusCallback) {
  const Files files = {{L"bin\\sub\\mod.dll", Bytes(70000, 'c')}};
  Publish(files);
  const update::Result r = update::RunUpdate(options_, update::StatusFn());
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 1);
  EXPECT_TRUE(Game(L"bin\\sub\\mod.dll") == files.at(L"bin\\sub\\mod.dll"));
  EXPECT_FALSE(Staged(L"bin\\sub\\mod.dll"));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\bin\\sub\\mod.dll.part.version"));
}

// A game folder chosen before the game is installed may lack its parents too.
TEST_F(EngineTest, AGameFolderThatDoesNotExistIsMadeWithItsParents) {
  const Files files = {{L"mod.dll", Bytes(3000, 'm')}};
  Publish(files);
  options_.game_dir = game_ + L"\\not\\yet\\there";
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(harness::ReadFileBytes(options_.game_dir + L"\\mod.dll"), files.at(L"mod.dll"));
}

TEST_F(EngineTest, DryRunCountsAndTouchesNothingNotEvenTheLauncher) {
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\VelmoraMultiplayer.exe", NextLauncher()));
  Publish({{L"a.dll", Bytes(100, 'a')}, {L"data\\b.pak", Bytes(200, 'b')}, {L"c.txt", Bytes(300, 'c')}},
          L"&launcher=" + name_ + L"/VelmoraMultiplayer.exe&launcher-version=" + kNextRelease);
  PutGame({{L"a.dll", "old a"}});
  options_.check_only = true;
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 3);
  EXPECT_FALSE(r.launcher_updated);
  // The release tool lists files in its own order; each changed one is named once.
  ASSERT_EQ(lines_.size(), 4u);
  EXPECT_EQ(lines_[0], (std::pair<std::wstring, int>{L"Checking for updates", -1}));
  std::map<std::wstring, int> named;
  for (size_t i = 1; i < lines_.size(); ++i) named[lines_[i].first] = lines_[i].second;
  EXPECT_EQ(named, (std::map<std::wstring, int>{{L"a.dll", -1}, {L"data\\b.pak", -1}, {L"c.txt", -1}}));
  EXPECT_EQ(Game(L"a.dll"), "old a");
  EXPECT_FALSE(harness::FileExists(game_ + L"\\c.txt"));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\data"));
  EXPECT_EQ(RequestedInOrder(), ChannelOnly());

  // A game folder that is not there is one that holds nothing: counted,
  // and not made.
  options_.game_dir = game_ + L"\\not\\there";
  const update::Result none = Run();
  EXPECT_TRUE(none.ok) << harness::Narrow(none.error);
  EXPECT_EQ(none.changed, 3);
  EXPECT_FALSE(harness::FileExists(game_ + L"\\not"));
}

// Whatever is wrong with the signature, nothing is parsed or changed; the
// pair is fetched a second time before the run gives up on it.
TEST_F(EngineTest, BadSignatureChangesNothing) {
  Publish({{L"a.dll", Bytes(100, 'a')}});
  PutGame({{L"a.dll", "old"}});
  const std::wstring sig = folder_ + L"\\pub\\stable\\manifest.sig";
  const std::wstring text = folder_ + L"\\pub\\stable\\manifest.txt";
  const std::string good_sig = harness::ReadFileBytes(sig);
  const std::string good_text = harness::ReadFileBytes(text);
  std::string flipped = good_sig;
  flipped[100] ^= 1;
  const struct {
    const char* what;
    std::string text, sig;
  } cases[] = {{"signature with one bit flipped", good_text, flipped},
               {"signature cut to 255 bytes", good_text, good_sig.substr(0, 255)},
               {"empty signature", good_text, ""},
               {"description with a blank line put in front", "\r\n" + good_text, good_sig}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(harness::WriteFileBytes(text, c.text));
    ASSERT_TRUE(harness::WriteFileBytes(sig, c.sig));
    const size_t before = Requested().size();
    const update::Result r = Run();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, L"This update is not signed by us. Nothing was changed.");
    EXPECT_EQ(r.build, L"");
    EXPECT_EQ(r.changed, 0);
    EXPECT_EQ(Game(L"a.dll"), "old");
    EXPECT_EQ(Requested().size() - before, 4u) << "the pair, then the pair once more";
  }
}

// During a publish, or behind a cache, a description may meet the old
// signature for a moment: the second fetch gets the matching one.
TEST_F(EngineTest, APairThatMatchesOnlyOnTheSecondFetchIsAccepted) {
  const std::string a = Bytes(100, 'a');
  Publish({{L"a.dll", a}});
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub\\stable\\manifest.sig.stale", std::string(256, 'x')));
  options_.base_url = harness::ReleaseUrl(L"/_stalefirst/" + name_ + L"/pub");
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"a.dll") == a);
  EXPECT_EQ(RequestsOf("manifest.sig"), 2u);
}

// Nothing is moved into place until every changed file is here and
// verified; what did arrive is kept, so the next run fetches only the rest.
TEST_F(EngineTest, AFailureBeforeTheLastFileChangesNothingAndKeepsWhatArrived) {
  const std::string a = Bytes(1000, 'a'), b = Bytes(2000, 'b'), c = Bytes(3000, 'c');
  Publish({{L"a.dll", a}, {L"b.dll", b}, {L"c.dll", c}});
  ASSERT_TRUE(harness::WriteFileBytes(Published(L"b.dll"), "not what the description says"));
  PutGame({{L"a.dll", "old a"}, {L"b.dll", "old b"}, {L"c.dll", "old c"}});
  options_.connections = 1;  // one after another, in the order of the description: a, b, c

  update::Result r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, kMismatch);
  EXPECT_EQ(r.changed, 0);
  EXPECT_EQ(r.build, L"b1");
  EXPECT_EQ(Game(L"a.dll"), "old a");
  EXPECT_EQ(Game(L"b.dll"), "old b");
  EXPECT_EQ(Game(L"c.dll"), "old c");
  EXPECT_FALSE(Staged(L"b.dll")) << "bytes known to be wrong are not kept";

  // The server is put right: only what did not arrive is fetched again.
  ASSERT_TRUE(harness::WriteFileBytes(Published(L"b.dll"), b));
  const size_t a_before = RequestsOf("a.dll"), c_before = RequestsOf("c.dll");
  r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 3);
  EXPECT_TRUE(Game(L"a.dll") == a && Game(L"b.dll") == b && Game(L"c.dll") == c);
  // A file that arrived whole is used, not fetched; one never started is.
  EXPECT_EQ(RequestsOf("a.dll") - a_before, 0u);
  EXPECT_EQ(RequestsOf("c.dll") - c_before, 1u);
  for (const wchar_t* f : {L"a.dll", L"b.dll", L"c.dll"}) EXPECT_FALSE(Staged(f)) << harness::Narrow(f);
}

// Which failures are tried again, and how.
TEST_F(EngineTest, TransientFailuresAreRetriedOthersAreNot) {
  const std::string a = Bytes(3000, 'a');
  Publish({{L"a.dll", a}});
  const struct {
    const char* switches;
    bool ok;
    std::vector<std::wstring> retries;
    size_t requests;
    std::wstring error;
  } cases[] = {
      {"_seq-503.ok", true, {L"Retrying a.dll in 0 s: server answered 503"}, 2, L""},
      {"_seq-502.500.ok",
       true,
       {L"Retrying a.dll in 0 s: server answered 502", L"Retrying a.dll in 0 s: server answered 500"},
       3,
       L""},
      {"_seq-429.ok/_retryafter-3", true, {L"Retrying a.dll in 0 s: server answered 429"}, 2, L""},
      {"_404", false, {}, 1, L"The update could not be completed: server answered 404. Nothing was changed."},
      {"_status-403", false, {}, 1, L"The update could not be completed: server answered 403. Nothing was changed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.switches);
    Publish({{L"a.dll", a}});
    PutGame({{L"a.dll", "old"}});
    SwitchSource("a.dll", c.switches);
    const size_t before = RequestsOf("a.dll");
    const update::Result r = Run();
    EXPECT_EQ(r.ok, c.ok) << harness::Narrow(r.error);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(RetryLines(), c.retries);
    EXPECT_EQ(RequestsOf("a.dll") - before, c.requests);
    EXPECT_TRUE(Game(L"a.dll") == (c.ok ? a : "old"));
  }
}

// A cut transfer asks only for the rest, of the same version of the file;
// the whole file is verified either way. A small file starts over.
TEST_F(EngineTest, ACutTransferResumes) {
  // Files below 1 MiB are fetched whole again rather than resumed.
  const std::string a = Bytes(3 << 19, 'a');
  Publish({{L"a.dll", a}});
  SwitchSource("a.dll", "_cutfirst-786432");
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"a.dll") == a);
  const std::vector<harness::ServedRequest> requests = DetailsOf("a.dll");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].bytes, 786432u);
  EXPECT_EQ(requests[1].range, "bytes=786432-");
  EXPECT_EQ(requests[1].status, 206);
  EXPECT_EQ(requests[1].bytes, 786432u);
  EXPECT_EQ(requests[1].if_range.substr(0, 1), "\"") << "If-Range names the version: " << requests[1].if_range;
  EXPECT_FALSE(Staged(L"a.dll"));
  EXPECT_FALSE(harness::FileExists(game_ + L"\\a.dll.part.version"));

  const std::string small = Bytes(300000, 's');
  Publish({{L"small.dll", small}});
  SwitchSource("small.dll", "_cutfirst-150000");
  EXPECT_TRUE(Run().ok);
  EXPECT_TRUE(Game(L"small.dll") == small);
  const std::vector<harness::ServedRequest> again = DetailsOf("small.dll");
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[1].range, "") << "no Range";
}

// A part kept by a failed run is resumed by the next one; when the server's
// file has changed since, If-Range makes it answer with the whole file; when
// the kept bytes are damaged, the file fails its digest and is fetched whole.
TEST_F(EngineTest, APartKeptByAFailedRunIsResumedOrStartedOver) {
  const struct {
    const char* what;
    bool change_server_file;
    bool damage_part;
    std::vector<std::string> statuses;  // of the requests of the second run
  } cases[] = {{"resumed", false, false, {"206"}},
               {"server file changed", true, false, {"200"}},
               {"kept part damaged", false, true, {"206", "200"}}};
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ++round;
    // A release published afresh starts its sequence anew: so does the
    // launcher's memory of it.
    harness::RemoveTree(folder_ + L"\\pub");
    DeleteFileW((data_ + L"\\sequences.txt").c_str());
    harness::RemoveTree(game_);
    harness::MakeDirs(game_);
    const std::string old_a = Bytes(2 << 20, 'o');
    Publish({{L"a.dll", old_a}});
    // The first run breaks off half-way and then finds the file gone.
    SwitchSource("a.dll", "_seq-cut.404/_round-" + std::to_string(round));  // a path of its own: a fresh count
    update::Result r = Run();
    ASSERT_FALSE(r.ok);
    ASSERT_TRUE(Staged(L"a.dll")) << "the part is kept for the next run";
    const std::string part = harness::ReadFileBytes(game_ + L"\\a.dll.part");
    ASSERT_EQ(part.size(), 1u << 20);

    std::string expected = old_a;
    Publish({{L"a.dll", old_a}});
    if (c.change_server_file) {
      // The same path with other bytes, as a hand-made release would have it.
      expected = Bytes(2 << 20, 'n');
      ASSERT_TRUE(harness::WriteFileBytes(Published(L"a.dll"), expected));
      std::string text = Description();
      const std::string old_sha = update::Sha256Hex(std::vector<unsigned char>(old_a.begin(), old_a.end()));
      text.replace(text.find(old_sha), 64,
                   update::Sha256Hex(std::vector<unsigned char>(expected.begin(), expected.end())));
      PublishText(text);
    }
    if (c.damage_part) {
      ASSERT_TRUE(harness::WriteFileBytes(game_ + L"\\a.dll.part", std::string(1 << 20, 'x')));
    }
    const size_t before = DetailsOf("a.dll").size();
    r = Run();
    EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
    EXPECT_TRUE(Game(L"a.dll") == expected);
    const std::vector<harness::ServedRequest> all = DetailsOf("a.dll");
    std::vector<std::string> statuses;
    for (size_t i = before; i < all.size(); ++i) statuses.push_back(std::to_string(all[i].status));
    EXPECT_EQ(statuses, c.statuses);
    EXPECT_FALSE(Staged(L"a.dll"));
  }
}

TEST_F(EngineTest, ABodyLongerThanAnnouncedIsCutOff) {
  Publish({{L"a.dll", Bytes(1000, 'a')}});
  PutGame({{L"a.dll", "old"}});
  ASSERT_TRUE(harness::WriteFileBytes(Published(L"a.dll"), Bytes(50000, 'a')));
  const update::Result r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error,
            L"The update could not be completed: the server sent more than the release description announces. "
            L"Nothing was changed.");
  EXPECT_EQ(Game(L"a.dll"), "old");
  EXPECT_FALSE(Staged(L"a.dll"));
}

// A file the game holds open cannot be replaced: every target is looked at
// before the first move, so nothing is moved and the run says which file
// is in use; the next run moves the kept staging files without fetching
// them again.
TEST_F(EngineTest, ATargetInUseStopsTheRunBeforeAnyMove) {
  const std::string a = Bytes(1000, 'a'), b = Bytes(1000, 'b'), c = Bytes(1000, 'c');
  Publish({{L"a.dll", a}, {L"b.dll", b}, {L"c.dll", c}});
  PutGame({{L"a.dll", "old a"}, {L"b.dll", "old b"}, {L"c.dll", "old c"}});
  {
    HeldFile held(game_ + L"\\b.dll", L"lock");
    ASSERT_TRUE(held.held());
    const update::Result r = Run();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, L"Could not update " + game_ +
                           L"\\b.dll: it is in use (is Velmora running?). Nothing was "
                           L"changed.");
    EXPECT_EQ(r.changed, 0);
    EXPECT_FALSE(r.mixed);
  }
  EXPECT_EQ(Game(L"a.dll"), "old a");
  EXPECT_EQ(Game(L"b.dll"), "old b");
  EXPECT_EQ(Game(L"c.dll"), "old c");
  EXPECT_TRUE(Staged(L"a.dll") && Staged(L"b.dll") && Staged(L"c.dll"));

  const size_t before = Requested().size();
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 3);
  EXPECT_TRUE(Game(L"a.dll") == a && Game(L"b.dll") == b && Game(L"c.dll") == c);
  EXPECT_EQ(Requested().size() - before, 3u) << "only the description, its signature and the look for an announced one";
  EXPECT_FALSE(Staged(L"a.dll") || Staged(L"b.dll") || Staged(L"c.dll"));
}

// An antivirus scan holds a new file for a moment: the move waits for it.
TEST_F(EngineTest, AMoveWaitsBrieflyForAFileHeldForAMoment) {
  const std::string a = Bytes(1000, 'a');
  Publish({{L"a.dll", a}});
  PutGame({{L"a.dll", "old a"}});
  HeldFile held(game_ + L"\\a.dll", L"lock");
  ASSERT_TRUE(held.held());
  std::thread release([&] {
    // Once the move has been refused.
    harness::WaitForFileText(data_ + L"\\launcher.log", "held by another program", 30000);
    held.Release();
  });
  const update::Result r = Run();
  release.join();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"a.dll") == a);
}

// One session serves the whole run: its connection is kept alive.
TEST_F(EngineTest, OneConnectionServesAWholeRun) {
  Files files;
  for (int i = 0; i < 6; ++i) files[L"f" + std::to_wstring(i) + L".dat"] = Bytes(20000 + i, static_cast<char>('a' + i));
  Publish(files);
  options_.connections = 1;
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 6);
  EXPECT_EQ(Requested().size(), 9u);
  EXPECT_EQ(harness::ConnectionsFor(name_), 1);
}

// Files recorded by an earlier run are not read again while their size,
// time and identity stay: a file nobody may read is still current.
TEST_F(EngineTest, TheTableVouchesForFilesThatDidNotChange) {
  const Files files = {{L"a.dll", Bytes(5000, 'a')}, {L"b.dll", Bytes(5000, 'b')}};
  Publish(files);
  PutGame(files);
  ASSERT_TRUE(Run().ok);
  HeldFile held(game_ + L"\\a.dll", L"deny");
  ASSERT_TRUE(held.held());
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 0);
}

// What makes a file be read again: a new time with the same size, a table
// that cannot be trusted, and --verify. Each time the file's content was
// changed and its size and time put back, which only reading can tell.
TEST_F(EngineTest, FilesAreReadAgainWhenTheTableCannotVouchForThem) {
  const std::string a = Bytes(5000, 'a');
  Publish({{L"a.dll", a}});
  const std::wstring table = data_ + L"\\tables\\" + update::FolderKey(game_) + L".txt";
  const struct {
    const char* what;
    bool keep_time;
    std::function<void()> before;
    bool verify;
  } cases[] = {
      {"same size, new time", false, [] {}, false},
      {"damaged table", true,
       [&] {
         std::string text = harness::ReadFileBytes(table);
         text[text.size() / 2] ^= 1;
         harness::WriteFileBytes(table, text);
       },
       false},
      {"table cut short", true,
       [&] {
         std::string text = harness::ReadFileBytes(table);
         harness::WriteFileBytes(table, text.substr(0, text.size() - 20));
       },
       false},
      {"--verify", true, [] {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PutGame({{L"a.dll", a}});
    options_.verify = false;
    ASSERT_TRUE(Run().ok);
    ASSERT_TRUE(harness::FileExists(table));
    // Same size, other bytes; the time put back where asked.
    const std::wstring path = game_ + L"\\a.dll";
    FILETIME written = {};
    {
      common::UniqueFile f(
          CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      GetFileTime(f.get(), nullptr, nullptr, &written);
    }
    Sleep(50);
    common::UniqueFile f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(f.valid());
    const std::string other = Bytes(5000, 'z');
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(f.get(), other.data(), static_cast<DWORD>(other.size()), &n, nullptr));
    if (c.keep_time) {
      SetFileTime(f.get(), nullptr, nullptr, &written);
    } else {
      FILETIME later = written;
      later.dwLowDateTime += 20000000;  // two seconds on
      if (later.dwLowDateTime < written.dwLowDateTime) ++later.dwHighDateTime;
      SetFileTime(f.get(), nullptr, nullptr, &later);
    }
    f.reset();
    c.before();
    options_.verify = c.verify;
    const update::Result r = Run();
    EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
    EXPECT_EQ(r.changed, 1);
    EXPECT_TRUE(Game(L"a.dll") == a);
  }
  // And without any of those the table is trusted, even about a lie: the
  // contrast that shows the cases above were read for a reason.
  options_.verify = false;
  PutGame({{L"a.dll", a}});
  ASSERT_TRUE(Run().ok);
}

// A second run on the same game folder waits for the first.
TEST_F(EngineTest, TwoRunsOnOneFolderTakeTurns) {
  const std::string big = Bytes(400000, 'q');
  Publish({{L"big.bin", big}});
  SwitchSource("big.bin", "_chunk-65536");
  update::Result first;
  std::thread other([&] { first = update::RunUpdate(options_, update::StatusFn()); });
  // The first run holds the folder once it starts fetching the file.
  const DWORD start = GetTickCount();
  while (RequestsOf("big.bin") == 0 && GetTickCount() - start < 20000) Sleep(10);
  const update::Result second = Run();
  other.join();
  EXPECT_TRUE(first.ok) << harness::Narrow(first.error);
  EXPECT_TRUE(second.ok) << harness::Narrow(second.error);
  EXPECT_EQ(first.changed + second.changed, 1);
  EXPECT_NE(std::find(lines_.begin(), lines_.end(),
                      std::pair<std::wstring, int>{L"Waiting for another update of this game folder", -1}),
            lines_.end());
  EXPECT_TRUE(Game(L"big.bin") == big);
}

// One line for the whole transfer, its percent of the release's announced
// bytes (so a server that announces no length changes nothing), with the
// amounts; a single file is named.
TEST_F(EngineTest, ProgressIsOneLineForTheWholeTransfer) {
  Publish({{L"one.bin", Bytes(200000, 'x')}, {L"two.bin", Bytes(200000, 'y')}, {L"three.bin", Bytes(200000, 'z')}});
  options_.base_url = harness::ReleaseUrl(L"/_nolength/_chunk-65536/" + name_ + L"/pub");
  update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  ASSERT_GE(lines_.size(), 3u);
  EXPECT_EQ(lines_.front(), (std::pair<std::wstring, int>{L"Checking for updates", -1}));
  int previous = -1;
  for (size_t i = 1; i < lines_.size(); ++i) {
    EXPECT_EQ(lines_[i].first, L"Downloading 3 files");
    EXPECT_GE(lines_[i].second, previous);
    previous = lines_[i].second;
    EXPECT_NE(details_[i].find(L" of 600.0 kB"), std::wstring::npos) << harness::Narrow(details_[i]);
  }
  EXPECT_EQ(lines_.back().second, 100);
  EXPECT_EQ(details_.back().substr(0, 16), L"600.0 of 600.0 k");

  PutGame({{L"one.bin", "old"}});
  r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(lines_.back(), (std::pair<std::wstring, int>{L"Downloading one.bin", 100}));
}

TEST_F(EngineTest, EmptyFileIsWrittenWithoutAnyLine) {
  Publish({{L"empty.cfg", ""}});
  PutGame({{L"empty.cfg", "something"}});
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 1);
  EXPECT_EQ(lines_, (Lines{{L"Checking for updates", -1}}));
  EXPECT_TRUE(harness::FileExists(game_ + L"\\empty.cfg"));
  EXPECT_EQ(Game(L"empty.cfg"), "");
}

// The texts of each step that can fail before any file is looked at.
TEST_F(EngineTest, DescriptionFailures) {
  Publish({{L"a.dll", Bytes(100, 'a')}});
  const std::string sha_of_a = [&] {
    const std::string text = Description();
    const size_t at = text.find("file a.dll 100 ");
    return text.substr(at + 15, 64);
  }();
  std::string upper = sha_of_a;
  for (char& ch : upper) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));

  // Unsigned channel, missing signature, no files, upper-case digests.
  options_.channel = L"nothing-here";
  update::Result r = Run();
  EXPECT_EQ(r.error, L"There is no release for channel nothing-here at " + options_.base_url + L".");

  options_.channel = L"stable";
  DeleteFileW((folder_ + L"\\pub\\stable\\manifest.sig").c_str());
  r = Run();
  EXPECT_EQ(r.error, L"Could not download the signature: server answered 404");

  PublishText("velmoramp-manifest 1\nbuild b2\n");
  r = Run();
  EXPECT_EQ(r.error, L"The release description is malformed: the manifest lists no files");

  PublishText("velmoramp-manifest 1\nbuild b2\nfile a.dll 100 " + upper + " files/b1/a.dll\n");
  r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.build, L"b2");
  EXPECT_EQ(r.error, kMismatch);
  EXPECT_FALSE(harness::FileExists(game_ + L"\\a.dll"));
  EXPECT_FALSE(Staged(L"a.dll"));

  options_.base_url = L"http://localhost:" + std::to_wstring(harness::ReleaseServerHttpPort()) + L"/" + name_ + L"/pub";
  r = Run();
  EXPECT_EQ(r.error, L"Could not reach the update server: only https urls are accepted");
}

// A newer launcher whose digest does not match is passed over silently; the
// game files still update. (A matching one would replace this test program:
// the real replacement is tested through a copied runner.)
TEST_F(EngineTest, LauncherWithBadDigestIsPassedOverSilently) {
  // Trailing data: the version resource stays readable.
  const std::string launcher = NextLauncher() + Bytes(150000, 'L');
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\VelmoraMultiplayer.exe", launcher));
  const std::string a = Bytes(100, 'a');
  Publish({{L"a.dll", a}}, L"&launcher=" + name_ + L"/VelmoraMultiplayer.exe&launcher-version=" + kNextRelease);
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub\\launcher\\" + kNextRelease + L"\\VelmoraMultiplayer.exe",
                                      Bytes(launcher.size(), 'M')));
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_FALSE(r.launcher_updated);
  EXPECT_EQ(r.error, L"");
  EXPECT_EQ(r.changed, 1);
  EXPECT_TRUE(Game(L"a.dll") == a);
  ASSERT_GE(lines_.size(), 3u);
  EXPECT_EQ(lines_[1], (std::pair<std::wstring, int>{L"Updating the launcher", -1}));
  EXPECT_EQ(lines_[2].first, L"Updating the launcher");
  EXPECT_GE(lines_[2].second, 0);
  EXPECT_EQ(lines_.back().first, L"Downloading a.dll");
}

TEST_F(EngineTest, LauncherOfThisReleaseIsNotNewer) {
  ASSERT_TRUE(
      harness::WriteFileBytes(folder_ + L"\\VelmoraMultiplayer.exe", harness::ReadFileBytes(harness::LauncherExe())));
  const Files files = {{L"a.dll", Bytes(100, 'a')}};
  Publish(files, L"&launcher=" + name_ + L"/VelmoraMultiplayer.exe&launcher-version=" +
                     std::to_wstring(VELMORA_LAUNCHER_RELEASE));
  PutGame(files);
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(lines_, (Lines{{L"Checking for updates", -1}}));
  EXPECT_EQ(RequestedInOrder(), ChannelOnly());
}

// A hand-made description may name one file twice, in other letter case:
// the later line decides, and the file is written once.
TEST_F(EngineTest, AFileNamedTwiceIsWrittenOnceAsTheLaterLineSays) {
  const std::string a = Bytes(5000, 'a'), b = Bytes(6000, 'b');
  Publish({{L"one.dll", a}, {L"two.dll", b}});
  const auto sha = [](const std::string& bytes) {
    return update::Sha256Hex(std::vector<unsigned char>(bytes.begin(), bytes.end()));
  };
  PublishText("velmoramp-manifest 1\nbuild b1\nfile mod.dll 5000 " + sha(a) + " files/b1/one.dll\nfile MOD.DLL 6000 " +
              sha(b) + " files/b1/two.dll\n");
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 1);
  EXPECT_TRUE(Game(L"mod.dll") == b);
  EXPECT_EQ(RequestsOf("one.dll"), 0u);
}

// A run that is asked to stop ends at the next chunk, its part kept.
TEST_F(EngineTest, AStoppedRunEndsSoonAndKeepsItsPart) {
  Publish({{L"big.bin", Bytes(2000000, 'b')}});
  PutGame({{L"big.bin", "old"}});
  SwitchSource("big.bin", "_chunk-16384");
  update::CancelFlag stop{false};
  update::Result r;
  std::thread run([&] { r = update::RunUpdate(options_, update::StatusFn(), &stop); });
  const DWORD start = GetTickCount();
  while (harness::ReadFileBytes(game_ + L"\\big.bin.part").empty() && GetTickCount() - start < 20000) Sleep(10);
  stop = true;
  run.join();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, update::StoppedText());
  EXPECT_EQ(Game(L"big.bin"), "old");
  EXPECT_TRUE(Staged(L"big.bin"));
  EXPECT_LT(harness::ReadFileBytes(game_ + L"\\big.bin.part").size(), 2000000u) << "stopped before the end";
}

// Another user of the PC plants a link below the game folder: nothing is
// written, moved or deleted through it, and the run says where it is.
TEST_F(EngineTest, NothingIsWrittenThroughALinkBelowTheGameFolder) {
  const std::wstring outside = harness::MakeTempDir(L"outside");
  Publish({{L"maps\\x.map", Bytes(100, 'x')}, {L"a.dll", Bytes(100, 'a')}});
  PutGame({{L"a.dll", "old a"}});
  std::string reason;
  if (!harness::PlantLink(game_ + L"\\maps", outside, reason)) GTEST_SKIP() << reason;
  update::Result r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, L"The game folder holds a link the launcher will not write through: " + game_ +
                         L"\\maps. Remove it, or check the game's files in Steam. Nothing was changed.");
  EXPECT_EQ(Game(L"a.dll"), "old a") << "nothing is moved when one file cannot be placed";

  // A link in place of a file: what it points to is neither written nor
  // replaced (the link itself gives way to the release's file).
  harness::RemoveLink(game_ + L"\\maps");
  harness::RemoveTree(game_);
  harness::MakeDirs(game_);
  ASSERT_TRUE(harness::WriteFileBytes(outside + L"\\victim.dll", "not the launcher's"));
  ASSERT_TRUE(harness::PlantLink(game_ + L"\\a.dll", outside + L"\\victim.dll", reason)) << reason;
  r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"a.dll") == Bytes(100, 'a'));
  EXPECT_EQ(harness::ReadFileBytes(outside + L"\\victim.dll"), "not the launcher's");
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((outside + L"\\*").c_str(), &found);
  for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
    if (found.cFileName[0] != L'.') names.push_back(harness::Narrow(found.cFileName));
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  EXPECT_EQ(names, std::vector<std::string>{"victim.dll"}) << "nothing was created outside";
  harness::RemoveTree(game_);
  harness::RemoveTree(outside);
}

// A staging name something else already holds: a file is cleared and made
// anew (it is not the launcher's to continue); a folder stops the run with
// the game folder's text, nothing replaced.
TEST_F(EngineTest, AStagingNameAlreadyTakenIsClearedOrStopsTheRun) {
  Publish({{L"a.dll", Bytes(3000, 'a')}});
  struct Row {
    const char* what;
    bool folder;
    bool ok;
  };
  for (const Row& row : {Row{"a stray file", false, true}, Row{"a folder", true, false}}) {
    PutGame({{L"a.dll", "old a"}});
    ASSERT_TRUE(row.folder ? harness::MakeDirs(game_ + L"\\a.dll.part")
                           : harness::WriteFileBytes(game_ + L"\\a.dll.part", std::string(5000, 's')));
    const update::Result r = Run();
    EXPECT_EQ(r.ok, row.ok) << row.what << ": " << harness::Narrow(r.error);
    if (row.ok) {
      EXPECT_TRUE(Game(L"a.dll") == Bytes(3000, 'a')) << row.what;
      EXPECT_FALSE(harness::FileExists(game_ + L"\\a.dll.part")) << row.what;
    } else {
      EXPECT_EQ(r.error,
                L"Could not write into the game folder. Close the game and Steam, or run the launcher as "
                L"administrator. Nothing was changed.")
          << row.what;
      EXPECT_EQ(Game(L"a.dll"), "old a") << row.what;
    }
    harness::RemoveTree(game_);
    harness::MakeDirs(game_);
  }
}

}  // namespace
