// The refinement of a camera on its edges, on an image without any.
#include <gtest/gtest.h>

#include "tarv/autocal/camera_edges.h"

namespace tarv {
namespace {

// A board blurred until no edge stands out leaves the refinement nothing to fit to: it says
// so in its report and does not fail.
TEST(CameraEdges, AnImageWithoutEdgesStopsTheRefinementWithItsReason) {
  CameraEstimate start = makeCameraEstimate(1280, 720, 900.0);
  start.rvec = (cv::Mat_<double>(3, 1) << 2.6, 0.0, 0.0);
  start.tvec = (cv::Mat_<double>(3, 1) << 0.0, 0.0, 600.0);
  const cv::Mat flat(720, 1280, CV_8UC1, cv::Scalar(90));
  CameraEdgeFit fit;
  ASSERT_NO_THROW(fit = refineCameraByEdges(flat, start, {}));
  EXPECT_FALSE(fit.supported);
  EXPECT_FALSE(fit.fitted.has_value());
  EXPECT_EQ(fit.report.value("stopped", ""), "TOO_FEW_EDGE_MATCHES");
}

}  // namespace
}  // namespace tarv
