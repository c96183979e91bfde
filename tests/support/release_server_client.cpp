#include "tests/support/release_server_client.h"

#include <windows.h>

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
