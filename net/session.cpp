#include "net/session.h"

#include <algorithm>
#include <cwchar>
#include <memory>

#include "common/format.h"
#include "common/log.h"
#include "common/texts.h"
#include "common/timing.h"
#include "velmora_version.h"

namespace net {
namespace {

using common::Error;
using common::ErrorKind;
using common::FormatWin32Error;

const wchar_t kUserAgent[] = L"velmoramp-launcher/" VELMORA_VERSION_WTEXT;
constexpr DWORD kReadBufferBytes = 65536;
// Bodies of at least this size are read in bigger pieces.
constexpr uint64_t kBigBodyBytes = 4ull * 1024 * 1024;
constexpr DWORD kBigReadBytes = 256 * 1024;
// An error answer's body is read (up to this much, for up to this long) and
// dropped, so that its connection can serve the next request.
constexpr uint64_t kMaxDrainBytes = 65536;
constexpr DWORD kMaxDrainMs = 2000;
// Bytes that arrived are handed on once more keeps the reader waiting this
// long: a slow answer still shows its progress, and its pace is judged.
constexpr DWORD kPieceWaitMs = 100;
// A whole piece that took at most this long shows the data flowing.
constexpr DWORD kFlowingPieceMs = 100;

// Whether url starts with a scheme ("name://") other than http and https.
bool HasOtherScheme(const std::wstring& url) {
  const size_t colon = url.find(L"://");
  if (colon == std::wstring::npos || colon == 0) return false;
  for (size_t i = 0; i < colon; ++i) {
    const wchar_t c = url[i];
    const bool letter = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
    if (!letter && !(i > 0 && ((c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.'))) return false;
  }
  const std::wstring scheme = url.substr(0, colon);
  return _wcsicmp(scheme.c_str(), L"http") != 0 && _wcsicmp(scheme.c_str(), L"https") != 0;
}

// Platform errors of a connection that broke or never came up for a moment.
bool IsTransientError(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case ERROR_WINHTTP_RESEND_REQUEST:
    case ERROR_WINHTTP_OPERATION_CANCELLED:
    // Some WinHTTP builds hand on the socket's own error where Windows says
    // ERROR_WINHTTP_CONNECTION_ERROR: a connection that broke, not a refusal.
    case WSAENOTSOCK:
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAENETRESET:
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAENOBUFS:
    case WSAETIMEDOUT:
    case WSAECONNREFUSED:
    case WSAEHOSTUNREACH: return true;
    default: return false;
  }
}

bool QueryText(HINTERNET request, DWORD what, std::wstring& text) {
  DWORD bytes = 0;
  WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &bytes, WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return false;
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, &value[0], &bytes, WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  value.resize(bytes / sizeof(wchar_t));
  text = value;
  return true;
}

bool ParseWhole(const std::wstring& text, uint64_t& value) {
  if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos || text.size() > 19) return false;
  value = wcstoull(text.c_str(), nullptr, 10);
  return true;
}

// "bytes START-END/TOTAL": the start and, when known, the total.
bool ParseContentRange(const std::wstring& text, uint64_t& start, uint64_t& total) {
  if (text.rfind(L"bytes ", 0) != 0) return false;
  const size_t dash = text.find(L'-', 6);
  const size_t slash = text.find(L'/', 6);
  if (dash == std::wstring::npos || slash == std::wstring::npos || dash > slash) return false;
  if (!ParseWhole(text.substr(6, dash - 6), start)) return false;
  if (!ParseWhole(text.substr(slash + 1), total)) total = 0;
  return true;
}

// Where a request goes.
struct Target {
  bool https = false;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;  // with its query
};

bool ParseTarget(const Request& request, Target& target, Error& error) {
  wchar_t host[256] = {};
  wchar_t path[2048] = {};
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 2048;
  // The query stays part of the request path: asking for the extra info
  // with a length of -1 would split it off.
  parts.dwExtraInfoLength = 0;
  if (!WinHttpCrackUrl(request.url.c_str(), 0, 0, &parts)) {
    // The cracker knows only http and https, so an ftp:// URL fails here;
    // it is still a refused scheme, not a malformed URL.
    const std::wstring malformed = FormatWin32Error(common::Tr(L"malformed url"));  // before anything touches the code
    error.Set(ErrorKind::kRefused,
              HasOtherScheme(request.url) ? std::wstring(common::Tr(L"only https urls are accepted")) : malformed);
    return false;
  }
  target.https = parts.nScheme == INTERNET_SCHEME_HTTPS;
  if (!target.https && !(request.scheme == Scheme::kHttpAllowed && parts.nScheme == INTERNET_SCHEME_HTTP)) {
    error.Set(ErrorKind::kRefused, common::Tr(L"only https urls are accepted"));
    return false;
  }
  target.host = host;
  target.port = parts.nPort;
  target.path = path;
  return true;
}

std::wstring RangeHeaders(const Request& request) {
  if (request.offset == 0) return std::wstring();
  std::wstring headers = L"Range: bytes=" + std::to_wstring(request.offset) + L"-\r\n";
  if (!request.if_range.empty()) headers += L"If-Range: " + request.if_range + L"\r\n";
  return headers;
}

// One request's completions, shared with the platform's callback. The
// caller waits for each step; the platform may still call back after the
// caller gave up (a stopped request), so the record and its read buffers
// live until the request handle has closed.
struct Call {
  std::atomic<int> refs{2};  // the caller's, and the request handle's until it closes
  common::UniqueKernelHandle done{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  DWORD status = 0;  // the completion last seen
  DWORD error = 0;   // with WINHTTP_CALLBACK_STATUS_REQUEST_ERROR
  DWORD bytes = 0;   // with WINHTTP_CALLBACK_STATUS_READ_COMPLETE and _DATA_AVAILABLE
  bool has_deadline = false;
  DWORD deadline = 0;  // tick count by which the whole request ends
  // Where reads land.
  std::unique_ptr<unsigned char[]> buffer;

  void Release() {
    if (--refs == 0) delete this;
  }
};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  Call* call = reinterpret_cast<Call*>(context);
  if (call == nullptr) return;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING: call->Release(); return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: call->error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError; break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE: call->bytes = length; break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: call->bytes = *static_cast<DWORD*>(info); break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: break;
    default: return;
  }
  call->status = status;
  SetEvent(call->done.get());
}

// The platform's own time-outs end every step; this bound only keeps a
// request from waiting for ever should a completion never come.
constexpr DWORD kStepLimitMs = 60000;
// A host that does not connect, or does not answer a request, must not hold
// a run that has other hosts to ask: common::Timing bounds both.

enum class Step { kDone, kFailed, kStopped, kLate, kNotYet };

// Waits for the completion of the step just started. kFailed leaves the
// platform's error as the thread's last error; kLate: the request's own
// deadline passed; kNotYet: patience_ms passed first (the step still runs).
// step_limit: how long the step may take at all (then it failed, timed out).
Step Await(Call& call, const Request& request, DWORD expected, DWORD patience_ms = INFINITE,
           DWORD step_limit = kStepLimitMs) {
  HANDLE handles[2] = {call.done.get(), request.stop != nullptr ? request.stop->event() : nullptr};
  const DWORD count = handles[1] != nullptr ? 2 : 1;
  DWORD limit = std::min(step_limit, patience_ms);
  if (call.has_deadline) {
    const LONG left = static_cast<LONG>(call.deadline - GetTickCount());
    limit = std::min<DWORD>(limit, left > 0 ? static_cast<DWORD>(left) : 0);
  }
  const DWORD waited = WaitForMultipleObjects(count, handles, FALSE, limit);
  if (waited == WAIT_OBJECT_0 + 1 || (request.stop != nullptr && request.stop->load())) return Step::kStopped;
  if (waited == WAIT_TIMEOUT) {
    if (limit == patience_ms) return Step::kNotYet;
    SetLastError(ERROR_WINHTTP_TIMEOUT);
    return call.has_deadline && limit < step_limit ? Step::kLate : Step::kFailed;
  }
  if (waited != WAIT_OBJECT_0) return Step::kFailed;
  if (call.status == expected) return Step::kDone;
  SetLastError(call.status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR ? call.error : ERROR_WINHTTP_INTERNAL_ERROR);
  return Step::kFailed;
}

// A body's bytes as they come. While they come slowly, or before they
// are seen to flow, the wait for more is the platform's worker's: a read
// asked for more than has arrived would wait in this thread, past any stop
// (so it does on some systems), while the question "is there data?" waits
// where a stop reaches it; what is there is then read at once. Once whole
// pieces arrive quickly, pieces are read straight away, which saves a trip
// through the worker for every few kilobytes of a big file. Bytes are handed
// on in pieces of up to the buffer's size, or as they are when more keeps
// the reader waiting for a while.
class BodyReader {
 public:
  BodyReader(HINTERNET handle, Call& call, const Request& request, DWORD size)
      : handle_(handle), call_(call), request_(request), size_(size) {
    call_.buffer.reset(new unsigned char[size]);
  }

  // The next piece: kDone with got bytes (0 at the end of the body), or why
  // there is none.
  Step Next(DWORD& got) {
    const DWORD started = GetTickCount();
    const Step step = flowing_ && !asking_ ? Straight(got) : Asking(got);
    // Quick whole pieces mean the data flows; anything else, that it may not.
    flowing_ = step == Step::kDone && got == size_ && GetTickCount() - started <= kFlowingPieceMs;
    return step;
  }
  const unsigned char* data() const { return call_.buffer.get(); }

 private:
  Step Straight(DWORD& got) {
    if (!WinHttpReadData(handle_, call_.buffer.get(), size_, nullptr)) return Step::kFailed;
    const Step read = Await(call_, request_, WINHTTP_CALLBACK_STATUS_READ_COMPLETE);
    got = read == Step::kDone ? call_.bytes : 0;
    return read;
  }

  Step Asking(DWORD& got) {
    DWORD filled = 0;
    for (;;) {
      if (!asking_) {
        if (!WinHttpQueryDataAvailable(handle_, nullptr)) return Step::kFailed;
        asking_ = true;
      }
      const Step step =
          Await(call_, request_, WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE, filled > 0 ? kPieceWaitMs : INFINITE);
      if (step == Step::kNotYet) break;  // the question stays out for the next piece
      asking_ = false;
      if (step != Step::kDone) return step;
      const DWORD here = call_.bytes;
      if (here == 0) break;
      if (!WinHttpReadData(handle_, call_.buffer.get() + filled, std::min(here, size_ - filled), nullptr)) {
        return Step::kFailed;
      }
      const Step read = Await(call_, request_, WINHTTP_CALLBACK_STATUS_READ_COMPLETE);
      if (read != Step::kDone) return read;
      if (call_.bytes == 0) break;
      filled += call_.bytes;
      if (filled == size_) break;
    }
    got = filled;
    return Step::kDone;
  }

  HINTERNET handle_;
  Call& call_;
  const Request& request_;
  DWORD size_;
  bool asking_ = false;   // a question for more data is out
  bool flowing_ = false;  // whole pieces came quickly: the next is read straight away
};

// An error answer's short body, read and dropped so that the connection
// stays usable; bounded in bytes and in time, since a server that answers
// with an error may also drip its body for ever.
void DrainErrorBody(HINTERNET handle, Call& call, const Request& request, uint64_t announced) {
  if (announced > kMaxDrainBytes) return;
  BodyReader reader(handle, call, request, kReadBufferBytes);
  const DWORD started = GetTickCount();
  uint64_t drained = 0;
  DWORD got = 0;
  while (drained < kMaxDrainBytes && GetTickCount() - started < kMaxDrainMs) {
    if (reader.Next(got) != Step::kDone || got == 0) return;
    drained += got;
  }
}

// The proxy the system names for this user ("proxy.example:8080"), for a
// text; empty when none is named (one found automatically).
std::wstring ProxyName() {
  std::wstring name;
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user = {};
  if (WinHttpGetIEProxyConfigForCurrentUser(&user)) {
    if (user.lpszProxy != nullptr) name = user.lpszProxy;
    for (LPWSTR text : {user.lpszAutoConfigUrl, user.lpszProxy, user.lpszProxyBypass}) {
      if (text != nullptr) GlobalFree(text);
    }
  }
  if (name.empty()) {
    WINHTTP_PROXY_INFO info = {};
    if (WinHttpGetDefaultProxyConfiguration(&info)) {
      if (info.lpszProxy != nullptr) name = info.lpszProxy;
      for (LPWSTR text : {info.lpszProxy, info.lpszProxyBypass}) {
        if (text != nullptr) GlobalFree(text);
      }
    }
  }
  return name;
}

// Reads the answer's headers and decides whether its body is the one asked
// for.
bool ReadAnswer(HINTERNET handle, Call& call, const Request& request, AnswerHeaders& headers, Error& error) {
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                           &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    error.Set(ErrorKind::kTransient, FormatWin32Error(common::Tr(L"no status line")));
    return false;
  }
  headers.status = status;
  // The announced length, read as text: a game file may be larger than 32
  // bits can say. 0 when the server sent none.
  std::wstring text;
  if (QueryText(handle, WINHTTP_QUERY_CONTENT_LENGTH, text)) ParseWhole(text, headers.announced);

  const bool partial = status == 206 && request.offset > 0;
  if (status == 407) {
    // The proxy, not the server, refused: no other try or mirror helps.
    const std::wstring proxy = ProxyName();
    error.Set(ErrorKind::kRefused,
              proxy.empty() ? std::wstring(common::Tr(
                                  L"the proxy of this network asks for a user name and password (407); sign in to it "
                                  L"in Windows' proxy settings, or ask whoever runs your network"))
                            : common::TrF(L"the proxy %s asks for a user name and password (407); sign in to it in "
                                          L"Windows' proxy settings, or ask whoever runs your network",
                                          proxy));
    common::Log(L"fetch %s: the proxy asks for credentials (407)", request.url);
    return false;
  }
  if (status != 200 && !partial) {
    error.Set(IsTransientStatus(status)        ? ErrorKind::kTransient
              : status == 404 || status == 410 ? ErrorKind::kNotFound
                                               : ErrorKind::kHttp,
              common::TrF(L"server answered %lu", status));
    uint64_t seconds = 0;
    if (QueryText(handle, WINHTTP_QUERY_RETRY_AFTER, text) && ParseWhole(text, seconds)) {
      headers.retry_after = static_cast<int>(std::min<uint64_t>(seconds, 86400));
    }
    DrainErrorBody(handle, call, request, headers.announced);
    common::Log(L"fetch %s: status %lu", request.url, status);
    return false;
  }
  if (partial) {
    uint64_t start = 0;
    if (!QueryText(handle, WINHTTP_QUERY_CONTENT_RANGE, text) || !ParseContentRange(text, start, headers.whole_size) ||
        start != request.offset) {
      error.Set(ErrorKind::kRefused, common::Tr(L"the server answered a part we did not ask for"));
      return false;
    }
    headers.partial = true;
  } else {
    headers.whole_size = headers.announced;
  }
  if (QueryText(handle, WINHTTP_QUERY_ETAG, text) && text.rfind(L"W/", 0) != 0) {
    headers.validator = text;  // weak tags do not name exact bytes
  } else if (QueryText(handle, WINHTTP_QUERY_LAST_MODIFIED, text)) {
    headers.validator = text;
  }
  if (headers.announced > request.max_body) {
    error.Set(ErrorKind::kTooLarge, common::Tr(L"the download is too large"));
    return false;
  }
  return true;
}

// Fails a body that arrives slower than the request allows, measured over
// windows of the request's length.
class SlowGuard {
 public:
  explicit SlowGuard(const Request& request) : request_(request), window_start_(GetTickCount()) {}
  bool Passed(uint64_t bytes) {
    if (request_.slow_window_seconds == 0) return true;
    window_bytes_ += bytes;
    if (GetTickCount() - window_start_ < request_.slow_window_seconds * 1000u) return true;
    if (window_bytes_ < uint64_t{request_.min_bytes_per_second} * request_.slow_window_seconds) return false;
    window_start_ = GetTickCount();
    window_bytes_ = 0;
    return true;
  }
  void Forgive(DWORD waited_ms) { window_start_ += waited_ms; }

