// CJsonObject: builds one JSON object, members in the order they are added,
// for --json output. Values are strings, numbers, booleans, or JSON text built
// elsewhere (nested objects and arrays). Owns its text; one thread.
#ifndef QNVCTL_CJSONOBJECT_H
#define QNVCTL_CJSONOBJECT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qnvctl {

class CJsonObject {
 public:
  CJsonObject() = default;

  // Distinct names rather than overloads: a string literal would otherwise
  // pick the bool overload.
  CJsonObject& String(std::string_view key, std::string_view value);
  CJsonObject& Int(std::string_view key, int64_t value);
  CJsonObject& Uint(std::string_view key, uint64_t value);
  CJsonObject& Number(std::string_view key, double value);
  CJsonObject& Boolean(std::string_view key, bool value);
  CJsonObject& Raw(std::string_view key, std::string_view json);  // already JSON text

  std::string Text() const;  // "{...}" on one line

  static std::string Quote(std::string_view text);  // a JSON string literal
  static std::string Array(const std::vector<std::string>& jsonItems);

 private:
  CJsonObject& Member(std::string_view key, std::string value);
  std::string m_members;
};

}  // namespace qnvctl

#endif  // QNVCTL_CJSONOBJECT_H
