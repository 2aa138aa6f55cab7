// The dartboard face as a flat picture in board millimetres, and the field of a board point.
// Board frame: millimetres, bull at the origin, x to the right, y downward, the 20 at
// negative y; z = x × y points into the board, so everything in front of it has z < 0.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace tarv::scene {

// Inner bull, outer bull, treble inner/outer, double inner/outer, in millimetres.
constexpr std::array<double, 6> kRingRadii{7.0, 17.0, 97.0, 107.0, 160.0, 170.0};
// Clockwise from the top as seen from the front; sector k is centred on 18·k degrees.
constexpr std::array<int, 20> kSectorOrder{20, 1,  18, 4,  13, 6,  10, 15, 2,  17,
                                           3,  19, 7,  16, 8,  11, 14, 9,  12, 5};
constexpr double kBoardRadius = 225.5;  // the whole board, 451 mm across
constexpr double kWireWidth = 1.0;
constexpr double kNumberRadius = 192.0;

// Face colours (BGR) of a lit board.
struct BoardColours {
  static constexpr std::array<unsigned char, 3> kBlack{28, 28, 30};
  static constexpr std::array<unsigned char, 3> kCream{170, 212, 230};
  static constexpr std::array<unsigned char, 3> kRed{48, 36, 192};
  static constexpr std::array<unsigned char, 3> kGreen{62, 138, 28};
  static constexpr std::array<unsigned char, 3> kWire{200, 202, 206};
  static constexpr std::array<unsigned char, 3> kSurround{20, 20, 22};
  static constexpr std::array<unsigned char, 3> kNumber{222, 224, 226};
  static constexpr std::array<unsigned char, 3> kWall{34, 44, 58};
};

// Angle in degrees, [0, 360), 0 at the 20, clockwise as seen from the front.
double boardAngleDegrees(cv::Point2d point);
// Index into kSectorOrder; a point on a radial boundary belongs to the next sector clockwise.
int sectorIndexAt(cv::Point2d point);
// "BULL" (r < 7), "25" (r < 17), "S20", "T20", "D20" or "MISS"; a point on the outer double
// wire (r = 170) still counts as a double.
std::string fieldLabel(cv::Point2d point);

// The colour of the face at a board point, without number ring or fibre texture: the wall
// beyond the board, wires on every ring and radial boundary, the beds inside.
cv::Vec3b faceColourAt(cv::Point2d point);

// A square picture of the board centred on the bull: pixel (u, v) shows the board point
// (origin_mm + u·mm_per_px, origin_mm + v·mm_per_px).
struct BoardTexture {
  cv::Mat image;  // CV_8UC3
  cv::Mat wire_mask;  // CV_8U, 255 where a wire lies on the face
  double mm_per_px = 0.25;
  double origin_mm = 0.0;
  // > 0: the wires stand this high off the face, as a real board's do, and a camera seen from
  // the side sees them shifted off the beds' edges they lie on; 0: painted flat on the face.
  double wire_height_mm = 0.0;
  // Texture pixel -> board millimetres.
  cv::Matx33d pixelToBoard() const;
};

// Renders the face (edges anti-aliased, sisal fibre noise, white numbers) covering
// [-half_extent_mm, half_extent_mm]^2; beyond the board it shows the flat wall colour.
// How a particular board looks beside the standard one.
struct BoardLook {
  // > 0: every wire casts a shadow this far down and to the right, as from a lamp above left.
  double wire_shadow_mm = 0.0;
  int number_font = 0;  // an OpenCV Hershey font (0: simplex)
  double number_height_mm = 15.0;
  double number_stroke_mm = 2.2;
  // What a board that has hung on a wall for a while does to its rings, beside the ideal one:
  double number_radius_mm = kNumberRadius;  // numbers printed closer to the double ring
  double wire_wear = 0.0;       // 0..1: share of the wires worn dull in patches, down to the beds' grey
  double wire_wobble_mm = 0.0;  // the ring wires (and the beds' edges under them) bent off their circles
  uint64_t wear_seed = 1;       // which patches are worn and how the rings are bent
};

BoardTexture renderBoardTexture(double mm_per_px, double half_extent_mm, const BoardLook& look = {});
// The shared texture at 0.25 mm per pixel, rendered once per process.
const BoardTexture& standardBoardTexture();

}  // namespace tarv::scene
