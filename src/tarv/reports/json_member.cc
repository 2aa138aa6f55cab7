#include "tarv/reports/json_member.h"

namespace tarv {

const nlohmann::json& member(const nlohmann::json& object, const char* key) {
  static const nlohmann::json kNull;
  if (!object.is_object()) return kNull;
  const auto found = object.find(key);
  return found == object.end() ? kNull : *found;
}

std::string textMember(const nlohmann::json& object, const char* key, const std::string& fallback) {
  const nlohmann::json& value = member(object, key);
  return value.is_string() ? value.get<std::string>() : fallback;
}

}  // namespace tarv
