#pragma once
// One HTTP(S) client session that serves many requests: connections are
// kept alive and reused between the requests of a run, from any number of
// threads at once. Each request streams its body to a sink, may ask for the
// rest of a file from an offset, and says whether a failure is worth trying
// again.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "net/https_get.h"

namespace net {

// What kind of failure a request met: worth another try (the connection
// broke, a time-out, a busy server), not (the server refused, the body is
// too long), stopped by the caller, or refused by the sink.
enum class Failure { kNone, kTransient, kPermanent, kStopped, kSink };

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
  BodySink sink;
  ProgressFn progress;  // (bytes of this answer so far, its announced length or 0)
  // Set from another thread: the transfer ends after the chunk at hand.
  const std::atomic<bool>* stop = nullptr;
  // A body that arrives slower than this many bytes a second, measured over
  // this many seconds, fails as transient: a server that trickles bytes
  // must not hold a run for ever.
  uint32_t min_bytes_per_second = 1024;
  uint32_t slow_window_seconds = 30;
};

struct Response {
  unsigned long status = 0;
  bool partial = false;     // 206: the body starts at the request's offset
  uint64_t announced = 0;   // this answer's Content-Length; 0 when it sent none
  uint64_t whole_size = 0;  // the whole file's size when the answer says it
  // The version of what was sent, for a later If-Range: the ETag when it
  // is a strong one, else the Last-Modified date; empty when neither.
  std::wstring validator;
  uint64_t received = 0;  // body bytes the sink took
  int retry_after = -1;   // seconds the server asked to wait, -1 when it did not
  Failure failure = Failure::kNone;
};

class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // One GET. True for a whole body (200, or 206 to a request with an
  // offset). False with a lower-case error text and response.failure set;
  // the texts are HttpsGet's, plus "the download is too slow" and "the
  // download was stopped".
  bool Get(const Request& request, Response& response, std::wstring& error);

  // How many requests this session has sent (for the log).
  uint64_t requests() const { return requests_.load(); }

 private:
  void* Connection(const std::wstring& host, unsigned short port, std::wstring& error);

  void* session_ = nullptr;  // HINTERNET
  std::mutex lock_;
  std::map<std::wstring, void*> connections_;  // host:port -> HINTERNET
  std::atomic<uint64_t> requests_{0};
};

// Whether a status is one a server gives when it is busy or broken for a
// moment (408, 429, 500, 502, 503, 504).
bool IsTransientStatus(unsigned long status);

}  // namespace net
