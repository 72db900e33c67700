// MiniJson: a small JSON reader for checking the tool's --json output:
// objects, arrays, strings (with escapes), numbers, true, false, null.
// Parse fails on anything else, including trailing text.
#ifndef QNV_TESTS_QNVCTL_MINIJSON_H
#define QNV_TESTS_QNVCTL_MINIJSON_H

#include <string>
#include <utility>
#include <vector>

namespace qnvtest {

struct JsonValue {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<JsonValue> items;                            // array
  std::vector<std::pair<std::string, JsonValue>> members;  // object, in order

  // The member's value, or null when absent (or not an object).
  const JsonValue* Get(const std::string& key) const;
};

bool ParseJson(const std::string& text, JsonValue& out, std::string& error);

}  // namespace qnvtest

#endif  // QNV_TESTS_QNVCTL_MINIJSON_H
