#pragma once
// The signed release description (manifest.txt): its record and its parser.
#include <cstdint>
#include <string>
#include <vector>

#include "update/trust/manifest_text.h"

namespace update {

struct ManifestFile {
  std::wstring path;    // relative to the game folder, "\" separators
  uint64_t size = 0;    // as announced; informational
  std::string sha256;   // 64 hex digits as written
  std::wstring source;  // download path relative to the base URL, "/" separators
  // A "chunks" line for this path: the file can also be built from chunks,
  // listed by the index at chunks_source (of chunks_size bytes, digest
  // chunks_sha256 as written).
  bool has_chunks = false;
  uint64_t chunks_size = 0;
  std::string chunks_sha256;
  std::wstring chunks_source;
};

struct Manifest {
  std::wstring channel;
  std::wstring build;
  int32_t protocol = 0;
  std::wstring notes;
  std::vector<ManifestFile> files;
  std::wstring server_host;
  int32_t server_port = 0;
  int64_t sequence = 0;  // 0: the description carries none
  bool has_expiry = false;
  int64_t expires_at = 0;  // seconds since 1970, UTC
  std::wstring expires;    // as written
  // An announced release: the hour from which it counts as the current one.
  bool has_not_before = false;
  int64_t not_before = 0;  // seconds since 1970, UTC
  int32_t launcher_version = 0;
  std::string launcher_sha256;
  std::wstring launcher_source;
  // "mirror" lines: more base URLs (https, without a trailing "/") that
  // serve this release, in order.
  std::vector<std::wstring> mirrors;
  // A "pack" line: the small files can also be cut from the pack, listed by
  // the index at pack_source (of pack_size bytes, digest pack_sha256 as written).
  bool has_pack = false;
  uint64_t pack_size = 0;
  std::string pack_sha256;
  std::wstring pack_source;
  // While parsing only: the path token of each file line, as written.
  std::vector<std::string> path_tokens;
};

// Per file line, whether it decides its path: a path named twice (in any
// letter case, which Windows does not tell apart) is one file, and the
// earlier line is passed over, or two transfers would write one staging
// file.
std::vector<char> DecidingLines(const Manifest& manifest);

// A path token as a path below the game folder: "/" becomes "\".
std::wstring ToGamePath(const std::string& path);

// Parses the description exactly as downloaded. False with one of the
// parser's messages in error; out must not be used then.
[[nodiscard]] bool ParseManifest(const std::vector<unsigned char>& text, Manifest& out, std::wstring& error);

}  // namespace update
