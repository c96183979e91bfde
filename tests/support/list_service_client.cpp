#include "tests/support/list_service_client.h"

#include <cstdlib>

#include "net/https_get.h"
#include "tests/support/harness.h"

namespace harness {

int ListServicePort() {
  std::string text = ReadFileBytes(BuildDir() + L"\\list-service.port");
  return std::atoi(text.c_str());
}

int ListRequestsTagged(const std::wstring& tag) {
  std::vector<unsigned char> body;
  std::wstring error;
  if (!net::HttpsGet(ListServiceUrl(L"/count?tag=" + tag), body, error, net::Scheme::kHttpAllowed)) return -1;
  return std::atoi(std::string(body.begin(), body.end()).c_str());
}

std::wstring ListServiceUrl(const std::wstring& path) {
  return L"http://127.0.0.1:" + std::to_wstring(ListServicePort()) + path;
}

std::wstring ListEchoUrl(const std::string& body, int status) {
  // Every byte but letters and digits escaped, so any bytes survive the query.
  static const char kHex[] = "0123456789ABCDEF";
  std::wstring query;
  for (unsigned char c : body) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      query += static_cast<wchar_t>(c);
    } else {
      query += L'%';
      query += static_cast<wchar_t>(kHex[c >> 4]);
      query += static_cast<wchar_t>(kHex[c & 15]);
    }
  }
  return ListServiceUrl(L"/echo?status=" + std::to_wstring(status) + L"&body=" + query);
}

}  // namespace harness
