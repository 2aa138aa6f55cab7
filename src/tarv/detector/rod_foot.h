// A dart the field chain left open although every camera that sees its point names one field:
// the cameras' planes span its rod, the rod meets the board in that field, and the cameras
// whose own tip lies far up the rod (the point hidden from them behind another dart or the
// barrel) say nothing about the field.
#pragma once

#include <array>
#include <optional>

#include <nlohmann/json.hpp>

#include "tarv/camera/camera_pose.h"
#include "tarv/core/board_geometry.h"

namespace tarv {

// The field of the point, decided from the rod: every camera with a line spans the rod (two
// or more, one dart's within a millimetre); the rod meets the board in the point's field, near
// the point; at least one camera's own tip lies on the rod at the board face in that field, and
// every other camera's own tip names that field or lies far up the rod; the point lies several
// times its own uncertainty (mm) from every wire. shaftRecords as the tip solver read them
// (end-on cameras already left out), poses per camera. Answers
// {"field", "foot", "tip_heights_mm", "seeing", "hidden", "wire_mm"} or null.
nlohmann::json fieldAtRodFoot(const std::array<nlohmann::json, 3>& shaftRecords,
                              const std::array<std::optional<CameraPose>, 3>& poses, Point2 point,
                              double uncertaintyMm);

}  // namespace tarv
