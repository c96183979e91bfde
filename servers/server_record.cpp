#include "servers/server_record.h"

namespace servers {

std::wstring ServerAddress(const ServerRecord& record) {
  std::wstring port = L":" + std::to_wstring(record.port);
  if (record.host.find(L':') != std::wstring::npos) return L"[" + record.host + L"]" + port;
  return record.host + port;
}

}  // namespace servers
