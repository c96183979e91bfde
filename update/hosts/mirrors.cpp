#include "update/hosts/mirrors.h"

#include <windows.h>

#include <algorithm>

#include "common/file.h"
#include "common/log.h"
#include "common/path.h"
#include "common/text.h"
#include "common/texts.h"
#include "common/unique_handle.h"
#include "update/trust/manifest_text.h"

namespace update {
namespace {

constexpr int kMaxFailures = 3;
const wchar_t kFile[] = L"mirrors.txt";
const char kMagic[] = "velmoramp-mirrors 1";
constexpr uint64_t kMaxFileBytes = 256 * 1024;

std::wstring MirrorFile() {
  const std::wstring data = common::LauncherDataFolder();
  return data.empty() ? std::wstring() : data + L"\\" + kFile;
}

// BASE <tab> CHANNEL <tab> MIRROR lines, the file's first line its magic.
std::vector<std::string> StoredLines(const std::wstring& file) {
  const std::vector<unsigned char> bytes = common::ReadWholeFile(file, kMaxFileBytes);
  std::vector<std::string> lines = SplitLines(std::string(bytes.begin(), bytes.end()));
  if (lines.empty() || lines[0] != kMagic) return {};
  lines.erase(lines.begin());
  return lines;
}

std::string KeyOf(const std::wstring& base_url, const std::wstring& channel) {
  return common::WideToUtf8(base_url) + "\t" + common::WideToUtf8(channel) + "\t";
}

}  // namespace

MirrorSet::MirrorSet(std::vector<std::wstring> bases) : bases_(std::move(bases)), failures_(bases_.size(), 0) {}

std::wstring MirrorSet::Host(size_t i) const {
  const std::wstring& url = bases_[i];
  const size_t start = url.find(L"://");
  const size_t from = start == std::wstring::npos ? 0 : start + 3;
  return url.substr(from, url.find(L'/', from) - from);
}

void MirrorSet::Failed(size_t i) {
  std::lock_guard<std::mutex> guard(lock_);
  if (++failures_[i] == kMaxFailures) {
    common::Log(L"mirror %s failed %d requests; not asked again in this run", Host(i), kMaxFailures);
  }
}

bool MirrorSet::Usable(size_t i) const {
  std::lock_guard<std::mutex> guard(lock_);
  return failures_[i] < kMaxFailures;
}

size_t MirrorSet::Next(size_t from) const {
  for (size_t step = 1; step < bases_.size(); ++step) {
    const size_t i = (from + step) % bases_.size();
    if (Usable(i)) return i;
  }
  return std::wstring::npos;
}

MirrorCursor::MirrorCursor(MirrorSet* mirrors, std::wstring fallback_base)
    : mirrors_(mirrors != nullptr && mirrors->size() > 0 ? mirrors : nullptr), fallback_(std::move(fallback_base)) {
  // A request starts on the first mirror still asked.
  if (mirrors_ != nullptr && !mirrors_->Usable(0)) {
    const size_t next = mirrors_->Next(0);
    if (next != std::wstring::npos) current_ = next;
  }
  StartRound();
}

void MirrorCursor::StartRound() {
  if (mirrors_ == nullptr) return;
  tried_.assign(mirrors_->size(), 0);
  tried_[current_] = 1;
  round_transient_ = false;
  round_refused_only_ = true;
}

size_t MirrorCursor::NextUntried(bool left_alone_too) const {
  for (size_t step = 1; step < tried_.size(); ++step) {
    const size_t i = (current_ + step) % tried_.size();
    if (!tried_[i] && (left_alone_too || mirrors_->Usable(i))) return i;
  }
  return std::wstring::npos;
}

std::wstring MirrorCursor::Url(const std::wstring& source) const {
  return (mirrors_ ? mirrors_->base(current_) : fallback_) + L"/" + source;
}

std::wstring MirrorCursor::Host() const { return mirrors_ ? mirrors_->Host(current_) : std::wstring(); }

bool MirrorCursor::FailOver(const std::wstring& what, const common::Error& error) {
  worth_retrying_ = error.kind == common::ErrorKind::kTransient;
  if (mirrors_ == nullptr || mirrors_->size() < 2 || !WorthAnotherMirror(error)) return false;
  mirrors_->Failed(current_);
  round_transient_ = round_transient_ || worth_retrying_;
  round_refused_only_ =
      round_refused_only_ && (error.kind == common::ErrorKind::kHttp || error.kind == common::ErrorKind::kNotFound);
  size_t next = NextUntried(false);
  if (next == std::wstring::npos && round_refused_only_) next = NextUntried(true);
  if (next == std::wstring::npos) {
    // Every mirror had its turn: the caller's retry starts a new round, on
    // the next one still asked.
    worth_retrying_ = round_transient_;
    const size_t usable = mirrors_->Next(current_);
    if (usable != std::wstring::npos) current_ = usable;
    StartRound();
    return false;
  }
  common::Log(L"%s failed on %s (%s); trying %s", what, mirrors_->Host(current_), error.text, mirrors_->Host(next));
  current_ = next;
  tried_[next] = 1;
  return true;
}

bool MirrorCursor::CanMove() const { return mirrors_ != nullptr && NextUntried(false) != std::wstring::npos; }

bool WorthAnotherMirror(const common::Error& error) {
  using common::ErrorKind;
  // kRefused: a host this launcher cannot talk to (its certificate, its
  // scheme), which says nothing of the others.
  return error.kind == ErrorKind::kTransient || error.kind == ErrorKind::kHttp || error.kind == ErrorKind::kNotFound ||
         error.kind == ErrorKind::kMismatch || error.kind == ErrorKind::kTooLarge || error.kind == ErrorKind::kRefused;
}

bool IsUsableMirror(const std::wstring& url, std::wstring& why) {
  const std::wstring scheme = L"https://";
  if (url.size() < scheme.size() || _wcsnicmp(url.c_str(), scheme.c_str(), scheme.size()) != 0) {
    why = common::Tr(L"not an https URL");
    return false;
  }
  if (std::any_of(url.begin(), url.end(), [](wchar_t c) { return c <= L' ' || c == 0x7F; })) {
    why = common::Tr(L"not a URL");
    return false;
  }
  const size_t host = scheme.size();
  const size_t end = url.find_first_of(L":/?#", host);
  if (end == host || host == url.size()) {
    why = common::Tr(L"no host");
    return false;
  }
  return true;
}

std::wstring NormalizedBase(std::wstring url) {
  while (!url.empty() && url.back() == L'/') url.pop_back();
  return url;
}

std::vector<std::wstring> CandidateBases(const Options& options) {
  std::vector<std::wstring> bases{options.base_url};
  const auto add = [&bases](const std::wstring& url) {
    const std::wstring base = NormalizedBase(url);
    if (!base.empty() && std::find(bases.begin(), bases.end(), base) == bases.end()) bases.push_back(base);
  };
  std::wstring why;
  for (const std::wstring& url : options.mirrors) {
    if (IsUsableMirror(url, why)) add(url);
  }
  for (const std::wstring& url : RememberedMirrors(options.base_url, options.channel)) add(url);
  return bases;
}

std::vector<std::wstring> RememberedMirrors(const std::wstring& base_url, const std::wstring& channel) {
  const std::wstring file = MirrorFile();
  if (file.empty()) return {};
  const std::string key = KeyOf(base_url, channel);
  std::vector<std::wstring> mirrors;
  for (const std::string& line : StoredLines(file)) {
    if (line.rfind(key, 0) == 0 && line.size() > key.size())
      mirrors.push_back(common::Utf8ToWide(line.substr(key.size())));
  }
  return mirrors;
}

void RememberMirrors(const std::wstring& base_url, const std::wstring& channel,
                     const std::vector<std::wstring>& mirrors) {
  const std::wstring file = MirrorFile();
  if (file.empty()) return;
  // One writer at a time among this user's launchers; the others' channels
  // are read again and kept.
  const common::UserLock lock(L"Local\\velmoramp-mirrors");
  const std::string key = KeyOf(base_url, channel);
  std::vector<std::string> lines = StoredLines(file);
  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    if (line.rfind(key, 0) != 0) kept.push_back(line);
  }
  for (const std::wstring& mirror : mirrors) kept.push_back(key + common::WideToUtf8(mirror));
  if (kept == lines) return;
  std::string text = std::string(kMagic) + "\n";
  for (const std::string& line : kept) text += line + "\n";
  if (!common::WriteFileAtomically(file, text)) {
    common::Log(L"could not remember the mirrors of %s (win32 %lu)", base_url, GetLastError());
  }
}

}  // namespace update
