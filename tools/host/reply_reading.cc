#include "host/reply_reading.h"

#include <cmath>

namespace tarv::host {
namespace {

const json* member(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> textMember(const json& object, const char* key) {
  const json* value = member(object, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

}  // namespace

json parseReply(const char* text) {
  if (text == nullptr) return json{{"error", "NULL_REPLY"}};
  json reply = json::parse(text, nullptr, false);
  if (reply.is_discarded()) return json{{"error", "UNPARSEABLE_REPLY"}};
  return reply;
}

std::optional<std::string> replyError(const json& reply) {
  const json* error = member(reply, "error");
  if (error == nullptr) return std::nullopt;
  return error->is_string() ? error->get<std::string>() : error->dump();
}

std::optional<json> replyEntries(const json& reply) {
  const json* entries = member(reply, "entries");
  if (entries == nullptr || !entries->is_array()) return std::nullopt;
  return *entries;
}

std::string entryField(const json& entry) {
  const json* field = member(entry, "field");
  if (field != nullptr && field->is_object()) {
    for (const char* key : {"selected_field", "nominal_field"}) {
      if (auto label = textMember(*field, key)) return *label;
    }
  }
  for (const char* key : {"selected_field", "nominal_field"}) {
    if (auto label = textMember(entry, key)) return *label;
  }
  if (field != nullptr && field->is_string()) return field->get<std::string>();
  return "";
}

std::optional<cv::Point2d> entryPoint(const json& entry) {
  const json* point = member(entry, "board_xy_nominal_mm");
  if (point == nullptr || !point->is_array() || point->size() < 2) return std::nullopt;
  const json& x = (*point)[0];
  const json& y = (*point)[1];
  if (!x.is_number() || !y.is_number()) return std::nullopt;
  const cv::Point2d p(x.get<double>(), y.get<double>());
  if (!std::isfinite(p.x) || !std::isfinite(p.y)) return std::nullopt;
  return p;
}

std::string hostEventText(const json& state) {
  const json* data = member(state, "data");
  if (data == nullptr || !data->is_object()) return "-";
  std::string text = textMember(*data, "event").value_or("?");
  text += " [" + textMember(*data, "status").value_or("?");
  const json* count = member(*data, "numThrows");
  if (count != nullptr && count->is_number_integer()) {
    const long n = count->get<long>();
    text += ", " + std::to_string(n) + (n == 1 ? " throw" : " throws");
  }
  const json* throws = member(*data, "throws");
  if (throws != nullptr && throws->is_array() && !throws->empty()) {
    text += ":";
    for (const json& t : *throws) {
      const json* segment = member(t, "segment");
      const std::optional<std::string> name =
          segment != nullptr ? textMember(*segment, "name") : std::nullopt;
      text += " " + (name && !name->empty() ? *name : std::string("?"));
    }
  }
  return text + "]";
}

}  // namespace tarv::host
