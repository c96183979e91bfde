#pragma once
// Our loader for the web view runtime.

namespace webview {

// Whether a web view runtime is installed: the loader's version query
// answers with a version text.
bool IsRuntimeAvailable();

}  // namespace webview
