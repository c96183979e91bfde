#include "common/file.h"

#include <windows.h>
#include <winternl.h>

#include "common/unique_handle.h"

namespace common {
namespace {

bool WriteAll(HANDLE file, const std::vector<unsigned char>& bytes) {
  DWORD written = 0;
  return bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                           written == bytes.size());
}

}  // namespace

bool DescribeFile(HANDLE file, FileFacts& facts) {
  FILE_BASIC_INFO basic = {};
  FILE_STANDARD_INFO standard = {};
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard)) {
    return false;
  }
  // The number Windows reports as the file index; Win32 has no question
  // for it alone.
  LARGE_INTEGER index = {};
  IO_STATUS_BLOCK io = {};
  if (!NT_SUCCESS(NtQueryInformationFile(file, &io, &index, sizeof index, FileInternalInformation))) return false;
  facts.attributes = basic.FileAttributes;
  facts.links = standard.NumberOfLinks;
  facts.size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
  facts.write_time = static_cast<uint64_t>(basic.LastWriteTime.QuadPart);
  facts.index = static_cast<uint64_t>(index.QuadPart);
  return true;
}

uint64_t FileSize(HANDLE file) {
  LARGE_INTEGER size = {};
  return GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

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
  return file && WriteAll(file.get(), bytes);
}

bool WriteFileAtomically(const std::wstring& path, const std::vector<unsigned char>& bytes) {
  const std::wstring temp = path + L".tmp";
  {
    UniqueFile file(
        CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    if (!WriteAll(file.get(), bytes) || !FlushFileBuffers(file.get())) {
      file.reset();
      DeleteFileW(temp.c_str());
      return false;
    }
  }
  if (!MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = GetLastError();
    DeleteFileW(temp.c_str());
    SetLastError(error);
    return false;
  }
  return true;
}

}  // namespace common
