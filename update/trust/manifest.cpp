#include "update/trust/manifest.h"

#include <string.h>

#include <cwctype>
#include <map>

#include "common/text.h"
#include "common/texts.h"
#include "update/trust/manifest_text.h"

namespace update {

namespace {

// The value of a one-token key: the token, or empty when it is missing.
std::wstring TokenOrEmpty(const std::vector<std::string>& tokens, size_t index) {
  return index < tokens.size() ? common::Utf8ToWide(tokens[index]) : std::wstring();
}

}  // namespace

std::vector<char> DecidingLines(const Manifest& manifest) {
  std::map<std::wstring, size_t> last_line;
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    std::wstring key = manifest.files[i].path;
    for (wchar_t& c : key) c = static_cast<wchar_t>(towlower(c));
    last_line[key] = i;
  }
  std::vector<char> deciding(manifest.files.size(), 0);
  for (const auto& entry : last_line) deciding[entry.second] = 1;
  return deciding;
}

std::wstring ToGamePath(const std::string& path) {
  std::wstring wide = common::Utf8ToWide(path);
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  return wide;
}

namespace {

// Reads one line of a known key into out; false with the message when the
// line makes the whole description unusable.
using LineReader = bool (*)(const std::vector<std::string>& tokens, const std::string& line, Manifest& out,
                            std::wstring& error);

bool ReadServer(const std::vector<std::string>& tokens, const std::string&, Manifest& out, std::wstring&) {
  int32_t port = 0;
  if (tokens.size() > 2 && ParseInt32(tokens[2], port) && port >= 1 && port <= 65535) {
    out.server_host = common::Utf8ToWide(tokens[1]);
    out.server_port = port;
  }
  return true;
}

bool ReadFileLine(const std::vector<std::string>& tokens, const std::string&, Manifest& out, std::wstring& error) {
  ManifestFile file;
  if (tokens.size() < 5 || !ParseUint64(tokens[2], file.size)) {
    error = common::Tr(L"a file line is incomplete");
    return false;
  }
  const std::string& path = tokens[1];
  const std::string& digest = tokens[3];
  const std::string& source = tokens[4];
  if (!IsSafeRelativePath(path) || !IsSafeRelativePath(source) || !IsHexDigest(digest)) {
    error = common::Tr(L"a file line names something we will not write");
    return false;
  }
  file.path = ToGamePath(path);
  file.sha256 = digest;
  file.source = common::Utf8ToWide(source);
  out.files.push_back(std::move(file));
  out.path_tokens.push_back(path);
  return true;
}

bool ReadExpiry(const std::vector<std::string>& tokens, const std::string&, Manifest& out, std::wstring& error) {
  if (tokens.size() < 2 || !ParseUtcTime(tokens[1], out.expires_at)) {
    error = common::Tr(L"the expiry line is malformed");
    return false;
  }
  out.has_expiry = true;
  out.expires = common::Utf8ToWide(tokens[1]);
  return true;
}

// Only an announced release needs its hour, and launchers before it passed
// the line over: one that is no time is passed over too (the release then
// has no hour and is never taken as announced).
bool ReadNotBefore(const std::vector<std::string>& tokens, const std::string&, Manifest& out, std::wstring&) {
  int64_t at = 0;
  if (tokens.size() >= 2 && !out.has_not_before && ParseUtcTime(tokens[1], at)) {
    out.has_not_before = true;
    out.not_before = at;
  }
  return true;
}

bool ReadLauncher(const std::vector<std::string>& tokens, const std::string&, Manifest& out, std::wstring& error) {
  if (tokens.size() < 2 || !ParseInt32(tokens[1], out.launcher_version) || tokens.size() < 4 ||
      !IsHexDigest(tokens[2]) || !IsSafeRelativePath(tokens[3])) {
    error = common::Tr(L"the launcher line is malformed");
    return false;
  }
  out.launcher_sha256 = tokens[2];
  out.launcher_source = common::Utf8ToWide(tokens[3]);
  return true;
}

// "chunks PATH INDEX-SIZE INDEX-SHA256 INDEX-SOURCE": checked whole, then
// given to the nearest file line before it whose path token is the same
// bytes (one of another path, or none before it, is passed over; a later
// chunks line of the same file wins).
bool ReadChunksLine(const std::vector<std::string>& tokens, const std::string&, Manifest& out, std::wstring& error) {
  uint64_t size = 0;
  if (tokens.size() < 5 || !ParseUint64(tokens[2], size) || !IsHexDigest(tokens[3]) || !IsSafeRelativePath(tokens[4])) {
    error = common::Tr(L"the chunks line is malformed");
    return false;
  }
  for (size_t i = out.path_tokens.size(); i-- > 0;) {
    if (out.path_tokens[i] != tokens[1]) continue;
    ManifestFile& file = out.files[i];
    file.has_chunks = true;
    file.chunks_size = size;
    file.chunks_sha256 = tokens[3];
    file.chunks_source = common::Utf8ToWide(tokens[4]);
    break;
  }
  return true;
}

// "pack INDEX-SIZE INDEX-SHA256 INDEX-SOURCE": a later one wins.
bool ReadPackLine(const std::vector<std::string>& tokens, const std::string&, Manifest& out, std::wstring& error) {
  uint64_t size = 0;
  if (tokens.size() < 4 || !ParseUint64(tokens[1], size) || !IsHexDigest(tokens[2]) || !IsSafeRelativePath(tokens[3])) {
    error = common::Tr(L"the pack line is malformed");
    return false;
  }
  out.has_pack = true;
  out.pack_size = size;
  out.pack_sha256 = tokens[2];
  out.pack_source = common::Utf8ToWide(tokens[3]);
  return true;
}

// "mirror <base URL>": only https mirrors are taken; another line is passed
// over, as a key this launcher does not know would be.
bool ReadMirror(const std::vector<std::string>& tokens, const std::string&, Manifest& out, std::wstring&) {
  if (tokens.size() < 2 || tokens[1].size() <= 8 || _strnicmp(tokens[1].c_str(), "https://", 8) != 0) return true;
  std::string url = tokens[1];
  while (!url.empty() && url.back() == '/') url.pop_back();
  for (unsigned char c : url) {
    if (c < 0x21 || c > 0x7E) return true;
  }
  out.mirrors.push_back(common::Utf8ToWide(url));
  return true;
}

const struct {
  const char* key;
  LineReader read;
} kKeys[] = {
    {"channel",
     [](const std::vector<std::string>& t, const std::string&, Manifest& out, std::wstring&) {
       out.channel = TokenOrEmpty(t, 1);
       return true;
     }},
    {"build",
     [](const std::vector<std::string>& t, const std::string&, Manifest& out, std::wstring&) {
       out.build = TokenOrEmpty(t, 1);
       return true;
     }},
    // Not validated: a token that is no number leaves the field as it was.
    {"protocol",
     [](const std::vector<std::string>& t, const std::string&, Manifest& out, std::wstring&) {
       if (t.size() > 1) (void)ParseInt32(t[1], out.protocol);
       return true;
     }},
    {"server", ReadServer},
    // The rest of the line, with the spacing between its words kept.
    {"notes",
     [](const std::vector<std::string>& t, const std::string& line, Manifest& out, std::wstring&) {
       out.notes = common::Utf8ToWide(Trim(line.substr(t[0].size())));
       return true;
     }},
    {"file", ReadFileLine},
    {"sequence",
     [](const std::vector<std::string>& t, const std::string&, Manifest& out, std::wstring& error) {
       if (t.size() >= 2 && ParseSequence(t[1], out.sequence)) return true;
       error = common::Tr(L"the sequence line is malformed");
       return false;
     }},
    {"expires", ReadExpiry},
    {"not-before", ReadNotBefore},
    {"launcher", ReadLauncher},
    {"chunks", ReadChunksLine},
    {"pack", ReadPackLine},
    {"mirror", ReadMirror},
};

bool IsHeader(const std::vector<std::string>& tokens) {
  int32_t format = 0;
  return tokens[0] == "velmoramp-manifest" && tokens.size() >= 2 && ParseInt32(tokens[1], format) && format == 1;
}

}  // namespace

bool ParseManifest(const std::vector<unsigned char>& text, Manifest& out, std::wstring& error) {
  out = Manifest();
  bool header_seen = false;
  for (const std::string& raw : SplitLines(std::string(text.begin(), text.end()))) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> tokens = SplitTokens(line);
    if (!header_seen) {
      if (!IsHeader(tokens)) {
        error = common::Tr(L"this is not a manifest we understand");
        return false;
      }
      header_seen = true;
      continue;
    }
    // Any other key, a second header included, is ignored.
    for (const auto& key : kKeys) {
      if (tokens[0] == key.key && !key.read(tokens, line, out, error)) return false;
    }
  }
  if (!header_seen) {
    error = common::Tr(L"the manifest is empty");
    return false;
  }
  out.path_tokens.clear();
  if (out.files.empty()) {
    error = common::Tr(L"the manifest lists no files");
    return false;
  }
  if (out.build.empty()) {
    error = common::Tr(L"the manifest has no build name");
    return false;
  }
  return true;
}

}  // namespace update
