#include "webview/loader.h"

namespace webview {

// No runtime discovery yet: report it absent so the console front-end runs.
bool IsRuntimeAvailable() { return false; }

}  // namespace webview
