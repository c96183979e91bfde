#include "json/parse.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace json {
namespace {

struct Cursor {
  const char* pos;
  const char* end;  // *end is the text's terminating NUL, which strtod relies on
  size_t values_left;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void SkipSpace(Cursor& c) {
  while (c.pos < c.end && IsSpace(*c.pos)) ++c.pos;
}

bool StartsWith(const Cursor& c, const char* word) {
  size_t n = std::strlen(word);
  return static_cast<size_t>(c.end - c.pos) >= n && std::memcmp(c.pos, word, n) == 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendCodeUnit(unsigned c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c >= 0xD800 && c <= 0xDFFF) {
    // Halves of a pair are never combined: each becomes U+FFFD.
    out += "\xEF\xBF\xBD";
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool ParseString(Cursor& c, std::string& out) {
  if (c.pos >= c.end || *c.pos != '"') return false;
  ++c.pos;
  out.clear();
  for (;;) {
    // Plain bytes are copied a run at a time.
    const char* run = c.pos;
    while (c.pos < c.end && *c.pos != '"' && *c.pos != '\\') ++c.pos;
    out.append(run, static_cast<size_t>(c.pos - run));
    if (c.pos >= c.end) return false;
    if (*c.pos++ == '"') return true;
    if (c.pos >= c.end) return false;
    char escape = *c.pos++;
    switch (escape) {
      case '"': out += '"'; break;
      case '/': out += '/'; break;
      case '\\': out += '\\'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        if (c.end - c.pos < 4) return false;
        // Digits are read up to the first non-digit; the four bytes are
        // taken whatever they hold.
        unsigned unit = 0;
        for (int i = 0; i < 4; ++i) {
          int d = HexDigit(c.pos[i]);
          if (d < 0) break;
          unit = unit * 16 + static_cast<unsigned>(d);
        }
        c.pos += 4;
        AppendCodeUnit(unit, out);
        break;
      }
      default: return false;
    }
  }
}

bool ParseValue(Cursor& c, int depth, Value& out);

bool ParseArray(Cursor& c, int depth, Value& out) {
  out.kind = Type::kArray;
  out.array = std::make_shared<std::vector<Value>>();
  SkipSpace(c);
  if (c.pos < c.end && *c.pos == ']') {
    ++c.pos;
    return true;
  }
  for (;;) {
    Value element;
    if (!ParseValue(c, depth + 1, element)) return false;
    out.array->push_back(std::move(element));
    SkipSpace(c);
    if (c.pos >= c.end) return false;
    char next = *c.pos++;
    if (next == ']') return true;
    if (next != ',') return false;
  }
}

bool ParseObject(Cursor& c, int depth, Value& out) {
  out.kind = Type::kObject;
  out.object = std::make_shared<std::map<std::string, Value>>();
  SkipSpace(c);
  if (c.pos < c.end && *c.pos == '}') {
    ++c.pos;
    return true;
  }
  for (;;) {
    std::string key;
    SkipSpace(c);
    if (!ParseString(c, key)) return false;
    SkipSpace(c);
    if (c.pos >= c.end || *c.pos != ':') return false;
    ++c.pos;
    Value member;
    if (!ParseValue(c, depth + 1, member)) return false;
    (*out.object)[std::move(key)] = std::move(member);  // a repeated key: the later value wins
    SkipSpace(c);
    if (c.pos >= c.end) return false;
    char next = *c.pos++;
    if (next == '}') return true;
    if (next != ',') return false;
  }
}

bool ParseValue(Cursor& c, int depth, Value& out) {
  if (depth > kMaxDepth || c.values_left == 0) return false;
  --c.values_left;
  SkipSpace(c);
  if (c.pos >= c.end) return false;
  switch (*c.pos) {
    case '{': ++c.pos; return ParseObject(c, depth, out);
    case '[': ++c.pos; return ParseArray(c, depth, out);
    case '"': out.kind = Type::kString; return ParseString(c, out.string);
    default: break;
  }
  if (StartsWith(c, "true")) {
    out.kind = Type::kBool;
    out.boolean = true;
    c.pos += 4;
    return true;
  }
  if (StartsWith(c, "false")) {
    out.kind = Type::kBool;
    out.boolean = false;
    c.pos += 5;
    return true;
  }
  if (StartsWith(c, "null")) {
    out.kind = Type::kNull;
    c.pos += 4;
    return true;
  }
  // Numbers take strtod's grammar, wider than JSON's (a leading +, hex, inf,
  // nan). It cannot run past the text: it stops at the terminating NUL.
  char* stop = nullptr;
  double number = std::strtod(c.pos, &stop);
  if (stop == c.pos) return false;
  out.kind = Type::kNumber;
  out.number = number;
  c.pos = stop;
  return true;
}

}  // namespace

bool Parse(const std::string& text, Value& out) {
  Cursor c{text.c_str(), text.c_str() + text.size(), text.size() / kBytesPerValue + 64};
  Value value;
  if (!ParseValue(c, 0, value)) return false;
  SkipSpace(c);
  if (c.pos != c.end) return false;
  out = std::move(value);
  return true;
}

}  // namespace json
