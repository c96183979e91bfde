#include "update/manifest.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "update/text.h"

namespace update {

namespace {

const wchar_t kNotUnderstood[] = L"this is not a manifest we understand";
const wchar_t kFileIncomplete[] = L"a file line is incomplete";
const wchar_t kFileUnsafe[] = L"a file line names something we will not write";
const wchar_t kLauncherMalformed[] = L"the launcher line is malformed";
const wchar_t kEmpty[] = L"the manifest is empty";
const wchar_t kNoFiles[] = L"the manifest lists no files";
const wchar_t kNoBuild[] = L"the manifest has no build name";

const char kWhitespace[] = " \t\n\v\f\r";
constexpr size_t kMaxPathBytes = 240;

std::vector<std::string> SplitTokens(const std::string& line) {
  std::vector<std::string> tokens;
  size_t at = line.find_first_not_of(kWhitespace);
  while (at != std::string::npos) {
    size_t end = line.find_first_of(kWhitespace, at);
    tokens.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = line.find_first_not_of(kWhitespace, end);
  }
  return tokens;
}

// A whole token as a decimal number. The token must be nothing but the
// number: "12abc" is not 12, and a value out of range is no number at all.
bool ParseInt32(const std::string& token, int32_t& value) {
  if (token.empty() || token.find_first_not_of("+-0123456789") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  long long parsed = std::strtoll(token.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || end == token.c_str()) return false;
  if (parsed < std::numeric_limits<int32_t>::min() || parsed > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  value = static_cast<int32_t>(parsed);
  return true;
}

// Sizes are unsigned: a "-1" must not wrap round to 2^64 - 1.
bool ParseUint64(const std::string& token, uint64_t& value) {
  size_t digits = token[0] == '+' ? 1 : 0;
  if (token.size() == digits || token.find_first_not_of("0123456789", digits) != std::string::npos) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(token.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

bool IsHexDigest(const std::string& digest) {
  return digest.size() == 64 && digest.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

std::wstring ToGamePath(const std::string& path) {
  std::wstring wide = Utf8ToWide(path);
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  return wide;
}

// The value of a one-token key: the token, or empty when it is missing.
std::wstring TokenOrEmpty(const std::vector<std::string>& tokens, size_t index) {
  return index < tokens.size() ? Utf8ToWide(tokens[index]) : std::wstring();
}

}  // namespace

bool IsSafeRelativePath(const std::string& path) {
  if (path.empty() || path.size() > kMaxPathBytes) return false;
  if (path[0] == '/') return false;
  size_t segment_start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      // Also catches "//" and a trailing "/": both leave an empty segment.
      std::string segment = path.substr(segment_start, i - segment_start);
      if (segment.empty() || segment == "." || segment == "..") return false;
      segment_start = i + 1;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (c < 0x20) return false;
    switch (c) {
      case '\\': case ':': case '"': case '<': case '>': case '|': case '*': case '?':
        return false;
      default:
        break;
    }
  }
  return true;
}

bool ParseManifest(const std::vector<unsigned char>& text, Manifest& out, std::wstring& error) {
  out = Manifest();
  const std::string all(text.begin(), text.end());
  bool header_seen = false;

  size_t line_start = 0;
  while (line_start < all.size()) {
    size_t line_end = all.find('\n', line_start);
    if (line_end == std::string::npos) line_end = all.size();
    const std::string line = Trim(all.substr(line_start, line_end - line_start));
    line_start = line_end + 1;
    if (line.empty() || line[0] == '#') continue;

    const std::vector<std::string> tokens = SplitTokens(line);
    const std::string& key = tokens[0];

    if (!header_seen) {
      int32_t format = 0;
      if (key != "velmoramp-manifest" || tokens.size() < 2 || !ParseInt32(tokens[1], format) ||
          format != 1) {
        error = kNotUnderstood;
        return false;
      }
      header_seen = true;
    } else if (key == "channel") {
      out.channel = TokenOrEmpty(tokens, 1);
    } else if (key == "build") {
      out.build = TokenOrEmpty(tokens, 1);
    } else if (key == "protocol") {
      // Not validated: a token that is no number leaves the field as it was.
      if (tokens.size() > 1) ParseInt32(tokens[1], out.protocol);
    } else if (key == "server") {
      int32_t port = 0;
      if (tokens.size() > 2 && ParseInt32(tokens[2], port) && port >= 1 && port <= 65535) {
        out.server_host = Utf8ToWide(tokens[1]);
        out.server_port = port;
      }
    } else if (key == "notes") {
      // The rest of the line, with the spacing between its words kept.
      out.notes = Utf8ToWide(Trim(line.substr(key.size())));
    } else if (key == "file") {
      ManifestFile file;
      if (tokens.size() < 5 || !ParseUint64(tokens[2], file.size)) {
        error = kFileIncomplete;
        return false;
      }
      const std::string& path = tokens[1];
      const std::string& digest = tokens[3];
      const std::string& source = tokens[4];
      if (!IsSafeRelativePath(path) || !IsSafeRelativePath(source) || !IsHexDigest(digest)) {
        error = kFileUnsafe;
        return false;
      }
      file.path = ToGamePath(path);
      file.sha256 = digest;
      file.source = Utf8ToWide(source);
      out.files.push_back(std::move(file));
    } else if (key == "launcher") {
      if (tokens.size() < 2 || !ParseInt32(tokens[1], out.launcher_version) || tokens.size() < 4 ||
          !IsHexDigest(tokens[2]) || !IsSafeRelativePath(tokens[3])) {
        error = kLauncherMalformed;
        return false;
      }
      out.launcher_sha256 = tokens[2];
      out.launcher_source = Utf8ToWide(tokens[3]);
    }
    // Any other key, a second header included, is ignored.
  }

  if (!header_seen) {
    error = kEmpty;
    return false;
  }
  if (out.files.empty()) {
    error = kNoFiles;
    return false;
  }
  if (out.build.empty()) {
    error = kNoBuild;
    return false;
  }
  return true;
}

}  // namespace update
