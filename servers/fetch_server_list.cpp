#include "servers/server_list.h"

#include "net/https_get.h"

bool FetchServerList(const std::wstring& url, std::vector<ServerRecord>& list, std::wstring& error) {
  std::vector<unsigned char> body;
  // The list service speaks plain http; the list is small, so no progress.
  if (!HttpsGet(url, body, error, ProgressFn(), true)) return false;
  return ReadServerList(std::string(body.begin(), body.end()), list, error);
}
