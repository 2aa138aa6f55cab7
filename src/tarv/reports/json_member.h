// Reading members of result documents that may lack them or not be objects at all.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace tarv {

// The member, or null when the value is not an object or has no such member.
const nlohmann::json& member(const nlohmann::json& object, const char* key);
// The member's text, or the fallback when it is absent or not a string.
std::string textMember(const nlohmann::json& object, const char* key,
                       const std::string& fallback = std::string());

}  // namespace tarv
