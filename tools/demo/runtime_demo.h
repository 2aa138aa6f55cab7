// The demo's main job: the runtime of the loaded library on three rendered camera videos.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

// Renders a game of two rounds into folder, runs the runtime on it through the C interface,
// prints every throw and writes each throw's board view (the three cameras seen from the
// front, the scored tip marked) beside the videos. Exit status as the demo's.
// With calibrate, the three cameras are first set up through the runtime as a user does it:
// preview of the empty board, the reference capture, the automatic calibration with the
// landmark model, the click on the 20 of each camera, and the runtime's calibration result
// is what the rounds are then scored with (instead of the true calibrations).
// slow stretches the game's time (each dart stays slow times as long) for a library built
// with a sanitizer, whose calls take several times as long as the scene gives them.
int runRuntimeDemo(void* library, const std::string& folder, bool printReplies, bool calibrate = false,
                   int slow = 1);

// A scored tip matched to the true darts: the nearest within 10 mm (index -1 when none is),
// repeated when that dart was matched before. Each true dart counts once.
struct DemoMatch {
  int index = -1;
  bool repeated = false;
};
DemoMatch matchTrueDart(const std::vector<cv::Point2d>& truths, std::vector<bool>& matched, cv::Point2d tip);
