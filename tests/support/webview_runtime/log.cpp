#include <objbase.h>

#include <cstdio>
#include <cstring>

#include "tests/support/webview_runtime/stand_in.h"

namespace stand_in {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size : 0, '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
  return out;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(size > 0 ? size : 0, L'\0');
  if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
  return out;
}

std::wstring EnvironmentValue(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return std::wstring();
  std::wstring value(size, L'\0');
  DWORD got = GetEnvironmentVariableW(name, &value[0], size);
  value.resize(got < size ? got : 0);
  return value;
}

void Log(const std::string& line) {
  std::wstring path = EnvironmentValue(L"VELMORA_WEBVIEW_LOG");
  if (path.empty()) return;
  std::string text;
  for (char c : line) {
    if (c == '\n') {
      text += "\\n";
    } else if (c == '\r') {
      text += "\\r";
    } else {
      text += c;
    }
  }
  text += '\n';
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

void Log(const std::wstring& line) { Log(Utf8(line)); }

std::string Hex(unsigned long value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08lx", value);
  return buffer;
}

bool Fails(const char* step) {
  std::string list = "," + Utf8(EnvironmentValue(L"VELMORA_WEBVIEW_FAIL")) + ",";
  return list.find("," + std::string(step) + ",") != std::string::npos;
}

HRESULT NotImplemented(const char* what) {
  Log(std::string(what) + " not implemented");
  return E_NOTIMPL;
}

LPWSTR CopyForCaller(const std::wstring& text) {
  size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), bytes);
  return copy;
}

HRESULT ViewState::Check(const char* what) const {
  if (GetCurrentThreadId() != thread) {
    // The runtime refuses calls from any thread but the one that made it.
    Log(std::string("WRONG THREAD ") + what);
    return RPC_E_WRONG_THREAD;
  }
  if (closed) {
    Log(std::string(what) + " after Close");
    return HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
  }
  return S_OK;
}

}  // namespace stand_in
