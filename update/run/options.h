#pragma once
// The one record that governs a run. The launcher builds it at start-up
// (defaults, launcher.ini, command line); the engine and the front-ends read it.
#include <string>
#include <vector>

#include "net/rate_limit.h"

namespace update {

struct Options {
  std::wstring base_url;     // release server root, never ends in "/"
  std::wstring channel;      // one path segment under base_url
  std::wstring game_dir;     // empty: ask the game locator
  std::wstring player_name;  // empty: use the saved name
  std::wstring list_url;     // where the window fetches the server list
  bool launch = true;        // start the game through Steam after updating
  bool check_only = false;   // dry run: count what would change
  bool use_window = true;    // window front-end when the runtime is there
  int connections = 8;       // files downloaded at once, 1 to 16
  int max_speed_kib = 0;     // the whole run's download cap in KiB/s; 0: none
  // When set, the cap the run downloads under instead, which its owner may
  // change while the run goes (the window's setting); it outlives the run.
  net::RateLimit* shared_limit = nullptr;
  bool verify = false;     // hash every file, trusting no record of earlier runs
  bool restarted = false;  // this launcher was started by its own self-update
  bool use_chunks = true;  // build files from chunks where a release offers them
  // More base URLs that serve the same releases, tried after base_url in
  // this order (command line first, then launcher.ini).
  std::vector<std::wstring> mirrors;
  // What the start ignored or changed, and why ("Ignored --chanel: not an
  // option (did you mean --channel?)"): the front-ends say each once.
  std::vector<std::wstring> notices;
};

inline constexpr int kMinConnections = 1;
inline constexpr int kMaxConnections = 16;

}  // namespace update
