// Chunks, the parts below the engine: the chunker against the vectors the
// release tool is checked against too, the index reader, and inflating a
// stored chunk within its size.
#include <windows.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/harness.h"
#include "update/content/chunk_index.h"
#include "update/content/chunker.h"
#include "update/content/inflate.h"
#include "update/content/pack.h"
#include "update/trust/digest.h"

namespace {

std::vector<unsigned char> Bytes(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

std::vector<unsigned char> Deflate(const std::vector<unsigned char>& raw) {
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<unsigned char> out(size);
  EXPECT_EQ(compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 9), Z_OK);
  out.resize(size);
  return out;
}

struct Inflated {
  bool ok = false;
  bool finished = false;
  std::vector<unsigned char> out;
  std::wstring error;
};

// Feeds a stream in pieces of the given size.
Inflated Inflate(const std::vector<unsigned char>& stream, uint64_t limit, size_t piece) {
  Inflated r;
  update::Inflater inflater(limit);
  r.ok = true;
  for (size_t at = 0; at < stream.size() && r.ok; at += piece) {
    r.ok = inflater.Feed(
        stream.data() + at, std::min(piece, stream.size() - at),
        [&r](const unsigned char* data, size_t size) {
          r.out.insert(r.out.end(), data, data + size);
          return true;
        },
        r.error);
  }
  r.finished = inflater.finished();
  return r;
}

// The bytes an "input" line of the vector file names.
void AppendInput(const std::vector<std::string>& t, std::vector<unsigned char>& data) {
  const size_t length = std::strtoull(t[3].c_str(), nullptr, 10);
  if (t[1] == "repeat") {
    data.insert(data.end(), length, static_cast<unsigned char>(std::atoi(t[2].c_str())));
    return;
  }
  uint32_t s = static_cast<uint32_t>(std::strtoul(t[2].c_str(), nullptr, 10));
  for (size_t i = 0; i < length; i += 4) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    for (size_t b = 0; b < 4 && i + b < length; ++b) data.push_back(static_cast<unsigned char>(s >> (8 * b)));
  }
}

std::vector<std::string> Tokens(const std::string& line) {
  std::vector<std::string> t;
  std::istringstream in(line);
  for (std::string w; in >> w;) t.push_back(w);
  return t;
}

// Every case of the vectors the release tool is checked against too: the
// gear table, and the ends whether the data comes whole or in pieces.
TEST(ChunkerTest, CutsWhereTheReleaseToolCuts) {
  const std::string text = harness::ReadFileBytes(harness::SourceDir() + L"\\tests\\support\\chunker-vectors.txt");
  ASSERT_FALSE(text.empty());
  std::istringstream lines(text);
  std::string name;
  std::vector<unsigned char> data;
  int cases = 0, gears = 0;
  for (std::string line; std::getline(lines, line);) {
    const std::vector<std::string> t = Tokens(line);
    if (t.empty() || t[0][0] == '#') continue;
    if (t[0] == "chunker") {
      EXPECT_EQ(line, "chunker velmoramp-cdc-1 262144 1048576 4194304");
    } else if (t[0] == "gear") {
      const int first = std::atoi(t[1].c_str());
      for (size_t k = 2; k < t.size(); ++k, ++gears) {
        EXPECT_EQ(update::GearValue(first + static_cast<int>(k) - 2), std::strtoul(t[k].c_str(), nullptr, 16));
      }
    } else if (t[0] == "case") {
      name = line.substr(5);
      data.clear();
    } else if (t[0] == "input") {
      AppendInput(t, data);
    } else if (t[0] == "sha256") {
      EXPECT_EQ(update::Sha256Hex(data), t[1]) << name << ": the input as the vectors mean it";
    } else if (t[0] == "ends") {
      std::vector<uint64_t> want;
      for (size_t k = 1; k < t.size(); ++k) want.push_back(std::strtoull(t[k].c_str(), nullptr, 10));
      EXPECT_EQ(update::ChunkEnds(data.data(), data.size()), want) << name;
      update::Chunker pieces;
      std::vector<uint64_t> got;
      for (size_t at = 0; at < data.size(); at += 65537)
        pieces.Feed(data.data() + at, std::min<size_t>(65537, data.size() - at), got);
      pieces.Finish(got);
      EXPECT_EQ(got, want) << name << ", fed in pieces";
      ++cases;
    }
  }
  EXPECT_EQ(gears, 256);
  EXPECT_GE(cases, 8);
}

