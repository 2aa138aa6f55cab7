#include "tarv/detector/rod_foot.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "tarv/board/board_layout.h"
#include "tarv/core/engine_values.h"
#include "tarv/detector/dart_rod.h"

namespace tarv {
namespace {

using json = nlohmann::json;

// The point must lie this many times its own uncertainty from every wire, and never closer
// than the floor: a single camera's tip errs by a few millimetres along its line.
constexpr double kUncertaintiesFromWire = 3.0;
constexpr double kLeastWireMm = 3.0;
// Three planes of one dart meet within this of a common rod; two always meet.
constexpr double kMostRodResidualMm = 1.0;
// A rod tilted further than this from the board normal is no dart standing in the board.
constexpr double kMostRodTiltDeg = 45.0;
// The rod meets the board this close to the point: farther, the planes are not the dart's.
constexpr double kFootAtPointMm = 6.0;
// A camera's own tip this close to the face along the rod sees the point where it entered.
constexpr double kTipAtFaceMm = 4.0;
// A camera's own tip this far up the rod ends where its view of the dart ends (the point
// hidden behind another dart or the barrel): its field is that of a place above the board.
constexpr double kTipUpTheRodMm = 8.0;


// The camera's own tip on the board, when its vote holds one.
std::optional<Point2> ownTip(const json& record) {
  const json& votes = record.value("votes", json::array());
  if (!votes.is_array() || votes.empty()) return std::nullopt;
  const json& vote = votes[0];
  if (vote.value("abstention", true) || !vote.value("tip_valid", false) || !vote.contains("point")) return std::nullopt;
  return pointFromJson(vote["point"]);
}

}  // namespace

json fieldAtRodFoot(const std::array<json, 3>& shaftRecords, const std::array<std::optional<CameraPose>, 3>& poses,
                    Point2 point, double uncertaintyMm) {
  const double wireMm = nearestWireDistance(point);
  if (!(uncertaintyMm > 0.0) || !(wireMm >= std::max(kLeastWireMm, kUncertaintiesFromWire * uncertaintyMm))) {
    return nullptr;
  }
  std::array<RodView, 3> views;
  std::array<bool, 3> withLine{false, false, false};
  for (int i = 0; i < 3; ++i) {
    views[i] = rodViewFromShaft(poses[i], shaftRecords[i]);
    withLine[i] = views[i].pose && views[i].imageLine;
  }
  const std::optional<DartRod> rod = fitDartRod(views, withLine);
  if (!rod || rod->cameras != withLine[0] + withLine[1] + withLine[2] || !(rod->residualMm <= kMostRodResidualMm) ||
      !(rod->tiltDeg <= kMostRodTiltDeg)) {
    return nullptr;
  }
  const Point2 foot{rod->base[0], rod->base[1]};
  const std::string field = nominalField(point);
  if (!(std::hypot(foot.x - point.x, foot.y - point.y) <= kFootAtPointMm) || nominalField(foot) != field) return nullptr;
  json seeing = json::array();
  json hidden = json::array();
  json heights = json::object();
  for (int i = 0; i < 3; ++i) {
    const std::optional<Point2> tip = ownTip(shaftRecords[i]);
    if (!tip) continue;
    const std::optional<double> height = rod->cameraTipHeightMm[i];
    if (!height) return nullptr;  // a tip the rod cannot place may be anywhere
    heights[cameraIds[i]] = roundToThousandths(*height);
    const bool named = nominalField(*tip) == field;
    if (named && std::abs(*height) <= kTipAtFaceMm) {
      seeing.push_back(cameraIds[i]);
    } else if (*height >= kTipUpTheRodMm) {
      hidden.push_back(cameraIds[i]);
    } else if (!named) {
      return nullptr;
    }
  }
  if (seeing.empty()) return nullptr;
  return {{"field", field},
          {"foot", pointToJson(foot)},
          {"tip_heights_mm", heights},
          {"seeing", seeing},
          {"hidden", hidden},
          {"wire_mm", roundToThousandths(wireMm)}};
}

}  // namespace tarv
