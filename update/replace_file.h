#pragma once
// Putting a file into the game folder: staged beside the target as
// "<target>.part", then moved over it, so the target keeps its old content
// or gets the whole new one.
#include <windows.h>

#include <string>
#include <vector>

// <windows.h> maps ReplaceFile to the platform's ReplaceFileW; ours is a
// different function and must keep its own name in every file.
#undef ReplaceFile

namespace update {

// Writes bytes to target through its staging file. False when the staging
// file cannot be written (whatever was written stays) or cannot be moved
// over the target (it is deleted; the target is unchanged).
bool ReplaceFile(const std::wstring& target, const std::vector<unsigned char>& bytes);

// Creates every missing folder on the way to target; existing folders and
// drive prefixes ("D:") are passed over, and failures are left to the write.
void CreateParentFolders(const std::wstring& target);

// Moves a finished staging file over target (replacing it, written through).
// On failure the staging file is deleted and the target is unchanged.
bool MoveStagedFile(const std::wstring& staging, const std::wstring& target);

}  // namespace update
