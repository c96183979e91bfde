#include "update/self_replace.h"

#include <windows.h>

#include "app/options.h"

namespace update {

void RemoveOldLauncher() { DeleteFileW((ExePath() + L".old").c_str()); }

}  // namespace update
