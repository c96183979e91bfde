#include "update/content/chunker.h"

#include <algorithm>
#include <string>

#include "update/trust/digest.h"

namespace update {
namespace {

struct GearTable {
  uint32_t values[256];
  GearTable() {
    for (int i = 0; i < 256; ++i) {
      const std::string seed = "velmoramp-gear-" + std::to_string(i);
      const std::string hex = Sha256Hex(std::vector<unsigned char>(seed.begin(), seed.end()));
      values[i] = static_cast<uint32_t>(std::stoul(hex.substr(0, 8), nullptr, 16));
    }
  }
};

const uint32_t* Gear() {
  static const GearTable table;
  return table.values;
}

// Hashes data[from, to) of a chunk now length bytes long, stopping after the
// first byte where (h & mask) == 0; returns how many bytes it took, and
// whether it stopped at a cut.
size_t Scan(const unsigned char* data, size_t from, size_t to, uint32_t mask, uint32_t& h, bool& cut) {
  const uint32_t* gear = Gear();
  uint32_t hash = h;
  for (size_t i = from; i < to; ++i) {
    hash = (hash << 1) + gear[data[i]];
    if ((hash & mask) == 0) {
      h = hash;
      cut = true;
      return i + 1 - from;
    }
  }
  h = hash;
  cut = false;
  return to - from;
}

}  // namespace

Chunker::Chunker() { (void)Gear(); }

uint32_t GearValue(int i) { return Gear()[i & 0xFF]; }

void Chunker::Feed(const unsigned char* data, size_t size, std::vector<uint64_t>& ends) {
  size_t i = 0;
  while (i < size) {
    size_t took = 0;
    bool cut = false;
    if (length_ < kMinChunk) {
      took = static_cast<size_t>(std::min<uint64_t>(size - i, kMinChunk - length_));  // not hashed
    } else if (length_ < kAverageChunk - 1) {
      // Bytes that make the chunk shorter than the average.
      const size_t to = i + static_cast<size_t>(std::min<uint64_t>(size - i, kAverageChunk - 1 - length_));
      took = Scan(data, i, to, kMaskSmall, hash_, cut);
    } else {
      const size_t to = i + static_cast<size_t>(std::min<uint64_t>(size - i, kMaxChunk - length_));
      took = Scan(data, i, to, kMaskLarge, hash_, cut);
      cut = cut || length_ + took == kMaxChunk;
    }
    i += took;
    offset_ += took;
    length_ += took;
    if (cut) {
      ends.push_back(offset_);
      length_ = 0;
      hash_ = 0;
    }
  }
}

void Chunker::Finish(std::vector<uint64_t>& ends) {
  if (length_ > 0) ends.push_back(offset_);
  length_ = 0;
  hash_ = 0;
}

std::vector<uint64_t> ChunkEnds(const unsigned char* data, size_t size) {
  Chunker chunker;
  std::vector<uint64_t> ends;
  chunker.Feed(data, size, ends);
  chunker.Finish(ends);
  return ends;
}

}  // namespace update
