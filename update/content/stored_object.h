#pragma once
// Fetching one stored object of a chunk store (a chunk of a file, a piece
// of the pack) from the hosts of a release in turn, with the run's retries.
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "common/error.h"
#include "net/session.h"
#include "update/hosts/mirrors.h"
#include "update/hosts/transfer.h"

namespace update {

// What one try writes the body into: it says whether what came is the
// object named, and takes back from the progress what a failed try counted.
class ObjectSink : public net::Sink {
 public:
  virtual bool Whole() = 0;
  virtual void Forget() = 0;
};

enum class ObjectFetch {
  kGot,          // kept holds the sink of the try that brought it
  kStopped,      // the run was stopped
  kAbandoned,    // *abandoned became true
  kWrong,        // it failed its digest twice (a cache may hold one bad copy)
  kUnreachable,  // no host gave it within the retries
  kFailed,       // the sink could not write (the disk is full): error says why
};

// what names the object in the log ("a chunk of maps\a.pak"); make gives a
// new sink for every try.
ObjectFetch FetchStoredObject(net::Session& session, MirrorSet& mirrors, const std::wstring& source, uint64_t stored,
                              const TransferHooks& hooks, const std::wstring& what,
                              const std::function<std::unique_ptr<ObjectSink>()>& make,
                              std::unique_ptr<ObjectSink>& kept, common::Error& error,
                              const std::atomic<bool>* abandoned = nullptr);

}  // namespace update