 private:
  const Request& request_;
  DWORD window_start_;
  uint64_t window_bytes_ = 0;
};

bool CutShort(const Request& request, const Response& response, Error& error) {
  const DWORD code = GetLastError();
  error.Set(ErrorKind::kTransient, code == ERROR_WINHTTP_TIMEOUT
                                       ? TransportFailureText(code)
                                       : FormatWin32Error(common::Tr(L"the download was cut short")));
  if (response.received < response.headers.announced) {
    common::Log(L"fetch %s: cut short after %llu of %llu bytes", request.url, response.received,
                response.headers.announced);
  } else {
    common::Log(L"fetch %s: cut short after %llu bytes", request.url, response.received);
  }
  return false;
}

bool Stopped(Error& error) {
  error.Set(ErrorKind::kStopped, common::Tr(L"the download was stopped"));
  return false;
}

bool Late(const Request& request, Error& error) {
  error.Set(ErrorKind::kTransient, common::Tr(L"the server took too long"));
  common::Log(L"fetch %s: not done within %lu ms", request.url, static_cast<unsigned long>(request.deadline_ms));
  return false;
}

// Hands one chunk on: bounds, sink, progress, pace.
bool Deliver(const Request& request, Response& response, const unsigned char* data, DWORD size, SlowGuard& slow,
             RateLimit* limit, Error& error) {
  if (response.received + size > request.max_body) {
    error.Set(ErrorKind::kTooLarge, common::Tr(L"the download is too large"));
    return false;
  }
  if (request.sink != nullptr && !request.sink->Take(data, size, error)) {
    if (!error.failed()) error.Set(ErrorKind::kInternal, common::Tr(L"the download could not be kept"));
    return false;
  }
  response.received += size;
  if (request.progress) request.progress(response.received, response.headers.announced);
  // Time spent under the cap is the player's choice, not the server's pace.
  if (limit != nullptr) slow.Forgive(limit->Take(size, request.stop));
  if (!slow.Passed(size)) {
    error.Set(ErrorKind::kTransient, common::Tr(L"the download is too slow"));
    return false;
  }
  return true;
}

// The body, piece by piece, into the request's sink.
bool ReadBody(HINTERNET handle, Call& call, const Request& request, Response& response, RateLimit* limit,
              Error& error) {
  // Big bodies in big pieces: fewer trips through the sink and its writes.
  BodyReader reader(handle, call, request,
                    response.headers.announced >= kBigBodyBytes ? kBigReadBytes : kReadBufferBytes);
  SlowGuard slow(request);
  for (;;) {
    DWORD got = 0;
    const Step step = reader.Next(got);
    if (step == Step::kStopped) return Stopped(error);
    if (step == Step::kLate) return Late(request, error);
    if (step != Step::kDone) return CutShort(request, response, error);
    if (got == 0) {
      // A connection dropped before the announced end reads as a plain end
      // of data here; only the announced length tells the two apart.
      if (response.received >= response.headers.announced) return true;
      SetLastError(ERROR_WINHTTP_CONNECTION_ERROR);
      return CutShort(request, response, error);
    }
    if (!Deliver(request, response, reader.data(), got, slow, limit, error)) return false;
  }
}

// The caller's hold on a call.
class CallRef {
 public:
  CallRef() : call_(new Call()) {}
  ~CallRef() { call_->Release(); }
  CallRef(const CallRef&) = delete;
  CallRef& operator=(const CallRef&) = delete;
  Call& operator*() const { return *call_; }
  Call* get() const { return call_; }
  Call* operator->() const { return call_; }

