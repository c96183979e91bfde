#include "update/content/chunk_index.h"

#include <cctype>

#include "common/text.h"
#include "update/content/chunker.h"
#include "update/trust/manifest.h"
#include "update/trust/manifest_text.h"

namespace update {
namespace {

// No chunker makes chunks bigger; a bigger one is no index of ours.
constexpr uint64_t kMaxChunkBytes = 64ull * 1024 * 1024;

bool ReadChunkLine(const std::vector<std::string>& t, std::vector<ChunkRef>& chunks, std::wstring& error) {
  ChunkRef chunk;
  if (t.size() < 5 || !IsHexDigest(t[1]) || !ParseUint64(t[2], chunk.raw) || !ParseUint64(t[3], chunk.stored) ||
      (t[4] != "zlib" && t[4] != "raw") || chunk.raw == 0 || chunk.raw > kMaxChunkBytes ||
      chunk.stored > kMaxChunkBytes + kMaxChunkBytes / 64 || (t[4] == "raw" && chunk.stored != chunk.raw)) {
    error = L"a chunk line is malformed";
    return false;
  }
  chunk.sha256 = AsciiLower(t[1]);
  chunk.zlib = t[4] == "zlib";
  chunk.offset = chunks.empty() ? 0 : chunks.back().offset + chunks.back().raw;
  chunks.push_back(chunk);
  return true;
}

uint64_t Covered(const std::vector<ChunkRef>& chunks) {
  return chunks.empty() ? 0 : chunks.back().offset + chunks.back().raw;
}

// "part OFFSET SIZE PATH": after the part before it, a path like a file line's.
bool ReadPartLine(const std::vector<std::string>& t, std::vector<PackPart>& parts, std::wstring& error) {
  PackPart part;
  if (t.size() < 4 || !ParseUint64(t[1], part.offset) || !ParseUint64(t[2], part.size) || !IsSafeRelativePath(t[3]) ||
      part.offset + part.size < part.offset) {
    error = L"a part line is malformed";
    return false;
  }
  if (!parts.empty() && part.offset < parts.back().offset + parts.back().size) {
    error = L"its part lines overlap or are out of order";
    return false;
  }
  part.path = ToGamePath(t[3]);
  parts.push_back(std::move(part));
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
    } else if (t[0] == "chunk" && !ReadChunkLine(t, out.chunks, error)) {
      return false;
    }
  }
  const uint64_t covered = Covered(out.chunks);
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

bool ParsePackIndex(const std::vector<unsigned char>& text, PackIndex& out, std::wstring& error) {
  out = PackIndex();
  bool header = false;
  for (const std::string& raw : SplitLines(std::string(text.begin(), text.end()))) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> t = SplitTokens(line);
    if (!header) {
      if (t.size() < 2 || t[0] != "velmoramp-pack" || t[1] != "1") {
        error = L"this is not a pack index we understand";
        return false;
      }
      header = true;
    } else if (t[0] == "store") {
      if (t.size() < 2 || !IsSafeRelativePath(t[1])) {
        error = L"the store line is malformed";
        return false;
      }
      out.store = common::Utf8ToWide(t[1]);
    } else if ((t[0] == "chunk" && !ReadChunkLine(t, out.chunks, error)) ||
               (t[0] == "part" && !ReadPartLine(t, out.parts, error))) {
      return false;
    }
  }
  if (!header || out.store.empty()) {
    error = L"the index is not whole";
    return false;
  }
  if (!out.parts.empty() && out.parts.back().offset + out.parts.back().size > Covered(out.chunks)) {
    error = L"a part lies beyond the pieces";
    return false;
  }
  return true;
}

bool CutLikeOurs(const ChunkIndex& index) {
  return SplitTokens(index.chunker) == std::vector<std::string>{kChunkerName, std::to_string(kMinChunk),
                                                                std::to_string(kAverageChunk),
                                                                std::to_string(kMaxChunk)};
}

std::wstring ChunkSource(const ChunkIndex& index, const ChunkRef& chunk) { return ChunkSource(index.store, chunk); }

std::wstring ChunkSource(const std::wstring& store, const ChunkRef& chunk) {
  return store + L"/" + common::Utf8ToWide(chunk.sha256.substr(0, 2)) + L"/" + common::Utf8ToWide(chunk.sha256);
}

}  // namespace update
