// What an install cannot be left with: a folder of two releases after a
// move pass that stops part way, a disk that fills, paths past 260
// characters, two spellings of one folder, notes and links planted beside
// the game's files. Real helper processes, a real small file system, the
// real test server.
#include "tests/update/engine_fixture.h"
#include "update/disk/install_record.h"

namespace {

using namespace engine_test;  // the fixture and its helpers

class InstallTest : public EngineTest {
 protected:
  // A filler file as big as the volume lets it be.
  static void Fill(const std::wstring& file) {
    common::UniqueFile f(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    const std::string block(1 << 20, 'f');
    DWORD written = 0;
    while (f && WriteFile(f.get(), block.data(), static_cast<DWORD>(block.size()), &written, nullptr) &&
           written == block.size()) {
    }
  }
  static bool StartsWith(const std::wstring& text, const std::wstring& start) { return text.rfind(start, 0) == 0; }
  static bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
  }
};

// The game starts while an update moves its files: the pass stops part way,
// says so, and the folder counts as holding two releases until a run
// completes it from the kept staging files.
TEST_F(InstallTest, AMovePassThatStopsPartWaySaysHowFarAndIsCompletedNextTime) {
  Files files, old;
  for (int i = 0; i < 120; ++i) {
    wchar_t name[16];
    swprintf(name, 16, L"f%03d.dll", i);
    files[name] = Bytes(1000, static_cast<char>('a' + i % 20));
    old[name] = "old";
  }
  Publish(files);
  PutGame(old);
  {
    // Takes the last file the moment the first has been moved.
    HeldFile game(game_ + L"\\f119.dll", L"lock", game_ + L"\\f000.dll.part");
    ASSERT_TRUE(game.held());
    const update::Result r = Run();
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.mixed);
    EXPECT_EQ(r.error, L"Updated 119 of 120 files; could not replace " + game_ +
                           L"\\f119.dll: it is in use. Close Velmora and start the launcher again.");
    EXPECT_EQ(r.changed, 119);
    const update::InstallRecord record = update::InstallRecordOf(game_);
    EXPECT_EQ(record.state, update::InstallRecord::State::kMixed);
    EXPECT_EQ(record.note, r.error);
  }
  EXPECT_EQ(Game(L"f119.dll"), "old");
  EXPECT_TRUE(Staged(L"f119.dll"));

  const size_t before = Requested().size();
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 1);
  EXPECT_TRUE(Game(L"f119.dll") == files[L"f119.dll"]);
  EXPECT_EQ(Requested().size() - before, 3u) << "only the description, its signature and the look for an announced one";
  EXPECT_EQ(update::InstallRecordOf(game_).state, update::InstallRecord::State::kWhole);
  EXPECT_EQ(update::InstallRecordOf(game_).build, L"b1");
}

// Should a move pass be cut off, only the record saying so keeps the folder
// from being played: when it cannot be written, no move starts.
TEST_F(InstallTest, NoMoveStartsWhenTheRecordOfTwoReleasesCannotBeWritten) {
  Publish({{L"mod.dll", "new"}});
  PutGame({{L"mod.dll", "old"}});
  // A folder where the record goes: it cannot be replaced.
  ASSERT_TRUE(harness::MakeDirs(data_ + L"\\tables\\" + update::FolderKey(game_) + L".install.txt\\in-the-way"));
  const update::Result r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error,
            L"The update could not be completed: the launcher cannot write its record of the game folder. Nothing "
            L"was changed.");
  EXPECT_EQ(Game(L"mod.dll"), "old");
}

