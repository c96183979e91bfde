#include "net/session.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cwchar>
#include <memory>

#include "common/format.h"
#include "common/log.h"
#include "common/unique_handle.h"
#include "velmora_version.h"

namespace net {
namespace {

using common::FormatWin32Error;

struct InternetTraits {
  using Handle = HINTERNET;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { WinHttpCloseHandle(h); }
};
using UniqueInternet = common::UniqueHandle<InternetTraits>;

const wchar_t kUserAgent[] = L"velmoramp-launcher/" VELMORA_VERSION_WTEXT;
constexpr DWORD kReadBufferBytes = 65536;
// An error answer's body is read (up to this much) and dropped, so that its
// connection can serve the next request.
constexpr uint64_t kMaxDrainBytes = 65536;

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
    case ERROR_WINHTTP_OPERATION_CANCELLED: return true;
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

void Fail(Response& response, Failure failure) { response.failure = failure; }

}  // namespace

bool IsTransientStatus(unsigned long status) {
  return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

Session::Session() {
  session_ =
      WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (session_ == nullptr) return;
  WinHttpSetTimeouts(session_, 10000, 15000, 30000, 30000);
  // Parallel transfers each keep a connection of their own to the host.
  DWORD connections = 16;
  WinHttpSetOption(session_, WINHTTP_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof connections);
}

Session::~Session() {
  for (auto& entry : connections_) WinHttpCloseHandle(entry.second);
  if (session_ != nullptr) WinHttpCloseHandle(session_);
}

void* Session::Connection(const std::wstring& host, unsigned short port, std::wstring& error) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::wstring key = host + L":" + std::to_wstring(port);
  auto it = connections_.find(key);
  if (it != connections_.end()) return it->second;
  HINTERNET connection = WinHttpConnect(session_, host.c_str(), port, 0);
  if (connection == nullptr) {
    error = FormatWin32Error(L"cannot reach the host");
    return nullptr;
  }
  connections_[key] = connection;
  return connection;
}

bool Session::Get(const Request& request, Response& response, std::wstring& error) {
  response = Response();
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
    const std::wstring malformed = FormatWin32Error(L"malformed url");  // before anything touches the code
    error = HasOtherScheme(request.url) ? L"only https urls are accepted" : malformed;
    Fail(response, Failure::kPermanent);
    return false;
  }
  const bool https = parts.nScheme == INTERNET_SCHEME_HTTPS;
  if (!https && !(request.scheme == Scheme::kHttpAllowed && parts.nScheme == INTERNET_SCHEME_HTTP)) {
    error = L"only https urls are accepted";
    Fail(response, Failure::kPermanent);
    return false;
  }
  if (session_ == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    error = FormatWin32Error(L"cannot open a connection");
    Fail(response, Failure::kPermanent);
    return false;
  }
  HINTERNET connection = static_cast<HINTERNET>(Connection(host, parts.nPort, error));
  if (connection == nullptr) {
    Fail(response, Failure::kTransient);
    return false;
  }

