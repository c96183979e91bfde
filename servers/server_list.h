#pragma once
// The server list: the JSON document the list URL answers with, read into
// server records.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/stop_signal.h"
#include "servers/server_record.h"

namespace servers {

// Bounds on what a list may make the launcher hold: the body, and the
// records kept from it (8 MiB is three times a list of 10,000 real servers).
inline constexpr uint64_t kMaxListBytes = 8ull * 1024 * 1024;
inline constexpr size_t kMaxRecords = 20000;
// Reads a list document (UTF-8 bytes, taken as they are: a byte-order mark
// is not removed). True: list is replaced by the records of the "servers"
// array, in order, dropping those without a name, a host or a port in 1 to
// 65535 (a document without such an array gives none), and keeping at most
// kMaxRecords. False: the body is
// not JSON; error says so and list is unchanged.
[[nodiscard]] bool ReadServerList(const std::string& body, std::vector<ServerRecord>& list, std::wstring& error);

// Fetches url (plain http allowed) within the list deadline (common::Timing), connection
// included, and reads the answer as above; stop (which may be null) ends it
// at once. False: error holds the fetcher's or the reader's text and list
// is unchanged.
[[nodiscard]] bool FetchServerList(const std::wstring& url, std::vector<ServerRecord>& list, std::wstring& error,
                                   const common::StopSignal* stop = nullptr);

}  // namespace servers
