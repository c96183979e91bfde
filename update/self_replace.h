#pragma once
// Replacing the running launcher with a newer one, and the clean-up after.
#include <string>
#include <vector>

namespace update {

// Moves the running executable to <executable>.old, writes bytes under its
// name and starts it with the quoted path as its whole command line. False
// when any step fails: before the write nothing has changed, a failed write
// moves the old executable back, and a failed start leaves the new one in
// place with the old one at .old.
bool ReplaceSelfAndRestart(const std::vector<unsigned char>& bytes);

// Deletes <executable>.old left by an earlier self-replacement; failures
// (no such file, still in use) are ignored.
void RemoveOldLauncher();

}  // namespace update