// Files the release before had and this one drops are removed with the
// move pass, all or nothing with the rest; one the player changed since is
// kept, and named.
TEST_F(InstallTest, FilesAReleaseDropsAreRemovedUnlessChanged) {
  Publish({{L"mod.dll", "one"}, {L"data.bin", "dropped"}, {L"maps\\edited.map", "dropped too"}});
  ASSERT_TRUE(Run().ok);
  PutGame({{L"maps\\edited.map", "the player's own"}});
  harness::RemoveTree(folder_ + L"\\src");
  ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\src\\mod.dll", "two"));
  ASSERT_EQ(harness::PublishRelease(name_ + L"/src", name_ + L"/pub", L"channel=stable&build=b2&protocol=7&server=h:1"),
            "");
  const std::wstring kept =
      L"Kept maps\\edited.map: this release no longer has it, but it was changed since it was "
      L"installed.";
  options_.check_only = true;
  update::Result r = Run();
  EXPECT_EQ(r.removed, 1) << "counted, not done";
  EXPECT_EQ(Game(L"data.bin"), "dropped");
  options_.check_only = false;
  {
    // Held by another program: nothing moves, nothing goes.
    HeldFile game(game_ + L"\\data.bin", L"lock");
    ASSERT_TRUE(game.held());
    r = Run();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, L"Could not update " + game_ +
                           L"\\data.bin: it is in use (is Velmora running?). Nothing was "
                           L"changed.");
    EXPECT_EQ(Game(L"mod.dll"), "one");
  }
  r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.removed, 1);
  EXPECT_EQ(Game(L"mod.dll"), "two");
  EXPECT_FALSE(harness::FileExists(game_ + L"\\data.bin"));
  EXPECT_EQ(Game(L"maps\\edited.map"), "the player's own");
  EXPECT_EQ(std::count(r.notices.begin(), r.notices.end(), kept), 1);
  r = Run();
  EXPECT_TRUE(r.notices.empty()) << "named once";
}

// Too little room is told before a byte is downloaded; a disk that another
// program fills meanwhile gets the same kind of text, not the permission one.
TEST_F(InstallTest, NotEnoughSpaceIsToldBeforeTheDownloadAndWhenTheDiskFills) {
  harness::SmallVolume small(4);
  if (!small.mounted()) GTEST_SKIP() << small.reason();
  options_.game_dir = small.path() + L"\\game";
  Publish({{L"big.pak", Bytes(12 * 1024 * 1024, 'b')}});
  update::Result r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(StartsWith(r.error, L"Not enough free space on ")) << harness::Narrow(r.error);
  EXPECT_TRUE(EndsWith(r.error, L" MB more. Nothing was changed.")) << harness::Narrow(r.error);
  const size_t needs = r.error.find(L"the update needs ");
  ASSERT_NE(needs, std::wstring::npos);
  const int megabytes = _wtoi(r.error.c_str() + needs + 17);
  EXPECT_GE(megabytes, 15) << "12 MiB and a margin, less about 4 MiB free";
  EXPECT_LE(megabytes, 19);
  EXPECT_TRUE(DetailsOf("big.pak").empty()) << "nothing of the file was asked for";

  harness::SmallVolume filling(40);
  if (!filling.mounted()) GTEST_SKIP() << filling.reason();
  options_.game_dir = filling.path() + L"\\game";
  // The whole-file way, sent slowly, so that the disk fills while the part
  // grows; the chunk way sizes its staging file at once.
  options_.use_chunks = false;
  SwitchSource("big.pak", "_chunk-131072");
  std::thread run([&] { r = Run(); });
  const std::wstring part = options_.game_dir + L"\\big.pak.part";
  const DWORD start = GetTickCount();
  while (harness::ReadFileBytes(part).size() < 1024 * 1024 && GetTickCount() - start < 30000) Sleep(20);
  Fill(filling.path() + L"\\filler");
  run.join();
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(StartsWith(r.error, L"Not enough free space on ")) << harness::Narrow(r.error);
  DeleteFileW((filling.path() + L"\\filler").c_str());
  EXPECT_FALSE(harness::FileExists(options_.game_dir + L"\\big.pak"));
}

TEST_F(InstallTest, PathsPastTwoHundredSixtyCharactersAreInstalled) {
  std::wstring deep = game_;
  while (deep.size() < 230) deep += L"\\" + std::wstring(30, L'd');
  options_.game_dir = deep;
  const std::wstring name = L"maps\\" + std::wstring(60, L'm') + L".pak";
  const Files files = {{name, Bytes(3000, 'm')}, {L"mod.dll", Bytes(100, 'x')}};
  Publish(files);
  ASSERT_GT(deep.size() + 1 + name.size() + 5, 300u);
  update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 2);
  EXPECT_TRUE(harness::ReadFileBytes(L"\\\\?\\" + deep + L"\\" + name) == files.at(name));
  r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, 0) << "the table knows long paths too";
}

