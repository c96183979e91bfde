#pragma once
// Fetching a whole small body (a description, its signature, a launcher)
// into memory, tried again after a transient failure like a game file.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/error.h"
#include "net/session.h"
#include "update/hosts/mirrors.h"
#include "update/run/status.h"

namespace update {

// False with the last try's error (kStopped once the run was asked to stop).
// retries: tries after the first for a transient failure.
[[nodiscard]] bool FetchWhole(net::Session& session, const std::wstring& url, uint64_t max_body,
                              std::vector<unsigned char>& body, const net::ProgressFn& progress, const StatusFn& status,
                              const CancelFlag* cancel, common::Error& error, int retries = 3);

// The same from the hosts of a release, from the first on: source below
// each base URL, moving to the next one when a host fails it or sends a
// body that `fits` refuses (kMismatch, error text says so then).
using BodyCheck = std::function<bool(const std::vector<unsigned char>& body)>;
[[nodiscard]] bool FetchFromMirrors(net::Session& session, MirrorSet& mirrors, const std::wstring& source,
                                    uint64_t max_body, std::vector<unsigned char>& body,
                                    const net::ProgressFn& progress, const StatusFn& status, const CancelFlag* cancel,
                                    const BodyCheck& fits, common::Error& error);

}  // namespace update
