// Prints how long reading a list of 10,000 servers takes: the JSON parse
// alone, the parse with the records read, and (given a URL) the whole
// fetch. Run it through server_list_bench.sh.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "json/parse.h"
#include "servers/server_list.h"

using namespace servers;  // the names under test

namespace {

// A realistic document: every member filled, some escapes, UTF-8 names.
std::string MakeList(int count) {
  std::mt19937 rng(2024);
  static const char* kWords[] = {"Night",
                                 "Harbor",
                                 "Iron",
                                 "Velvet",
                                 "North",
                                 "Br\xC3\xBC"
                                 "cke",
                                 "Ash",
                                 "\\u00c9cho"};
  auto word = [&] { return std::string(kWords[rng() % 8]); };
  std::string text = "{\"servers\":[";
  for (int i = 0; i < count; ++i) {
    if (i) text += ',';
    text += "{\"name\":\"" + word() + " " + word() + " #" + std::to_string(i) + "\",";
    text +=
        "\"host\":\"" + (i % 7 ? "s" + std::to_string(i) + ".example.net" : "2001:db8::" + std::to_string(i)) + "\",";
    text += "\"port\":" + std::to_string(27000 + rng() % 1000) + ",";
    std::string description;
    for (int w = static_cast<int>(rng() % 20); w >= 0; --w) description += word() + " ";
    text += "\"description\":\"" + description + "\",\"language\":\"en\",\"version\":\"1.0.5\",";
    text += "\"tags\":[\"rp\",\"eu\",\"pvp\"],\"players\":" + std::to_string(rng() % 200) +
            ",\"maxPlayers\":128,\"verified\":" + (rng() % 5 ? "false" : "true") + "}";
  }
  return text + "]}";
}

double Milliseconds(const std::function<void()>& work) {
  LARGE_INTEGER frequency, start, stop;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  work();
  QueryPerformanceCounter(&stop);
  return 1000.0 * static_cast<double>(stop.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Report(const char* what, int runs, const std::function<void()>& work, size_t bytes) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) times.push_back(Milliseconds(work));
  std::sort(times.begin(), times.end());
  double median = times[times.size() / 2];
  std::printf("  %-34s median %8.2f ms  min %8.2f ms  (%d runs", what, median, times.front(), runs);
  if (bytes) std::printf(", %.1f MB/s", static_cast<double>(bytes) / 1e6 / (median / 1000.0));
  std::printf(")\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int kServers = 10000;
  const std::string document = MakeList(kServers);
  std::printf("server list benchmark: %d servers, %zu bytes\n", kServers, document.size());

  json::Value root;
  if (!json::Parse(document, root) || root.Get("servers").AsArray().size() != kServers) {
    std::printf("  the generated document did not parse\n");
    return 1;
  }
  Report(
      "json::Parse", 20,
      [&] {
        json::Value v;
        if (!json::Parse(document, v)) std::printf("  not JSON\n");
      },
      document.size());
  std::vector<ServerRecord> list;
  std::wstring error;
  Report(
      "ReadServerList (parse + records)", 20,
      [&] {
        if (!ReadServerList(document, list, error)) std::printf("  not a list\n");
      },
      document.size());
  std::printf("  records read: %zu\n", list.size());

  if (argc > 1) {
    std::wstring url = argv[1];
    bool ok = true;
    Report(
        "FetchServerList (loopback http)", 5, [&] { ok = FetchServerList(url, list, error) && ok; }, 0);
    if (!ok) {
      std::printf("  fetch failed: %ls\n", error.c_str());
      return 1;
    }
    std::printf("  records fetched: %zu\n", list.size());
  }
  return 0;
}
