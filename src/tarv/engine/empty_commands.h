// The engine commands that prove the board empty before scoring starts or resumes:
// "confirm_empty", "restart_empty_begin", "restart_empty_check", "startup_check" and
// "calibration_empty_check". All work on the engine's three-camera round.
#pragma once

#include <array>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "tarv/engine/engine.h"
#include "tarv/engine/request_intake.h"

namespace tarv {

// Largest minus smallest at most 0.1 s.
bool areSynchronised(const std::array<double, 3>& times);
// Each time finite and strictly newer than the same camera's stored time.
bool areFresh(const std::array<double, 3>& times, const std::array<double, 3>& stored);

// The configuration that re-arms the round on its own calibration, rings, radii and scope.
json rearmConfiguration(const Round& round);

// The user states that the board is empty: the round is re-armed on the current frames.
json confirmEmpty(Engine& engine, const json& request, const std::vector<cv::Mat>& images);
// A camera restart that keeps the round: a re-armed copy waits for its proof.
json beginRestartEmpty(Engine& engine);
json checkRestartEmpty(Engine& engine, const json& request, const std::vector<cv::Mat>& images);
// "startup_check" (registration on the round) or "calibration_empty_check" (the recovery on
// a working copy).
json checkStartupEmpty(Engine& engine, const std::string& command, const json& request,
                       const std::vector<cv::Mat>& images);

// Runs one of the five commands above.
json runEmptyBoardCommand(Engine& engine, const std::string& command, const json& request,
                          const std::vector<cv::Mat>& images);

}  // namespace tarv
