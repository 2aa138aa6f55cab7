// The solid things in front of the board (darts, a hand) as lists of flat image polygons
// for one camera, ready to be painted far to near.
#pragma once

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "scene/camera_rig.h"

namespace tarv::scene {

// Distances along a dart from its tip, millimetres.
struct DartDimensions {
  static constexpr double kPointEnd = 30.0;    // steel point, 2.2 mm
  static constexpr double kBarrelEnd = 75.0;   // tungsten barrel, 6.8 mm
  static constexpr double kShaftEnd = 120.0;   // black shaft, 4 mm, reaching into the flight
  static constexpr double kFlightStart = 110.0;
  static constexpr double kLength = 150.0;     // end of the flight
  static constexpr double kFlightSpan = 30.0;  // across one pair of wings
};

struct Dart {
  cv::Point2d tip_mm;                    // where the point enters the board (z = 0), or lies above it
  cv::Vec3d direction{0.0, 0.0, -1.0};   // unit, from the tip out toward the thrower (z < 0)
  cv::Scalar flight_colour{200, 90, 20}; // BGR
  double flight_roll_deg = 0.0;          // turn of the flight wings about the dart's axis
  // Point and barrel not drawn: a dart whose front half no camera sees (buried in another
  // dart's flight, behind a wire bracket), so the cameras see only its shaft and flight.
  bool point_hidden = false;
  // A dart held in the air: its tip this far in front of the board face (0 for a dart in it).
  double height_mm = 0.0;

  cv::Point3d tip() const { return {tip_mm.x, tip_mm.y, -height_mm}; }
  cv::Point3d along(double mm) const;    // the axis point mm from the tip
  cv::Point3d flightEnd() const { return along(DartDimensions::kLength); }
};

// A hand reaching for the board: a palm with fingers held `height_mm` in front of the board
// over `centre_mm`, and the forearm running back toward the thrower.
struct Hand {
  cv::Point2d centre_mm{0.0, 0.0};
  double height_mm = 60.0;
  double angle_deg = 0.0;  // finger direction in the board plane, 0 toward the 20, clockwise
  double palm_length_mm = 95.0;
  double palm_width_mm = 85.0;
  double palm_thickness_mm = 32.0;
  cv::Scalar skin{118, 148, 205};  // BGR
  bool with_arm = true;
};

// One flat polygon in pixels, painted in a single colour.
struct Primitive {
  std::vector<cv::Point2d> polygon;  // convex
  cv::Vec3b colour;
  double distance = 0.0;  // from the camera centre; farther ones are painted first
  int owner = 0;          // dart index, or kHandOwner
};
constexpr int kHandOwner = -1;

void appendDartPrimitives(const Camera& camera, const Dart& dart, int owner,
                          std::vector<Primitive>& out);
void appendHandPrimitives(const Camera& camera, const Hand& hand, std::vector<Primitive>& out);

}  // namespace tarv::scene
