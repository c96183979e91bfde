// Prints how fast the chunker cuts: a buffer in memory, and a file read
// from disk in 1 MiB blocks (what a run does with the copy of a file it
// has). Figures only. Usage: chunker-bench [file]
#include <windows.h>

#include <cstdio>
#include <vector>

#include "common/unique_handle.h"
#include "update/content/chunker.h"

namespace {

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<unsigned char> data(256u << 20);
  uint32_t s = 1;
  for (size_t i = 0; i + 4 <= data.size(); i += 4) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    for (int b = 0; b < 4; ++b) data[i + b] = static_cast<unsigned char>(s >> (8 * b));
  }
  LARGE_INTEGER a, b;
  QueryPerformanceCounter(&a);
  const std::vector<uint64_t> ends = update::ChunkEnds(data.data(), data.size());
  QueryPerformanceCounter(&b);
  std::printf("  cutting 256 MiB in memory: %.0f MB/s, %zu chunks (average %.2f MiB)\n",
              data.size() / Seconds(a, b) / 1e6, ends.size(), data.size() / 1048576.0 / ends.size());
  if (argc < 2) return 0;
  common::UniqueFile file(
      CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) {
    std::printf("  cannot open the file\n");
    return 1;
  }
  update::Chunker chunker;
  std::vector<uint64_t> file_ends;
  std::vector<unsigned char> block(1u << 20);
  uint64_t total = 0;
  QueryPerformanceCounter(&a);
  DWORD read = 0;
  while (ReadFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &read, nullptr) && read > 0) {
    chunker.Feed(block.data(), read, file_ends);
    total += read;
  }
  chunker.Finish(file_ends);
  QueryPerformanceCounter(&b);
  std::printf("  cutting a file of %.0f MiB read from disk: %.0f MB/s, %zu chunks\n", total / 1048576.0,
              total / Seconds(a, b) / 1e6, file_ends.size());
  return 0;
}
