#include "update/trust/freshness.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/file.h"
#include "common/format.h"
#include "common/log.h"
#include "common/path.h"
#include "common/text.h"
#include "common/texts.h"
#include "common/timing.h"
#include "common/unique_handle.h"
#include "update/run/status.h"
#include "update/trust/manifest_text.h"

namespace update {
namespace {

const char kMagic[] = "velmoramp-sequences 1";
constexpr uint64_t kMaxFileBytes = 1024 * 1024;
// The root version is kept as the sequence of a channel no base URL can
// have (a channel is one path segment): launchers from before read and
// keep it as one.
const wchar_t kRootChannel[] = L"/root";
const wchar_t kLock[] = L"Local\\velmoramp-sequences";

}  // namespace

SequenceMemory SequenceMemory::Load() {
  SequenceMemory memory;
  const std::wstring data = common::LauncherDataFolder();
  if (data.empty()) return memory;
  memory.file_ = data + L"\\sequences.txt";
  const std::vector<unsigned char> bytes = common::ReadWholeFile(memory.file_, kMaxFileBytes);
  if (bytes.empty()) return memory;
  const std::vector<std::string> lines = SplitLines(std::string(bytes.begin(), bytes.end()));
  size_t passed_over = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == 0 && lines[0] == kMagic) continue;
    // SEQUENCE <tab> CHANNEL <tab> BASE URL. A line that is not one (a cut
    // write, a hand edit) costs only its own channel: forgetting the others
    // would let their old releases be replayed.
    const std::string& line = lines[i];
    const size_t tab1 = line.find('\t');
    const size_t tab2 = tab1 == std::string::npos ? std::string::npos : line.find('\t', tab1 + 1);
    int64_t sequence = 0;
    if (tab2 == std::string::npos || !ParseSequence(line.substr(0, tab1), sequence)) {
      ++passed_over;
      continue;
    }
    memory.Raise(common::Utf8ToWide(line.substr(tab2 + 1)), common::Utf8ToWide(line.substr(tab1 + 1, tab2 - tab1 - 1)),
                 sequence);
  }
  if (passed_over > 0 || lines.empty() || lines[0] != kMagic) {
    common::Log(L"%s is damaged: %zu line(s) passed over, %zu channel(s) kept", memory.file_, passed_over,
                memory.highest_.size());
  }
  return memory;
}

bool SequenceMemory::Remember(const std::wstring& base_url, const std::wstring& channel, int64_t sequence,
                              std::wstring& error) {
  // One lock for every launcher of this user: the file is shared by all
  // game folders.
  const common::UserLock lock(kLock);
  SequenceMemory memory = Load();
  memory.Raise(base_url, channel, sequence);
  return memory.Save(error);
}

bool SequenceMemory::ForgetBase(const std::wstring& base_url, std::wstring& error) {
  const common::UserLock lock(kLock);
  SequenceMemory memory = Load();
  std::erase_if(memory.highest_, [&base_url](const auto& entry) {
    return entry.first.first == base_url && entry.first.second != kRootChannel;
  });
  return memory.Save(error);
}

int64_t SequenceMemory::HighestRoot(const std::wstring& base_url) const {
  return std::max<int64_t>(1, Highest(base_url, kRootChannel));
}

bool SequenceMemory::RememberRoot(const std::wstring& base_url, int64_t version, std::wstring& error) {
  return Remember(base_url, kRootChannel, version, error);
}

int64_t SequenceMemory::Highest(const std::wstring& base_url, const std::wstring& channel) const {
  auto it = highest_.find({base_url, channel});
  return it == highest_.end() ? 0 : it->second;
}

void SequenceMemory::Raise(const std::wstring& base_url, const std::wstring& channel, int64_t sequence) {
  int64_t& highest = highest_[{base_url, channel}];
  if (sequence > highest) highest = sequence;
}

bool SequenceMemory::Save(std::wstring& error) const {
  if (file_.empty()) {
    error = common::Tr(L"the launcher has no folder for its state");
    return false;
  }
  std::string text = std::string(kMagic) + "\n";
  for (const auto& entry : highest_) {
    text += std::to_string(entry.second) + "\t" + common::WideToUtf8(entry.first.second) + "\t" +
            common::WideToUtf8(entry.first.first) + "\n";
  }
  if (!common::WriteFileAtomically(file_, text)) {
    error = common::FormatWin32Error(common::TrF(L"cannot write %s", file_));
    return false;
  }
  return true;
}

bool CheckFreshness(const Manifest& manifest, const Options& options, const SequenceMemory& memory, int64_t now_seconds,
                    std::wstring& error) {
  // Older descriptions carry no sequence and no promise about their
  // channel line: only a numbered one is bound to its channel.
  if (manifest.sequence > 0 && manifest.channel != options.channel) {
    error = common::TrF(L"This release was published for channel %s, not %s.", manifest.channel, options.channel) +
            NothingChanged();
    return false;
  }
  const int64_t highest = memory.Highest(options.base_url, options.channel);
  if (manifest.sequence < highest) {
    error = common::TrF(L"This release is older than one this launcher already installed (%d < %d).", manifest.sequence,
                        highest) +
            NothingChanged();
    return false;
  }
  if (manifest.has_expiry && now_seconds >= manifest.expires_at) {
    error = common::TrF(L"This release expired on %s; the update server may be out of date.",
                        FormatUtc(manifest.expires_at)) +
            NothingChanged();
    return false;
  }
  return true;
}

int64_t UtcNowSeconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
  // 100 ns ticks since 1601 to seconds since 1970.
  return static_cast<int64_t>(ticks / 10000000ull) - 11644473600ll + common::CurrentTiming().wall_offset_s;
}

namespace {

bool ToSystemTime(int64_t seconds, SYSTEMTIME& utc) {
  const uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600ll) * 10000000ull;
  FILETIME time = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  return FileTimeToSystemTime(&time, &utc) != 0;
}

}  // namespace

std::wstring FormatUtc(int64_t seconds) {
  SYSTEMTIME utc = {};
  if (!ToSystemTime(seconds, utc)) return std::to_wstring(seconds);
  return common::FormatUtcTime(utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
}

std::wstring FormatUtcToken(int64_t seconds) {
  SYSTEMTIME utc = {};
  if (!ToSystemTime(seconds, utc)) return std::wstring();
  return common::FormatWide(64, L"%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
                            utc.wMinute, utc.wSecond);
}

}  // namespace update
