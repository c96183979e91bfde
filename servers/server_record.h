#pragma once
// One announced multiplayer server, cleaned and bounded before it reaches
// the page.
#include <string>
#include <vector>

namespace servers {

struct ServerRecord {
  std::wstring name;               // at most 48 UTF-16 units, never empty
  std::wstring host;               // at most 45 units, never empty; an IPv6 address holds ':'
  int port = 0;                    // 1 to 65535
  std::wstring description;        // at most 160 units
  std::wstring language;           // at most 5 units
  std::wstring version;            // at most 16 units
  std::vector<std::wstring> tags;  // at most 5, each 1 to 16 units
  int players = 0;                 // 0 to 100000
  int maxPlayers = 0;              // 0 to 100000, not compared with players
  bool verified = false;
};

// The address shown to the player: "host:port", or "[host]:port" when the
// host holds a ':' (an IPv6 address).
std::wstring ServerAddress(const ServerRecord& record);

}  // namespace servers
