// The pack end to end: releases published with the release tool (which
// packs the small files), installed by the engine against the real test
// server, which counts every piece and file it serves.
#include "tests/update/engine_fixture.h"
#include "update/content/chunk_index.h"

namespace {

using namespace engine_test;  // the fixture and its helpers

class PackTest : public EngineTest {
 protected:
  // Small files of random bytes: f00.dat, f01.dat, ...
  static Files SmallFiles(size_t count, size_t size, uint32_t seed) {
    Files files;
    for (size_t i = 0; i < count; ++i) {
      wchar_t name[32];
      swprintf(name, 32, L"scripts\\f%02zu.dat", i);
      files[name] = RandomBytes(size, seed + static_cast<uint32_t>(i));
    }
    return files;
  }
  void PublishBuild(const Files& files, const std::wstring& build) {
    harness::RemoveTree(folder_ + L"\\src");
    for (const auto& f : files) ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\src\\" + f.first, f.second));
    ASSERT_EQ(
        harness::PublishRelease(name_ + L"/src", name_ + L"/pub",
                                L"channel=stable&build=" + build + L"&protocol=7&server=play.example:27015&pack=1"),
        "");
  }
  // The pack index as published, and its path.
  std::wstring IndexPath() const {
    const std::string text = Description();
    const size_t at = text.find("\npack ");
    if (at == std::string::npos) return L"";
    const size_t source = text.rfind(' ', text.find('\n', at + 1)) + 1;
    std::wstring path = folder_ + L"\\pub\\" + harness::Widen(text.substr(source, text.find('\n', at + 1) - source));
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    return path;
  }
  update::PackIndex Index() const {
    update::PackIndex index;
    std::wstring error;
    const std::string text = harness::ReadFileBytes(IndexPath());
    EXPECT_TRUE(update::ParsePackIndex(std::vector<unsigned char>(text.begin(), text.end()), index, error))
        << harness::Narrow(error);
    return index;
  }
  std::wstring PiecePath(const update::PackIndex& index, size_t piece) const {
    std::wstring path = folder_ + L"\\pub\\" + update::ChunkSource(index.store, index.chunks[piece]);
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    return path;
  }
  void ExpectGame(const Files& files) const {
    for (const auto& f : files) EXPECT_TRUE(Game(f.first) == f.second) << harness::Narrow(f.first);
  }
  std::string Log() const { return harness::ReadFileBytes(data_ + L"\\launcher.log"); }
};

// 120 files of 16 KiB and a text: a few pieces, no file on its own; the
// dry run counts what the run then fetches.
TEST_F(PackTest, AFreshInstallTakesTheSmallFilesFromAFewPieces) {
  Files files = SmallFiles(120, 16 * 1024, 1);
  files[L"lang\\en.txt"] = Text(300 * 1024, 2);
  files[L"empty.cfg"] = "";
  PublishBuild(files, L"b1");
  const update::PackIndex index = Index();
  ASSERT_GE(index.chunks.size(), 2u);
  ASSERT_EQ(index.parts.size(), files.size());

  options_.check_only = true;
  const update::Result check = Run();
  ASSERT_TRUE(check.ok) << harness::Narrow(check.error);
  uint64_t stored = 0;
  for (const update::ChunkRef& piece : index.chunks) stored += piece.stored;
  EXPECT_EQ(check.download_bytes, stored);

  options_.check_only = false;
  const update::Result r = Run();
  ASSERT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_EQ(r.changed, static_cast<int>(files.size()));
  ExpectGame(files);
  EXPECT_EQ(ChunkRequests(), index.chunks.size());
  EXPECT_EQ(WholeRequests(), 0u);
}

// After the first release, what a change costs follows the rule: one file
// alone, or the pieces that hold many of the files wanted.
TEST_F(PackTest, WhatAChangeFetchesFollowsTheCostOfItsRequests) {
  const Files first = SmallFiles(120, 16 * 1024, 1);
  const struct {
    const char* what;
    std::function<void(Files&)> change;
    size_t files, pieces_at_least;
  } cases[] = {
      // No more files than connections: one round on their own, not the index's first.
      {"one file changed", [](Files& f) { f[L"scripts\\f07.dat"] = RandomBytes(16 * 1024, 99); }, 1, 0},
      {"every file changed", [](Files& f) { f = SmallFiles(120, 16 * 1024, 500); }, 0, 2},
  };
  int build = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    harness::RemoveTree(game_);
    PublishBuild(first, L"b" + std::to_wstring(++build));
    ASSERT_TRUE(Run().ok);
    Files next = first;
    c.change(next);
    PublishBuild(next, L"b" + std::to_wstring(++build));
    const size_t pieces = ChunkRequests(), whole = WholeRequests(), logged = Log().size();
    const update::Result r = Run();
    ASSERT_TRUE(r.ok) << harness::Narrow(r.error);
    ExpectGame(next);
    EXPECT_EQ(WholeRequests() - whole, c.files);
    EXPECT_GE(ChunkRequests() - pieces, c.pieces_at_least);
    if (c.pieces_at_least == 0) {
      EXPECT_EQ(ChunkRequests(), pieces);
      EXPECT_EQ(Log().find("/indexes/", logged), std::string::npos) << "nor its index";
    }
  }
}

