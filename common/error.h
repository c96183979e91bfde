#pragma once
// A failure as a value: the kind, which callers branch on, beside the text a
// person reads (lower case, as it follows a prefix such as "Could not reach
// the update server: "). Callers never compare the text.
#include <string>

namespace common {

enum class ErrorKind {
  kNone,
  kTransient,    // worth another try: a connection broke or timed out, a busy server
  kHttp,         // the server refused the request (403, 400, ...)
  kNotFound,     // the server has no such file (404, 410)
  kRefused,      // nothing another try would change: a malformed URL, a scheme we do not speak
  kTooLarge,     // a body beyond its bound
  kMismatch,     // bytes that are not what the release describes
  kStopped,      // the caller asked to stop
  kWriteFailed,  // a file could not be written
  kUnsafePath,   // a link or junction on the way
  kInUse,        // another program holds a file that must be replaced
  kNoSpace,      // the disk is full
  kNoMemory,     // an allocation failed
  kInternal,     // anything else that went wrong inside the launcher
};

struct Error {
  ErrorKind kind = ErrorKind::kNone;
  std::wstring text;

  bool failed() const { return kind != ErrorKind::kNone; }
  void Set(ErrorKind new_kind, std::wstring new_text) {
    kind = new_kind;
    text = std::move(new_text);
  }
};

}  // namespace common
