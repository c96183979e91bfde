#include "tests/support/webview_runtime/json_check.h"

namespace stand_in {
namespace {

class Checker {
 public:
  explicit Checker(const std::wstring& text) : text_(text) {}

  bool Document() {
    Space();
    if (!Value(0)) return false;
    Space();
    return at_ == text_.size();
  }

 private:
  // Deep enough for any host message; bounds the recursion.
  static constexpr int kMaxDepth = 64;

  bool Value(int depth) {
    if (depth > kMaxDepth || at_ >= text_.size()) return false;
    wchar_t c = text_[at_];
    if (c == L'{') return Object(depth);
    if (c == L'[') return Array(depth);
    if (c == L'"') return String();
    if (c == L'-' || (c >= L'0' && c <= L'9')) return Number();
    return Word(L"true") || Word(L"false") || Word(L"null");
  }

  bool Object(int depth) {
    ++at_;
    Space();
    if (Take(L'}')) return true;
    for (;;) {
      Space();
      if (at_ >= text_.size() || text_[at_] != L'"' || !String()) return false;
      Space();
      if (!Take(L':')) return false;
      Space();
      if (!Value(depth + 1)) return false;
      Space();
      if (Take(L'}')) return true;
      if (!Take(L',')) return false;
    }
  }

  bool Array(int depth) {
    ++at_;
    Space();
    if (Take(L']')) return true;
    for (;;) {
      Space();
      if (!Value(depth + 1)) return false;
      Space();
      if (Take(L']')) return true;
      if (!Take(L',')) return false;
    }
  }

  bool String() {
    ++at_;
    while (at_ < text_.size()) {
      wchar_t c = text_[at_++];
      if (c == L'"') return true;
      if (c < 0x20) return false;  // control characters must be escaped
      if (c != L'\\') continue;
      if (at_ >= text_.size()) return false;
      wchar_t e = text_[at_++];
      if (e == L'u') {
        for (int i = 0; i < 4; ++i, ++at_) {
          if (at_ >= text_.size() || !iswxdigit(text_[at_])) return false;
        }
      } else if (std::wstring(L"\"\\/bfnrt").find(e) == std::wstring::npos) {
        return false;
      }
    }
    return false;
  }

  bool Number() {
    Take(L'-');
    if (Take(L'0')) {
    } else if (!Digits()) {
      return false;
    }
    if (Take(L'.') && !Digits()) return false;
    if (Take(L'e') || Take(L'E')) {
      if (!Take(L'+')) Take(L'-');
      if (!Digits()) return false;
    }
    return true;
  }

  bool Digits() {
    size_t start = at_;
    while (at_ < text_.size() && text_[at_] >= L'0' && text_[at_] <= L'9') ++at_;
    return at_ > start;
  }

  bool Word(const wchar_t* word) {
    std::wstring w(word);
    if (text_.compare(at_, w.size(), w) != 0) return false;
    at_ += w.size();
    return true;
  }

  bool Take(wchar_t c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  void Space() {
    while (at_ < text_.size() &&
           (text_[at_] == L' ' || text_[at_] == L'\t' || text_[at_] == L'\n' || text_[at_] == L'\r')) {
      ++at_;
    }
  }

  const std::wstring& text_;
  size_t at_ = 0;
};

}  // namespace

bool IsJson(const std::wstring& text) { return Checker(text).Document(); }

}  // namespace stand_in
