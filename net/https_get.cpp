#include "net/https_get.h"

#include <algorithm>

#include "net/session.h"

namespace net {

bool HttpsGetStream(const std::wstring& url, const BodySink& sink, std::wstring& error, Scheme scheme,
                    const ProgressFn& progress) {
  Session session;
  Request request;
  request.url = url;
  request.scheme = scheme;
  request.sink = sink;
  request.progress = progress;
  request.max_body = UINT64_MAX;  // the sink decides where a body is too long
  Response response;
  return session.Get(request, response, error);
}

BodySink KeepBody(std::vector<unsigned char>& body, uint64_t max_body) {
  return [&body, max_body](const unsigned char* data, size_t size, std::wstring& sink_error) {
    if (body.size() + size > max_body) {
      sink_error = L"the download is too large";
      return false;
    }
    // Grown by hand so that the capacity, not only the size, stays within
    // the bound: doubling past it could ask a 32-bit process for one block
    // of twice the bound.
    if (body.capacity() < body.size() + size) {
      body.reserve(static_cast<size_t>(
          std::min<uint64_t>(max_body, std::max<uint64_t>(body.size() + size, body.capacity() * 2))));
    }
    body.insert(body.end(), data, data + size);
    return true;
  };
}

bool HttpsGet(const std::wstring& url, std::vector<unsigned char>& body, std::wstring& error, Scheme scheme,
              const ProgressFn& progress, uint64_t max_body) {
  body.clear();
  return HttpsGetStream(url, KeepBody(body, max_body), error, scheme, progress);
}

}  // namespace net
