#pragma once
// The hosts one run may fetch a release from: the base URL, then mirrors.
// Every copy is checked against the signed description, so a mirror needs
// no trust of its own; one that keeps failing is passed over for the rest
// of the run. Shared by the run's transfers (thread-safe).
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "common/error.h"
#include "update/run/options.h"

namespace update {

class MirrorSet {
 public:
  // bases: base URLs without a trailing "/", the first the one a request
  // starts on (the one that served the description).
  explicit MirrorSet(std::vector<std::wstring> bases);
  MirrorSet(const MirrorSet&) = delete;
  MirrorSet& operator=(const MirrorSet&) = delete;

  size_t size() const { return bases_.size(); }
  const std::wstring& base(size_t i) const { return bases_[i]; }
  // host[:port] of mirror i, for the log and the status.
  std::wstring Host(size_t i) const;

  // A request failed on mirror i for a reason another mirror may not have.
  // A mirror that failed three requests is not asked again in this run.
  void Failed(size_t i);
  bool Usable(size_t i) const;
  // The next usable mirror after `from`, going round; npos when there is
  // no other.
  size_t Next(size_t from) const;

 private:
  std::vector<std::wstring> bases_;
  mutable std::mutex lock_;
  std::vector<int> failures_;
};

// Where one file (or chunk, or index) is fetched from: a path relative to
// a base URL, tried on the mirrors in turn. Used by one thread at a time.
class MirrorCursor {
 public:
  MirrorCursor(MirrorSet* mirrors, std::wstring fallback_base);

  std::wstring Url(const std::wstring& source) const;
  std::wstring Host() const;
  // After a failure that another mirror may not have: true when the request
  // moved to a mirror that this round of it has not tried (logged with the
  // reason); false when none is left, and then a new round starts with the
  // next retry. A host left alone after three failures is still asked when
  // every other host refused the file (one still syncing says 404).
  [[nodiscard]] bool FailOver(const std::wstring& what, const common::Error& error);
  // Whether a failure now would move the request to another mirror.
  bool CanMove() const;
  // Whether the last failure, or the round of hosts it ended, met a
  // failure that another try may cure: a busy host is tried again even
  // when the host after it refused outright.
  bool WorthRetrying() const { return worth_retrying_; }
  // On the host that served the description, whose file versions a kept
  // part was noted with.
  bool OnFirst() const { return mirrors_ == nullptr || current_ == 0; }

 private:
  size_t NextUntried(bool left_alone_too) const;
  void StartRound();

  MirrorSet* mirrors_;
  std::wstring fallback_;
  size_t current_ = 0;
  std::vector<char> tried_;  // per mirror: asked in this round
  bool round_transient_ = false;
  bool round_refused_only_ = true;  // every failure of the round was a host refusing the file
  bool worth_retrying_ = false;
};

// Whether a failure is one to take to another mirror: a transient one, a
// refusing status (404: the mirror does not hold the file), bytes that are
// not the described ones.
bool WorthAnotherMirror(const common::Error& error);

// The base URLs a run tries for the description, each once, in order: the
// base URL, the options' mirrors (command line, then launcher.ini) that
// can be one, then those the last verified description of this base URL
// and channel named.
std::vector<std::wstring> CandidateBases(const Options& options);

// Whether a mirror the options name can be a base URL: https, a host, no
// blank or control character. False with what is wrong ("not an https
// URL", "no host", "not a URL").
[[nodiscard]] bool IsUsableMirror(const std::wstring& url, std::wstring& why);

// The mirrors a verified description named, kept in the data folder
// ("mirrors.txt") per base URL and channel for later runs; logged when it
// cannot be written.
void RememberMirrors(const std::wstring& base_url, const std::wstring& channel,
                     const std::vector<std::wstring>& mirrors);
std::vector<std::wstring> RememberedMirrors(const std::wstring& base_url, const std::wstring& channel);

// A base URL as the launcher uses it: without trailing "/".
std::wstring NormalizedBase(std::wstring url);

}  // namespace update
