// The evidence that decides whether anything still differs from the empty board: change
// limits, dart zones, confirmation slots, standing change on the board's own edges, and a
// standing change that is believed only while the cameras are still fixed.
#include "tarv/recovery/evidence_chain.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "scene/scene.h"
#include "host/host_protocol.h"
#include "tarv/recovery/recovery_test_support.h"
#include "tarv/views/board_features.h"
#include "tarv/views/image_ops.h"

namespace tarv {
namespace {

using host::homographyOf;

class Evidence : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const scene::Renderer renderer(scene::defaultRig());
    shot_ = new scene::SceneImages(renderer.render(scene::Scene{}));
  }
  static void TearDownTestSuite() { delete shot_; }
  static Round armedRound() { return roundArmedOn(*shot_); }
  // A green patch on the board at 100 mm below the bull in every camera.
  static std::vector<cv::Mat> withPatch(const std::vector<cv::Mat>& frames) {
    std::vector<cv::Mat> out;
    for (int c = 0; c < 3; ++c) {
      cv::Mat f = frames[c].clone();
      const Point2 p = applyHomography(homographyOf(shot_->truth.cameras[c].board_to_image), {0.0, 100.0});
      cv::circle(f, cv::Point(static_cast<int>(p.x), static_cast<int>(p.y)), 14, cv::Scalar(40, 200, 40),
                 cv::FILLED);
      out.push_back(f);
    }
    return out;
  }
  static EvidenceCall callAt(const std::vector<cv::Mat>& frames, double now) {
    EvidenceCall call;
    call.frames = frames;
    for (int c = 0; c < 3; ++c) call.greys[c] = toGray(frames[c]);
    call.now = now;
    return call;
  }
  static RecoveryEvidence collect(Round& round, const EvidenceCall& call) {
    VerdictCache verdicts(VerdictInputs{&round, call.greys, call.zones});
    return collectRecoveryEvidence(round, call, verdicts);
  }
  static scene::SceneImages* shot_;
};
scene::SceneImages* Evidence::shot_ = nullptr;

TEST_F(Evidence, AResidualOfExactlyTheLimitCountsAsChanged) {
  const Round round = armedRound();
  const int limit = recoveryChangeLimit(round.cameras[1]);
  EXPECT_GE(limit, 80);
  for (int pixels : {limit - 1, limit}) {
    ImageTriple masks;
    for (auto& m : masks) m = cv::Mat::zeros(shot_->frames[0].size(), CV_8UC1);
    masks[1](cv::Rect(0, 0, pixels, 1)).setTo(255);
    EXPECT_EQ(anyViewChanged(round, masks), pixels == limit) << pixels;
    EXPECT_EQ(countChangedPerCamera(masks)["CAM_2"], pixels);
  }
  Round broken = armedRound();
  broken.cameras[2].boardToImage = Homography{};
  EXPECT_THROW(recoveryChangeLimit(broken.cameras[2]), std::exception);
}

TEST(DartZone, ByDistanceFromTheBull) {
  const json entries = json::array({{{"board_xy_nominal_mm", {0.0, 0.0}}},
                                    {{"board_xy_nominal_mm", {0.0, 170.0}}},
                                    {{"board_xy_nominal_mm", {150.0, 150.0}}},
                                    {{"board_xy_nominal_mm", {220.0, 0.0}}},
                                    {{"board_xy_nominal_mm", {0.0, -221.0}}},
                                    {{"id", 6}}});
  const std::vector<int> expected = {1, 1, 0, 0, 2, -1, -1};
  for (std::size_t d = 0; d < expected.size(); ++d) EXPECT_EQ(dartZone(entries, d), expected[d]) << d;
}

TEST(ConfirmRepeatedDecision, OnlyTheSameKindWithinTwoAndAHalfSeconds) {
  struct Case {
    double slotTime;
    std::string slotKind;
    double now;
    std::string kind;
    bool confirmed;
  };
  const std::vector<Case> cases = {{-1.0, "", 10.0, "EMPTY", false},
                                   {10.0, "EMPTY", 12.5, "EMPTY", true},
                                   {10.0, "EMPTY", 12.6, "EMPTY", false},
                                   {10.0, "EMPTY", 10.0, "EMPTY", false},
                                   {10.0, "EMPTY", 9.0, "EMPTY", false},
                                   {10.0, "EMPTY", 11.0, "RESUME", false}};
  for (const Case& c : cases) {
    double time = c.slotTime;
    std::string kind = c.slotKind;
    EXPECT_EQ(confirmRepeatedDecision(time, kind, c.now, c.kind), c.confirmed) << c.now << c.kind;
    EXPECT_EQ(time, c.now);
    EXPECT_EQ(kind, c.kind);
  }
}

