#include "update/placement.h"

#include <windows.h>

#include <cmath>
#include <mutex>

#include "common/log.h"
#include "common/texts.h"
#include "common/worker_pool.h"
#include "update/hosts/transfer.h"

namespace update {
namespace {

// Room for the launcher's own notes and the file system's rounding.
constexpr uint64_t kSpaceMargin = 8ull * 1024 * 1024;
constexpr uint64_t kSlackPerFile = 4096;
// Threads that look at the files before the move pass.
constexpr size_t kLookers = 8;
// Threads that move the files into place.
constexpr size_t kMovers = 4;
// Staging files from this size on may be held by a scan for longer than
// the move waits.
constexpr uint64_t kScannedLongBytes = 4ull * 1024 * 1024;

// The obstacle's text, or empty when it is none.
std::wstring ObstacleText(GameFolder::Obstacle obstacle, const std::wstring& shown) {
  switch (obstacle) {
    case GameFolder::Obstacle::kNone: return std::wstring();
    case GameFolder::Obstacle::kHeld:
      return common::TrF(L"Could not update %s: it is in use (is Velmora running?).", shown) + NothingChanged();
    case GameFolder::Obstacle::kLink:
    case GameFolder::Obstacle::kHardLinked: return LinkText(shown) + NothingChanged();
    case GameFolder::Obstacle::kTooLong:
      return common::TrF(L"The release names a path too long for this game folder: %s.", shown) + NothingChanged();
    case GameFolder::Obstacle::kFolder:
      return common::TrF(L"Could not update %s: a folder of that name is in the way.", shown) + NothingChanged();
  }
  return std::wstring();
}

// The volume a path lies on, as a person names it ("D:").
std::wstring VolumeOf(const std::wstring& path) {
  wchar_t volume[MAX_PATH] = {};
  std::wstring name = GetVolumePathNameW(path.c_str(), volume, MAX_PATH) ? volume : path.substr(0, 3);
  if (name.rfind(L"\\\\?\\", 0) == 0) name = name.substr(4);
  while (name.size() > 2 && name.back() == L'\\') name.pop_back();
  return name;
}

uint64_t StagedBytes(const GameFolder& game, const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(game.Full(StagingPath(path)).c_str(), GetFileExInfoStandard, &data)) return 0;
  return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

// Why a move failed, as the player reads it.
std::wstring MoveFailure(DWORD code, bool unsafe) {
  if (unsafe) return common::Tr(L"it is a link");
  if (IsBusyFileError(code)) return common::Tr(L"it is in use");
  if (IsDiskFullError(code)) return common::Tr(L"the disk is full");
  return common::TrF(L"the system refused (win32 %lu)", code);
}

}  // namespace

std::wstring LinkText(const std::wstring& path) {
  return common::TrF(
      L"The game folder holds a link the launcher will not write through: %s. Remove it, or check the game's files in "
      L"Steam.",
      path);
}

bool CheckTargetsBeforeDownload(const Placement& p, std::wstring& text) {
  std::set<std::wstring> seen;
  for (size_t i : p.changed) {
    const std::wstring& path = p.manifest.files[i].path;
    // A name beside it that is not ours is removed before it is written.
    std::wstring where;
    const GameFolder::Obstacle obstacle = p.game.CheckLinks(path, where, seen);
    if (obstacle == GameFolder::Obstacle::kNone) continue;
    text = ObstacleText(obstacle, where);
    common::Log(L"update refused before the download: %s", text);
    return false;
  }
  return true;
}

bool CheckFreeSpace(const Placement& p, const std::set<std::wstring>& ours, std::wstring& text) {
  uint64_t needed = kSpaceMargin;
  for (size_t i : p.changed) {
    const ManifestFile& file = p.manifest.files[i];
    const uint64_t kept = ours.count(file.path) > 0 ? StagedBytes(p.game, file.path) : 0;
    needed += (kept <= file.size ? file.size - kept : file.size) + kSlackPerFile;
  }
  ULARGE_INTEGER free = {};
  if (!GetDiskFreeSpaceExW(p.game.Full(L"").c_str(), &free, nullptr, nullptr)) return true;  // not to be told
  if (free.QuadPart >= needed) return true;
  text = common::TrF(L"Not enough free space on %s: the update needs %s more.", VolumeOf(p.game.path()),
                     common::FormatSize(needed - free.QuadPart)) +
         NothingChanged();
  common::Log(L"update refused: %llu bytes needed, %llu free", needed, static_cast<uint64_t>(free.QuadPart));
  return false;
}

bool CheckTargetsBeforeMoving(const Placement& p, std::wstring& text) {
  // Each look is a few system calls: several at once, the first (in the
  // description's order) that is in the way reported.
  std::vector<std::wstring> found(p.changed.size());
  const auto look = [&](size_t k) {
    const ManifestFile& file = p.manifest.files[p.changed[k]];
    const std::wstring& path = file.path;
    // A scan of a new file ends within the move's own tries unless the file
    // is big: only big staging files are looked at here.
    const size_t names = file.size >= kScannedLongBytes ? 2 : 1;
    const std::wstring both[2] = {path, StagingPath(path)};
    for (size_t n = 0; n < names; ++n) {
      const std::wstring& name = both[n];
      std::wstring where;
      const GameFolder::Obstacle obstacle = p.game.CheckReplaceable(name, where);
      if (obstacle == GameFolder::Obstacle::kNone) continue;
      // A staging file held (a scan of it) is named by the file it becomes.
      found[k] = ObstacleText(obstacle, obstacle == GameFolder::Obstacle::kHeld ? p.game.Shown(path) : where);
      return;
    }
  };
  common::WorkerPool pool;
  if (!pool.Start(p.changed.size(), kLookers, look)) {
    for (size_t k = 0; k < p.changed.size(); ++k) look(k);
  }
  pool.Join();
  for (const std::wstring& path : p.dropped != nullptr ? *p.dropped : std::vector<std::wstring>()) {
    std::wstring where;
    const GameFolder::Obstacle obstacle = p.game.CheckReplaceable(path, where);
    if (obstacle != GameFolder::Obstacle::kNone) found.push_back(ObstacleText(obstacle, where));
  }
  for (const std::wstring& obstacle : found) {
    if (obstacle.empty()) continue;
    text = obstacle;
    common::Log(L"nothing moved: %s", text);
    return false;
  }
  if (pool.failure().failed()) {
    text = common::TrF(L"The update could not be completed: %s.", pool.failure().text) + NothingChanged();
    return false;
  }
  return true;
}

bool MoveAll(const Placement& p, const std::function<void(size_t k)>& moved, std::wstring& text) {
  // Some systems spend most of a move searching the folder for the name it
  // gets: several at once, begun in the description's order. The first
  // that fails ends the pass; those under way finish.
  std::mutex lock;
  size_t replaced = 0;
  std::wstring failed;  // what could not be replaced, as shown
  std::wstring why;
  common::WorkerPool pool;
  const auto move = [&](size_t k) {
    const std::wstring& path = p.manifest.files[p.changed[k]].path;
    bool unsafe = false;
    const bool ok = p.game.MoveOver(StagingPath(path), path, unsafe);
    const DWORD code = GetLastError();
    std::lock_guard<std::mutex> hold(lock);
    if (ok) {
      ++replaced;
      moved(k);
      common::Log(L"replaced %s", path);
    } else if (failed.empty()) {
      failed = p.game.Shown(path);
      why = MoveFailure(code, unsafe);
      common::Log(L"could not move %s into place (win32 %lu)", path, code);
      pool.Stop();
    }
  };
  if (!pool.Start(p.changed.size(), kMovers, move)) {
    for (size_t k = 0; k < p.changed.size() && failed.empty(); ++k) move(k);
  }
  pool.Join();
  if (failed.empty() && !pool.failure().failed()) return true;
  const size_t count = p.changed.size();
  if (failed.empty()) {
    text = common::TrN(
        count, L"Updated %s of %s file; could not replace the rest: %s. Close Velmora and start the launcher again.",
        L"Updated %s of %s files; could not replace the rest: %s. Close Velmora and start the launcher again.",
        common::FormatCount(replaced), common::FormatCount(count), pool.failure().text);
  } else {
    text = common::TrN(count,
                       L"Updated %s of %s file; could not replace %s: %s. Close Velmora and start the launcher again.",
                       L"Updated %s of %s files; could not replace %s: %s. Close Velmora and start the launcher again.",
                       common::FormatCount(replaced), common::FormatCount(count), failed, why);
  }
  common::Log(L"%zu of %zu files replaced", replaced, p.changed.size());
  return false;
}

std::vector<std::wstring> RemoveDropped(const Placement& p) {
  std::vector<std::wstring> left;
  for (const std::wstring& path : p.dropped != nullptr ? *p.dropped : std::vector<std::wstring>()) {
    if (p.game.Delete(path)) {
      common::Log(L"removed %s: the release no longer has it", path);
    } else {
      common::Log(L"could not remove %s (win32 %lu)", path, GetLastError());
      left.push_back(path);
    }
  }
  return left;
}

}  // namespace update
