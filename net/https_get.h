#pragma once
// One blocking GET in a session of its own, into memory or through a sink.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace net {

// Called after each chunk with (bytes received so far, announced total or 0).
using ProgressFn = std::function<void(uint64_t received, uint64_t total)>;

// Receives each chunk of a body as it arrives. Returning false stops the
// transfer; the sink then fills error with its own text.
using BodySink = std::function<bool(const unsigned char* data, size_t size, std::wstring& error)>;

// Largest body HttpsGet keeps in memory (64 MiB). Descriptions, signatures,
// launchers and server lists are far smaller; a server that never stops
// sending must not exhaust a 32-bit address space.
inline constexpr uint64_t kMaxBodyBytes = 64ull * 1024 * 1024;

// Which URL schemes a fetch accepts. Plain http only where a service
// offers nothing else: the server list.
enum class Scheme { kHttpsOnly, kHttpAllowed };

// A sink that keeps a body in memory, refusing one beyond max_body with
// "the download is too large"; its capacity, too, stays within the bound.
BodySink KeepBody(std::vector<unsigned char>& body, uint64_t max_body);

// Fetches url (https; http only with Scheme::kHttpAllowed) into body, in a
// session of its own. True only for a
// whole body with status 200; otherwise false with a lower-case error text
// ("server answered 404", "the download failed (win32 12029)", ...). A body
// that ends before its announced length fails with "the download was cut
// short"; one beyond kMaxBodyBytes with "the download is too large".
bool HttpsGet(const std::wstring& url, std::vector<unsigned char>& body, std::wstring& error,
              Scheme scheme = Scheme::kHttpsOnly, const ProgressFn& progress = ProgressFn(),
              uint64_t max_body = kMaxBodyBytes);

// The same transfer, handing each chunk to sink instead of keeping it, so a
// body of any size passes through one 64 KiB buffer. The sink sees only the
// body of a status-200 answer. Progress runs after the sink took the chunk.
bool HttpsGetStream(const std::wstring& url, const BodySink& sink, std::wstring& error,
                    Scheme scheme = Scheme::kHttpsOnly, const ProgressFn& progress = ProgressFn());

}  // namespace net
