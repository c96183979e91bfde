#include "update/trust/manifest_text.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace update {
namespace {

const char kWhitespace[] = " \t\n\v\f\r";
constexpr size_t kMaxPathBytes = 240;

}  // namespace

std::vector<std::string> SplitTokens(const std::string& line) {
  std::vector<std::string> tokens;
  size_t at = line.find_first_not_of(kWhitespace);
  while (at != std::string::npos) {
    size_t end = line.find_first_of(kWhitespace, at);
    tokens.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = line.find_first_not_of(kWhitespace, end);
  }
  return tokens;
}

// "12abc" is not 12, and a value out of range is no number at all.
bool ParseInt32(const std::string& token, int32_t& value) {
  if (token.empty() || token.find_first_not_of("+-0123456789") != std::string::npos) return false;
  errno = 0;
  char* end = nullptr;
  long long parsed = std::strtoll(token.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || end == token.c_str()) return false;
  if (parsed < std::numeric_limits<int32_t>::min() || parsed > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  value = static_cast<int32_t>(parsed);
  return true;
}

// Sizes are unsigned: a "-1" must not wrap round to 2^64 - 1.
bool ParseUint64(const std::string& token, uint64_t& value) {
  size_t digits = !token.empty() && token[0] == '+' ? 1 : 0;
  if (token.size() == digits || token.find_first_not_of("0123456789", digits) != std::string::npos) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(token.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  value = parsed;
  return true;
}

bool ParseSequence(const std::string& token, int64_t& value) {
  if (token.empty() || token.size() > 19 || token[0] == '0' ||
      token.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  uint64_t parsed = 0;
  if (!ParseUint64(token, parsed) || parsed > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return false;
  }
  value = static_cast<int64_t>(parsed);
  return true;
}

bool ParseUtcTime(const std::string& token, int64_t& seconds) {
  // YYYY-MM-DDTHH:MM:SSZ
  static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
  if (token.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < token.size(); ++i) {
    const bool digit = token[i] >= '0' && token[i] <= '9';
    if (kShape[i] == 'd' ? !digit : token[i] != kShape[i]) return false;
  }
  const auto number = [&](size_t at, size_t count) {
    int n = 0;
    for (size_t i = at; i < at + count; ++i) n = n * 10 + (token[i] - '0');
    return n;
  };
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 59) return false;
  if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
  // Days since 1970-01-01 by the civil-calendar count.
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = int64_t{era} * 146097 + doe - 719468;
  seconds = days * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool IsHexDigest(const std::string& digest) {
  return digest.size() == 64 && digest.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(kWhitespace);
  return text.substr(first, last - first + 1);
}

bool IsSafeRelativePath(const std::string& path) {
  if (path.empty() || path.size() > kMaxPathBytes) return false;
  if (path[0] == '/') return false;
  size_t segment_start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      // Also catches "//" and a trailing "/": both leave an empty segment.
      std::string segment = path.substr(segment_start, i - segment_start);
      if (segment.empty() || segment == "." || segment == "..") return false;
      segment_start = i + 1;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (c < 0x20) return false;
    switch (c) {
      case '\\':
      case ':':
      case '"':
      case '<':
      case '>':
      case '|':
      case '*':
      case '?': return false;
      default: break;
    }
  }
  return true;
}

}  // namespace update
