// Reading optional members of the engine's JSON records without throwing.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace tarv {

using json = nlohmann::json;

// True only for a member that is the boolean true.
inline bool flagOf(const json& object, const char* key) {
  if (!object.is_object()) return false;
  const auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

// The member's text, or the empty text when it is missing or not a string.
inline std::string textOf(const json& object, const char* key) {
  if (!object.is_object()) return std::string();
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace tarv
