#include "update/hosts/fetch.h"

#include "common/log.h"
#include "common/texts.h"
#include "update/hosts/transfer.h"

namespace update {

bool FetchWhole(net::Session& session, const std::wstring& url, uint64_t max_body, std::vector<unsigned char>& body,
                const net::ProgressFn& progress, const StatusFn& status, const CancelFlag* cancel, common::Error& error,
                int retries) {
  const std::wstring name = url.substr(url.find_last_of(L'/') + 1);
  for (int attempt = 0;; ++attempt) {
    body.clear();
    net::MemorySink sink(body, max_body);
    net::Request request;
    request.url = url;
    request.max_body = max_body;
    request.stop = cancel;
    request.progress = progress;
    request.sink = &sink;
    net::Response response;
    if (session.Get(request, response, error)) return true;
    if (error.kind != common::ErrorKind::kTransient || attempt >= retries) return false;
    const unsigned long wait = RetryWaitMs(attempt, response.headers.retry_after);
    common::Log(L"retry %d of %s in %lu ms: %s", attempt + 1, url, wait, error.text);
    Say(status, common::TrF(L"Retrying %s in %s: %s", name, common::FormatDuration((wait + 500) / 1000), error.text));
    if (!common::WaitOrStop(wait, cancel)) {
      error.Set(common::ErrorKind::kStopped, StoppedText());
      return false;
    }
  }
}

bool FetchFromMirrors(net::Session& session, MirrorSet& mirrors, const std::wstring& source, uint64_t max_body,
                      std::vector<unsigned char>& body, const net::ProgressFn& progress, const StatusFn& status,
                      const CancelFlag* cancel, const BodyCheck& fits, common::Error& error) {
  MirrorCursor mirror(&mirrors, std::wstring());
  for (;;) {
    if (FetchWhole(session, mirror.Url(source), max_body, body, progress, status, cancel, error)) {
      if (!fits || fits(body)) return true;
      error.Set(common::ErrorKind::kMismatch, L"it is not the one the release names");
    }
    if (error.kind == common::ErrorKind::kStopped || !mirror.FailOver(source, error)) return false;
  }
}

}  // namespace update