TEST_F(Evidence, ChangeOnTheReferenceEdgesIsStaticANewPieceIsNot) {
  const cv::Mat reference = toGray(shot_->frames[0]);
  cv::Mat edges;
  cv::Canny(reference, edges, 40, 100, 3);
  cv::Mat onEdges = cv::Mat::zeros(reference.size(), CV_8UC1);
  edges(cv::Rect(500, 250, 200, 200)).copyTo(onEdges(cv::Rect(500, 250, 200, 200)));
  ASSERT_GT(cv::countNonZero(onEdges), 100);
  EXPECT_TRUE(measureStaticResidual(onEdges, reference, 80)["static"].get<bool>());

  cv::Mat piece = onEdges.clone();
  cv::Mat flat = cv::Mat::zeros(reference.size(), CV_8UC1);
  cv::circle(flat, {40, 40}, 12, 255, cv::FILLED);  // a corner of the image far from the board
  piece |= flat & ~dilateMask(edges, 5, false);
  const json measured = measureStaticResidual(piece, reference, 80);
  EXPECT_GE(measured["largest_new_piece"].get<int>(), 80);
  EXPECT_FALSE(measured["static"].get<bool>());
  EXPECT_TRUE(measureStaticResidual(cv::Mat::zeros(reference.size(), CV_8UC1), reference, 80)["static"]);
}

TEST_F(Evidence, AStandingChangeIsAcceptedAfterOneAndAHalfSecondsOnlyWithFixedCameras) {
  const std::vector<cv::Mat> patched = withPatch(shot_->frames);
  std::vector<cv::Mat> knocked = patched;
  knocked[0] = cv::Mat();  // the warp must not write into the patched frame's pixels
  const cv::Matx23d shift(1, 0, 8, 0, 1, -5);
  cv::warpAffine(patched[0], knocked[0], shift, patched[0].size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  for (bool moved : {false, true}) {
    Round round = armedRound();
    round.takeout = true;
    const std::vector<cv::Mat>& frames = moved ? knocked : patched;
    const RecoveryEvidence first = collect(round, callAt(frames, 10.0));
    EXPECT_TRUE(anyViewChanged(round, first.residual));
    EXPECT_FALSE(first.stableFlowAccepted);
    ASSERT_FALSE(first.stableFlow.is_null()) << moved;
    const RecoveryEvidence early = collect(round, callAt(frames, 11.4));
    EXPECT_FALSE(early.stableFlowAccepted);
    const RecoveryEvidence later = collect(round, callAt(frames, 11.6));
    // The change stood long enough in both cases; only the knocked camera keeps it out.
    EXPECT_GE(later.stableFlow.value("stable_seconds", 0.0), 1.5);
    EXPECT_EQ(later.stableFlowAccepted, !moved) << later.stableFlow.dump();

    EXPECT_EQ(allViewsQuiet(round, later.residual), !moved);
    EXPECT_FALSE(later.staticShiftAccepted);
    for (const char* key : {"difference", "proof", "exposure", "tone", "darts", "static_flow"}) {
      EXPECT_TRUE(round.timing.contains(key)) << key;
    }
  }
}

TEST_F(Evidence, AnEmptyBoardLeavesNothing) {
  Round round = armedRound();
  const RecoveryEvidence ev = collect(round, callAt(shot_->frames, 10.0));
  EXPECT_TRUE(allViewsQuiet(round, ev.residual));
  EXPECT_FALSE(ev.remainingDartEvidence);
  EXPECT_TRUE(ev.staticShift.is_null());
  EXPECT_EQ(round.staticShiftTime, -1.0);
  EXPECT_EQ(round.stableFlowTime, -1.0);
}

}  // namespace
}  // namespace tarv
