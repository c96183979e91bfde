#pragma once
// Putting a staged release in place without leaving the game folder half
// done: what is checked before a byte is downloaded (links, names, space),
// what before the first file is moved (every file that must go free), and
// the move pass itself. Each check gives the player's text, which ends in
// "Nothing was changed." when it refuses.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "update/disk/game_folder.h"
#include "update/run/status.h"
#include "update/trust/manifest.h"

namespace update {

// The files a run writes: indexes into manifest.files; and those it
// removes, files of the release before that this one no longer has.
struct Placement {
  const GameFolder& game;
  const Manifest& manifest;
  const std::vector<size_t>& changed;
  const std::vector<std::wstring>* dropped = nullptr;
};

// Links and hard links among the targets and the folders on their way,
// folders where files go, and paths too long for the file system.
[[nodiscard]] bool CheckTargetsBeforeDownload(const Placement& p, std::wstring& text);

// The bytes still to download and stage (announced sizes less what the
// staging files in ours already hold), plus a small margin, against the
// free space of the game folder's volume.
[[nodiscard]] bool CheckFreeSpace(const Placement& p, const std::set<std::wstring>& ours, std::wstring& text);

// Every existing target and every staging file opened the way the move
// will need it (about 2 s of tries for one another program holds), links
// looked for once more.
[[nodiscard]] bool CheckTargetsBeforeMoving(const Placement& p, std::wstring& text);

// Moves every staging file over its target, several at once, begun in the
// order of the description; moved(k) after each, one call at a time. False
// with the text of a pass that stopped part way ("Updated 3 of 7 files;
// could not replace ...").
[[nodiscard]] bool MoveAll(const Placement& p, const std::function<void(size_t k)>& moved, std::wstring& text);

// Removes the dropped files (each was found free to go before the pass);
// the paths of those that are still there.
std::vector<std::wstring> RemoveDropped(const Placement& p);

// "The game folder holds a link the launcher will not write through: ...".
std::wstring LinkText(const std::wstring& path);

}  // namespace update
