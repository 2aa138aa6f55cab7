// Reading optional members of the engine's JSON records without throwing.
#pragma once

#include <cmath>
#include <climits>
#include <cstdint>
#include <optional>
#include <stdexcept>
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

// The number as an integer within low..high when it is one exactly (2.0 counts, 2.5 does not);
// nothing for fractions, numbers out of range and anything that is not a number. Converting
// such numbers directly would be undefined behaviour.
inline std::optional<int64_t> wholeNumberOf(const json& value, int64_t low, int64_t high) {
  int64_t n = 0;
  if (value.is_number_unsigned()) {
    const uint64_t u = value.get<uint64_t>();
    if (u > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    n = static_cast<int64_t>(u);
  } else if (value.is_number_integer()) {
    n = value.get<int64_t>();
  } else if (value.is_number_float()) {
    const double d = value.get<double>();
    // -2^63 <= d < 2^63: exactly the doubles that convert to int64_t.
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || d != std::trunc(d)) {
      return std::nullopt;
    }
    n = static_cast<int64_t>(d);
  } else {
    return std::nullopt;
  }
  if (n < low || n > high) return std::nullopt;
  return n;
}

// "epoch": 0 when absent, else a whole number in the 32-bit range or "INVALID_EPOCH". Every
// engine variant reads it from the host's request this way.
inline int32_t readEpoch(const json& request) {
  const auto it = request.find("epoch");
  if (it == request.end()) return 0;
  const std::optional<int64_t> epoch = wholeNumberOf(*it, INT32_MIN, INT32_MAX);
  if (!epoch) throw std::runtime_error("INVALID_EPOCH");
  return static_cast<int32_t>(*epoch);
}

}  // namespace tarv
