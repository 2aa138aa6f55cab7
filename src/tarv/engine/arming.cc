#include "tarv/engine/arming.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "tarv/board/board_layout.h"
#include "tarv/camera/board_normal.h"
#include "tarv/core/camera_worker_pool.h"
#include "tarv/core/engine_values.h"
#include "tarv/board/host_event.h"
#include "tarv/engine/warmup.h"
#include "tarv/recovery/calibration_transfer.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

double readBoardRadius(const json& config) {
  const auto it = config.find("board_radius_mm");
  if (it == config.end() || it->is_null()) return 170.0;
  if (!it->is_number()) throw std::runtime_error("INVALID_BOARD_RADIUS");
  const double radius = it->get<double>();
  if (!std::isfinite(radius) || radius < 170.0 || radius > 300.0) {
    throw std::runtime_error("INVALID_BOARD_RADIUS");
  }
  return radius;
}

json cameraModelOf(const json& config, int camera) {
  const auto models = config.find("camera_models");
  if (models == config.end() || !models->is_array() || models->size() <= static_cast<size_t>(camera)) {
    return nullptr;
  }
  return (*models)[camera];
}

std::array<double, 9> modelValues(const json& model) {
  std::array<double, 9> values{};
  if (!model.is_object()) return values;
  const auto k = model.find("K");
  if (k == model.end() || !k->is_array() || k->size() != 9) return values;
  for (int i = 0; i < 9; ++i) values[i] = (*k)[i].is_number() ? (*k)[i].get<double>() : 0.0;
  return values;
}

json tipGeometry(const Camera& camera) {
  const auto& p = camera.imageNormal;
  const bool active = std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]) &&
                      std::hypot(p[0], p[1], p[2]) > 0.0;
  return {{"active", active}, {"image_normal", {p[0], p[1], p[2]}}};
}

bool sameHomography(const Homography& a, const Homography& b) {
  for (int i = 0; i < 9; ++i) {
    if (std::abs(a[i] - b[i]) > 1e-9 * std::max(1.0, std::abs(a[i]))) return false;
  }
  return true;
}

}  // namespace

Homography carryCalibration(const Camera* previous, const Homography& given, const cv::Mat& newReference,
                            json& report) {
  report = nullptr;
  if (previous == nullptr || previous->emptyReferenceColour.empty() || newReference.empty() ||
      !sameHomography(previous->boardToImage, given)) {
    return given;
  }
  try {
    const Homography moved = transferCalibrationToReference(previous->emptyReferenceColour, newReference, given);
    const Point2 before = applyHomography(given, {0.0, 0.0});
    const Point2 after = applyHomography(moved, {0.0, 0.0});
    report = {{"accepted", true}, {"shift_px", {roundTo(after.x - before.x, 3), roundTo(after.y - before.y, 3)}}};
    return moved;
  } catch (const std::runtime_error& e) {
    // The calibration stays as the host sent it; the host hears why it was not carried.
    report = {{"accepted", false}, {"reason", e.what()}};
    return given;
  }
}

Camera buildCamera(const json& config, const std::vector<cv::Mat>& images, double boardRadiusMm,
                   int camera, const Camera* previous) {
  const cv::Mat& reference = images.at(camera);
  Camera c;
  c.emptyReferenceColour = reference.clone();
  c.backgroundFrame = c.emptyReferenceColour;
  c.emptyReference = toGray(c.emptyReferenceColour);
  if (c.emptyReference.data == c.emptyReferenceColour.data) c.emptyReference = c.emptyReference.clone();
  c.dartReference = c.emptyReference;
  c.referenceChangeMask = freshZeroMask(reference.size());
  c.surroundMotion = std::make_shared<SurroundMotion>();
  json transfer;
  c.boardToImage =
      carryCalibration(previous, matrix3x3FromJson(config.at("calibrations").at(camera)), reference, transfer);
  const json model = cameraModelOf(config, camera);
  c.cameraModel = modelValues(model);
  if (auto normal = boardNormalImagePoint(c.boardToImage, model, reference.size())) {
    c.imageNormal = *normal;
  }
  c.boardRadiusMm = boardRadiusMm;
  c.features = collectBoardFeatures(c.emptyReference, c.boardToImage);
  const json guard = checkFixedCameraToneMatched(c.features, c.emptyReference);
  if (!guard.value("ok", false)) {
    throw std::runtime_error("CAMERA_REFERENCE_FEATURES_INSUFFICIENT: " + cameraIds[camera]);
  }
  c.record = {{"camera_guard", guard}};
  if (!transfer.is_null()) c.record["calibration_transfer"] = transfer;
  return c;
}

json armRound(Round& round, const json& config, const std::vector<cv::Mat>& images) {
  // A round armed before holds the references its calibrations were made on.
  const bool rearming = round.armed;
  round.armed = false;
  if (images.size() != 3 && images.size() != 6) throw std::runtime_error("THREE_CAMERAS_REQUIRED");
  const double boardRadius = readBoardRadius(config);
  for (int i = 0; i < 3; ++i) (void)matrix3x3FromJson(config.at("calibrations").at(i));
  const auto scope = config.find("ignore_surround");
  const bool boardOnly = scope != config.end() && scope->is_boolean() ? scope->get<bool>()
                                                                      : round.boardOnlyScope;
  const std::array<double, 6> rings =
      ringRadiiFrom(config.contains("ring_radii") ? config["ring_radii"] : json());

  auto build = [&](int camera) {
    return buildCamera(config, images, boardRadius, camera, rearming ? &round.cameras[camera] : nullptr);
  };
  std::array<Camera, 3> cameras = runOnCameraWorkers(build);
  // Shared by every engine in the process: changed only once this arming cannot fail.
  storeRingRadii(rings);
  storeMissRadius(missRadiusFrom(config));

  // A new round: nothing of the previous arming's control state may survive.
  Round armed;
  armed.cameras = std::move(cameras);
  armed.boardOnlyScope = boardOnly;
  armed.boardRadiusMm = boardRadius;
  armed.armed = true;

  runWarmupOnce(armed.cameras);
  json reply = {{"status", "READY"}, {"armed", true}};
  for (int i = 0; i < 3; ++i) reply["tip_geometry"][cameraIds[i]] = tipGeometry(armed.cameras[i]);
  reply["board_rings"] = json(std::vector<double>(rings.begin(), rings.end()));
  for (int i = 0; i < 3; ++i) {
    const json& transfer = armed.cameras[i].record.value("calibration_transfer", json());
    if (!transfer.is_null()) reply["calibration_transfer"][cameraIds[i]] = transfer;
  }
  armed.state = buildHostEvent(reply);
  reply["state"] = armed.state;
  round = std::move(armed);
  return reply;
}

}  // namespace tarv