  const DWORD started = GetTickCount();
  ++requests_;
  UniqueInternet handle(WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, https ? WINHTTP_FLAG_SECURE : 0));
  if (!handle) {
    error = FormatWin32Error(L"cannot build the request");
    Fail(response, Failure::kPermanent);
    return false;
  }
  std::wstring headers;
  if (request.offset > 0) {
    headers = L"Range: bytes=" + std::to_wstring(request.offset) + L"-\r\n";
    if (!request.if_range.empty()) headers += L"If-Range: " + request.if_range + L"\r\n";
  }
  if (!WinHttpSendRequest(handle.get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                          headers.empty() ? 0 : static_cast<DWORD>(-1), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(handle.get(), nullptr)) {
    const DWORD code = GetLastError();
    error = FormatWin32Error(L"the download failed");
    Fail(response, IsTransientError(code) ? Failure::kTransient : Failure::kPermanent);
    common::Log(L"fetch %s: %s", request.url.c_str(), error.c_str());
    return false;
  }

  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!WinHttpQueryHeaders(handle.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    error = FormatWin32Error(L"no status line");
    Fail(response, Failure::kTransient);
    return false;
  }
  response.status = status;

  // The announced length, read as text: a game file may be larger than 32
  // bits can say. 0 when the server sent none.
  std::wstring text;
  if (QueryText(handle.get(), WINHTTP_QUERY_CONTENT_LENGTH, text)) ParseWhole(text, response.announced);

  const bool partial = status == 206 && request.offset > 0;
  if (status != 200 && !partial) {
    error = common::FormatWide(128, L"server answered %lu", static_cast<unsigned long>(status));
    if (QueryText(handle.get(), WINHTTP_QUERY_RETRY_AFTER, text)) {
      uint64_t seconds = 0;
      if (ParseWhole(text, seconds)) response.retry_after = static_cast<int>(std::min<uint64_t>(seconds, 86400));
    }
    // A short error body is read and dropped so the connection stays usable.
    if (response.announced <= kMaxDrainBytes) {
      char sink[4096];
      DWORD read = 0;
      uint64_t drained = 0;
      while (drained < kMaxDrainBytes && WinHttpReadData(handle.get(), sink, sizeof sink, &read) && read > 0) {
        drained += read;
      }
    }
    Fail(response, IsTransientStatus(status) ? Failure::kTransient : Failure::kPermanent);
    common::Log(L"fetch %s: status %lu", request.url.c_str(), static_cast<unsigned long>(status));
    return false;
  }
  if (partial) {
    uint64_t start = 0;
    if (!QueryText(handle.get(), WINHTTP_QUERY_CONTENT_RANGE, text) ||
        !ParseContentRange(text, start, response.whole_size) || start != request.offset) {
      error = L"the server answered a part we did not ask for";
      Fail(response, Failure::kPermanent);
      return false;
    }
    response.partial = true;
  } else {
    response.whole_size = response.announced;
  }
  if (QueryText(handle.get(), WINHTTP_QUERY_ETAG, text) && text.rfind(L"W/", 0) != 0) {
    response.validator = text;  // weak tags do not name exact bytes
  } else if (QueryText(handle.get(), WINHTTP_QUERY_LAST_MODIFIED, text)) {
    response.validator = text;
  }
  if (response.announced > request.max_body) {
    error = L"the download is too large";
    Fail(response, Failure::kPermanent);
    return false;
  }

  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kReadBufferBytes]);
  DWORD window_start = GetTickCount();
  uint64_t window_bytes = 0;
  for (;;) {
    if (request.stop != nullptr && request.stop->load()) {
      error = L"the download was stopped";
      Fail(response, Failure::kStopped);
      return false;
    }
    DWORD read = 0;
    if (!WinHttpReadData(handle.get(), buffer.get(), kReadBufferBytes, &read)) {
      error = FormatWin32Error(L"the download was cut short");
      Fail(response, Failure::kTransient);
      common::Log(L"fetch %s: cut short after %llu bytes", request.url.c_str(),
                  static_cast<unsigned long long>(response.received));
      return false;
    }
    if (read == 0) {
      // A connection dropped before the announced end reads as a plain end
      // of data here; only the announced length tells the two apart.
      if (response.received < response.announced) {
        SetLastError(ERROR_WINHTTP_CONNECTION_ERROR);
        error = FormatWin32Error(L"the download was cut short");
        Fail(response, Failure::kTransient);
        common::Log(L"fetch %s: cut short after %llu of %llu bytes", request.url.c_str(),
                    static_cast<unsigned long long>(response.received),
                    static_cast<unsigned long long>(response.announced));
        return false;
      }
      common::Log(L"fetch %s%s: status %lu, %llu bytes in %.2f s", request.url.c_str(),
                  request.offset > 0 ? (partial ? L" (the rest)" : L" (again in full)") : L"",
                  static_cast<unsigned long>(status), static_cast<unsigned long long>(response.received),
                  (GetTickCount() - started) / 1000.0);
      return true;
    }
    if (response.received + read > request.max_body) {
      error = L"the download is too large";
      Fail(response, Failure::kPermanent);
      return false;
    }
    if (request.sink && !request.sink(buffer.get(), read, error)) {
      Fail(response, Failure::kSink);
      return false;
    }
    response.received += read;
    window_bytes += read;
    if (request.progress) request.progress(response.received, response.announced);

    const DWORD elapsed = GetTickCount() - window_start;
    if (request.slow_window_seconds > 0 && elapsed >= request.slow_window_seconds * 1000u) {
      if (window_bytes < uint64_t{request.min_bytes_per_second} * request.slow_window_seconds) {
        error = L"the download is too slow";
        Fail(response, Failure::kTransient);
        return false;
      }
      window_start = GetTickCount();
      window_bytes = 0;
    }
  }
}

}  // namespace net
