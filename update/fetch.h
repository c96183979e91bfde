#pragma once
// Fetching a whole small body (a description, its signature, a launcher)
// into memory, tried again after a transient failure like a game file.
#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "net/session.h"
#include "update/status.h"

namespace update {

// False with the last try's error (kStopped once the run was asked to stop).
// retries: tries after the first for a transient failure.
[[nodiscard]] bool FetchWhole(net::Session& session, const std::wstring& url, uint64_t max_body,
                              std::vector<unsigned char>& body, const net::ProgressFn& progress, const StatusFn& status,
                              const CancelFlag* cancel, common::Error& error, int retries = 3);

}  // namespace update
