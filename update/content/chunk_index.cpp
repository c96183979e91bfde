#include "update/content/chunk_index.h"

#include <cctype>

#include "common/text.h"
#include "update/content/chunker.h"
#include "update/trust/manifest_text.h"

namespace update {
namespace {

// No chunker makes chunks bigger; a bigger one is no index of ours.
constexpr uint64_t kMaxChunkBytes = 64ull * 1024 * 1024;

bool ReadChunkLine(const std::vector<std::string>& t, ChunkIndex& out, std::wstring& error) {
  ChunkRef chunk;
  if (t.size() < 5 || !IsHexDigest(t[1]) || !ParseUint64(t[2], chunk.raw) || !ParseUint64(t[3], chunk.stored) ||
      (t[4] != "zlib" && t[4] != "raw") || chunk.raw == 0 || chunk.raw > kMaxChunkBytes ||
      chunk.stored > kMaxChunkBytes + kMaxChunkBytes / 64 || (t[4] == "raw" && chunk.stored != chunk.raw)) {
    error = L"a chunk line is malformed";
    return false;
  }
  chunk.sha256 = AsciiLower(t[1]);
  chunk.zlib = t[4] == "zlib";
  chunk.offset = out.chunks.empty() ? 0 : out.chunks.back().offset + out.chunks.back().raw;
  out.chunks.push_back(chunk);
  return true;
}

}  // namespace

bool ParseChunkIndex(const std::vector<unsigned char>& text, ChunkIndex& out, std::wstring& error) {
  out = ChunkIndex();
  bool header = false, file = false;
  for (const std::string& raw : SplitLines(std::string(text.begin(), text.end()))) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> t = SplitTokens(line);
    if (!header) {
      if (t.size() < 2 || t[0] != "velmoramp-chunks" || t[1] != "1") {
        error = L"this is not a chunk index we understand";
        return false;
      }
      header = true;
    } else if (t[0] == "file") {
      if (t.size() < 3 || !ParseUint64(t[1], out.size) || !IsHexDigest(t[2])) {
        error = L"the file line is malformed";
        return false;
      }
      out.sha256 = AsciiLower(t[2]);
      file = true;
    } else if (t[0] == "chunker") {
      out.chunker = Trim(line.substr(7));
    } else if (t[0] == "store") {
      if (t.size() < 2 || !IsSafeRelativePath(t[1])) {
        error = L"the store line is malformed";
        return false;
      }
      out.store = common::Utf8ToWide(t[1]);
    } else if (t[0] == "chunk" && !ReadChunkLine(t, out, error)) {
      return false;
    }
  }
  const uint64_t covered = out.chunks.empty() ? 0 : out.chunks.back().offset + out.chunks.back().raw;
  if (!header || !file || out.store.empty()) {
    error = L"the index is not whole";
    return false;
  }
  if (covered != out.size) {
    error = L"the chunks do not add up to the file";
    return false;
  }
  return true;
}

bool CutLikeOurs(const ChunkIndex& index) {
  return SplitTokens(index.chunker) == std::vector<std::string>{kChunkerName, std::to_string(kMinChunk),
                                                                std::to_string(kAverageChunk),
                                                                std::to_string(kMaxChunk)};
}

std::wstring ChunkSource(const ChunkIndex& index, const ChunkRef& chunk) {
  return index.store + L"/" + common::Utf8ToWide(chunk.sha256.substr(0, 2)) + L"/" + common::Utf8ToWide(chunk.sha256);
}

}  // namespace update
