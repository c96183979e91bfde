#pragma once
// Putting a file into the game folder: staged beside the target as
// "<target>.part", then moved over it, so the target keeps its old content
// or gets the whole new one.
#include <string>

namespace update {

// Creates every missing folder on the way to target; existing folders and
// drive prefixes ("D:") are passed over, and failures are left to the write.
void CreateParentFolders(const std::wstring& target);

// Moves a finished staging file over target (replacing it, written through).
// On failure the staging file is deleted and the target is unchanged.
bool MoveStagedFile(const std::wstring& staging, const std::wstring& target);

}  // namespace update
