// The platform client's own pace, for the update benchmark to compare the
// launcher with: one WinHTTP session, one request, the body read in 64 KiB
// pieces and dropped. Prints "<bytes> bytes in <seconds> s". Usage:
// winhttp-get https://host:port/path
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fwprintf(stderr, L"usage: winhttp-get URL\n");
    return 2;
  }
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  wchar_t host[256] = {}, path[2048] = {};
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 2048;
  if (!WinHttpCrackUrl(argv[1], 0, 0, &parts)) return 2;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  HINTERNET session = WinHttpOpen(L"winhttp-get", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
  HINTERNET connection = session ? WinHttpConnect(session, host, parts.nPort, 0) : nullptr;
  HINTERNET request = connection ? WinHttpOpenRequest(connection, L"GET", path, nullptr, WINHTTP_NO_REFERER,
                                                      WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE)
                                 : nullptr;
  unsigned long long total = 0;
  bool ok = request &&
            WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
            WinHttpReceiveResponse(request, nullptr);
  std::vector<char> buffer(65536);
  while (ok) {
    DWORD got = 0;
    if (!WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) ok = false;
    if (got == 0) break;
    total += got;
  }
  QueryPerformanceCounter(&end);
  for (HINTERNET handle : {request, connection, session}) {
    if (handle) WinHttpCloseHandle(handle);
  }
  if (!ok) {
    std::fwprintf(stderr, L"failed (win32 %lu)\n", GetLastError());
    return 1;
  }
  std::wprintf(L"%llu bytes in %.3f s\n", total,
               static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
  return 0;
}
