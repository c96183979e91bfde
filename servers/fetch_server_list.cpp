#include "servers/server_list.h"

#include "net/https_get.h"

namespace servers {

bool FetchServerList(const std::wstring& url, std::vector<ServerRecord>& list, std::wstring& error) {
  std::vector<unsigned char> body;
  // List services speak plain http; the list is small, so no progress.
  // Over plain http anyone on the way may answer: the body is bounded well
  // below what a 32-bit process can parse.
  if (!net::HttpsGet(url, body, error, net::Scheme::kHttpAllowed, net::ProgressFn(), kMaxListBytes)) return false;
  return ReadServerList(std::string(body.begin(), body.end()), list, error);
}

}  // namespace servers
