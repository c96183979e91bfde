#include "servers/server_list.h"

#include "common/timing.h"
#include "net/session.h"

namespace servers {

bool FetchServerList(const std::wstring& url, std::vector<ServerRecord>& list, std::wstring& error,
                     const common::StopSignal* stop) {
  std::vector<unsigned char> body;
  // List services speak plain http; the list is small, so no progress.
  // Over plain http anyone on the way may answer: the body is bounded well
  // below what a 32-bit process can parse, and the whole fetch in time, so
  // that a server dripping a byte now and then holds nothing for long.
  net::MemorySink sink(body, kMaxListBytes);
  net::Request request;
  request.url = url;
  request.scheme = net::Scheme::kHttpAllowed;
  request.sink = &sink;
  request.stop = stop;
  request.deadline_ms = common::CurrentTiming().list_deadline_ms;
  net::Session session;
  net::Response response;
  common::Error failure;
  if (!session.Get(request, response, failure)) {
    error = failure.text;
    return false;
  }
  return ReadServerList(std::string(body.begin(), body.end()), list, error);
}

}  // namespace servers
