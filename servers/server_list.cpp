#include "servers/server_list.h"

#include <utility>

#include "common/texts.h"
#include "json/parse.h"
#include "servers/clean_text.h"

namespace servers {

namespace {

constexpr int kMaxPlayers = 100000;
constexpr size_t kMaxTags = 5;

int BoundPlayers(int n) { return n < 0 ? 0 : (n > kMaxPlayers ? kMaxPlayers : n); }

std::wstring TextMember(const json::Value& entry, const char* key, size_t limit) {
  return CleanText(entry.Get(key).AsString(std::string()), limit);
}

ServerRecord ReadRecord(const json::Value& entry) {
  ServerRecord r;
  r.name = TextMember(entry, "name", 48);
  r.host = TextMember(entry, "host", 45);
  r.port = entry.Get("port").AsInt(0);
  r.description = TextMember(entry, "description", 160);
  r.language = TextMember(entry, "language", 5);
  r.version = TextMember(entry, "version", 16);
  for (const json::Value& tag : entry.Get("tags").AsArray()) {
    if (r.tags.size() >= kMaxTags) break;
    std::wstring text = CleanText(tag.AsString(std::string()), 16);
    if (!text.empty()) r.tags.push_back(std::move(text));
  }
  r.players = BoundPlayers(entry.Get("players").AsInt(0));
  r.maxPlayers = BoundPlayers(entry.Get("maxPlayers").AsInt(0));
  r.verified = entry.Get("verified").AsBool(false);
  return r;
}

}  // namespace

bool ReadServerList(const std::string& body, std::vector<ServerRecord>& list, std::wstring& error) {
  json::Value root;
  if (!json::Parse(body, root)) {
    error = common::Tr(L"the list answered with something that is not json");
    return false;
  }
  std::vector<ServerRecord> records;
  for (const json::Value& entry : root.Get("servers").AsArray()) {
    if (records.size() >= kMaxRecords) break;
    ServerRecord r = ReadRecord(entry);
    if (r.name.empty() || r.host.empty() || r.port < 1 || r.port > 65535) continue;
    records.push_back(std::move(r));
  }
  list = std::move(records);
  return true;
}

}  // namespace servers
