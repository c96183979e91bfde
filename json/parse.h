#pragma once
// The JSON reader: one whole text (UTF-8 bytes) into a json::Value.
#include <string>

#include "json/value.h"

namespace json {

// Values may lie at most this many levels below the top-level value.
constexpr int kMaxDepth = 32;

// A document may hold at most one value per this many bytes of its text
// (and 64 more): whatever its shape, no text makes the reader hold more
// than a small multiple of its own size. Real documents use two to three
// times that many bytes per value.
constexpr size_t kBytesPerValue = 8;

// Parses the whole text as one value, with nothing but white space after
// it. True: out holds the value. False: the text is malformed, nested too
// deeply, holds more values than its size allows, or is followed by other
// bytes; out is untouched. Lenient on
// purpose: numbers are whatever strtod accepts, string bytes are kept as
// they are (no UTF-8 check), and each \u surrogate half becomes U+FFFD.
[[nodiscard]] bool Parse(const std::string& text, Value& out);

}  // namespace json
