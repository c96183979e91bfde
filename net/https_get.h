#pragma once
// The launcher's only network code: one blocking GET into memory.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Called after each chunk with (bytes received so far, announced total or 0).
using ProgressFn = std::function<void(uint64_t received, uint64_t total)>;

// Fetches url (https; http only when allow_http) into body. True only for a
// whole body with status 200; otherwise false with a lower-case error text
// ("server answered 404", "the download failed (win32 12029)", ...).
bool HttpsGet(const std::wstring& url, std::vector<unsigned char>& body, std::wstring& error,
              const ProgressFn& progress, bool allow_http);

// "<message> (win32 <last error>)", cut at 255 characters. Call it right
// after the failing platform call.
std::wstring FormatWin32Error(const std::wstring& message);
