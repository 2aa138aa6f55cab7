#include "tarv/autocal/vision_report.h"

namespace tarv {
namespace {

nlohmann::ordered_json matArray(const cv::Mat& m) {
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  if (m.empty()) return a;
  const cv::Mat d = m.isContinuous() ? m : m.clone();
  for (size_t i = 0; i < d.total(); ++i) a.push_back(d.ptr<double>()[i]);
  return a;
}

const char* gradeWord(int grade) {
  if (grade == 0) return "gruen";
  if (grade == 1) return "gelb";
  return "rot";
}

}  // namespace

std::string writeVisionReport(const LandmarkSolution& s) {
  nlohmann::ordered_json r;
  r["ok"] = s.ok;
  if (s.ok) {
    r["breite"] = s.width;
    r["hoehe"] = s.height;
    r["K"] = matArray(s.K);
    r["dist"] = matArray(s.dist);
    r["rvec"] = matArray(s.rvec);
    r["tvec"] = matArray(s.tvec);
  }
  r["ampel"] = gradeWord(s.grade);
  r["zwanzig_sicher"] = s.twentySure;
  r["kreuzungen_erkannt"] = s.crossingsDetected;
  r["kreuzungen_passend"] = s.crossingsMatched;
  r["rms_px"] = s.rmsPx;
  r["farbe"] = s.colourScore;
  r["ms_modell"] = s.modelMs;
  r["ms_gesamt"] = s.totalMs;
  r["grund"] = s.reason;
  return r.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

CameraEstimate cameraFromSolution(const LandmarkSolution& s) {
  return {s.width, s.height, s.K.clone(), s.dist.clone(), s.rvec.clone(), s.tvec.clone()};
}

void setSolutionCamera(LandmarkSolution& s, const CameraEstimate& camera) {
  s.K = camera.K.clone();
  s.dist = camera.dist.clone();
  s.rvec = camera.rvec.clone();
  s.tvec = camera.tvec.clone();
}

cv::Point2d projectSolutionPoint(const LandmarkSolution& s, cv::Point2d board) {
  return projectBoardPoints(cameraFromSolution(s), {cv::Point3d(board.x, board.y, 0.0)}).at(0);
}

cv::Point2d backProjectSolutionPoint(const LandmarkSolution& s, cv::Point2d pixel) {
  return backProjectToBoard(cameraFromSolution(s), {pixel}).at(0);
}

}  // namespace tarv
