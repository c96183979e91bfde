#include "common/file.h"

#include <windows.h>

#include "common/unique_handle.h"

namespace common {

std::vector<unsigned char> ReadWholeFile(const std::wstring& path, uint64_t max_bytes) {
  std::vector<unsigned char> bytes;
  UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return bytes;
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || static_cast<uint64_t>(size.QuadPart) > max_bytes ||
      static_cast<uint64_t>(size.QuadPart) > MAXDWORD) {
    return bytes;
  }
  bytes.resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size()) {
    bytes.clear();
  }
  return bytes;
}

bool WriteWholeFile(const std::wstring& path, const std::vector<unsigned char>& bytes) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  if (bytes.empty()) return true;
  DWORD written = 0;
  const BOOL ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return ok && written == bytes.size();
}

}  // namespace common
