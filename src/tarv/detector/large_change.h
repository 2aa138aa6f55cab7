// What a large change in the cameras is: a dart that one camera sees from close by while the
// others see an ordinary dart, or something that is not a dart (a hand, a body, the light).
#pragma once

#include <array>

#include <nlohmann/json.hpp>

#include "tarv/views/camera_analysis.h"

namespace tarv {

struct LargeChange {
  std::array<bool, 3> widespread{};  // more than kLargeChangeFraction of the board region
  std::array<bool, 3> oversized{};   // a change larger than one dart seen across the board
  std::array<bool, 3> dartSized{};   // a change a dart can make, neither of the above
  bool any() const;
  // A dart close to one camera: nothing widespread, at most one camera oversized, and at least
  // one other camera that sees a dart-sized change.
  bool closeDart() const;
  // A dart right in front of one camera (on the board or in the surround) fills that camera's
  // view: exactly one camera widespread, none oversized, and another camera sees a dart-sized
  // change. The dart is decided with the cameras that see it as a dart.
  bool filledOneCamera() const;
  // Only one camera sees anything, and more than a dart seen across the board: a dart in the
  // surround right in front of that camera, or a hand reaching past it.
  bool oversizedInOneCamera() const;
  // Set by the evaluation when the oversized change of the one camera lies where it lay on
  // the triplet before: a hand does not hold still, a dart does; it is decided by that camera.
  bool stillInOneCamera = false;
  // A dart near the rim between two cameras is more than a dart in both (or fills one view
  // and is oversized in the other) while the third sees an ordinary dart: at most one view
  // filled, and some camera sees it as a dart. A hand or a body may look the same while it
  // moves; what holds still is a dart.
  bool mayBeStillDart() const;
  // Set by the evaluation when such a change has lain where it lay on the triplets before.
  bool heldStill = false;
  // The change is not a dart the cameras can measure: large, and none of the above.
  bool notADart() const {
    return any() && !closeDart() && !filledOneCamera() && !(stillInOneCamera && oversizedInOneCamera()) &&
           !(heldStill && mayBeStillDart());
  }
  json toJson() const;
};

LargeChange classifyLargeChange(const std::array<CameraFrameAnalysis, 3>& analyses);

// With one camera filled (alone, or in a change that held still), that camera's view says
// nothing about where the dart is: its dart change is set aside (no dart pixels, an empty
// dart mask), so the others decide.
void setAsideFilledCamera(const LargeChange& change, std::array<CameraFrameAnalysis, 3>& analyses);

}  // namespace tarv
