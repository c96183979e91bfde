// Chunked files end to end: releases published with the release tool (which
// chunks files of 4 MiB and more), installed by the engine against the real
// test server, which counts every chunk object it serves.
#include <zlib.h>

#include "tests/update/engine_fixture.h"
#include "update/content/chunk_index.h"

namespace {

using namespace engine_test;  // the fixture and its helpers

constexpr size_t kMiB = 1024 * 1024;

class ChunkedTest : public EngineTest {
 protected:
  static std::wstring Query(const std::wstring& build) {
    return L"channel=stable&build=" + build + L"&protocol=7&server=play.example:27015";
  }
  // Publishes files as build `build` (replacing what src held); with
  // dry_run, the figure the tool gives for a player's download first.
  void PublishBuild(const Files& files, const std::wstring& build, unsigned long long* dry_run = nullptr) {
    harness::RemoveTree(folder_ + L"\\src");
    for (const auto& f : files) ASSERT_TRUE(harness::WriteFileBytes(folder_ + L"\\src\\" + f.first, f.second));
    if (dry_run != nullptr) {
      const std::string said = harness::DryRunRelease(name_ + L"/src", name_ + L"/pub", Query(build));
      const std::string head = "a player with the published release downloads ";
      const size_t at = said.find(head);
      ASSERT_NE(at, std::string::npos) << said;
      *dry_run = std::stoull(said.substr(at + head.size()));
    }
    ASSERT_EQ(harness::PublishRelease(name_ + L"/src", name_ + L"/pub", Query(build)), "");
  }
  // Bytes of chunk objects and whole files the server sent since the mark
  // (a count of requests), which moves to now.
  unsigned long long ContentBytesSince(size_t& mark) const {
    const std::vector<harness::ServedRequest> served = harness::RequestsServed(name_);
    unsigned long long bytes = 0;
    for (size_t i = mark; i < served.size(); ++i)
      bytes += served[i].chunk() || served[i].whole_file() ? served[i].bytes : 0;
    mark = served.size();
    return bytes;
  }
  // The chunk objects of the store, as paths below the served folder.
  std::vector<std::wstring> Objects() const {
    std::vector<std::wstring> found;
    const std::wstring store = folder_ + L"\\pub\\chunks\\stable";
    WIN32_FIND_DATAW dir;
    HANDLE outer = FindFirstFileW((store + L"\\??").c_str(), &dir);
    for (BOOL more = outer != INVALID_HANDLE_VALUE; more; more = FindNextFileW(outer, &dir)) {
      if (wcslen(dir.cFileName) != 2) continue;
      WIN32_FIND_DATAW object;
      const std::wstring sub = store + L"\\" + dir.cFileName;
      HANDLE inner = FindFirstFileW((sub + L"\\*").c_str(), &object);
      for (BOOL next = inner != INVALID_HANDLE_VALUE; next; next = FindNextFileW(inner, &object)) {
        if (object.cFileName[0] != L'.') found.push_back(sub + L"\\" + object.cFileName);
      }
      if (inner != INVALID_HANDLE_VALUE) FindClose(inner);
    }
    if (outer != INVALID_HANDLE_VALUE) FindClose(outer);
    return found;
  }
  // A run over one slow connection, stopped once the server was asked for
  // `chunks` chunk objects.
  update::Result RunStoppedAfterChunks(size_t chunks) {
    options_.base_url = harness::ReleaseUrl(L"/_chunk-262144/" + name_ + L"/pub");
    options_.connections = 1;
    update::CancelFlag stop{false};
    update::Result r;
    std::thread run([&] { r = update::RunUpdate(options_, update::StatusFn(), &stop); });
    const DWORD start = GetTickCount();
    while (ChunkRequests() < chunks && GetTickCount() - start < 60000) Sleep(20);
    stop = true;
    run.join();
    return r;
  }
  bool LoggedFallback() const {
    return harness::ReadFileBytes(data_ + L"\\launcher.log").find("it is fetched whole") != std::string::npos;
  }
};

// A 1 MiB change in the middle of one file and 64 KiB put in front of
// another: the next run fetches only the chunks that changed, and takes
// the rest from the files it has.
TEST_F(ChunkedTest, ASmallChangeCostsOnlyTheChunksThatChanged) {
  const std::string a = RandomBytes(8 * kMiB, 1), b = RandomBytes(8 * kMiB, 2);
  PublishBuild({{L"a.pak", a}, {L"b.pak", b}, {L"mod.dll", "the mod"}}, L"b1");
  size_t mark = 0;
  ContentBytesSince(mark);
  update::Result r = Run();
  ASSERT_TRUE(r.ok) << harness::Narrow(r.error);
  ContentBytesSince(mark);
  // With nothing at hand and chunks that do not compress, chunks would
  // only cost more requests.
  EXPECT_EQ(ChunkRequests(), 0u) << "a fresh install of files that do not compress is fetched whole";
  EXPECT_EQ(WholeRequests(), 3u);

  std::string a2 = a, b2 = RandomBytes(64 * 1024, 3) + b;
  const std::string patch = RandomBytes(kMiB, 4);
  a2.replace(4 * kMiB, kMiB, patch);
  unsigned long long figure = 0;
  PublishBuild({{L"a.pak", a2}, {L"b.pak", b2}, {L"mod.dll", "the mod"}}, L"b2", &figure);
  options_.check_only = true;
  const update::Result check = Run();
  ASSERT_TRUE(check.ok) << harness::Narrow(check.error);
  EXPECT_EQ(check.changed, 2);
  EXPECT_GT(check.download_bytes, 0u);
  EXPECT_LT(check.download_bytes, 4 * kMiB) << "not the 16 MiB of the two files";
  EXPECT_EQ(check.download_bytes, figure) << "the dry run and the release tool agree";

  options_.check_only = false;
  const size_t before = ChunkRequests();
  r = Run();
  ASSERT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"a.pak") == a2 && Game(L"b.pak") == b2);
  EXPECT_LE(ChunkRequests() - before, 5u) << "the changed chunks only";
  EXPECT_EQ(ContentBytesSince(mark), figure) << "what the release tool said a player downloads";
  const bool reused_said = std::any_of(lines_.begin(), lines_.end(), [](const auto& line) {
    return line.first.find(L" reused from the files you have") != std::wstring::npos;
  });
  EXPECT_TRUE(reused_said);
}

