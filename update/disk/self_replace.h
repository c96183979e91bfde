#pragma once
// Replacing the running launcher with a newer one, and putting things right
// at the next start after a replacement that was cut off.
#include <string>
#include <vector>

namespace update {

// Writes bytes beside the running executable as "<executable>.new" (flushed
// to disk), moves the running executable to "<executable>.old" and the new
// one to its name, and starts it with the same arguments as this run. The
// new launcher can tell it was started so (StartedBySelfUpdate). False when
// any step fails: before the swap nothing has changed, a failed swap puts
// the old executable back, and a failed start leaves the new one in place
// with the old one at .old.
[[nodiscard]] bool ReplaceSelfAndRestart(const std::vector<unsigned char>& bytes);

// At start, before anything else: completes a swap that was cut off (the
// executable missing beside a whole .new) or undoes it (the executable
// missing beside an .old), removes a leftover .new, and deletes the .old
// of an earlier replacement (ignored while the old launcher still runs).
void FinishSelfUpdate();

// Whether a launcher with this digest was downloaded before and did not
// match the description that offered it; such a release does not make
// every start download it again. Remembered in the launcher's data folder.
bool LauncherRefusedBefore(const std::string& sha256);
void RememberRefusedLauncher(const std::string& sha256);

// Whether this process was started by a self-update. The mark is taken
// from the environment so that nothing this launcher starts inherits it.
bool StartedBySelfUpdate();

// The command line of this process without the program: what a restarted
// launcher is given again.
std::wstring ArgumentsOfThisRun();

}  // namespace update
