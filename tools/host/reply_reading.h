// What a host reads back from tarv_call: the error code, the round's entries, an entry's
// field and board point, and the host event, tolerating replies that lack any of them.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace tarv::host {

using json = nlohmann::json;

// The reply as JSON; text that does not parse becomes {"error":"UNPARSEABLE_REPLY"} and a
// null pointer {"error":"NULL_REPLY"}, so a host loop never throws on a reply.
json parseReply(const char* text);

// The "error" code of a reply, when it has one.
std::optional<std::string> replyError(const json& reply);

// The reply's "entries" when it is an array.
std::optional<json> replyEntries(const json& reply);

// An entry's field label: "field"."selected_field", else "field"."nominal_field", else the
// entry's own "selected_field" / "nominal_field", else a "field" given as text; "" if none.
std::string entryField(const json& entry);

// An entry's "board_xy_nominal_mm" when it is a pair of finite numbers.
std::optional<cv::Point2d> entryPoint(const json& entry);

// One line for a host event document {"type":"state","data":{...}}:
// "Throw detected [Throw, 2 throws: T20 S1]"; "-" for null or a document without data.
std::string hostEventText(const json& state);

}  // namespace tarv::host
