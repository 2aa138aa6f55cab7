#include "tarv/reports/report_test_support.h"

#include <cstdlib>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

#include "tarv/reports/latest_view_file.h"

namespace tarv::testing {

namespace fs = std::filesystem;

Homography RenderedRound::homography(std::size_t camera) const {
  Homography h{};
  const cv::Matx33d& m = truth.cameras.at(camera).board_to_image;
  for (int i = 0; i < 9; ++i) h[i] = m.val[i];
  return h;
}

json RenderedRound::dartResult() const {
  json entries = json::array();
  for (const scene::DartTruth& dart : truth.darts) {
    entries.push_back({{"board_xy_nominal_mm", {dart.tip_mm.x, dart.tip_mm.y}},
                       {"field", {{"selected_field", dart.field}, {"nominal_field", dart.field}}}});
  }
  return {{"status", "DART_CANDIDATE"}, {"reason", "NEW_DART"}, {"entries", entries}};
}

const RenderedRound& renderedRound() {
  static const RenderedRound round = [] {
    RenderedRound r;
    const scene::Renderer& renderer = scene::defaultRenderer();
    const scene::Dart first{{0.0, -103.0}, scene::frontDirection(12, 200)};
    const scene::Dart second{{75.0, 62.0}, scene::frontDirection(18, 110)};
    scene::Scene scene;
    r.empty = renderer.render(scene).frames;
    scene.darts.push_back(first);
    r.oneDart = renderer.render(scene).frames;
    scene.darts.push_back(second);
    scene::SceneImages two = renderer.render(scene);
    r.twoDarts = two.frames;
    r.truth = two.truth;
    r.calibrations = json::array();
    for (const scene::CameraTruth& camera : r.truth.cameras) {
      const cv::Matx33d& m = camera.board_to_image;
      r.calibrations.push_back({{m(0, 0), m(0, 1), m(0, 2)},
                                {m(1, 0), m(1, 1), m(1, 2)},
                                {m(2, 0), m(2, 1), m(2, 2)}});
    }
    return r;
  }();
  return round;
}

ScratchFolder::ScratchFolder() {
  std::string pattern = (fs::temp_directory_path() / "tarv-reports-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code error;
  fs::remove_all(path_, error);
}

void keepForViewing(const std::string& name, const cv::Mat& image) {
  // Only on request: a test run leaves nothing behind in the temporary directory.
  const char* keep = std::getenv("TARV_KEEP_TEST_IMAGES");
  if (keep == nullptr || std::string(keep) != "1") return;
  std::vector<uchar> png;
  if (cv::imencode(".png", image, png)) writeFileBytes(fs::temp_directory_path() / name, png);
}

}  // namespace tarv::testing