 private:
  Call* call_;
};

// Sends the request and waits for the answer's headers.
bool SendAndReceive(HINTERNET handle, Call& call, const Request& request, Error& error) {
  const std::wstring headers = RangeHeaders(request);
  Step step = Step::kFailed;
  if (WinHttpSendRequest(handle, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                         headers.empty() ? 0 : static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0,
                         reinterpret_cast<DWORD_PTR>(&call))) {
    if (request.sink != nullptr) request.sink->Sent();
    step = Await(call, request, WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE, INFINITE,
                 common::CurrentTiming().connect_limit_ms);
    if (step == Step::kDone) {
      step = WinHttpReceiveResponse(handle, nullptr) ? Await(call, request, WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE,
                                                             INFINITE, common::CurrentTiming().answer_limit_ms)
                                                     : Step::kFailed;
    }
  }
  if (step == Step::kDone) return true;
  if (step == Step::kStopped) return Stopped(error);
  if (step == Step::kLate) return Late(request, error);
  const DWORD code = GetLastError();
  error.Set(IsTransientError(code) ? ErrorKind::kTransient : ErrorKind::kRefused, TransportFailureText(code));
  common::Log(L"fetch %s: %s", request.url, error.text);
  return false;
}

}  // namespace

std::wstring TransportFailureText(unsigned long code) {
  const wchar_t* words = common::Tr(L"the download failed");
  switch (code) {
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
      words = common::Tr(L"the server's certificate does not name this host");
      break;
    case ERROR_WINHTTP_SECURE_INVALID_CA:
      words = common::Tr(L"the server's certificate is not signed by an authority this PC trusts");
      break;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
      words = common::Tr(
          L"no secure connection could be made: the server's certificate is not trusted here or does not name "
          L"this host");
      break;
    case ERROR_WINHTTP_CANNOT_CONNECT:
      words = common::Tr(L"the connection was refused: nothing answers at that address and port");
      break;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      words = common::Tr(L"the server's name does not resolve: check the address");
      break;
    case ERROR_WINHTTP_TIMEOUT: words = common::Tr(L"the server did not answer in time"); break;
    default: break;
  }
  return common::FormatWide(512, L"%s (win32 %lu)", words, code);
}

bool IsTransientStatus(unsigned long status) {
  return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

Session::Session()
    : session_(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC)) {
  if (!session_) return;
  if (WinHttpSetStatusCallback(session_.get(), OnStatus,
                               WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                               0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    session_.reset();  // without completions no request could end
    return;
  }
  WinHttpSetTimeouts(session_.get(), 10000, 10000, 15000, 15000);
  // Parallel transfers each keep a connection of their own to the host.
  DWORD connections = 16;
  WinHttpSetOption(session_.get(), WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof connections);
}

HINTERNET Session::Connection(const std::wstring& host, INTERNET_PORT port, Error& error) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::wstring key = host + L":" + std::to_wstring(port);
  auto it = connections_.find(key);
  if (it != connections_.end()) return it->second.get();
  UniqueInternet connection(WinHttpConnect(session_.get(), host.c_str(), port, 0));
  if (!connection) {
    error.Set(ErrorKind::kTransient, FormatWin32Error(common::Tr(L"cannot reach the host")));
    return nullptr;
  }
  return connections_.emplace(key, std::move(connection)).first->second.get();
}

bool Session::Get(const Request& request, Response& response, Error& error) {
  response = Response();
  error = Error();
  Target target;
  if (!ParseTarget(request, target, error)) return false;
  if (!session_) {
    SetLastError(ERROR_INVALID_HANDLE);
    error.Set(ErrorKind::kRefused, FormatWin32Error(common::Tr(L"cannot open a connection")));
    return false;
  }
  const HINTERNET connection = Connection(target.host, target.port, error);
  if (connection == nullptr) return false;
  if (request.stop != nullptr && request.stop->load()) return Stopped(error);

  const DWORD started = GetTickCount();
  ++requests_;
  CallRef call;
  call->has_deadline = request.deadline_ms > 0;
  call->deadline = started + request.deadline_ms;
  UniqueInternet handle(WinHttpOpenRequest(connection, L"GET", target.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, target.https ? WINHTTP_FLAG_SECURE : 0));
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(call.get());
  if (!handle || !WinHttpSetOption(handle.get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
    error.Set(ErrorKind::kRefused, FormatWin32Error(common::Tr(L"cannot build the request")));
    if (!handle) call->Release();  // no handle will ever close with this call
    return false;
  }
  if (!SendAndReceive(handle.get(), *call, request, error)) return false;
  if (!ReadAnswer(handle.get(), *call, request, response.headers, error)) return false;
  if (request.sink != nullptr && !request.sink->Begin(response.headers, error)) return false;
  if (!ReadBody(handle.get(), *call, request, response, rate_limit_, error)) return false;
  common::Log(L"fetch %s%s: status %lu, %llu bytes in %.2f s", request.url,
              request.offset > 0 ? (response.headers.partial ? L" (the rest)" : L" (again in full)") : L"",
              response.headers.status, response.received, (GetTickCount() - started) / 1000.0);
  return true;
}

}  // namespace net
