#include "tarv/board/host_event.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>

#include "tarv/board/board_layout.h"
#include "tarv/core/board_geometry.h"

namespace tarv {
namespace {

// Host coordinates are fractions of the double ring's outer radius, whatever the radii.
constexpr double kHostCoordinateRadiusMm = 170.0;
// From the third entry on the board is full and the host expects a takeout.
constexpr std::size_t kFullRoundEntries = 3;

struct EventKind {
  const char* status;
  const char* event;
};

const json* member(const json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::optional<EventKind> eventKindOf(const json& reply, std::size_t entryCount) {
  const json* status = member(reply, "status");
  if (status == nullptr || !status->is_string()) return std::nullopt;
  const std::string& code = status->get_ref<const std::string&>();

  if (code == "DART_CANDIDATE" || code == "DART_REFINED") {
    return EventKind{entryCount >= kFullRoundEntries ? "Takeout" : "Throw", "Throw detected"};
  }
  if (code == "EMPTY_RESET") return EventKind{"Throw", "Takeout finished"};
  if (code == "RECOVERY_RESUMED") return EventKind{"Throw", "Board recheck finished"};
  if (code == "DART_REMOVED") return EventKind{"Takeout in progress", "Takeout started"};
  if (code == "READY") {
    const json* armed = member(reply, "armed");
    if (armed != nullptr && armed->is_boolean() && armed->get<bool>()) {
      return EventKind{"Throw", "Started"};
    }
  }
  return std::nullopt;
}

bool flagOf(const json& entry, const char* key) {
  const json* value = member(entry, key);
  return value != nullptr && value->is_boolean() && value->get<bool>();
}

// A label that is missing or not text falls through to the next source.
std::string labelOf(const json& field) {
  for (const char* key : {"selected_field", "nominal_field"}) {
    const json* value = member(field, key);
    if (value != nullptr && value->is_string()) return value->get<std::string>();
  }
  return "";
}

bool isFiniteNumber(const json& value) {
  return value.is_number() && std::isfinite(value.get<double>());
}

std::optional<Point2> boardPointOf(const json& entry) {
  const json* point = member(entry, "board_xy_nominal_mm");
  if (point == nullptr || !point->is_array() || point->size() < 2) return std::nullopt;
  if (!isFiniteNumber((*point)[0]) || !isFiniteNumber((*point)[1])) return std::nullopt;
  return Point2{(*point)[0].get<double>(), (*point)[1].get<double>()};
}

// Element 2 of the record's own ring radii: the inner edge of the treble ring.
std::optional<double> trebleInnerRadiusOf(const json& field) {
  const json* radii = member(field, "ring_radii_mm");
  if (radii == nullptr || radii->is_null()) return BoardLayout::kDefaultRingRadii[2];
  if (!radii->is_array() || radii->size() < 3) return std::nullopt;
  for (std::size_t i = 0; i < 3; ++i) {
    if (!(*radii)[i].is_number()) return std::nullopt;
  }
  return (*radii)[2].get<double>();
}

// Optional sign and at least one digit, nothing else, within int range.
std::optional<int> decimalInteger(const std::string& text) {
  std::size_t pos = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) pos = 1;
  if (pos == text.size()) return std::nullopt;
  long long value = 0;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > static_cast<long long>(std::numeric_limits<int>::max()) + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min()) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

json segment(const std::string& name, int number, int multiplier, const json& bed) {
  return json{{"name", name}, {"number", number}, {"multiplier", multiplier}, {"bed", bed}};
}

json neutralSegment(const std::string& label) { return segment(label, 0, 0, nullptr); }

// The segment of a readable entry, or nothing when the label's number cannot be read.
std::optional<json> segmentOf(const std::string& label, Point2 point, double trebleInnerMm) {
  if (label == "BULL") return segment("D25", 25, 2, "Bullseye");
  if (label == "25") return segment("25", 25, 1, "Single");
  if (label == "MISS") {
    const int sector = sectorOfPoint(point);
    return segment("M" + std::to_string(sector), sector, 0, "Outside");
  }
  if (label.size() < 2) return neutralSegment(label);

  const std::optional<int> number = decimalInteger(label.substr(1));
  if (!number) return std::nullopt;
  switch (label[0]) {
    case 'S': {
      const bool inner = std::hypot(point.x, point.y) < trebleInnerMm;
      return segment(label, *number, 1, inner ? "SingleInner" : "SingleOuter");
    }
    case 'D':
      return segment(label, *number, 2, "Double");
    default:
      return segment(label, *number, 3, "Triple");
  }
}

json coordsOf(Point2 point) {
  return json{{"x", point.x / kHostCoordinateRadiusMm}, {"y", -point.y / kHostCoordinateRadiusMm}};
}

// A malformed entry still gets a throw, so one bad record never hides the rest of the round.
json throwOf(const json& entry) {
  const json* field = member(entry, "field");
  const bool hasField = field != nullptr && field->is_object();
  const std::string label = hasField ? labelOf(*field) : "";
  const std::optional<Point2> point = boardPointOf(entry);
  const std::optional<double> trebleInner =
      hasField ? trebleInnerRadiusOf(*field) : std::optional<double>();

  std::optional<json> seg;
  if (hasField && point && trebleInner) seg = segmentOf(label, *point, *trebleInner);

  return json{{"segment", seg ? *seg : neutralSegment(label)},
              {"coords", coordsOf(point.value_or(Point2{}))},
              {"method", nullptr},
              {"bouncer", flagOf(entry, "bouncer")},
              {"bounceout", flagOf(entry, "bounceout")},
              {"falseTakeout", flagOf(entry, "falseTakeout")}};
}

}  // namespace

json buildHostEvent(const json& reply) {
  const json* entriesValue = member(reply, "entries");
  const json entries =
      entriesValue != nullptr && entriesValue->is_array() ? *entriesValue : json::array();

  const std::optional<EventKind> kind = eventKindOf(reply, entries.size());
  if (!kind) return nullptr;

  json throws = json::array();
  for (const json& entry : entries) throws.push_back(throwOf(entry));

  return json{{"type", "state"},
              {"data",
               {{"status", kind->status},
                {"event", kind->event},
                {"numThrows", throws.size()},
                {"throws", throws}}}};
}

}  // namespace tarv
