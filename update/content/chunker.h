#pragma once
// Content-defined chunks: where a file is cut into pieces of about 1 MiB,
// decided by its bytes alone, so that an insertion near its start moves one
// boundary and leaves the others where they were (in content). The release
// tool cuts with the same rules ("velmoramp-cdc-1"); both sides are checked
// against one file of vectors.
//
// Rules: a gear table of 256 32-bit values, gear[i] the first 4 bytes (big
// endian) of SHA-256 of "velmoramp-gear-<i>"; from each chunk's start, h is
// 0; the bytes that make the chunk up to kMinChunk long are not hashed; for
// each later byte b, with L the chunk's length once b is in it,
// h = (h << 1) + gear[b] (mod 2^32), and the chunk ends after b when
// L < kAverageChunk and (h & kMaskSmall) == 0, or L >= kAverageChunk and
// (h & kMaskLarge) == 0, or L == kMaxChunk. The data's end ends the last
// chunk.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace update {

inline constexpr const char kChunkerName[] = "velmoramp-cdc-1";
inline constexpr uint64_t kMinChunk = 256 * 1024;
inline constexpr uint64_t kAverageChunk = 1024 * 1024;
inline constexpr uint64_t kMaxChunk = 4 * 1024 * 1024;
inline constexpr uint32_t kMaskSmall = 0xFFFFFC00u;  // 22 bits: cuts are rare before the average
inline constexpr uint32_t kMaskLarge = 0xFFFFC000u;  // 18 bits: and likelier after it

// Cuts a stream fed in pieces of any size.
class Chunker {
 public:
  Chunker();

  // Takes the next size bytes of the stream; appends to ends the end offset
  // (in the whole stream) of every chunk that ends within them.
  void Feed(const unsigned char* data, size_t size, std::vector<uint64_t>& ends);
  // The stream has ended: the last chunk, if any, ends here.
  void Finish(std::vector<uint64_t>& ends);

 private:
  uint64_t offset_ = 0;  // bytes taken so far
  uint64_t length_ = 0;  // of the chunk at hand
  uint32_t hash_ = 0;
};

// gear[i] of the rules above.
uint32_t GearValue(int i);

// The end offsets of the chunks of a whole buffer.
std::vector<uint64_t> ChunkEnds(const unsigned char* data, size_t size);

}  // namespace update
