#include "net/https_get.h"

#include <algorithm>

#include <windows.h>
#include <winhttp.h>

#include <cwchar>
#include <memory>

#include "common/format.h"
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

}  // namespace

bool HttpsGetStream(const std::wstring& url, const BodySink& sink, std::wstring& error, Scheme scheme,
                    const ProgressFn& progress) {
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
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
    // The cracker knows only http and https, so an ftp:// URL fails here;
    // it is still a refused scheme, not a malformed URL.
    const std::wstring malformed = FormatWin32Error(L"malformed url");  // before anything touches the code
    error = HasOtherScheme(url) ? L"only https urls are accepted" : malformed;
    return false;
  }
  const bool https = parts.nScheme == INTERNET_SCHEME_HTTPS;
  if (!https && !(scheme == Scheme::kHttpAllowed && parts.nScheme == INTERNET_SCHEME_HTTP)) {
    error = L"only https urls are accepted";
    return false;
  }

  // Declared in opening order, so they close request, connection, session.
  UniqueInternet session(
      WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) {
    error = FormatWin32Error(L"cannot open a connection");
    return false;
  }
  WinHttpSetTimeouts(session.get(), 10000, 15000, 30000, 30000);
  UniqueInternet connection(WinHttpConnect(session.get(), host, parts.nPort, 0));
  if (!connection) {
    error = FormatWin32Error(L"cannot reach the host");
    return false;
  }
  UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, https ? WINHTTP_FLAG_SECURE : 0));
  if (!request) {
    error = FormatWin32Error(L"cannot build the request");
    return false;
  }
  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    error = FormatWin32Error(L"the download failed");
    return false;
  }

  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    error = FormatWin32Error(L"no status line");
    return false;
  }
  if (status != 200) {
    error = common::FormatWide(128, L"server answered %lu", static_cast<unsigned long>(status));
    return false;
  }

  // The announced length feeds progress; 0 when the server sent none. Read
  // as text, since a streamed game file may be larger than 32 bits can say.
  uint64_t announced = 0;
  wchar_t length_text[32] = {};
  size = sizeof(length_text) - sizeof(wchar_t);
  if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length_text, &size,
                          WINHTTP_NO_HEADER_INDEX)) {
    wchar_t* end = nullptr;
    const unsigned long long value = wcstoull(length_text, &end, 10);
    if (end != length_text && *end == L'\0') announced = value;
  }

  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kReadBufferBytes]);
  uint64_t received = 0;
  for (;;) {
    DWORD read = 0;
    if (!WinHttpReadData(request.get(), buffer.get(), kReadBufferBytes, &read)) {
      error = FormatWin32Error(L"the download was cut short");
      return false;
    }
    if (read == 0) {
      // A connection dropped before the announced end reads as a plain end
      // of data here; only the announced length tells the two apart.
      if (received < announced) {
        SetLastError(ERROR_WINHTTP_CONNECTION_ERROR);
        error = FormatWin32Error(L"the download was cut short");
        return false;
      }
      return true;
    }
    if (!sink(buffer.get(), read, error)) return false;
    received += read;
    if (progress) progress(received, announced);
  }
}

bool HttpsGet(const std::wstring& url, std::vector<unsigned char>& body, std::wstring& error, Scheme scheme,
              const ProgressFn& progress) {
  body.clear();
  const BodySink keep = [&body](const unsigned char* data, size_t size, std::wstring& sink_error) {
    if (body.size() + size > kMaxBodyBytes) {
      sink_error = L"the download is too large";
      return false;
    }
    // Grown by hand so that the capacity, not only the size, stays within
    // the bound: doubling past it could ask a 32-bit process for one block
    // of twice the bound.
    if (body.capacity() < body.size() + size) {
      body.reserve(std::min<size_t>(kMaxBodyBytes, std::max<size_t>(body.size() + size, body.capacity() * 2)));
    }
    body.insert(body.end(), data, data + size);
    return true;
  };
  return HttpsGetStream(url, keep, error, scheme, progress);
}

}  // namespace net
