// Synthetic camera images of a dartboard with darts and their exact ground truth.
//
//   tarv::scene::Renderer renderer(tarv::scene::defaultRig());
//   tarv::scene::Scene scene;
//   scene.darts.push_back({{0.0, -103.0}, tarv::scene::frontDirection(10, 200)});
//   tarv::scene::SceneImages shot = renderer.render(scene);  // shot.frames[i]: BGR8
//
// The board face is a texture in board millimetres warped by each camera's board-to-image
// homography, so the face is exact planar geometry; darts and a hand are 3D bodies painted
// far to near on top of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "scene/board_texture.h"
#include "scene/body_model.h"
#include "scene/camera_rig.h"

namespace tarv::scene {

// A bright reflection on the board: grey levels added at the centre, falling off as a
// Gaussian of the given radius (one standard deviation), in image pixels.
struct Glare {
  cv::Point2d centre_px;
  double radius_px = 60.0;
  double strength = 150.0;
};

// What the board, the light, the sensor and the lens do to a rendered image, in this order.
struct Imaging {
  double fade = 0.0;         // 0..1: worn, sun-bleached colours pulled toward their grey
  std::optional<Glare> glare;
  double gain = 1.0;         // light level: value·gain + offset
  double offset = 0.0;
  double blur_sigma = 0.0;   // Gaussian blur in pixels, 0 for none
  double noise_sigma = 0.0;  // Gaussian sensor noise in grey levels, 0 for none
  int jpeg_quality = 0;      // 1..100 for a JPEG round trip, 0 for none
  uint64_t noise_seed = 0;   // the same seed gives the same noise
};

struct Scene {
  std::vector<Dart> darts;
  std::optional<Hand> hand;
  Imaging imaging;
};

struct CameraTruth {
  std::string id;
  cv::Size image_size;
  cv::Matx33d K;
  cv::Matx33d R;
  cv::Vec3d t;
  cv::Matx33d board_to_image;  // ideal (undistorted) pixels
  double k1 = 0.0;
  cv::Point2d image_normal;    // K·r3, where the board normal converges
};

struct DartView {
  cv::Point2d tip_px;
  cv::Point2d flight_px;     // the far end of the flight on the dart's axis
  bool tip_in_image = false;
  bool tip_visible = false;  // in the image and not covered by another dart or the hand
};

struct DartTruth {
  cv::Point2d tip_mm;
  std::string field;
  cv::Vec3d direction;
  std::vector<DartView> views;  // one per camera
};

struct GroundTruth {
  std::vector<CameraTruth> cameras;
  std::vector<DartTruth> darts;
  bool hand_seen = false;  // some camera shows part of the hand
  nlohmann::json toJson() const;
};

struct SceneImages {
  std::vector<cv::Mat> frames;  // per camera, CV_8UC3 BGR
  GroundTruth truth;
};

class Renderer {
 public:
  // Supersampling factor of the board warp and of the painted bodies (anti-aliasing).
  explicit Renderer(const std::vector<CameraSpec>& rig, int supersample = 3);
  // The same with a board face of its own (a worn board, wire shadows).
  Renderer(const std::vector<CameraSpec>& rig, const BoardTexture& texture, int supersample = 3);

  const std::vector<Camera>& cameras() const { return cameras_; }
  // The empty board of camera i as rendered once, before any imaging effects.
  const cv::Mat& emptyBoard(size_t i) const { return empty_.at(i); }

  SceneImages render(const Scene& scene) const;
  GroundTruth truth(const Scene& scene) const;

 private:
  cv::Mat renderBodies(size_t camera, const std::vector<Primitive>& primitives) const;
  GroundTruth truthFrom(const Scene& scene,
                        const std::vector<std::vector<Primitive>>& primitives) const;

  std::vector<Camera> cameras_;
  std::vector<cv::Mat> empty_;
  int supersample_;
};

// Warps the board texture into a camera image with the given supersampling.
cv::Mat renderEmptyBoard(const Camera& camera, const BoardTexture& texture, int supersample);
// Applies gain/offset, blur, noise and JPEG to a frame (camera_index varies the noise).
cv::Mat applyImaging(const cv::Mat& frame, const Imaging& imaging, int camera_index);
// The frame with its light multiplied by `gain` in a soft spot on the board (a glint, a
// sunbeam, a small shadow): a Gaussian round centre_mm whose width at half its change is
// diameter_mm, as the camera of `camera` sees the board plane (ideal pixels).
cv::Mat withSoftSpot(const cv::Mat& frame, const CameraTruth& camera, cv::Point2d centre_mm, double diameter_mm,
                     double gain);

// Seeded random numbers that come out the same on every platform.
class SceneRandom {
 public:
  explicit SceneRandom(uint64_t seed) : state_(seed) {}
  uint64_t next();
  double uniform(double lo = 0.0, double hi = 1.0);
  double normal();

 private:
  uint64_t state_;
};

// A tip uniform over the disc of the given radius.
cv::Point2d randomTip(SceneRandom& rng, double radius_mm = 178.0);
// A direction out of the board up to max_tilt_deg off its normal, at a random azimuth.
cv::Vec3d randomDartDirection(SceneRandom& rng, double max_tilt_deg = 30.0);
// A dart with a random tip, direction, flight roll and one of a few flight colours.
Dart randomDart(SceneRandom& rng, double radius_mm = 178.0, double max_tilt_deg = 30.0);
// Flight colours used by randomDart and the tools, BGR.
const std::vector<cv::Scalar>& flightColours();

// The default 1280x720 rig's renderer and its empty board, built once per process and shared
// by the tests that only read them.
const Renderer& defaultRenderer();
const SceneImages& defaultEmptyBoard();

}  // namespace tarv::scene