// Whatever is wrong with the pack, the files come on their own and the run
// succeeds: a piece with a flipped byte, an index that is not the one
// signed, an index whose part names no file of the release. A file that
// is right already is never fetched.
TEST_F(PackTest, AnythingWrongWithThePackFallsBackToTheFiles) {
  const Files files = SmallFiles(40, 16 * 1024, 7);
  PublishBuild(files, L"b1");
  const update::PackIndex index = Index();
  const std::wstring piece = PiecePath(index, 0), index_path = IndexPath();
  const std::string description = Description();
  const struct {
    const char* what;
    std::function<void()> spoil;
    const char* logged;
  } cases[] = {
      {"a flipped byte",
       [&] {
         std::string bytes = harness::ReadFileBytes(piece);
         bytes[bytes.size() / 2] ^= 1;
         ASSERT_TRUE(harness::WriteFileBytes(piece, bytes));
       },
       "pack: piece 0 failed its digest twice"},
      {"an index that is not the one signed",
       [&] { ASSERT_TRUE(harness::WriteFileBytes(index_path, harness::ReadFileBytes(index_path) + "part ")); },
       "pack: its index is not the one the release names"},
      {"a part that names no file",
       [&] {
         std::string text = harness::ReadFileBytes(index_path);
         const size_t at = text.find(" scripts/f03.dat\n");
         ASSERT_NE(at, std::string::npos);
         text.replace(at, 17, " scripts/f3.dat\n\n");
         ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\pub\\other-index.txt", text));
         std::string spoiled = description;
         const size_t line = spoiled.find("\npack ");
         spoiled.replace(line + 1, spoiled.find('\n', line + 1) - line - 1,
                         "pack " + std::to_string(text.size()) + " " + update::Sha256Hex({text.begin(), text.end()}) +
                             " other-index.txt");
         PublishText(spoiled);
       },
       "pack: a part of its index names no file of the release"},
  };
  const std::string kept_piece = harness::ReadFileBytes(piece), kept_index = harness::ReadFileBytes(index_path);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartAfresh();
    PutGame({{L"scripts\\f00.dat", files.at(L"scripts\\f00.dat")}});
    c.spoil();
    const size_t whole = WholeRequests();
    const update::Result r = Run();
    EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
    ExpectGame(files);
    EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
    const size_t on_their_own = WholeRequests() - whole;
    EXPECT_GE(on_their_own, 1u);
    EXPECT_LE(on_their_own, files.size() - 1) << "not the file that was right";
    ASSERT_TRUE(harness::WriteFileBytes(piece, kept_piece));
    ASSERT_TRUE(harness::WriteFileBytes(index_path, kept_index));
    PublishText(description);
  }
}

// A run stopped after its first piece keeps the files it cut: the next one
// fetches only the other pieces. With chunks off, every file comes whole.
TEST_F(PackTest, AStoppedRunResumesAndChunksOffTakeEveryFileWhole) {
  const Files files = SmallFiles(300, 16 * 1024, 3);
  PublishBuild(files, L"b1");
  const size_t pieces = Index().chunks.size();
  ASSERT_GE(pieces, 3u);
  // About a second a piece: the stop lands while the second one comes, however slow the machine.
  options_.base_url = harness::ReleaseUrl(L"/_chunk-65536/" + name_ + L"/pub");
  options_.connections = 1;
  update::CancelFlag stop{false};
  update::Result r;
  std::thread run([&] { r = update::RunUpdate(options_, update::StatusFn(), &stop); });
  EXPECT_TRUE(harness::WaitForFileText(data_ + L"\\launcher.log", "pack: ", 60000));
  const DWORD start = GetTickCount();
  while (ChunkRequests() < 2 && GetTickCount() - start < 60000) Sleep(20);
  stop = true;
  run.join();
  ASSERT_FALSE(r.ok);
  options_.base_url = harness::ReleaseUrl(L"/" + name_ + L"/pub");
  const size_t before = ChunkRequests();
  r = Run();
  ASSERT_TRUE(r.ok) << harness::Narrow(r.error);
  ExpectGame(files);
  EXPECT_LE(ChunkRequests() - before, pieces - 1) << "the first piece's files were kept";

  harness::RemoveTree(game_);
  harness::RemoveTree(data_ + L"\\tables");
  options_.use_chunks = false;
  const size_t whole = WholeRequests(), all = ChunkRequests();
  ASSERT_TRUE(Run().ok);
  ExpectGame(files);
  EXPECT_EQ(WholeRequests() - whole, files.size());
  EXPECT_EQ(ChunkRequests(), all);
}

}  // namespace
