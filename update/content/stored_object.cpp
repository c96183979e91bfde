#include "update/content/stored_object.h"

#include "common/log.h"
#include "common/stop_signal.h"

namespace update {

using common::Error;
using common::ErrorKind;

ObjectFetch FetchStoredObject(net::Session& session, MirrorSet& mirrors, const std::wstring& source, uint64_t stored,
                              const TransferHooks& hooks, const std::wstring& what,
                              const std::function<std::unique_ptr<ObjectSink>()>& make,
                              std::unique_ptr<ObjectSink>& kept, Error& error, const std::atomic<bool>* abandoned) {
  MirrorCursor mirror(&mirrors, std::wstring());
  int wrong = 0;
  for (int transient = 0;;) {
    if (abandoned != nullptr && abandoned->load()) return ObjectFetch::kAbandoned;
    std::unique_ptr<ObjectSink> sink = make();
    net::Request request;
    request.url = mirror.Url(source);
    request.max_body = stored;
    request.stop = hooks.stop;
    request.sink = sink.get();
    net::Response response;
    error = Error();
    const bool got = session.Get(request, response, error);
    if (got && sink->Whole()) {
      kept = std::move(sink);
      return ObjectFetch::kGot;
    }
    sink->Forget();
    if (error.kind == ErrorKind::kStopped) return ObjectFetch::kStopped;
    if (error.kind == ErrorKind::kNoSpace || error.kind == ErrorKind::kWriteFailed) return ObjectFetch::kFailed;
    if (got) error.Set(ErrorKind::kMismatch, what + L" is not the one its index names");
    if (mirror.FailOver(what, error)) continue;
    if (error.kind == ErrorKind::kMismatch || error.kind == ErrorKind::kTooLarge) {
      if (++wrong < 2) continue;  // once more: a cache may have held a bad copy
      return ObjectFetch::kWrong;
    }
    if (!mirror.WorthRetrying() || transient >= hooks.retries) return ObjectFetch::kUnreachable;
    const unsigned long wait = RetryWaitMs(transient++, response.headers.retry_after);
    common::Log(L"retry %d of %s in %lu ms: %s", transient, what, wait, error.text);
    if (!common::WaitOrStop(wait, hooks.stop)) return ObjectFetch::kStopped;
  }
}

}  // namespace update