TEST(InflaterTest, AStoredChunkInflatesWithinItsSizeOrIsRefused) {
  std::vector<unsigned char> text;
  for (int i = 0; i < 300000; ++i) text.push_back(static_cast<unsigned char>("velmora "[i % 8]));
  const std::vector<unsigned char> packed = Deflate(text);
  std::vector<unsigned char> trailing = packed;
  trailing.push_back(0);
  std::vector<unsigned char> flipped = packed;
  flipped[flipped.size() / 2] ^= 0x40;
  const struct {
    const char* what;
    std::vector<unsigned char> stream;
    uint64_t limit;
    size_t piece;
    bool ok, finished;
    const wchar_t* error;
  } cases[] = {
      {"whole, in one piece", packed, text.size(), packed.size(), true, true, L""},
      {"whole, byte by byte", packed, text.size(), 1, true, true, L""},
      {"a bomb: far more than its size", Deflate(std::vector<unsigned char>(50u << 20, 0)), 1u << 20, 65536, false,
       false, L"a chunk inflates past its size"},
      {"cut short", std::vector<unsigned char>(packed.begin(), packed.begin() + packed.size() / 2), text.size(), 4096,
       true, false, L""},
      {"bytes after its end", trailing, text.size(), 4096, false, true, L"a chunk has bytes after its end"},
      {"not zlib", Bytes("this is not a zlib stream at all"), 1000, 100, false, false,
       L"a chunk is not what it should be"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Inflated r = Inflate(c.stream, c.limit, c.piece);
    EXPECT_EQ(r.ok, c.ok) << harness::Narrow(r.error);
    EXPECT_EQ(r.finished, c.finished);
    EXPECT_EQ(r.error, c.error);
    if (c.ok && c.finished) {
      EXPECT_TRUE(r.out == text);
    }
    EXPECT_LE(r.out.size(), c.limit);
  }
  // A flipped byte is caught, by zlib or by the check value at its end.
  const Inflated damaged = Inflate(flipped, text.size(), 4096);
  EXPECT_FALSE(damaged.ok && damaged.finished && damaged.out == text);
}

TEST(ChunkIndexTest, WholeIndexesOnly) {
  const std::string a(64, 'a'), b(64, 'B');
  const std::string head = "velmoramp-chunks 1\nfile 300 " + std::string(64, 'f') +
                           "\nchunker velmoramp-cdc-1 262144 1048576 4194304\nstore chunks/stable\n";
  const struct {
    const char* what;
    std::string text;
    const wchar_t* error;  // empty: read
  } cases[] = {
      {"two chunks", head + "chunk " + a + " 100 60 zlib\nchunk " + b + " 200 200 raw\n", L""},
      {"unknown keys and comments", head + "# note\nsomething new\nchunk " + a + " 300 90 zlib\n", L""},
      {"not an index", "velmoramp-manifest 1\n", L"this is not a chunk index we understand"},
      {"sizes short of the file", head + "chunk " + a + " 100 60 zlib\n", L"the chunks do not add up to the file"},
      {"sizes past the file", head + "chunk " + a + " 301 60 zlib\n", L"the chunks do not add up to the file"},
      {"a raw chunk stored at another size", head + "chunk " + a + " 300 200 raw\n", L"a chunk line is malformed"},
      {"an empty chunk", head + "chunk " + a + " 0 0 raw\nchunk " + a + " 300 300 raw\n", L"a chunk line is malformed"},
      {"a chunk larger than any chunker makes", head + "chunk " + a + " 70000000 100 zlib\n",
       L"a chunk line is malformed"},
      {"another way of storing", head + "chunk " + a + " 300 300 lzma\n", L"a chunk line is malformed"},
      {"a short digest", head + "chunk abc 300 300 raw\n", L"a chunk line is malformed"},
      {"a store outside the base URL", "velmoramp-chunks 1\nfile 1 " + a + "\nstore ../x\n",
       L"the store line is malformed"},
      {"no store", "velmoramp-chunks 1\nfile 1 " + a + "\nchunk " + a + " 1 1 raw\n", L"the index is not whole"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    update::ChunkIndex index;
    std::wstring error;
    const bool ok = update::ParseChunkIndex(Bytes(c.text), index, error);
    EXPECT_EQ(ok, std::wstring(c.error).empty());
    EXPECT_EQ(error, c.error);
  }
  update::ChunkIndex index;
  std::wstring error;
  ASSERT_TRUE(update::ParseChunkIndex(Bytes(head + "chunk " + a + " 100 60 zlib\nchunk " + b + " 200 200 raw\n"), index,
                                      error));
  ASSERT_EQ(index.chunks.size(), 2u);
  EXPECT_EQ(index.chunks[1].offset, 100u);
  EXPECT_EQ(index.chunks[1].sha256, std::string(64, 'b')) << "digests compared in lower case";
  EXPECT_TRUE(update::CutLikeOurs(index));
  EXPECT_EQ(update::ChunkSource(index, index.chunks[0]), L"chunks/stable/aa/" + std::wstring(64, L'a'));
}

TEST(PackIndexTest, PartsInOrderWithinThePieces) {
  const std::string a(64, 'a'), b(64, 'b');
  const std::string head = "velmoramp-pack 1\nchunker velmoramp-cdc-1 262144 1048576 4194304\nstore chunks/stable\n" +
                           std::string("chunk ") + a + " 100 60 zlib\nchunk " + b + " 200 200 raw\n";
  const struct {
    const char* what;
    std::string text;
    const wchar_t* error;  // empty: read
  } cases[] = {
      {"parts end to end, one across the pieces", head + "part 0 0 e.txt\npart 0 150 a/b.txt\npart 150 150 c.lua\n",
       L""},
      {"a gap, unknown keys and comments", head + "# note\nsomething new\npart 10 5 a.txt\npart 200 1 b.txt\n", L""},
      {"not a pack index", "velmoramp-chunks 1\n", L"this is not a pack index we understand"},
      {"overlapping parts", head + "part 0 150 a.txt\npart 149 10 b.txt\n",
       L"its part lines overlap or are out of order"},
      {"parts out of order", head + "part 100 10 a.txt\npart 0 10 b.txt\n",
       L"its part lines overlap or are out of order"},
      {"a part beyond the pieces", head + "part 250 51 a.txt\n", L"a part lies beyond the pieces"},
      {"a part past the end of numbers", head + "part 18446744073709551615 2 a.txt\n", L"a part line is malformed"},
      {"a part without its path", head + "part 0 10\n", L"a part line is malformed"},
      {"a part outside the game folder", head + "part 0 10 ../a.txt\n", L"a part line is malformed"},
      {"a part of a size that is no number", head + "part 0 -1 a.txt\n", L"a part line is malformed"},
      {"a malformed chunk", head + "chunk " + a + " 0 0 raw\n", L"a chunk line is malformed"},
      {"no store", "velmoramp-pack 1\nchunk " + a + " 1 1 raw\n", L"the index is not whole"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    update::PackIndex index;
    std::wstring error;
    const bool ok = update::ParsePackIndex(Bytes(c.text), index, error);
    EXPECT_EQ(ok, std::wstring(c.error).empty());
    EXPECT_EQ(error, c.error);
  }
  update::PackIndex index;
  std::wstring error;
  ASSERT_TRUE(update::ParsePackIndex(Bytes(cases[0].text), index, error));
  ASSERT_EQ(index.parts.size(), 3u);
  EXPECT_EQ(index.parts[1].path, L"a\\b.txt");
  EXPECT_EQ(index.parts[2].offset, 150u);
  EXPECT_EQ(index.chunks[1].offset, 100u);
}

// A piece is fetched when its bytes not wanted cost less than the round
// trips its files would cost on their own, spread over the connections.
TEST(PackIndexTest, APieceIsFetchedWhenItsFilesCostMoreOnTheirOwn) {
  const update::PackCosts costs{50, 8'000'000, 8};  // 50 ms, 8 MB/s: 50 kB a round trip a connection
  const struct {
    uint64_t stored, wanted;
    size_t files;
    bool whole;
  } cases[] = {
      {1000000, 1000000, 60, true},  // all of it wanted
      {300000, 400000, 20, true},    // compressed below what its files weigh
      {1000000, 16000, 1, false},    // one file of it
      {1000000, 32000, 2, false},    // two files save one round trip, not 968 kB
      {1000000, 600000, 9, true},    // 400 kB unwanted against 8 round trips over 8 connections
      {1000000, 500000, 9, false},   // 500 kB unwanted is more
      {1000000, 0, 0, false},        // nothing of it wanted
  };
  for (const auto& c : cases) {
    EXPECT_EQ(update::PieceIsWorthIt(c.stored, c.wanted, c.files, costs), c.whole)
        << c.stored << " " << c.wanted << " " << c.files;
  }
}

// Damaged indexes of both kinds: bytes flipped, lines cut, doubled or
// dropped. Each is read or refused, and what is read holds what a reader
// counts on.
TEST(PackIndexTest, DamagedIndexesAreReadSoundOrRefused) {
  const std::string a(64, 'a'), b(64, 'b');
  const std::string pack =
      "velmoramp-pack 1\nchunker velmoramp-cdc-1 262144 1048576 4194304\nstore chunks/stable\n"
      "chunk " +
      a + " 100 60 zlib\nchunk " + b +
      " 200 200 raw\n"
      "part 0 0 e.txt\npart 0 150 a/b.txt\npart 150 150 c.lua\n";
  const std::string chunks = "velmoramp-chunks 1\nfile 300 " + a + "\nstore chunks/stable\nchunk " + a +
                             " 100 60 zlib\nchunk " + b + " 200 200 raw\n";
  uint32_t seed = 12345;
  const auto next = [&seed](uint32_t below) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % below;
  };
  size_t read = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = round % 2 ? pack : chunks;
    for (uint32_t edits = 1 + next(3); edits-- > 0;) {
      const size_t at = next(static_cast<uint32_t>(text.size()));
      switch (next(4)) {
        case 0: text[at] = static_cast<char>(next(256)); break;
        case 1: text.erase(at, 1 + next(20)); break;
        case 2: text.insert(at, text.substr(at, 1 + next(40))); break;
        default: text.insert(at, std::to_string(next(4000000000u))); break;
      }
      if (text.empty()) text = "x";
    }
    std::wstring error;
    if (round % 2) {
      update::PackIndex index;
      if (!update::ParsePackIndex(Bytes(text), index, error)) continue;
      ++read;
      ASSERT_EQ(index.store.find(L".."), std::wstring::npos) << text;
      const uint64_t covered = index.chunks.empty() ? 0 : index.chunks.back().offset + index.chunks.back().raw;
      for (size_t i = 0; i < index.parts.size(); ++i) {
        ASSERT_LE(index.parts[i].offset + index.parts[i].size, covered) << text;
        if (i > 0) {
          ASSERT_GE(index.parts[i].offset, index.parts[i - 1].offset + index.parts[i - 1].size) << text;
        }
        ASSERT_FALSE(index.parts[i].path.empty()) << text;
      }
    } else {
      update::ChunkIndex index;
      if (!update::ParseChunkIndex(Bytes(text), index, error)) continue;
      ++read;
      ASSERT_EQ(index.store.find(L".."), std::wstring::npos) << text;
      uint64_t sum = 0;
      for (const update::ChunkRef& c : index.chunks) {
        ASSERT_GT(c.raw, 0u) << text;
        sum += c.raw;
      }
      ASSERT_EQ(sum, index.size) << text;
    }
  }
  EXPECT_GT(read, 100u) << "the damage left some indexes readable";
}

// The folder of the shared pack vectors as one stream, cut by this
// launcher's chunker: the pieces and parts the release tool wrote for it.
TEST(PackIndexTest, TheSharedPackIsCutWhereTheLauncherCuts) {
  const std::string text = harness::ReadFileBytes(harness::SourceDir() + L"\\tests\\support\\pack-vectors.txt");
  const size_t files = text.find("\nfiles "), at = text.find("\nindex\n");
  ASSERT_NE(files, std::string::npos);
  ASSERT_NE(at, std::string::npos);
  const std::vector<std::string> t = Tokens(text.substr(files + 1, text.find('\n', files + 1) - files - 1));
  ASSERT_EQ(t.size(), 3u);
  const size_t count = std::strtoull(t[1].c_str(), nullptr, 10);
  update::PackIndex index;
  std::wstring error;
  ASSERT_TRUE(update::ParsePackIndex(Bytes(text.substr(at + 7)), index, error)) << harness::Narrow(error);
  ASSERT_EQ(index.parts.size(), count);
  std::vector<unsigned char> stream;
  for (size_t n = 0; n < count; ++n) {
    wchar_t name[32];
    swprintf(name, 32, L"small\\f%02zu.bin", n);
    EXPECT_EQ(index.parts[n].path, name);
    EXPECT_EQ(index.parts[n].offset, stream.size());
    AppendInput({"input", "xorshift", std::to_string(n + 1), t[2]}, stream);
    EXPECT_EQ(index.parts[n].offset + index.parts[n].size, stream.size());
  }
  const std::vector<uint64_t> ends = update::ChunkEnds(stream.data(), stream.size());
  ASSERT_EQ(ends.size(), index.chunks.size());
  for (size_t p = 0; p < ends.size(); ++p) {
    const update::ChunkRef& piece = index.chunks[p];
    EXPECT_EQ(piece.offset + piece.raw, ends[p]);
    EXPECT_EQ(update::Sha256Hex(
                  std::vector<unsigned char>(stream.begin() + piece.offset, stream.begin() + piece.offset + piece.raw)),
              piece.sha256);
  }
}

}  // namespace
