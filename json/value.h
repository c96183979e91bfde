#pragma once
// A parsed JSON value and the accessors that pick members out of it with a
// fallback for anything missing or of another kind. Strings are UTF-8 bytes.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace json {

enum class Type : int32_t { kNull = 0, kBool = 1, kNumber = 2, kString = 3, kArray = 4, kObject = 5 };

// Every member is present whatever the kind; only the one matching `kind`
// means anything. A default value is null.
class Value {
 public:
  Type kind = Type::kNull;
  bool boolean = false;
  double number = 0.0;
  std::string string;
  std::shared_ptr<std::vector<Value>> array;
  std::shared_ptr<std::map<std::string, Value>> object;

  // The member named key of an object; the shared null value otherwise.
  // The reference lives as long as this value.
  const Value& Get(const std::string& key) const;
  // The elements of an array; the shared empty vector otherwise.
  const std::vector<Value>& AsArray() const;
  bool AsBool(bool fallback) const;
  // A number truncated toward zero; numbers beyond the 32-bit range give
  // its nearest end, not-a-number gives the most negative value.
  int AsInt(int fallback) const;
  std::string AsString(const std::string& fallback) const;
};

// The program's two immutable fallbacks handed out by the accessors.
const Value& SharedNull();
const std::vector<Value>& SharedEmptyArray();

}  // namespace json
