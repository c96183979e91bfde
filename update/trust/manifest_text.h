#pragma once
// The byte-level rules of the release description: lines, tokens, numbers,
// digests and the path rule. Pure functions of their UTF-8 input.
#include <cstdint>
#include <string>
#include <vector>

namespace update {

// The text without leading and trailing space, tab, LF, VT, FF and CR.
std::string Trim(const std::string& text);

// The lines of a text, split at each LF (a CR before it stays); a final
// LF ends the last line rather than starting an empty one.
std::vector<std::string> SplitLines(const std::string& text);

// The tokens of a line, split at runs of the same whitespace.
std::vector<std::string> SplitTokens(const std::string& line);

// A whole token as a decimal number (an optional sign, digits only). False,
// value untouched, for anything else or a number out of range.
[[nodiscard]] bool ParseInt32(const std::string& token, int32_t& value);
[[nodiscard]] bool ParseUint64(const std::string& token, uint64_t& value);

// A description's sequence number: decimal digits only, no sign, no
// leading zero, 1 to 2^63 - 1.
[[nodiscard]] bool ParseSequence(const std::string& token, int64_t& value);

// A UTC time written exactly "YYYY-MM-DDTHH:MM:SSZ" that names a real date
// and time (any four-digit year, leap years as the Gregorian calendar counts
// them); seconds since 1970-01-01T00:00:00Z, negative before it.
[[nodiscard]] bool ParseUtcTime(const std::string& token, int64_t& seconds);

// The text with ASCII letters in lower case (digests are compared so).
std::string AsciiLower(std::string text);

// Exactly 64 hexadecimal digits, either case.
bool IsHexDigest(const std::string& digest);

// Whether a path token (raw UTF-8 bytes) names something we may write or
// fetch: 1-240 bytes, relative, no "." or ".." segments, no reserved bytes.
bool IsSafeRelativePath(const std::string& path);

}  // namespace update