// "C:/Games/Velmora", "C:\GAMES\Velmora\": one folder, so one lock.
TEST_F(InstallTest, TwoSpellingsOfOneFolderShareItsLock) {
  Publish({{L"big.pak", Bytes(3 * 1024 * 1024, 'b')}});
  SwitchSource("big.pak", "_chunk-65536");
  update::Result first;
  std::thread run([&] { first = Run(); });
  const DWORD start = GetTickCount();
  while (!Staged(L"big.pak") && GetTickCount() - start < 20000) Sleep(10);
  update::Options other = options_;
  for (wchar_t& c : other.game_dir) c = c == L'\\' ? L'/' : static_cast<wchar_t>(towupper(c));
  other.game_dir += L"/";
  std::vector<std::wstring> said;
  const update::Result second =
      update::RunUpdate(other, [&](const update::StatusLine& line) { said.push_back(line.text); });
  run.join();
  EXPECT_TRUE(first.ok) << harness::Narrow(first.error);
  EXPECT_TRUE(second.ok) << harness::Narrow(second.error);
  EXPECT_NE(std::find(said.begin(), said.end(), L"Waiting for another update of this game folder"), said.end());
  EXPECT_EQ(second.changed, 0) << "the second found the first one's work, through the same table";
}

// The note of a part's version is the launcher's own file, but nothing
// signs it: one that is no plausible version is not sent to the server.
TEST_F(InstallTest, AVersionNoteWithALineBreakIsNoVersion) {
  const std::string big = Bytes(2 * 1024 * 1024, 'v');
  Publish({{L"big.pak", big}});
  // Cut at half, then refused: the part and its note stay for a later run.
  SwitchSource("big.pak", "_seq-cut.404.ok");
  ASSERT_FALSE(Run().ok);
  const std::wstring note = game_ + L"\\big.pak.part.version";
  ASSERT_TRUE(harness::FileExists(note));
  ASSERT_TRUE(harness::WriteFileBytes(note, harness::ReadFileBytes(note) + "\r\nX-Planted: 1"));
  const update::Result r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"big.pak") == big);
  const std::vector<harness::ServedRequest> details = DetailsOf("big.pak");
  ASSERT_GE(details.size(), 2u);
  EXPECT_EQ(details.back().range + details.back().if_range, "") << "no Range, no If-Range";
}

// Hard links: a target that shares its content with a file elsewhere is
// refused before anything is fetched; a name beside a target that the
// launcher did not leave is removed, never written through.
TEST_F(InstallTest, HardLinksAreNeitherReplacedNorWrittenThrough) {
  const std::wstring outside = harness::MakeTempDir(L"outside");
  const std::wstring victim = outside + L"\\victim.dll";
  ASSERT_TRUE(harness::WriteFileBytes(victim, "not the launcher's"));
  Publish({{L"a.dll", Bytes(100, 'a')}, {L"b.dll", Bytes(100, 'b')}});
  if (!CreateHardLinkW((game_ + L"\\a.dll").c_str(), victim.c_str(), nullptr)) {
    GTEST_SKIP() << "hard links cannot be made here (win32 " << GetLastError() << ")";
  }
  update::Result r = Run();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, L"The game folder holds a link the launcher will not write through: " + game_ +
                         L"\\a.dll. Remove it, or check the game's files in Steam. Nothing was changed.");
  EXPECT_TRUE(DetailsOf("a.dll").empty() && DetailsOf("b.dll").empty()) << "refused before the download";

  DeleteFileW((game_ + L"\\a.dll").c_str());
  ASSERT_TRUE(CreateHardLinkW((game_ + L"\\a.dll.part").c_str(), victim.c_str(), nullptr));
  r = Run();
  EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"a.dll") == Bytes(100, 'a'));
  EXPECT_EQ(harness::ReadFileBytes(victim), "not the launcher's");
  harness::RemoveTree(outside);
}

}  // namespace