// Files that shrink and grow are built from what they keep; a launcher that
// does not use chunks (or an older one) gets the same release whole.
TEST_F(ChunkedTest, FilesThatShrinkOrGrowAndTheWholeFileWay) {
  const std::string a = RandomBytes(8 * kMiB, 5), b = Text(6 * kMiB, 6);
  PublishBuild({{L"a.pak", a}, {L"b.txt", b}}, L"b1");
  ASSERT_TRUE(Run().ok);
  const std::string a2 = a.substr(0, 5 * kMiB), b2 = b + Text(3 * kMiB, 7);
  PublishBuild({{L"a.pak", a2}, {L"b.txt", b2}}, L"b2");
  const size_t before = ChunkRequests();
  update::Result r = Run();
  ASSERT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"a.pak") == a2 && Game(L"b.txt") == b2);
  EXPECT_LE(ChunkRequests() - before, 5u);

  harness::RemoveTree(game_);
  options_.use_chunks = false;
  const size_t chunks_before = ChunkRequests(), whole_before = WholeRequests();
  r = Run();
  ASSERT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"a.pak") == a2 && Game(L"b.txt") == b2);
  EXPECT_EQ(ChunkRequests(), chunks_before);
  EXPECT_EQ(WholeRequests() - whole_before, 2u);
}

