#include "update/manifest.h"

#include "common/text.h"
#include "update/manifest_text.h"

namespace update {

namespace {

const wchar_t kNotUnderstood[] = L"this is not a manifest we understand";
const wchar_t kFileIncomplete[] = L"a file line is incomplete";
const wchar_t kFileUnsafe[] = L"a file line names something we will not write";
const wchar_t kLauncherMalformed[] = L"the launcher line is malformed";
const wchar_t kEmpty[] = L"the manifest is empty";
const wchar_t kNoFiles[] = L"the manifest lists no files";
const wchar_t kNoBuild[] = L"the manifest has no build name";
const wchar_t kSequenceMalformed[] = L"the sequence line is malformed";
const wchar_t kExpiryMalformed[] = L"the expiry line is malformed";

// The value of a one-token key: the token, or empty when it is missing.
std::wstring TokenOrEmpty(const std::vector<std::string>& tokens, size_t index) {
  return index < tokens.size() ? common::Utf8ToWide(tokens[index]) : std::wstring();
}

}  // namespace

std::wstring ToGamePath(const std::string& path) {
  std::wstring wide = common::Utf8ToWide(path);
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  return wide;
}

bool ParseManifest(const std::vector<unsigned char>& text, Manifest& out, std::wstring& error) {
  out = Manifest();
  const std::string all(text.begin(), text.end());
  bool header_seen = false;

  for (const std::string& raw : SplitLines(all)) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;

    const std::vector<std::string> tokens = SplitTokens(line);
    const std::string& key = tokens[0];

    if (!header_seen) {
      int32_t format = 0;
      if (key != "velmoramp-manifest" || tokens.size() < 2 || !ParseInt32(tokens[1], format) || format != 1) {
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
      if (tokens.size() > 1) (void)ParseInt32(tokens[1], out.protocol);
    } else if (key == "server") {
      int32_t port = 0;
      if (tokens.size() > 2 && ParseInt32(tokens[2], port) && port >= 1 && port <= 65535) {
        out.server_host = common::Utf8ToWide(tokens[1]);
        out.server_port = port;
      }
    } else if (key == "notes") {
      // The rest of the line, with the spacing between its words kept.
      out.notes = common::Utf8ToWide(Trim(line.substr(key.size())));
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
      file.source = common::Utf8ToWide(source);
      out.files.push_back(std::move(file));
    } else if (key == "sequence") {
      if (tokens.size() < 2 || !ParseSequence(tokens[1], out.sequence)) {
        error = kSequenceMalformed;
        return false;
      }
    } else if (key == "expires") {
      if (tokens.size() < 2 || !ParseUtcTime(tokens[1], out.expires_at)) {
        error = kExpiryMalformed;
        return false;
      }
      out.has_expiry = true;
      out.expires = common::Utf8ToWide(tokens[1]);
    } else if (key == "launcher") {
      if (tokens.size() < 2 || !ParseInt32(tokens[1], out.launcher_version) || tokens.size() < 4 ||
          !IsHexDigest(tokens[2]) || !IsSafeRelativePath(tokens[3])) {
        error = kLauncherMalformed;
        return false;
      }
      out.launcher_sha256 = tokens[2];
      out.launcher_source = common::Utf8ToWide(tokens[3]);
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
