#include "json/value.h"

#include <climits>
#include <cmath>

namespace json {

// Never destroyed: a detached worker may still be reading JSON while the
// process runs its exit-time destructors.
const Value& SharedNull() {
  static const Value* null_value = new Value();
  return *null_value;
}

const std::vector<Value>& SharedEmptyArray() {
  static const std::vector<Value>* empty = new std::vector<Value>();
  return *empty;
}

const Value& Value::Get(const std::string& key) const {
  if (kind != Type::kObject || !object) return SharedNull();
  auto it = object->find(key);
  return it == object->end() ? SharedNull() : it->second;
}

const std::vector<Value>& Value::AsArray() const {
  if (kind != Type::kArray || !array) return SharedEmptyArray();
  return *array;
}

bool Value::AsBool(bool fallback) const { return kind == Type::kBool ? boolean : fallback; }

int Value::AsInt(int fallback) const {
  if (kind != Type::kNumber) return fallback;
  // A cast of a double outside int's range is undefined in C++, so the ends
  // are handled here; NaN gets what an x86 truncation gives.
  if (std::isnan(number)) return INT_MIN;
  if (number >= 2147483648.0) return INT_MAX;
  if (number <= -2147483649.0) return INT_MIN;
  return static_cast<int>(number);
}

std::string Value::AsString(const std::string& fallback) const { return kind == Type::kString ? string : fallback; }

}  // namespace json
