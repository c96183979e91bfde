#include "tests/support/release_server_client.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <vector>

#include "net/https_get.h"
#include "tests/support/harness.h"

using namespace net;  // the names under test

namespace harness {
namespace {

int ReadPort(const wchar_t* name) {
  const std::string text = ReadFileBytes(BuildDir() + L"\\test-server\\" + name);
  return std::atoi(text.c_str());
}

bool Control(const std::wstring& what, std::string& answer) {
  std::vector<unsigned char> body;
  std::wstring error;
  if (!HttpsGet(ReleaseUrl(L"/_control/" + what), body, error)) {
    answer = Narrow(error);
    return false;
  }
  answer.assign(body.begin(), body.end());
  return true;
}

}  // namespace

int ReleaseServerPort() { return ReadPort(L"https.port"); }
int ReleaseServerHttpPort() { return ReadPort(L"http.port"); }
int ReleaseServerUntrustedPort() { return ReadPort(L"untrusted.port"); }
std::wstring ReleaseServerRoot() { return BuildDir() + L"\\test-server\\root"; }

std::wstring ReleaseUrl(const std::wstring& path) {
  return L"https://localhost:" + std::to_wstring(ReleaseServerPort()) + path;
}

std::wstring MakeReleaseFolder(const std::wstring& tag, std::wstring& folder) {
  static std::atomic<int> counter{0};
  const std::wstring name = tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
  folder = ReleaseServerRoot() + L"\\" + name;
  RemoveTree(folder);
  MakeDirs(folder);
  return name;
}

bool SignRelease(const std::wstring& relative) {
  std::string answer;
  return Control(L"sign/" + relative, answer) && answer == "signed\n";
}

std::string PublishRelease(const std::wstring& folder, const std::wstring& out, const std::wstring& query) {
  std::string answer;
  if (Control(L"publish/" + folder + L"/to/" + out + L"?" + query, answer) && answer == "published\n") return "";
  return answer.empty() ? "publish failed" : answer;
}

std::string DryRunRelease(const std::wstring& folder, const std::wstring& out, const std::wstring& query) {
  std::string answer;
  const std::string head = "dry run\n";
  if (!Control(L"publish/" + folder + L"/to/" + out + L"?" + query + L"&dry-run", answer)) return "";
  return answer.rfind(head, 0) == 0 ? answer.substr(head.size()) : "";
}

bool ServedRequest::chunk() const {
  return path.find("/chunks/") != std::string::npos && path.find("/indexes/") == std::string::npos;
}
bool ServedRequest::whole_file() const { return path.find("/files/") != std::string::npos; }
bool ServedRequest::Names(const std::string& file) const {
  return path.size() > file.size() && path.compare(path.size() - file.size(), file.size(), file) == 0 &&
         path[path.size() - file.size() - 1] == '/';
}

std::vector<ServedRequest> RequestsServed(const std::wstring& prefix) {
  std::vector<ServedRequest> served;
  const std::string log = RequestDetailsFor(prefix);
  for (size_t start = 0; start < log.size();) {
    size_t end = log.find('\n', start);
    if (end == std::string::npos) end = log.size();
    std::vector<std::string> fields;
    for (size_t at = start; at <= end;) {
      const size_t tab = std::min(log.find('\t', at), end);
      fields.push_back(log.substr(at, tab - at));
      at = tab + 1;
    }
    start = end + 1;
    if (fields.size() != 6) continue;
    ServedRequest r;
    r.path = fields[0];
    r.connection = fields[1];
    r.range = fields[2];
    r.if_range = fields[3];
    r.status = std::atoi(fields[4].c_str());
    r.bytes = std::strtoull(fields[5].c_str(), nullptr, 10);
    served.push_back(r);
  }
  return served;
}

std::string RequestsFor(const std::wstring& prefix) {
  std::string answer;
  Control(L"requests/" + prefix, answer);
  return answer;
}

std::string RequestDetailsFor(const std::wstring& prefix) {
  std::string answer;
  Control(L"details/" + prefix, answer);
  return answer;
}

int ConnectionsFor(const std::wstring& prefix) {
  std::string answer;
  return Control(L"connections/" + prefix, answer) ? std::atoi(answer.c_str()) : -1;
}

}  // namespace harness
