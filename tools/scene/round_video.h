// Rendered camera videos of a game, one MJPG .avi per camera, for hosts that drive the runtime
// on file cameras: an empty board, darts thrown one by one, a hand taking them out, the next
// round. Each scene state is rendered once and held for its duration.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "scene/scene.h"

namespace tarv::scene {

struct RoundVideoScript {
  cv::Size size{800, 600};
  int fps = 20;
  double empty_seconds = 1.5;         // before the first dart and after each takeout
  double dart_seconds = 1.5;          // each dart stays this long before the next lands
  double takeout_seconds = 0.8;       // the hand in front of the darts, then without them
  std::vector<std::vector<Dart>> rounds;  // darts of each round in throw order
};

struct RoundVideos {
  std::vector<std::string> videos;      // per camera, folder/cam-N.avi
  std::vector<std::string> references;  // per camera, folder/reference-N.png: the first frame
  GroundTruth truth;                    // cameras and every dart, in throw order
  nlohmann::json calibrations;          // per camera board-to-image 3x3 nested arrays
};

// Two rounds of three darts: T20, S1, 25 and D16, S11, T19 style groups.
RoundVideoScript demoScript();
// How long the videos play once, in seconds (their frames at the script's rate).
double videoSeconds(const RoundVideoScript& script);
// Writes the videos and the reference images into folder (which must exist). Fails with a
// runtime error when a video cannot be written.
RoundVideos writeRoundVideos(const std::string& folder, const RoundVideoScript& script);

}  // namespace tarv::scene
