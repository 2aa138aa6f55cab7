// Automatic calibration of rendered boards through tarv_call "calibrate", with a click on the
// 20 as a user gives it: how many boards are fitted, how far the fitted 170 mm ring lies from
// the camera's own view of it, and how long a fit takes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarv::bench {

struct CalibrationRow {
  std::string condition;
  int boards = 0;
  int accepted = 0;
  int wrong_accepted = 0;
  int within_1px = 0;       // accepted with the ring within 1 px (mean) of the camera's view of it  // accepted with the ring more than 2.5 px or the bull more than 1 px off
  double ring_mean_px = 0.0;  // mean over the accepted boards of each board's mean ring error
  double ring_max_px = 0.0;   // largest ring error of any accepted board, where its camera sees the ring
  double bull_max_px = 0.0;
  double ms_per_fit = 0.0;    // median tarv_call time
  std::vector<double> fit_ms;
};

// Rows per condition (clean, noise_blur, gain_0.6, gain_1.3, harder, steep, real_like) and a
// row over all; the boards alternate 960x720 and 1920x1080 at views from 0 to 55 degrees off
// the normal, steep ones 30 to 60 degrees; real_like boards are 800x800 phone-like photographs
// of a worn board with darts in its rings, 30 to 60 degrees off the normal.
// labelDir: where each board's image goes, with labels.json naming its 170 mm ring, bull and 20
// as the real frames' labels do, for `landmark_real calibrate` (nothing written when empty).
std::vector<CalibrationRow> runCalibrationBench(int boardsPerCondition, uint64_t seed, int renderThreads,
                                                const std::string& labelDir = "");

}  // namespace tarv::bench
