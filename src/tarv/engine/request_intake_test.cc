#include "tarv/engine/request_intake.h"

#include <gtest/gtest.h>

#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

json image(json width, json height, json length, json pointer) {
  return {{"width", width}, {"height", height}, {"length", length}, {"pointer", pointer}};
}

std::string failure(const json& images) {
  try {
    readImageBuffers({{"images", images}});
    return "";
  } catch (const std::exception& e) {
    return e.what();
  }
}

TEST(RequestIntake, ImageChecksAndTheirCodes) {
  const struct {
    json images;
    std::string expected;
  } cases[] = {
      {json::array({image(8192, 8192, 201326592, 64)}), ""},
      {json::array({image(8193, 1, 8193 * 3, 64)}), "INVALID_IMAGE_BUFFER"},
      {json::array({image(4, 0, 0, 64)}), "INVALID_IMAGE_BUFFER"},
      {json::array({image(4, 4, 47, 64)}), "INVALID_IMAGE_BUFFER"},
      {json::array({image(4, 4, 48, 0)}), "NULL_IMAGE_BUFFER"},
      {json::array({image(-4, 4, 48, 64)}), "INVALID_IMAGE_BUFFER"},
      {json::array({image(4, 4, -48, 64)}), "INVALID_IMAGE_BUFFER"},
      {json::array({image(1e300, 4, 48, 64)}), "INVALID_IMAGE_BUFFER"},
      {json::array({image(4, 4, 1e300, 64)}), "INVALID_IMAGE_BUFFER"},
      {json::array({image(4, 4, 48, -1)}), "INVALID_IMAGE_BUFFER"},
      {json::array({image(4, 4, 48, 0.5)}), "INVALID_IMAGE_BUFFER"},
      {json::array({image(4.0, 4, 48, 64)}), ""},
      {json::array({image(4.5, 4, 48, 64)}), "INVALID_IMAGE_BUFFER"},
      {json::array({image(4, 4.9, 48, 64)}), "INVALID_IMAGE_BUFFER"},
      // The first bad image decides.
      {json::array({image(4, 4, 48, 0), image(9000, 4, 48, 64)}), "NULL_IMAGE_BUFFER"},
      {json::array({image(4, 4, 48, 64), image(4, 4, 48, 64), image(4, 4, 49, 0)}),
       "INVALID_IMAGE_BUFFER"},
  };
  for (const auto& c : cases) EXPECT_EQ(failure(c.images), c.expected) << c.images.dump();
}

TEST(RequestIntake, MalformedDescriptorsRaiseTheJsonLibrarysErrors) {
  EXPECT_THROW(readImageBuffers(json::object()), json::out_of_range);
  EXPECT_THROW(readImageBuffers({{"images", 5}}), json::type_error);
  EXPECT_THROW(readImageBuffers({{"images", {{{"width", 4}}}}}), json::out_of_range);
  EXPECT_NE(failure(json::array({image("4", 4, 48, 64)})).find("type must be number"), std::string::npos);
  EXPECT_NE(failure(json::array({image(4, 4, 48, "p")})).find("type must be number"), std::string::npos);
  EXPECT_NE(failure(json::array({image(true, 4, 48, 64)})).find("type must be number"), std::string::npos);
}

TEST(RequestIntake, OptionTypesAreCheckedBeforeWork) {
  EXPECT_NO_THROW(checkOptionTypes({{"hand_seen", true}}, "detect"));
  EXPECT_NO_THROW(checkOptionTypes(json::object(), "detect"));
  EXPECT_THROW(checkOptionTypes({{"hand_seen", "yes"}}, "detect"), json::type_error);
  EXPECT_THROW(checkOptionTypes({{"hand_seen", 1}}, "motion_bouncer"), json::type_error);
  // Commands that never read it leave it alone.
  EXPECT_NO_THROW(checkOptionTypes({{"hand_seen", 1}}, "warm"));
  EXPECT_NO_THROW(checkOptionTypes({{"hand_seen", "yes"}}, "startup_check"));
}

TEST(RequestIntake, CalibrationScaleFollowsTheTallestImage) {
  EXPECT_DOUBLE_EQ(calibrationScale({cv::Mat(1080, 1920, CV_8UC3)}), 720.0 / 1080.0);
  EXPECT_EQ(calibrationScale({cv::Mat(720, 1280, CV_8UC3)}), 1.0);
  EXPECT_DOUBLE_EQ(calibrationScale({cv::Mat(1280, 720, CV_8UC3)}), 720.0 / 1280.0);
  const auto reduced = reduceImages({cv::Mat(1080, 1920, CV_8UC3, cv::Scalar(9, 8, 7)),
                                     cv::Mat(8192, 1, CV_8UC3, cv::Scalar(1))},
                                    720.0 / 1080.0);
  EXPECT_EQ(reduced[0].size(), cv::Size(1280, 720));
  EXPECT_EQ(reduced[0].at<cv::Vec3b>(100, 100), cv::Vec3b(9, 8, 7));
  EXPECT_EQ(reduced[1].cols, 1);  // never rounded to nothing
}

TEST(RequestIntake, CalibrationsAreScaledInAndOut) {
  const double s = 0.5;
  json request = {{"calibrations", {matrix3x3ToJson({2, 0, 100, 0, 2, 50, 0, 0, 1})}},
                  {"camera_models",
                   {{{"K", {1000, 0, 640, 0, 1000, 360, 0, 0, 1}}}, {{"K", {1, 2}}}, 7}}};
  scaleCalibrationRequest(request, s);
  EXPECT_EQ(matrix3x3FromJson(request["calibrations"][0]),
            (Homography{1, 0, 50, 0, 1, 25, 0, 0, 1}));
  EXPECT_EQ(request["camera_models"][0]["K"], json({500.0, 0.0, 320.0, 0.0, 500.0, 180.0, 0.0, 0.0, 1.0}));
  EXPECT_EQ(request["camera_models"][1]["K"], json({1, 2}));

  json reply = {{"calibrations", {request["calibrations"][0], json::array({1, 2})}}};
  unscaleCalibrationReply(reply, s);
  EXPECT_EQ(matrix3x3FromJson(reply["calibrations"][0]),
            (Homography{2, 0, 100, 0, 2, 50, 0, 0, 1}));
  EXPECT_EQ(reply["calibrations"][1], json({1, 2}));
}

}  // namespace
}  // namespace tarv
