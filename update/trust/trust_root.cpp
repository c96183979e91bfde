#include "update/trust/trust_root.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include "common/file.h"
#include "common/log.h"
#include "common/path.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "release_key.h"
#include "update/trust/digest.h"
#include "update/trust/manifest_text.h"

namespace update {
namespace {

constexpr size_t kModulusHex = 512;
constexpr size_t kSignatureBytes = 256;

bool IsHex(const std::string& text, size_t length) {
  return text.size() == length &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::vector<unsigned char> FromHex(const std::string& hex) {
  std::vector<unsigned char> bytes(hex.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  return bytes;
}

void AddDistinct(std::vector<Modulus>& keys, const Modulus& key) {
  if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
}

bool ReadKey(const std::vector<std::string>& tokens, Modulus& key) {
  if (tokens.size() < 2 || !IsHex(tokens[1], kModulusHex)) return false;
  const std::vector<unsigned char> bytes = FromHex(tokens[1]);
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key[0] >= 0x80;  // a 2048-bit modulus has its top bit set
}

bool ReadThreshold(const std::vector<std::string>& tokens, int& threshold) {
  int32_t value = 0;
  if (tokens.size() < 2 || !ParseInt32(tokens[1], value) || value < 1) return false;
  threshold = value;
  return true;
}

bool Verifies(const std::vector<unsigned char>& text, const std::vector<unsigned char>& signature, const Modulus& key) {
  unsigned char modulus[256];
  std::memcpy(modulus, key.data(), key.size());
  return VerifySignatureWithKey(text, signature, modulus);
}

// What the data folder keeps for a base URL: roots\<16 hex digits>.root,
// and the two files (.root.txt, .root.sig) launchers kept it in before.
std::wstring KeptPath(const std::wstring& base_url, const wchar_t* extension) {
  const std::wstring data = common::LauncherDataFolder();
  if (data.empty()) return std::wstring();
  const std::string url = common::WideToUtf8(base_url);
  const std::string id = Sha256Hex(std::vector<unsigned char>(url.begin(), url.end())).substr(0, 16);
  return data + L"\\roots\\" + common::Utf8ToWide(id) + extension;
}

// The kept form: "velmoramp-kept-root 1 <text bytes> <signature bytes>
// <base URL>", a line break, the text, then the signatures: one file, so
// that no reader meets one half of a version beside the other half of
// another.
const char kKeptMagic[] = "velmoramp-kept-root 1";

std::vector<unsigned char> KeptForm(const std::wstring& base_url, const std::vector<unsigned char>& text,
                                    const std::vector<unsigned char>& signatures) {
  const std::string head = std::string(kKeptMagic) + " " + std::to_string(text.size()) + " " +
                           std::to_string(signatures.size()) + " " + common::WideToUtf8(base_url) + "\n";
  std::vector<unsigned char> bytes(head.begin(), head.end());
  bytes.insert(bytes.end(), text.begin(), text.end());
  bytes.insert(bytes.end(), signatures.begin(), signatures.end());
  return bytes;
}

bool FromKeptForm(const std::vector<unsigned char>& bytes, std::wstring& base_url, std::vector<unsigned char>& text,
                  std::vector<unsigned char>& signatures) {
  const auto end = std::find(bytes.begin(), bytes.end(), '\n');
  if (end == bytes.end()) return false;
  const std::vector<std::string> head = SplitTokens(std::string(bytes.begin(), end));
  uint64_t text_bytes = 0, signature_bytes = 0;
  if (head.size() != 5 || head[0] + " " + head[1] != kKeptMagic || !ParseUint64(head[2], text_bytes) ||
      !ParseUint64(head[3], signature_bytes)) {
    return false;
  }
  base_url = common::Utf8ToWide(head[4]);
  const size_t start = static_cast<size_t>(end - bytes.begin()) + 1;
  if (text_bytes > kMaxRootBytes || signature_bytes > kMaxRootBytes ||
      bytes.size() != start + text_bytes + signature_bytes) {
    return false;
  }
  text.assign(bytes.begin() + start, bytes.begin() + start + text_bytes);
  signatures.assign(bytes.begin() + start + text_bytes, bytes.end());
  return true;
}

// Every launcher of this user keeps roots under one lock: two runs that
// trust new versions at once must not put back the lower one.
const wchar_t kRootsLock[] = L"Local\\velmoramp-roots";

// A kept version, checked again: well formed and signed by its own keys.
bool Checked(const std::wstring& base_url, const std::vector<unsigned char>& text,
             const std::vector<unsigned char>& signatures, TrustRoot& out) {
  std::wstring why;
  if (!ParseTrustRoot(text, out, why)) {
    common::Log(L"the kept root of %s is damaged (%s); starting again from version 1", base_url, why);
    return false;
  }
  if (DistinctSigners(text, signatures, out.root_keys) < out.root_threshold) {
    common::Log(L"the kept root of %s is not signed by its own keys; starting again from version 1", base_url);
    return false;
  }
  return true;
}

bool WriteKept(const std::wstring& base_url, const std::vector<unsigned char>& text,
               const std::vector<unsigned char>& signatures) {
  const std::wstring file = KeptPath(base_url, L".root");
  CreateDirectoryW(common::ParentFolder(file).c_str(), nullptr);
  return common::WriteFileAtomically(file, KeptForm(base_url, text, signatures));
}

// A kept file as it is; false when it is none of ours (logged).
bool ReadKeptFile(const std::wstring& file, std::wstring& base_url, std::vector<unsigned char>& text,
                  std::vector<unsigned char>& signatures) {
  if (FromKeptForm(common::ReadWholeFile(file, 2 * kMaxRootBytes + 4096), base_url, text, signatures)) return true;
  common::Log(L"the kept root %s is damaged (it is not one file of ours)", file);
  return false;
}

// The two files of launchers before, read once and kept in one file from
// then on.
bool LoadOldForm(const std::wstring& base_url, TrustRoot& out) {
  const std::wstring text_file = KeptPath(base_url, L".root.txt");
  if (!common::IsFile(text_file)) return false;
  const std::wstring signature_file = KeptPath(base_url, L".root.sig");
  const std::vector<unsigned char> text = common::ReadWholeFile(text_file, kMaxRootBytes + 1);
  const std::vector<unsigned char> signatures = common::ReadWholeFile(signature_file, kMaxRootBytes);
  const bool good = Checked(base_url, text, signatures, out);
  if (good && !WriteKept(base_url, text, signatures)) return true;  // read again next time
  DeleteFileW(signature_file.c_str());
  DeleteFileW(text_file.c_str());
  return good;
}

}  // namespace

TrustRoot BuiltInRoot() {
  TrustRoot root;
  Modulus key;
  std::copy(std::begin(kReleaseKeyModulus), std::end(kReleaseKeyModulus), key.begin());
  root.root_keys = {key};
  root.release_keys = {key};
  return root;
}

std::string KeyId(const Modulus& key) { return Sha256Hex(std::vector<unsigned char>(key.begin(), key.end())); }

bool ParseTrustRoot(const std::vector<unsigned char>& text, TrustRoot& out, std::wstring& error) {
  out = TrustRoot();
  out.root_threshold = out.release_threshold = 0;
  if (text.size() > kMaxRootBytes) {
    error = L"the root is larger than 64 KiB";
    return false;
  }
  bool header = false, versioned = false;
  for (const std::string& raw : SplitLines(std::string(text.begin(), text.end()))) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> tokens = SplitTokens(line);
    if (!header) {
      if (tokens.size() < 2 || tokens[0] != "velmoramp-root" || tokens[1] != "1") {
        error = L"this is not a root we understand";
        return false;
      }
      header = true;
      continue;
    }
    const std::string& key = tokens[0];
    Modulus modulus;
    bool ok = true;
    if (key == "version") {
      ok = tokens.size() >= 2 && ParseSequence(tokens[1], out.version);
      versioned = ok;
    } else if (key == "expires") {
      ok = tokens.size() >= 2 && ParseUtcTime(tokens[1], out.expires_at);
      out.has_expiry = ok;
    } else if (key == "root-key" || key == "release-key") {
      ok = ReadKey(tokens, modulus);
      if (ok) AddDistinct(key == "root-key" ? out.root_keys : out.release_keys, modulus);
    } else if (key == "root-threshold") {
      ok = ReadThreshold(tokens, out.root_threshold);
    } else if (key == "release-threshold") {
      ok = ReadThreshold(tokens, out.release_threshold);
    }
    if (!ok) {
      error = L"its " + common::Utf8ToWide(key) + L" line is malformed";
      return false;
    }
  }
  if (!header || !versioned) {
    error = header ? L"it names no version" : L"it is empty";
    return false;
  }
  if (out.root_threshold < 1 || out.root_threshold > static_cast<int>(out.root_keys.size()) ||
      out.release_threshold < 1 || out.release_threshold > static_cast<int>(out.release_keys.size())) {
    error = L"a threshold is not between 1 and the number of its keys";
    return false;
  }
  return true;
}

int DistinctSigners(const std::vector<unsigned char>& text, const std::vector<unsigned char>& signatures,
                    const std::vector<Modulus>& keys) {
  if (signatures.size() == kSignatureBytes) {
    // The binary form of a single signature (before roots).
    for (const Modulus& key : keys) {
      if (Verifies(text, signatures, key)) return 1;
    }
    return 0;
  }
  if (signatures.size() > kMaxRootBytes) return 0;
  std::vector<std::string> ids;
  for (const Modulus& key : keys) ids.push_back(KeyId(key));
  std::vector<bool> counted(keys.size(), false);
  for (const std::string& raw : SplitLines(std::string(signatures.begin(), signatures.end()))) {
    const std::vector<std::string> tokens = SplitTokens(Trim(raw));
    if (tokens.size() < 3 || tokens[0] != "sig" || !IsHex(tokens[2], 2 * kSignatureBytes)) continue;
    const std::string id = AsciiLower(tokens[1]);
    const auto found = std::find(ids.begin(), ids.end(), id);
    if (found == ids.end()) continue;  // a key this launcher does not hold
    const size_t k = static_cast<size_t>(found - ids.begin());
    if (!counted[k] && Verifies(text, FromHex(tokens[2]), keys[k])) counted[k] = true;
  }
  return static_cast<int>(std::count(counted.begin(), counted.end(), true));
}

bool SignedForRelease(const TrustRoot& root, const std::vector<unsigned char>& text,
                      const std::vector<unsigned char>& signatures) {
  return DistinctSigners(text, signatures, root.release_keys) >= root.release_threshold;
}

bool AcceptNextRoot(const TrustRoot& trusted, const std::vector<unsigned char>& text,
                    const std::vector<unsigned char>& signatures, TrustRoot& next, std::wstring& why) {
  if (!ParseTrustRoot(text, next, why)) return false;
  if (next.version != trusted.version + 1) {
    why = L"it says it is version " + std::to_wstring(next.version) + L", not " + std::to_wstring(trusted.version + 1);
    return false;
  }
  const int old_signers = DistinctSigners(text, signatures, trusted.root_keys);
  if (old_signers < trusted.root_threshold) {
    why = L"the keys of version " + std::to_wstring(trusted.version) + L" signed it " + std::to_wstring(old_signers) +
          L" times, " + std::to_wstring(trusted.root_threshold) + L" needed";
    return false;
  }
  const int own_signers = DistinctSigners(text, signatures, next.root_keys);
  if (own_signers < next.root_threshold) {
    why = L"its own root keys signed it " + std::to_wstring(own_signers) + L" times, " +
          std::to_wstring(next.root_threshold) + L" needed";
    return false;
  }
  return true;
}

bool LoadKeptRoot(const std::wstring& base_url, TrustRoot& out) {
  const std::wstring file = KeptPath(base_url, L".root");
  if (file.empty()) return false;
  const common::UserLock lock(kRootsLock);
  if (!common::IsFile(file)) return LoadOldForm(base_url, out);
  std::vector<unsigned char> text, signatures;
  std::wstring kept_for;
  if (!ReadKeptFile(file, kept_for, text, signatures) || kept_for != base_url) return false;
  return Checked(base_url, text, signatures, out);
}

std::vector<KeptRoot> KeptRoots() {
  std::vector<KeptRoot> roots;
  const std::wstring any = KeptPath(L"", L".root");
  if (any.empty()) return roots;
  const std::wstring folder = common::ParentFolder(any);
  WIN32_FIND_DATAW found = {};
  const common::UniqueFind search(FindFirstFileW((folder + L"\\*.root").c_str(), &found));
  for (bool more = static_cast<bool>(search); more; more = FindNextFileW(search.get(), &found) != 0) {
    KeptRoot kept;
    std::vector<unsigned char> text, signatures;
    if (ReadKeptFile(folder + L"\\" + found.cFileName, kept.base_url, text, signatures) &&
        Checked(kept.base_url, text, signatures, kept.root)) {
      roots.push_back(kept);
    }
  }
  return roots;
}

void KeepRoot(const std::wstring& base_url, const std::vector<unsigned char>& text,
              const std::vector<unsigned char>& signatures) {
  if (KeptPath(base_url, L".root").empty()) return;
  TrustRoot kept, next;
  std::wstring why;
  if (!ParseTrustRoot(text, next, why)) return;
  const common::UserLock lock(kRootsLock);  // the same thread may take it again below
  // Another launcher may have trusted a later version meanwhile.
  if (LoadKeptRoot(base_url, kept) && kept.version >= next.version) return;
  if (!WriteKept(base_url, text, signatures)) {
    common::Log(L"could not keep the root of %s (win32 %lu)", base_url, GetLastError());
  }
}

}  // namespace update
