#pragma once
// One HTTP(S) client session that serves many requests: connections are
// kept alive and reused between the requests of a run, from any number of
// threads at once. Requests run asynchronously underneath, so that a stop
// reaches a request wherever it waits, however long the server is silent.
// Each request streams its body to a sink, may ask for the rest of a file
// from an offset, and says what kind of failure it met, so that a caller
// knows whether another try is worth it.
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "common/error.h"
#include "common/stop_signal.h"
#include "common/unique_handle.h"
#include "net/https_get.h"
#include "net/rate_limit.h"

namespace net {

struct Request {
  std::wstring url;
  Scheme scheme = Scheme::kHttpsOnly;
  // Above 0: ask for the body from this byte on (Range), for the version
  // named by if_range (If-Range). A server that sends the whole body
  // instead answers 200 and the response says so.
  uint64_t offset = 0;
  std::wstring if_range;
  // A body (of this answer) longer than this fails, whatever the server
  // announced.
  uint64_t max_body = kMaxBodyBytes;
  Sink* sink = nullptr;  // the body is dropped without one
  ProgressFn progress;   // (bytes of this answer so far, its announced length or 0)
  // Set from another thread: the request ends at once, wherever it waits
  // (for a connection, an answer or the next chunk).
  const common::StopSignal* stop = nullptr;
  // A body that arrives slower than this many bytes a second, measured over
  // this many seconds, fails as transient: a server that trickles bytes
  // must not hold a run for ever.
  uint32_t min_bytes_per_second = 1024;
  uint32_t slow_window_seconds = 30;
  // Above 0: the whole request, its connection included, ends after this
  // many milliseconds ("the server took too long", transient).
  uint32_t deadline_ms = 0;
};

// What the answer's headers said.
struct AnswerHeaders {
  unsigned long status = 0;
  bool partial = false;     // 206: the body starts at the request's offset
  uint64_t announced = 0;   // this answer's Content-Length; 0 when it sent none
  uint64_t whole_size = 0;  // the whole file's size when the answer says it
  // The version of what was sent, for a later If-Range: the ETag when it
  // is a strong one, else the Last-Modified date; empty when neither.
  std::wstring validator;
  int retry_after = -1;  // seconds the server asked to wait, -1 when it did not
};

struct Response {
  AnswerHeaders headers;
  uint64_t received = 0;  // body bytes the sink took
};

class Session {
 public:
  Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // One GET. True for a whole body (200, or 206 to a request with an
  // offset). False with error set: its text is HttpsGet's ("server
  // answered 404", "the download failed (win32 12029)", ...), plus "the
  // download is too slow" and "the download was stopped", or the sink's;
  // its kind is kTransient for what another try may cure, kHttp for a
  // refusing status, kTooLarge, kStopped, kRefused, or the sink's.
  [[nodiscard]] bool Get(const Request& request, Response& response, common::Error& error);

  // How many requests this session has sent (for the log).
  uint64_t requests() const { return requests_.load(); }

  // Every body of this session's requests counts against this cap (which
  // must outlive the session); null: none.
  void SetRateLimit(RateLimit* limit) { rate_limit_ = limit; }
  const RateLimit* rate_limit() const { return rate_limit_; }

 private:
  using UniqueInternet = common::UniqueHandle<HINTERNET, &WinHttpCloseHandle>;
  HINTERNET Connection(const std::wstring& host, INTERNET_PORT port, common::Error& error);

  UniqueInternet session_;
  std::mutex lock_;
  std::map<std::wstring, UniqueInternet> connections_;  // host:port
  std::atomic<uint64_t> requests_{0};
  RateLimit* rate_limit_ = nullptr;
};

// Whether a status is one a server gives when it is busy or broken for a
// moment (408, 429, 500, 502, 503, 504).
bool IsTransientStatus(unsigned long status);

// A failed transfer as a player can act on it: plain words for the common
// failures (a certificate not trusted or not naming the host, a refused
// connection, a name that does not resolve, a time-out) before the
// platform's code, "(win32 N)".
std::wstring TransportFailureText(unsigned long code);

}  // namespace net
