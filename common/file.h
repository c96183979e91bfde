#pragma once
// Whole-file reads and writes.
#include <cstdint>
#include <string>
#include <vector>

namespace common {

// The size of an open file; 0 when it cannot be told.
uint64_t FileSize(void* file);

// What the file system says of an open file, short of its volume. Asking
// for the volume (as GetFileInformationByHandle does) goes to a service
// process on some systems and costs milliseconds a file; these questions
// cost microseconds.
struct FileFacts {
  uint32_t attributes = 0;
  uint32_t links = 0;
  uint64_t size = 0;
  uint64_t write_time = 0;  // 100 ns units since 1601, UTC
  uint64_t index = 0;       // the file's number on its volume
};
[[nodiscard]] bool DescribeFile(void* file, FileFacts& facts);

// The whole file, or empty when it cannot be read in full, is empty, or is
// larger than max_bytes.
std::vector<unsigned char> ReadWholeFile(const std::wstring& path, uint64_t max_bytes);

// Creates or truncates path and writes all bytes. False when the file cannot
// be created or not every byte was written.
[[nodiscard]] bool WriteWholeFile(const std::wstring& path, const std::vector<unsigned char>& bytes);

// Replaces path with bytes in one step: the bytes go to "<path>.tmp", are
// flushed to disk, and that file is moved over path, so a crash or a power
// cut leaves the old file or the new one, never a mix or a cut one. False
// (path untouched, the temporary file removed) when any step fails.
[[nodiscard]] bool WriteFileAtomically(const std::wstring& path, const std::vector<unsigned char>& bytes);
[[nodiscard]] inline bool WriteFileAtomically(const std::wstring& path, const std::string& text) {
  return WriteFileAtomically(path, std::vector<unsigned char>(text.begin(), text.end()));
}

}  // namespace common
