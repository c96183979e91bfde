#pragma once
// One blocking GET in a session of its own, into memory or through a sink.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/error.h"

namespace net {

// Called after each chunk with (bytes received so far, announced total or 0).
using ProgressFn = std::function<void(uint64_t received, uint64_t total)>;

// Largest body HttpsGet keeps in memory (64 MiB). Descriptions, signatures,
// launchers and server lists are far smaller; a server that never stops
// sending must not exhaust a 32-bit address space.
inline constexpr uint64_t kMaxBodyBytes = 64ull * 1024 * 1024;

// Which URL schemes a fetch accepts. Plain http only where a service
// offers nothing else: the server list.
enum class Scheme { kHttpsOnly, kHttpAllowed };

struct AnswerHeaders;

// Where a body goes as it arrives.
class Sink {
 public:
  virtual ~Sink() = default;
  // Called once the answer's headers are accepted, before its first chunk:
  // a sink that asked for the rest of a file learns whether it gets that
  // or the whole file again. False stops the transfer, as Take.
  virtual bool Begin(const AnswerHeaders& headers, common::Error& error) {
    (void)headers;
    (void)error;
    return true;
  }
  // Called once the request is on its way, while its answer is awaited: a
  // sink may get ready then (make its file) and say in Begin how it went.
  virtual void Sent() {}
  // Takes one chunk. False stops the transfer, with the sink's reason in
  // error (its kind says what it was: a write that failed, too much, ...).
  virtual bool Take(const unsigned char* data, size_t size, common::Error& error) = 0;
};

// Keeps a body in memory, refusing one beyond max_body with "the download
// is too large" (kTooLarge); its capacity, too, stays within the bound.
class MemorySink : public Sink {
 public:
  MemorySink(std::vector<unsigned char>& body, uint64_t max_body) : body_(body), max_body_(max_body) {}
  bool Take(const unsigned char* data, size_t size, common::Error& error) override;

 private:
  std::vector<unsigned char>& body_;
  uint64_t max_body_;
};

// Fetches url (https; http only with Scheme::kHttpAllowed) into body, in a
// session of its own. True only for a whole body with status 200; otherwise
// false with a lower-case error text ("server answered 404", "the download
// failed (win32 12029)", ...) and its kind. A body that ends before its
// announced length fails with "the download was cut short"; one beyond
// max_body with "the download is too large".
[[nodiscard]] bool HttpsGet(const std::wstring& url, std::vector<unsigned char>& body, common::Error& error,
                            Scheme scheme = Scheme::kHttpsOnly, const ProgressFn& progress = ProgressFn(),
                            uint64_t max_body = kMaxBodyBytes);
// The same with the text alone.
[[nodiscard]] bool HttpsGet(const std::wstring& url, std::vector<unsigned char>& body, std::wstring& error,
                            Scheme scheme = Scheme::kHttpsOnly, const ProgressFn& progress = ProgressFn(),
                            uint64_t max_body = kMaxBodyBytes);

// Receives each chunk of a body as it arrives. Returning false stops the
// transfer; the sink then fills error with its own text.
using BodySink = std::function<bool(const unsigned char* data, size_t size, std::wstring& error)>;

// The same transfer, handing each chunk to sink instead of keeping it, so a
// body of any size passes through one 64 KiB buffer. The sink sees only the
// body of a status-200 answer. Progress runs after the sink took the chunk.
[[nodiscard]] bool HttpsGetStream(const std::wstring& url, const BodySink& sink, std::wstring& error,
                                  Scheme scheme = Scheme::kHttpsOnly, const ProgressFn& progress = ProgressFn());

}  // namespace net
