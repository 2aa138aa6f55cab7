#include "tarv/runtime/reference_capture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <opencv2/imgcodecs.hpp>

#include "tarv/camera/camera_model.h"
#include "tarv/tarv.h"

namespace tarv {

namespace fs = std::filesystem;

namespace {

double freshLimit(const Runtime& rt) { return std::max(2.5 / std::max(rt.frameRate.load(), 1.0), 0.5); }

bool writePng(const fs::path& path, const cv::Mat& image) {
  try {
    return cv::imwrite(path.string(), image);
  } catch (const cv::Exception&) {
    return false;
  }
}

// The newest delivered frame of each camera; false as soon as one is no longer held.
bool copyFrames(const Runtime& rt, std::array<cv::Mat, 3>& out) {
  for (uint32_t i = 0; i < 3; ++i) {
    out[i].create(rt.height, rt.width, CV_8UC3);
    if (tarv_capture_copy(i, rt.frameNumbers[i], out[i].data, out[i].total() * 3) != 1) return false;
  }
  return true;
}

json adoptReferences(Runtime& rt, const std::string& folder, std::array<cv::Mat, 3>& frames) {
  const json paths = writeReferenceSet(folder, frames);
  rt.calibration.frozen = frames;
  rt.calibration.records = json::array({nullptr, nullptr, nullptr});
  rt.calibration.folder = folder;
  return {{"status", "CALIBRATION_FROZEN"}, {"references", paths}, {"width", rt.width}, {"height", rt.height}};
}

}  // namespace

std::string referencePath(const std::string& folder, int camera) {
  return (fs::path(folder) / ("CAM_" + std::to_string(camera + 1) + ".png")).u8string();
}

json writeReferenceSet(const std::string& folder, const std::array<cv::Mat, 3>& images) {
  fs::create_directories(folder);
  std::array<fs::path, 3> written;   // the new images under temporary names
  std::array<fs::path, 3> previous;  // a second name of each earlier reference, empty when none
  std::error_code ignored;
  const auto discard = [&](std::array<fs::path, 3>& names) {
    for (fs::path& name : names) {
      if (!name.empty()) fs::remove(name, ignored);
      name.clear();
    }
  };
  const auto fail = [&] {
    discard(written);
    discard(previous);
    throw std::runtime_error("CALIBRATION_SAVE_FAILED");
  };
  for (int i = 0; i < 3; ++i) {
    written[i] = fs::path(folder) / (".CAM_" + std::to_string(i + 1) + ".writing.png");
    if (!writePng(written[i], images[i])) fail();
  }
  // The earlier set keeps a second name until the new one is wholly in place, so that a
  // rename failing part way can put back what it already replaced.
  for (int i = 0; i < 3; ++i) {
    const fs::path target = fs::u8path(referencePath(folder, i));
    if (!fs::is_regular_file(target, ignored)) continue;
    previous[i] = fs::path(folder) / (".CAM_" + std::to_string(i + 1) + ".previous.png");
    fs::remove(previous[i], ignored);
    std::error_code error;
    fs::create_hard_link(target, previous[i], error);
    if (error) fs::copy_file(target, previous[i], fs::copy_options::overwrite_existing, error);
    if (error) fail();
  }
  json paths = json::array();
  for (int i = 0; i < 3; ++i) {
    const fs::path target = fs::u8path(referencePath(folder, i));
    std::error_code error;
    fs::rename(written[i], target, error);
    if (error) {
      for (int k = 0; k < i; ++k) {
        const fs::path replaced = fs::u8path(referencePath(folder, k));
        if (previous[k].empty()) {
          fs::remove(replaced, ignored);
        } else {
          // Restored or not, the earlier image stays on disk under one of its names.
          fs::rename(previous[k], replaced, ignored);
          previous[k].clear();
        }
      }
      fail();
    }
    written[i].clear();
    paths.push_back(target.u8string());
  }
  discard(previous);
  return paths;
}

std::string formatQuietFramesWait(const Runtime& rt) {
  char text[200];
  std::snprintf(text, sizeof text, "WAIT_FOR_THREE_QUIET_CAMERA_FRAMES spread_ms=%d motion_permille=%.1f,%.1f,%.1f",
                static_cast<int>(std::trunc(rt.spread * 1000.0)), rt.motionFractions[0] * 1000.0,
                rt.motionFractions[1] * 1000.0, rt.motionFractions[2] * 1000.0);
  return text;
}

json captureCalibrationReferences(Runtime& rt, const std::string& folder) {
  rt.calibration.automaticSafe = false;
  closeCalibrationEditor(rt.calibration);
  if (!rt.running || !rt.setupOnly) throw std::runtime_error("WAIT_FOR_THREE_QUIET_CAMERA_FRAMES");
  if (rt.quietFrames < 3 && rt.relaxedQuietFrames < 8) throw std::runtime_error(formatQuietFramesWait(rt));
  const double now = tarv_monotonic_seconds();
  for (double t : rt.frameTimes) {
    if (!(t > 0.0) || now - t > freshLimit(rt)) throw std::runtime_error("STALE_CALIBRATION_FRAME");
  }
  std::array<cv::Mat, 3> frames;
  if (!copyFrames(rt, frames)) throw std::runtime_error("CALIBRATION_FRAME_EVICTED");
  return adoptReferences(rt, folder, frames);
}

json quickCalibrate(Runtime& rt, const std::string& folder, bool emptyConfirmed) {
  if (!emptyConfirmed) throw std::runtime_error("EMPTY_BOARD_CONFIRMATION_REQUIRED");
  if (!rt.running || rt.setupOnly || !rt.engine) {
    throw std::runtime_error("Schnellkalibrierung benötigt ein gestartetes Board");
  }
  const json wait = {{"status", "WAIT_CAMERA_FRAMES"}};
  const double now = tarv_monotonic_seconds();
  const auto [oldest, newest] = std::minmax_element(rt.frameTimes.begin(), rt.frameTimes.end());
  for (double t : rt.frameTimes) {
    if (!std::isfinite(t) || t <= 0.0 || t > now || now - t > freshLimit(rt)) return wait;
  }
  if (*newest - *oldest > std::max(1.25 / std::max(rt.frameRate.load(), 1.0), 0.1)) return wait;
  for (size_t i = 0; i < 3; ++i) {
    if (!(rt.frameTimes[i] > rt.calibration.lastQuickTimes[i])) return wait;
  }
  rt.calibration.lastQuickTimes = rt.frameTimes;
  std::array<cv::Mat, 3> frames;
  if (!copyFrames(rt, frames)) return wait;
  json reply = adoptReferences(rt, folder, frames);
  rt.setupOnly = true;
  rt.calibration.automaticSafe = true;
  reply["empty_confirmation"] = "USER";
  return reply;
}

void applyCalibrationSeed(Runtime& rt, const json& request) {
  if (!request.is_object() || !request.contains("seed")) return;
  const json& seed = request["seed"];
  for (size_t i = 0; i < 3; ++i) {
    try {
      const json& matrix = seed.at("calibrations").at(i);
      Homography h;
      if (!readCalibration(matrix, h)) continue;
      json model = seed.contains("camera_models") ? seed["camera_models"].at(i) : json();
      if (model.is_object()) {
        const CameraModel parsed = parseCameraModel(model);
        if (parsed.width != rt.width || parsed.height != rt.height) continue;
      }
      rt.calibration.records[i] = {{"method", "MANUAL_FOUR_POINTS"}, {"accepted", false},
                                   {"geometry_valid", true},         {"camera_model", model},
                                   {"board_to_image", matrix}};
    } catch (const std::exception&) {
      // a seed entry that does not fit leaves this camera without a record
    }
  }
}

}  // namespace tarv