// Whatever is wrong on the chunk way, the file comes whole and the run
// succeeds: a chunk with a flipped byte, a chunk that inflates past its
// size, an index that is not the one signed, a store that is gone.
TEST_F(ChunkedTest, AnythingWrongWithChunksFallsBackToTheWholeFile) {
  const std::string text = Text(6 * kMiB, 8);
  PublishBuild({{L"b.txt", text}}, L"b1");
  const std::vector<std::wstring> objects = Objects();
  ASSERT_GE(objects.size(), 3u);
  std::wstring index;
  {
    WIN32_FIND_DATAW found;
    const std::wstring dir = folder_ + L"\\pub\\chunks\\stable\\indexes\\";
    HANDLE search = FindFirstFileW((dir + L"*.txt").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    index = dir + found.cFileName;
    FindClose(search);
  }
  const std::string bomb = [] {
    const std::string zeros(64 * kMiB, '\0');
    uLongf size = compressBound(static_cast<uLong>(zeros.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(zeros.data()),
              static_cast<uLong>(zeros.size()), 9);
    out.resize(size);
    return out;
  }();
  const struct {
    const char* what;
    std::function<void(std::string&)> spoil;  // the object or index, as stored
    bool on_index;
  } cases[] = {
      {"a flipped byte", [](std::string& s) { s[s.size() / 2] ^= 1; }, false},
      {"a chunk that inflates past its size",
       [&bomb](std::string& s) { s = bomb.substr(0, std::min(bomb.size(), s.size())); }, false},
      {"an index that is not the one signed", [](std::string& s) { s += "chunk "; }, true},
      {"the store gone", [](std::string& s) { s.clear(); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartAfresh();
    const std::wstring spoiled = c.on_index ? index : objects[1];
    const std::string kept = harness::ReadFileBytes(spoiled);
    std::string bytes = kept;
    c.spoil(bytes);
    if (bytes.empty()) {
      ASSERT_TRUE(DeleteFileW(spoiled.c_str()));
    } else {
      ASSERT_TRUE(harness::WriteFileBytes(spoiled, bytes));
    }
    const size_t whole_before = WholeRequests();
    const update::Result r = Run();
    EXPECT_TRUE(r.ok) << harness::Narrow(r.error);
    EXPECT_TRUE(Game(L"b.txt") == text);
    EXPECT_EQ(WholeRequests() - whole_before, 1u) << "fetched whole";
    EXPECT_TRUE(LoggedFallback());
    ASSERT_TRUE(harness::WriteFileBytes(spoiled, kept));
  }
}

// A run stopped in the middle of a chunked file keeps the chunks it placed:
// the next run fetches only the rest.
TEST_F(ChunkedTest, AStoppedRunKeepsThePlacedChunks) {
  const std::string a = Text(12 * kMiB, 9);
  PublishBuild({{L"a.pak", a}}, L"b1");
  update::Result r = RunStoppedAfterChunks(5);
  ASSERT_FALSE(r.ok);
  ASSERT_EQ(r.error, update::StoppedText());
  const size_t first = ChunkRequests();
  options_.connections = 4;
  r = Run();
  ASSERT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"a.pak") == a);
  const size_t total = Objects().size();
  EXPECT_LE(ChunkRequests() - first, total - first + 2) << "at most the chunks in flight again";
  EXPECT_LT(ChunkRequests() - first, total) << "not every chunk again";
}

// The chunk way failing must not cost the whole file's resume: with the
// index gone from every host, a run stopped halfway through the whole file
// is resumed by the next one, which fetches less than half of it.
TEST_F(ChunkedTest, AWholeFileFetchedForWantOfAnIndexIsResumed) {
  const std::string a = RandomBytes(12 * kMiB, 11);
  PublishBuild({{L"a.pak", a}}, L"b1");
  harness::RemoveTree(folder_ + L"\\pub\\chunks\\stable\\indexes");
  options_.base_url = harness::ReleaseUrl(L"/_chunk-262144/" + name_ + L"/pub");
  update::CancelFlag stop{false};
  update::Result r;
  std::thread run([&] { r = update::RunUpdate(options_, update::StatusFn(), &stop); });
  const DWORD start = GetTickCount();
  while (harness::ReadFileBytes(game_ + L"\\a.pak.part").size() < a.size() / 2 && GetTickCount() - start < 60000) {
    Sleep(20);
  }
  stop = true;
  run.join();
  ASSERT_EQ(r.error, update::StoppedText());
  r = Run();
  ASSERT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"a.pak") == a);
  // The first run asked for the whole file; the second only for the rest.
  uint64_t asked = 0, rest = 0;
  for (const harness::ServedRequest& d : DetailsOf("files/b1/a.pak")) {
    ++asked;
    if (!d.range.empty()) rest += d.bytes;
  }
  EXPECT_EQ(asked, 2u);
  EXPECT_GT(rest, 0u);
  EXPECT_LE(rest, a.size() / 2) << "the rest only";
}

// A chunked file in a folder the game folder does not have yet is built
// from chunks: the chunk way makes and holds its folders as the whole
// file's way does.
TEST_F(ChunkedTest, AChunkedFileInANewFolderIsBuiltFromChunks) {
  const std::string text = Text(6 * kMiB, 12);
  PublishBuild({{L"maps\\new\\b.txt", text}}, L"b1");
  const update::Result r = Run();
  ASSERT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"maps\\new\\b.txt") == text);
  EXPECT_GT(ChunkRequests(), 0u);
  EXPECT_EQ(WholeRequests(), 0u);
  EXPECT_FALSE(LoggedFallback());
}

// A staging file the chunk way left (chunks at their places) is no start of
// the file: with chunks turned off it is cleared, and no host is blamed for
// it (the file comes whole from the base URL, not the mirror).
TEST_F(ChunkedTest, AChunkWayPartIsClearedWhenChunksAreOff) {
  const std::string a = Text(12 * kMiB, 13);
  PublishBuild({{L"a.pak", a}}, L"b1");
  ASSERT_EQ(harness::PublishRelease(name_ + L"/src", name_ + L"/pub2",
                                    L"channel=stable&build=b1&protocol=7&server=play.example:27015"),
            "");
  update::Result r = RunStoppedAfterChunks(3);
  ASSERT_EQ(r.error, update::StoppedText());
  options_.base_url = harness::ReleaseUrl(L"/" + name_ + L"/pub");
  options_.mirrors = {harness::ReleaseUrl(L"/" + name_ + L"/pub2")};
  options_.use_chunks = false;
  r = Run();
  ASSERT_TRUE(r.ok) << harness::Narrow(r.error);
  EXPECT_TRUE(Game(L"a.pak") == a);
  size_t from_mirror = 0;
  for (const std::string& path : Requested()) from_mirror += path.find("/pub2/files/") != std::string::npos;
  EXPECT_EQ(from_mirror, 0u);
}

}  // namespace
