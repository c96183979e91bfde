#pragma once
// Replacing the running launcher with a newer one, and the clean-up after.
#include <string>
#include <vector>

namespace update {

// Deletes <executable>.old left by an earlier self-replacement; failures
// (no such file, still in use) are ignored.
void RemoveOldLauncher();

}  // namespace update
