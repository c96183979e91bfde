#pragma once
// The index of a chunked file (velmoramp-chunks 1): the file's size and
// digest, the chunker it was cut with, where its chunk objects are stored,
// and one line per chunk in file order. Read only after its own digest
// matched the signed description.
#include <cstdint>
#include <string>
#include <vector>

namespace update {

struct ChunkRef {
  std::string sha256;   // of the raw chunk, lower-case hex
  uint64_t offset = 0;  // in the file
  uint64_t raw = 0;
  uint64_t stored = 0;
  bool zlib = false;  // stored zlib-compressed, else as it is
};

struct ChunkIndex {
  uint64_t size = 0;
  std::string sha256;   // of the whole file
  std::string chunker;  // "velmoramp-cdc-1 262144 1048576 4194304"
  std::wstring store;   // path of the chunk objects below the base URL, "/" separators
  std::vector<ChunkRef> chunks;
};

// The index of a release's pack (velmoramp-pack 1): its pieces, in stream
// order (offsets in the stream), and where each small file lies in it.
struct PackPart {
  uint64_t offset = 0;  // in the stream
  uint64_t size = 0;
  std::wstring path;  // as a path below the game folder
};
struct PackIndex {
  std::wstring store;
  std::vector<ChunkRef> chunks;
  std::vector<PackPart> parts;  // in stream order, apart
};

// Parses a pack index with the rules of a chunk index; besides, part lines
// in stream order that do not overlap and lie within the pieces.
[[nodiscard]] bool ParsePackIndex(const std::vector<unsigned char>& text, PackIndex& out, std::wstring& error);

// Parses an index. False with a lower-case reason: not an index, a line
// that is not whole, sizes that do not add up to the file's, a chunk larger
// than any chunker makes, a store outside the base URL.
[[nodiscard]] bool ParseChunkIndex(const std::vector<unsigned char>& text, ChunkIndex& out, std::wstring& error);

// Whether the index was cut by this launcher's chunker, so that chunks of
// the files at hand can be found in it.
bool CutLikeOurs(const ChunkIndex& index);

// Where a chunk object lies: "<store>/<first two hex digits>/<sha256>".
std::wstring ChunkSource(const ChunkIndex& index, const ChunkRef& chunk);
std::wstring ChunkSource(const std::wstring& store, const ChunkRef& chunk);

}  // namespace update
