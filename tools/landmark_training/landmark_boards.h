// Rendered dartboards for the landmark network: a board face with the wire rings where the
// landmark solver expects them, random cameras 10 to 60 degrees above the board, light, lens,
// blur, noise, JPEG, darts and a cluttered surround, and the landmarks each image shows in
// the network's classes (bull, wire crossing, sector number by position).
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "scene/scene.h"
#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/landmark_model.h"

namespace tarv::landmark_boards {

struct Landmark {
  int cls = 0;              // 0 bull, 1 wire crossing, 2 + n sector number at position n
  cv::Point2d centre;       // image pixels
  cv::Size2d size;          // image pixels
};

struct SampleOptions {
  double min_above_deg = 10.0;  // camera angle above the board plane
  double max_above_deg = 60.0;
  bool effects = true;          // light, blur, noise, JPEG, fade, glare
  // Blur sigma in image pixels drawn from this range instead of the usual mix (mostly sharp),
  // when max_blur_sigma is above 0: boards whose wire edges blur away.
  double min_blur_sigma = 0.0;
  double max_blur_sigma = 0.0;
  bool darts = true;
  bool clutter = true;
  // Board look: -1 one of the training looks at random; kHeldOutLook is never trained on.
  int look = -1;
  // What real rigs show beyond the clean renders (rig_variety.h): other board makes, a catch
  // ring and lamps, the camera's light and electronics, boards small in the image and filling
  // it, wider lenses and more darts. Off, a seed gives the image it always gave.
  bool rigVariety = false;
  // With rigVariety, the light always that of an LED ring round the lens (a rig's own light:
  // a bright middle falling off outwards) instead of one drawn among the kinds.
  bool ledRing = false;
  // Above 0: each board's wires stand a height off the face (millimetres) drawn from
  // [minWireHeightMm, maxWireHeightMm] (its own stream, the other draws as before; both the same
  // for one height), as on a real board; 0, they are painted on it as the network was trained.
  double minWireHeightMm = 0.0;
  double maxWireHeightMm = 0.0;
};

struct BoardSample {
  scene::CameraSpec cameraSpec;
  cv::Mat image;                    // BGR, cameraSpec.image_size
  std::vector<Landmark> landmarks;  // what the image shows, occluded crossings left out
  int crossings_in_image = 0;
};

// The renderer's board face with the bull, treble and double wires moved to the landmark
// solver's radii (6.35, 15.9, 99, 107, 162, 170 mm), in one of a few looks (fonts, shadows).
const scene::BoardTexture& landmarkBoardTexture(int look);  // 0 .. kHeldOutLook
constexpr int kBoardLooks = 3;     // the looks the network trains on
constexpr int kHeldOutLook = 3;    // a look kept for checking the trained network

// One random camera (size, place, lens) from the seed.
scene::CameraSpec randomCameraSpec(scene::SceneRandom& rng, const SampleOptions& options);
// The camera renderBoardSample draws for the seed.
scene::CameraSpec cameraSpecForSeed(uint64_t seed, const SampleOptions& options = {});
// A three-camera rig's camera seen empty: the renderer's rig look lit by an LED ring round the
// lens, no darts, 40 to 50 degrees above the board; and the rig camera of the seed: 800x600,
// the board 0.8 to 1.0 of the frame, a wide lens (k1 -0.35 to -0.1), drawn from a stream of
// their own (the rest as cameraSpecForSeed draws it).
SampleOptions rigSampleOptions();
scene::CameraSpec rigCameraSpecForSeed(uint64_t seed, const SampleOptions& options);
// The whole sample of one seed; the same seed gives the same image on every machine.
BoardSample renderBoardSample(uint64_t seed, const SampleOptions& options = {});
// The same with a camera of the caller's.
BoardSample renderBoardSampleFor(uint64_t seed, const scene::CameraSpec& cameraSpec, const SampleOptions& options = {});
// The seed's sample seen without its lens's bend (k1 0), as the landmark bench's --no-lens.
BoardSample renderBoardSampleWithoutLens(uint64_t seed, const SampleOptions& options = {});
// The seed's camera on an image of the given size with the board spanning minFill to maxFill
// of it (drawn from the seed): boards seen large, a board mm over two pixels and more.
scene::CameraSpec enlargedCameraSpec(uint64_t seed, scene::CameraSpec cameraSpec, cv::Size size, double minFill,
                                     double maxFill);

// The sample of the same camera on a sensor larger by offCentrePx all round, cut back to its
// size with the window offCentrePx across and 0.6 of it down off the middle (sides by the seed),
// the board drawn smaller by that shift to stay in view: an image whose optical centre lies off
// its middle, as a webcam's window of its sensor or a cropped photograph has it. The sample's
// camera is the larger one; origin receives the window's corner in its image. The landmarks
// are not cut with it (left empty).
BoardSample renderOffCentreSampleFor(uint64_t seed, scene::CameraSpec cameraSpec, const SampleOptions& options,
                                     double offCentrePx, cv::Point2d& origin);

// Seeds of the boards that check the committed network; training uses seeds below this.
constexpr uint64_t kFirstCheckSeed = 1000000;

// The true camera's board ring of the given radius against a solution's, as the mean pixel
// distance of 72 points; `turns` sectors turn the truth's angles (the best turn is the
// caller's search).
std::vector<cv::Point2d> trueRingPoints(const scene::Camera& camera, double radius_mm, int turn_sectors = 0);

// The sample's renderer camera in the landmark frame (20 at +y, z out of the board).
CameraEstimate trueCameraEstimate(const BoardSample& sample);
// Mean distance over 72 points of the 170 mm ring, as e places it, from where camera sees it.
double ringErrorPx(const scene::Camera& camera, const CameraEstimate& e);
// The same for e turned by the whole sectors that bring it closest: a camera solved on the
// crossings alone is right but for its turn, which the numbers set afterwards.
double ringErrorAnyTurnPx(const scene::Camera& camera, const CameraEstimate& e);

// One board through the landmark detector and its camera solve, against the true camera.
struct BoardCheck {
  bool ok = false;
  int grade = 2;
  bool twentySure = false;
  int detected = 0;
  int matched = 0;
  int inImage = 0;
  // Mean pixel distance of the solved 170 mm ring from the true one: with the sector turn
  // that fits best (the geometry, before the click on the 20), and as solved (orientation
  // included). NaN without a camera.
  double ringErrorPx = 0.0;
  double ringErrorAsSolvedPx = 0.0;
  bool orientationRight = false;
  double modelMs = 0.0;
  double totalMs = 0.0;
};
BoardCheck checkBoard(LandmarkModel& model, const BoardSample& sample);

// The landmark detector's letterbox: scaled by s = size / max(w, h) into the top-left corner
// of a grey (114) square.
cv::Mat letterbox(const cv::Mat& image, int size, double* scale);

}  // namespace tarv::landmark_boards
