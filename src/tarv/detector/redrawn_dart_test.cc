// A dart already entered whose look changes where it stands (a light step relights it in
// another tone than the board the frame's tone is mapped from) is the same dart: nothing new
// lands, so nothing is entered and no dart is left to the player.
#include <gtest/gtest.h>

#include "scene/scene.h"
#include "tarv/detector/rig_engine_test_support.h"

namespace tarv {
namespace {

class RedrawnDart : public EngineOnRig {
 protected:
  RedrawnDart() : EngineOnRig(scene::defaultRig()) {}
};

// The dart's own pixels in another tone (a gain per colour channel), the rest of the frame as
// it was.
std::vector<cv::Mat> dartRelit(const std::vector<cv::Mat>& withDart, const std::vector<cv::Mat>& empty, cv::Scalar gain) {
  std::vector<cv::Mat> out;
  for (size_t i = 0; i < withDart.size(); ++i) {
    cv::Mat difference;
    cv::absdiff(withDart[i], empty[i], difference);
    cv::Mat channels[3];
    cv::split(difference, channels);
    const cv::Mat dart = (channels[0] + channels[1] + channels[2]) > 0;
    cv::Mat relit;
    cv::multiply(withDart[i], gain, relit);
    cv::Mat frame = withDart[i].clone();
    relit.copyTo(frame, dart);
    out.push_back(frame);
  }
  return out;
}

TEST_F(RedrawnDart, AnEnteredDartWhosePixelsAreRelitIsNoSecondDart) {
  const std::vector<cv::Mat> empty = renderer_.render({}).frames;
  for (const cv::Point2d tip : {cv::Point2d(-30.0, 60.0), cv::Point2d(75.0, -20.0)}) {
    SCOPED_TRACE(tip.x);
    TearDown();
    SetUp();
    const scene::Dart dart = dartAlong(tip.x, tip.y, cv::normalize(cv::Vec3d(0.15, 0.2, -1.0)), {40, 160, 60});
    const json first = throwInTurn({dart});
    ASSERT_EQ(first.at("entries").size(), 1u) << first.dump().substr(0, 400);

    const std::vector<cv::Mat> frames = dartRelit(shot_.frames, empty, {0.8, 1.0, 1.4});
    for (int i = 0; i < 12; ++i) {
      const json r = call(clock_.detectRequest(frames));
      EXPECT_NE(r.value("status", ""), "DART_CANDIDATE") << i;
      EXPECT_NE(r.value("status", ""), "POSITION_UNRESOLVED") << i << " " << r.value("reason", "");
      EXPECT_NE(r.value("reason", ""), "UNRESOLVED_DART_LEFT_TO_PLAYER") << i;
      if (r.contains("entries")) {
        EXPECT_EQ(r.at("entries").size(), 1u) << i;
      }
    }
  }
}

}  // namespace
}  // namespace tarv
