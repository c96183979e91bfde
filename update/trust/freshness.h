#pragma once
// A correctly signed description can still be an old one: served again to
// roll players back to old files, served for ever so that a fix never
// arrives, or another channel's served under this one. The release key
// signs a sequence number that only grows and an expiry time; the launcher
// remembers, per base URL and channel, the highest sequence it installed.
#include <cstdint>
#include <map>
#include <string>

#include "update/run/options.h"
#include "update/trust/manifest.h"

namespace update {

class SequenceMemory {
 public:
  // What the launcher remembers, from <data folder>\sequences.txt; a
  // missing file remembers nothing, and a damaged line is passed over
  // (logged) while the others are kept: it fails closed.
  static SequenceMemory Load();

  // The highest sequence installed from this base URL and channel; 0 when
  // none is known.
  int64_t Highest(const std::wstring& base_url, const std::wstring& channel) const;
  void Raise(const std::wstring& base_url, const std::wstring& channel, int64_t sequence);

  // Writes the file in one step; false with a lower-case reason.
  [[nodiscard]] bool Save(std::wstring& error) const;

  // Raises what is remembered for this base URL and channel, in the file
  // itself: under a lock of its own, the file is read again and written
  // back, so runs of other game folders or other launchers at the same time
  // raise the memory, never lower it. False with a lower-case reason.
  [[nodiscard]] static bool Remember(const std::wstring& base_url, const std::wstring& channel, int64_t sequence,
                                     std::wstring& error);

  // Forgets every channel of this base URL, in the file itself under the
  // same lock: after the release keys were rotated, a sequence that a
  // stolen key published must not lock players out. The root version
  // remembered for it stays.
  [[nodiscard]] static bool ForgetBase(const std::wstring& base_url, std::wstring& error);

  // The highest root version trusted for a base URL (1: only the built-in
  // key), kept beside the sequences so that a kept root that is damaged
  // or deleted cannot make the launcher cross a key rotation again as if
  // it were new.
  int64_t HighestRoot(const std::wstring& base_url) const;
  [[nodiscard]] static bool RememberRoot(const std::wstring& base_url, int64_t version, std::wstring& error);

 private:
  std::wstring file_;
  std::map<std::pair<std::wstring, std::wstring>, int64_t> highest_;
};

// Whether a parsed description may be used by a run of these options at
// this time (seconds since 1970, UTC). False with the user-facing text:
// another channel's description (when it carries a sequence), one older
// than the remembered sequence (or without one where sequences were seen),
// or one that has expired.
[[nodiscard]] bool CheckFreshness(const Manifest& manifest, const Options& options, const SequenceMemory& memory,
                                  int64_t now_seconds, std::wstring& error);

// Seconds since 1970, UTC, by the system clock.
int64_t UtcNowSeconds();

// "YYYY-MM-DD HH:MM:SS UTC" of a time in seconds since 1970.
std::wstring FormatUtc(int64_t seconds);
// The same as a description writes it: "YYYY-MM-DDTHH:MM:SSZ".
std::wstring FormatUtcToken(int64_t seconds);

}  // namespace update
