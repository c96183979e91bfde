#include "net/https_get.h"

#include <algorithm>

#include "common/texts.h"
#include "net/session.h"

namespace net {
namespace {

// A sink that hands each chunk to a function.
class FunctionSink : public Sink {
 public:
  explicit FunctionSink(const BodySink& fn) : fn_(fn) {}
  bool Take(const unsigned char* data, size_t size, common::Error& error) override {
    std::wstring text;
    if (fn_(data, size, text)) return true;
    error.Set(common::ErrorKind::kInternal, text);
    return false;
  }

 private:
  const BodySink& fn_;
};

bool GetWith(const std::wstring& url, Sink* sink, uint64_t max_body, Scheme scheme, const ProgressFn& progress,
             common::Error& error) {
  Session session;
  Request request;
  request.url = url;
  request.scheme = scheme;
  request.sink = sink;
  request.progress = progress;
  request.max_body = max_body;
  Response response;
  return session.Get(request, response, error);
}

}  // namespace

bool MemorySink::Take(const unsigned char* data, size_t size, common::Error& error) {
  if (body_.size() + size > max_body_) {
    error.Set(common::ErrorKind::kTooLarge, common::Tr(L"the download is too large"));
    return false;
  }
  // Grown by hand so that the capacity, not only the size, stays within
  // the bound: doubling past it could ask a 32-bit process for one block
  // of twice the bound.
  if (body_.capacity() < body_.size() + size) {
    body_.reserve(static_cast<size_t>(
        std::min<uint64_t>(max_body_, std::max<uint64_t>(body_.size() + size, body_.capacity() * 2))));
  }
  body_.insert(body_.end(), data, data + size);
  return true;
}

bool HttpsGet(const std::wstring& url, std::vector<unsigned char>& body, common::Error& error, Scheme scheme,
              const ProgressFn& progress, uint64_t max_body) {
  body.clear();
  MemorySink sink(body, max_body);
  // The sink decides where a body is too long.
  return GetWith(url, &sink, UINT64_MAX, scheme, progress, error);
}

bool HttpsGet(const std::wstring& url, std::vector<unsigned char>& body, std::wstring& error, Scheme scheme,
              const ProgressFn& progress, uint64_t max_body) {
  common::Error failure;
  if (HttpsGet(url, body, failure, scheme, progress, max_body)) return true;
  error = failure.text;
  return false;
}

bool HttpsGetStream(const std::wstring& url, const BodySink& sink, std::wstring& error, Scheme scheme,
                    const ProgressFn& progress) {
  FunctionSink adapter(sink);
  common::Error failure;
  if (GetWith(url, &adapter, UINT64_MAX, scheme, progress, failure)) return true;
  error = failure.text;
  return false;
}

}  // namespace net
