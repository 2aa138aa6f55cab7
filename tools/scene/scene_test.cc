#include "scene/scene.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace tarv::scene {
namespace {

constexpr double kPi = 3.14159265358979323846;

cv::Point2d polar(double r, double angle_deg) {
  const double a = angle_deg * kPi / 180.0;
  return {r * std::sin(a), -r * std::cos(a)};
}

// Coarse colour class of a lit board pixel.
std::string colourClass(const cv::Vec3b& c) {
  const int b = c[0], g = c[1], r = c[2];
  if (r < 70 && g < 70 && b < 70) return "black";
  if (r > 150 && g > 150 && b > 120) return "cream";
  if (r > 2 * g && r > 2 * b) return "red";
  if (g > 1.5 * r && g > 1.5 * b) return "green";
  return "other";
}

cv::Vec3b pixelAt(const cv::Mat& image, const cv::Point2d& p) {
  return image.at<cv::Vec3b>(static_cast<int>(std::lround(p.y)), static_cast<int>(std::lround(p.x)));
}

const Renderer& defaultRenderer() {
  static const Renderer renderer(defaultRig());
  return renderer;
}

TEST(FieldLabel, RingsSectorsAndBoundaries) {
  const struct {
    cv::Point2d point;
    const char* field;
  } cases[] = {
      {{0.0, 0.0}, "BULL"},          {{0.0, -6.99}, "BULL"},     {{0.0, -7.0}, "25"},
      {{12.0, 0.0}, "25"},           {{0.0, -17.0}, "S20"},      {{0.0, -96.9}, "S20"},
      {{0.0, -102.0}, "T20"},        {{0.0, -130.0}, "S20"},     {{0.0, -165.0}, "D20"},
      {{0.0, -170.0}, "D20"},        {{0.0, -170.01}, "MISS"},   {polar(102, 18), "T1"},
      {{165.0, 0.0}, "D6"},          {{0.0, 165.0}, "D3"},       {{-102.0, 0.0}, "T11"},
      {polar(130, 342), "S5"},       {polar(50, 9.0), "S1"},     {polar(50, 351.0), "S20"},
      {polar(103, 180 + 18), "T19"}, {polar(200, 90), "MISS"},   {polar(168, 270), "D11"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fieldLabel(c.point), c.field) << c.point;
  }
}

TEST(CameraRig, PoseIsAProperRotationAndHomographyMatchesProjection) {
  for (const auto& cameraSpec : defaultRig()) {
    const Camera camera(cameraSpec);
    const cv::Matx33d RtR = camera.R().t() * camera.R();
    EXPECT_LT(cv::norm(RtR - cv::Matx33d::eye()), 1e-9);
    EXPECT_NEAR(cv::determinant(camera.R()), 1.0, 1e-9);
    // The camera stands in front of the board (z < 0 in the right-handed board frame).
    const cv::Vec3d centre = -(camera.R().t() * camera.t());
    EXPECT_LT(centre[2], -100.0);
    EXPECT_NEAR(cv::norm(centre - cv::Vec3d(camera.centre().x, camera.centre().y, camera.centre().z)), 0.0, 1e-9);
    for (const cv::Point2d p : {cv::Point2d(0, 0), cv::Point2d(120, -40), cv::Point2d(-170, 90)}) {
      const cv::Vec3d h = camera.boardToImage() * cv::Vec3d(p.x, p.y, 1.0);
      const cv::Point2d projected = camera.project(p);
      EXPECT_NEAR(h[0] / h[2], projected.x, 1e-9);
      EXPECT_NEAR(h[1] / h[2], projected.y, 1e-9);
      const cv::Point2d back = camera.imageToBoard(projected);
      EXPECT_NEAR(back.x, p.x, 1e-9);
      EXPECT_NEAR(back.y, p.y, 1e-9);
    }
    // H = K·[r1 r2 t] up to scale.
    const cv::Matx33d Rt(camera.R()(0, 0), camera.R()(0, 1), camera.t()[0], camera.R()(1, 0),
                         camera.R()(1, 1), camera.t()[1], camera.R()(2, 0), camera.R()(2, 1),
                         camera.t()[2]);
    cv::Matx33d H = camera.K() * Rt;
    H *= 1.0 / H(2, 2);
    EXPECT_LT(cv::norm(H - camera.boardToImage()), 1e-9);
    // A dart standing straight out runs away from the board-normal point in the image.
    const cv::Point2d normal = camera.imageNormal();
    const cv::Point2d tip = camera.project(cv::Point3d(40, 30, 0));
    const cv::Point2d out = camera.project(cv::Point3d(40, 30, -150));
    EXPECT_GT(cv::norm(out - normal), cv::norm(tip - normal) + 50.0);
    const cv::Point2d a = tip - normal, b = out - normal;
    EXPECT_NEAR(a.x * b.y - a.y * b.x, 0.0, 1e-6 * cv::norm(a) * cv::norm(b));
  }
}

TEST(CameraRig, BoardIsUprightAndNotMirroredInEveryCamera) {
  for (const cv::Size size : {cv::Size(800, 600), cv::Size(1280, 720), cv::Size(1920, 1080)}) {
    for (const auto& cameraSpec : defaultRig(size)) {
      const Camera camera(cameraSpec);
      const cv::Point2d bull = camera.project(cv::Point2d(0, 0));
      const cv::Point2d top = camera.project(cv::Point2d(0, -170));
      const cv::Point2d right = camera.project(cv::Point2d(170, 0));
      const cv::Point2d bottom = camera.project(cv::Point2d(0, 170));
      EXPECT_LT(top.y, bull.y) << cameraSpec.id;
      // Clockwise on the board stays clockwise in the image (both have y downward).
      const cv::Point2d a = right - top, b = bottom - top;
      EXPECT_GT(a.x * b.y - a.y * b.x, 0.0) << cameraSpec.id;
      // The whole board is inside the image.
      for (int deg = 0; deg < 360; deg += 5) {
        EXPECT_TRUE(camera.inImage(camera.project(polar(kBoardRadius, deg)))) << cameraSpec.id << " " << deg;
      }
    }
  }
  const Camera below(defaultRig()[2]);
  ASSERT_EQ(below.cameraSpec().azimuth_deg, 180.0);
  const cv::Point2d bull = below.project(cv::Point2d(0, 0));
  const cv::Point2d top = below.project(cv::Point2d(0, -170));
  EXPECT_NEAR(top.x, bull.x, 1.0);
  EXPECT_LT(top.y, bull.y - 100.0);
}

TEST(CameraRig, LensDistortionRoundTrips) {
  CameraSpec cameraSpec = defaultRig()[0];
  cameraSpec.k1 = -0.2;
  const Camera camera(cameraSpec);
  for (int deg = 0; deg < 360; deg += 45) {
    const cv::Point2d p = polar(220.0, deg);
    const cv::Point2d pixel = camera.project(p);
    const cv::Vec3d ideal = camera.boardToImage() * cv::Vec3d(p.x, p.y, 1.0);
    const cv::Point2d centre(camera.K()(0, 2), camera.K()(1, 2));
    // Barrel distortion pulls the rim toward the image centre.
    EXPECT_LT(cv::norm(pixel - centre) + 1.0,
              cv::norm(cv::Point2d(ideal[0] / ideal[2], ideal[1] / ideal[2]) - centre));
    const cv::Point2d back = camera.imageToBoard(pixel);
    EXPECT_NEAR(back.x, p.x, 1e-6);
    EXPECT_NEAR(back.y, p.y, 1e-6);
  }
}

TEST(CameraRig, RejectsImpossibleCameras) {
  CameraSpec cameraSpec;
  cameraSpec.elevation_deg = 90.0;
  EXPECT_THROW(Camera{cameraSpec}, std::runtime_error);
  cameraSpec = CameraSpec{};
  cameraSpec.image_size = {0, 720};
  EXPECT_THROW(Camera{cameraSpec}, std::runtime_error);
  cameraSpec = CameraSpec{};
  cameraSpec.distance_mm = 100.0;  // inside the board's reach: the rim passes behind the camera
  EXPECT_THROW(Camera{cameraSpec}, std::runtime_error);
}

TEST(EmptyBoard, BedsShowTheirColoursInEveryCameraAndSize) {
  const struct {
    cv::Point2d point;
    const char* colour;
  } beds[] = {
      {{0.0, -102.0}, "red"},      {{0.0, -130.0}, "black"},  {polar(130, 18), "cream"},
      {{165.0, 0.0}, "green"},     {{0.0, -165.0}, "red"},    {polar(102, 18), "green"},
      {{0.0, 0.0}, "red"},         {{0.0, 12.0}, "green"},    {polar(60, 180), "black"},
      {polar(60, 198), "cream"},   {polar(102, 270), "green"}, {polar(165, 234), "green"},
      {polar(165, 252), "red"},
  };
  for (const cv::Size size : {cv::Size(800, 600), cv::Size(1280, 720), cv::Size(1920, 1080)}) {
    const Renderer renderer(defaultRig(size), 2);
    for (size_t c = 0; c < renderer.cameras().size(); ++c) {
      const Camera& camera = renderer.cameras()[c];
      for (const auto& bed : beds) {
        EXPECT_EQ(colourClass(pixelAt(renderer.emptyBoard(c), camera.project(bed.point))), bed.colour)
            << size << " " << camera.cameraSpec().id << " " << bed.point << " " << fieldLabel(bed.point);
      }
    }
  }
}

// The warp must put every edge where the homography says: compare with a brute-force render
// of the exact face colours, 6x6 samples per pixel, over a patch full of rings and wires.
TEST(EmptyBoard, MatchesExactFaceGeometry) {
  const Renderer& renderer = defaultRenderer();
  for (size_t c = 0; c < renderer.cameras().size(); ++c) {
    const Camera& camera = renderer.cameras()[c];
    const cv::Point2d centre = camera.project(polar(135, 18 * c + 9));  // on a radial wire
    const cv::Rect patch(static_cast<int>(centre.x) - 20, static_cast<int>(centre.y) - 20, 40, 40);
    double sum = 0.0;
    int worst = 0;
    for (int y = patch.y; y < patch.y + patch.height; ++y) {
      for (int x = patch.x; x < patch.x + patch.width; ++x) {
        cv::Vec3d mean(0, 0, 0);
        for (int j = 0; j < 6; ++j) {
          for (int i = 0; i < 6; ++i) {
            const cv::Point2d sub(x + (i + 0.5) / 6.0 - 0.5, y + (j + 0.5) / 6.0 - 0.5);
            mean += cv::Vec3d(faceColourAt(camera.imageToBoard(sub)));
          }
        }
        mean /= 36.0;
        const cv::Vec3b got = renderer.emptyBoard(c).at<cv::Vec3b>(y, x);
        for (int ch = 0; ch < 3; ++ch) {
          const int d = std::abs(static_cast<int>(got[ch]) - static_cast<int>(std::lround(mean[ch])));
          sum += d;
          worst = std::max(worst, d);
        }
      }
    }
    EXPECT_LT(sum / (patch.area() * 3.0), 4.0) << camera.cameraSpec().id;
    EXPECT_LT(worst, 30) << camera.cameraSpec().id;  // a 0.3 px shift gives 70 or more
  }
}

Dart straightDart(cv::Point2d tip) { return Dart{tip, {0.0, 0.0, -1.0}, flightColours()[0], 0.0}; }

TEST(Darts, PaintOverTheBoardOnlyAroundTheirBody) {
  const Renderer& renderer = defaultRenderer();
  Scene scene;
  scene.darts.push_back({{30.0, -60.0}, frontDirection(15.0, 30.0), flightColours()[1], 10.0});
  const SceneImages shot = renderer.render(scene);
  ASSERT_EQ(shot.truth.darts.size(), 1u);
  for (size_t c = 0; c < shot.frames.size(); ++c) {
    const Camera& camera = renderer.cameras()[c];
    cv::Mat diff;
    cv::absdiff(shot.frames[c], renderer.emptyBoard(c), diff);
    cv::Mat changed;
    cv::cvtColor(diff, changed, cv::COLOR_BGR2GRAY);
    const DartView& view = shot.truth.darts[0].views[c];
    EXPECT_TRUE(view.tip_visible);
    // Near the tip, on the barrel and at the flight the image changed.
    auto maxAround = [&](cv::Point2d p, int radius) {
      double best = 0.0;
      const cv::Rect r = cv::Rect(static_cast<int>(p.x) - radius, static_cast<int>(p.y) - radius,
                                  2 * radius + 1, 2 * radius + 1) &
                         cv::Rect(0, 0, changed.cols, changed.rows);
      cv::minMaxLoc(changed(r), nullptr, &best);
      return best;
    };
    EXPECT_GT(maxAround(view.tip_px, 2), 20.0) << c;
    EXPECT_GT(maxAround(camera.project(scene.darts[0].along(50.0)), 0), 30.0) << c;
    EXPECT_GT(maxAround(camera.project(scene.darts[0].along(135.0)), 3), 30.0) << c;
    EXPECT_NEAR(cv::norm(view.flight_px - camera.project(scene.darts[0].flightEnd())), 0.0, 1e-9);
    // Away from the dart nothing changed at all.
    cv::Mat far_mask = cv::Mat::ones(changed.size(), CV_8U);
    const cv::Point2d a = view.tip_px, b = view.flight_px;
    cv::line(far_mask, a, b, cv::Scalar(0), 80);
    EXPECT_EQ(cv::countNonZero(changed & far_mask), 0) << c;
  }
  EXPECT_EQ(shot.truth.darts[0].field, "S1");
}

TEST(Darts, NearerDartsHideFartherOnesWhateverTheSceneOrder) {
  const Renderer& renderer = defaultRenderer();
  const Camera& below = renderer.cameras()[2];
  // Put dart B where its barrel, 50 mm out, lies on the line of sight to A's tip.
  const Dart a = straightDart({10.0, -60.0});
  const cv::Vec3d c(below.centre().x, below.centre().y, below.centre().z);
  const cv::Vec3d tip(a.tip_mm.x, a.tip_mm.y, 0.0);
  const double lambda = (-50.0 - c[2]) / (tip[2] - c[2]);
  const cv::Vec3d on_ray = c + lambda * (tip - c);
  Dart b = straightDart({on_ray[0], on_ray[1]});
  b.flight_colour = flightColours()[2];

  Scene ab, ba, only_b;
  ab.darts = {a, b};
  ba.darts = {b, a};
  only_b.darts = {b};
  const SceneImages shot_ab = renderer.render(ab);
  const SceneImages shot_ba = renderer.render(ba);
  const SceneImages shot_b = renderer.render(only_b);
  for (size_t i = 0; i < shot_ab.frames.size(); ++i) {
    EXPECT_EQ(cv::norm(shot_ab.frames[i], shot_ba.frames[i], cv::NORM_INF), 0.0) << i;
  }
  EXPECT_FALSE(shot_ab.truth.darts[0].views[2].tip_visible);
  EXPECT_TRUE(shot_ab.truth.darts[1].views[2].tip_visible);
  EXPECT_TRUE(shot_ab.truth.darts[0].views[0].tip_visible);
  // At A's tip camera 3 sees B's barrel, exactly as if A were not there.
  const cv::Point2d hidden = shot_ab.truth.darts[0].views[2].tip_px;
  EXPECT_EQ(pixelAt(shot_ab.frames[2], hidden), pixelAt(shot_b.frames[2], hidden));
  EXPECT_NE(pixelAt(shot_b.frames[2], hidden), pixelAt(renderer.emptyBoard(2), hidden));
}

TEST(Hand, CoversTheBoardAndIsReported) {
  const Renderer& renderer = defaultRenderer();
  Scene scene;
  scene.darts.push_back(straightDart({90.0, 80.0}));
  Hand hand;
  hand.centre_mm = {0.0, -100.0};
  scene.hand = hand;
  const SceneImages shot = renderer.render(scene);
  EXPECT_TRUE(shot.truth.hand_seen);
  for (size_t c = 0; c < shot.frames.size(); ++c) {
    // The palm, or in the camera below the board the forearm in front of it.
    const cv::Point2d palm = renderer.cameras()[c].project(cv::Point3d(0.0, -100.0, -60.0));
    const cv::Vec3i seen = pixelAt(shot.frames[c], palm);
    const cv::Vec3i board = pixelAt(renderer.emptyBoard(c), palm);
    EXPECT_GT(cv::norm(seen - board), 40.0) << c << " " << seen << " " << board;  // skin is reddish, not the board behind it
  }
  Scene empty;
  EXPECT_FALSE(renderer.render(empty).truth.hand_seen);
}

TEST(Imaging, LevelsNoiseBlurAndJpegBehave) {
  const Renderer& renderer = defaultRenderer();
  const cv::Mat clean = renderer.emptyBoard(0);

  Imaging levels;
  levels.gain = 0.5;
  levels.offset = 10.0;
  cv::Mat expected;
  clean.convertTo(expected, CV_8U, 0.5, 10.0);
  EXPECT_LE(cv::norm(applyImaging(clean, levels, 0), expected, cv::NORM_INF), 1.0);

  Imaging noise;
  noise.noise_sigma = 4.0;
  noise.noise_seed = 7;
  const cv::Mat noisy = applyImaging(clean, noise, 0);
  cv::Mat diff;
  cv::subtract(noisy, clean, diff, cv::noArray(), CV_32F);
  cv::Scalar mean, stddev;
  cv::meanStdDev(diff.reshape(1), mean, stddev);
  EXPECT_NEAR(mean[0], 0.0, 0.2);
  EXPECT_NEAR(stddev[0], 4.0, 0.4);
  EXPECT_EQ(cv::norm(noisy, applyImaging(clean, noise, 0), cv::NORM_INF), 0.0);
  EXPECT_GT(cv::norm(noisy, applyImaging(clean, noise, 1), cv::NORM_L1), 0.0);
  noise.noise_seed = 8;
  EXPECT_GT(cv::norm(noisy, applyImaging(clean, noise, 0), cv::NORM_L1), 0.0);

  Imaging blur;
  blur.blur_sigma = 1.5;
  cv::Mat blurred = applyImaging(clean, blur, 0), lap_clean, lap_blur;
  cv::Laplacian(clean, lap_clean, CV_32F);
  cv::Laplacian(blurred, lap_blur, CV_32F);
  EXPECT_LT(cv::norm(lap_blur, cv::NORM_L1), 0.6 * cv::norm(lap_clean, cv::NORM_L1));

  Imaging jpeg;
  jpeg.jpeg_quality = 80;
  const cv::Mat decoded = applyImaging(clean, jpeg, 0);
  ASSERT_EQ(decoded.size(), clean.size());
  ASSERT_EQ(decoded.type(), CV_8UC3);
  EXPECT_GT(cv::norm(decoded, clean, cv::NORM_L1), 0.0);
  EXPECT_GT(cv::PSNR(decoded, clean), 30.0);
}

TEST(Imaging, FadedColoursAndGlare) {
  const Renderer& renderer = defaultRenderer();
  const cv::Mat clean = renderer.emptyBoard(0);
  const Camera& camera = renderer.cameras()[0];
  const cv::Point2d red = camera.project(polar(165.0, 0.0));  // the double 20
  const auto saturation = [&](const cv::Mat& image) {
    cv::Mat hsv;
    cv::cvtColor(image, hsv, cv::COLOR_BGR2HSV);
    return pixelAt(hsv, red)[1];
  };
  Imaging worn;
  worn.fade = 0.6;
  const cv::Mat faded = applyImaging(clean, worn, 0);
  EXPECT_LT(saturation(faded), 0.6 * saturation(clean));
  EXPECT_EQ(colourClass(pixelAt(faded, red)), "other");

  Imaging lit;
  lit.glare = Glare{red, 20.0, 150.0};
  const cv::Mat glared = applyImaging(clean, lit, 0);
  const cv::Vec3b at = pixelAt(glared, red), before = pixelAt(clean, red);
  for (int c = 0; c < 3; ++c) EXPECT_GE(at[c], std::min(255, before[c] + 140));
  const cv::Point2d far = red + cv::Point2d(150.0, 0.0);
  EXPECT_EQ(pixelAt(glared, far), pixelAt(clean, far));
}

TEST(BoardTextureShadows, WiresShadowTheirLowerRightSide) {
  const BoardTexture shadowed = renderBoardTexture(0.5, kBoardRadius + 10.0, BoardLook{1.5});
  const BoardTexture plain = renderBoardTexture(0.5, kBoardRadius + 10.0);
  const auto texel = [](const BoardTexture& t, cv::Point2d board) {
    return t.image.at<cv::Vec3b>(static_cast<int>(std::lround((board.y - t.origin_mm) / t.mm_per_px)),
                                 static_cast<int>(std::lround((board.x - t.origin_mm) / t.mm_per_px)));
  };
  // The treble ring's outer wire at the 6 (x = 107 mm): the shadow falls outward and down.
  const cv::Point2d below(108.2, 1.0), above(105.8, -1.0);
  EXPECT_LT(cv::norm(texel(shadowed, below)), 0.7 * cv::norm(texel(plain, below)));
  EXPECT_EQ(texel(shadowed, above), texel(plain, above));
}

// Where the image shows the double ring's outer wire across the given board direction: the
// centroid of its grey (every channel bright; the bed and the surround beside it are not).
cv::Point2d wireCentreAcross(const Renderer& renderer, double angle_deg) {
  const Camera& camera = renderer.cameras()[0];
  const cv::Point2d from = camera.project(polar(164.0, angle_deg)), to = camera.project(polar(176.0, angle_deg));
  cv::Point2d sum(0.0, 0.0);
  double weight = 0.0;
  for (int i = 0; i <= 400; ++i) {
    const cv::Point2d p = from + (to - from) * (i / 400.0);
    cv::Mat patch;
    cv::getRectSubPix(renderer.emptyBoard(0), {1, 1}, cv::Point2f(p), patch, CV_32F);
    const cv::Vec3f c = patch.at<cv::Vec3f>(0, 0);
    const double w = std::max(0.0, std::min({c[0], c[1], c[2]}) - 120.0);
    sum += w * p;
    weight += w;
  }
  return sum / weight;
}

// Wires stand off the face: seen from the side, a wire's middle lies where its middle height
// projects, beside the line it lies on (about 1.7 px here); painted flat, on that line.
TEST(BoardTextureWires, RaisedWiresAreSeenWhereTheirHeightPutsThem) {
  CameraSpec cameraSpec;
  cameraSpec.image_size = {1920, 1080};
  cameraSpec.elevation_deg = 50.0;
  cameraSpec.azimuth_deg = 180.0;
  BoardTexture raised = renderBoardTexture(0.25, kBoardRadius + 10.0);
  raised.wire_height_mm = 2.0;
  const Renderer flatRenderer({cameraSpec}, renderBoardTexture(0.25, kBoardRadius + 10.0), 2);
  const Renderer raisedRenderer({cameraSpec}, raised, 2);
  const Camera& camera = flatRenderer.cameras()[0];
  for (double angle : {0.0, 180.0}) {  // the far side and the near side
    const cv::Point2d onFace = camera.project(polar(170.0, angle));
    const cv::Point2d b = polar(170.0, angle);
    const cv::Point2d halfway = camera.project(cv::Point3d(b.x, b.y, -1.0));
    ASSERT_GT(cv::norm(halfway - onFace), 1.2) << angle;
    EXPECT_LT(cv::norm(wireCentreAcross(flatRenderer, angle) - onFace), 0.4) << angle;
    EXPECT_LT(cv::norm(wireCentreAcross(raisedRenderer, angle) - halfway), 0.4) << angle;
  }
}

TEST(BoardTextureWear, WornWiresGoDullAndBentRingsMoveOnlyNearTheWires) {
  BoardLook worn;
  worn.wire_wear = 1.0;  // every patch worn
  BoardLook bent;
  bent.wire_wobble_mm = 0.5;
  bent.wear_seed = 3;
  BoardLook close;
  close.number_radius_mm = 181.0;
  const BoardTexture plain = renderBoardTexture(0.5, kBoardRadius + 10.0);
  const BoardTexture wornTexture = renderBoardTexture(0.5, kBoardRadius + 10.0, worn);
  const BoardTexture bentTexture = renderBoardTexture(0.5, kBoardRadius + 10.0, bent);
  const BoardTexture closeTexture = renderBoardTexture(0.5, kBoardRadius + 10.0, close);
  const auto texel = [](const BoardTexture& t, cv::Point2d board) {
    return t.image.at<cv::Vec3b>(static_cast<int>(std::lround((board.y - t.origin_mm) / t.mm_per_px)),
                                 static_cast<int>(std::lround((board.x - t.origin_mm) / t.mm_per_px)));
  };
  // On the double ring's wire at the 6: bright on the plain board, dull on the worn one.
  const cv::Point2d wire(170.0, 4.0);
  EXPECT_LT(cv::norm(texel(wornTexture, wire)), 0.8 * cv::norm(texel(plain, wire)));
  // In the middle of a bed nothing changes, worn or bent.
  const cv::Point2d bed(135.0, 4.0);
  EXPECT_EQ(texel(wornTexture, bed), texel(plain, bed));
  EXPECT_EQ(texel(bentTexture, bed), texel(plain, bed));
  // Bent rings differ from the plain ones somewhere along the double ring, by at most a wire.
  int differing = 0;
  for (int i = 0; i < 360; ++i) {
    const double a = i * 3.14159265358979323846 / 180.0;
    differing += texel(bentTexture, {169.0 * std::cos(a), 169.0 * std::sin(a)}) !=
                 texel(plain, {169.0 * std::cos(a), 169.0 * std::sin(a)});
    EXPECT_EQ(texel(bentTexture, {166.0 * std::cos(a), 166.0 * std::sin(a)}),
              texel(plain, {166.0 * std::cos(a), 166.0 * std::sin(a)}));
  }
  EXPECT_GT(differing, 20);
  // Numbers printed closer to the ring: the 20 moves down toward it.
  int movedIn = 0;
  for (double y = -183.0; y <= -175.0; y += 0.5) {
    movedIn += cv::norm(texel(closeTexture, {0.0, y})) > cv::norm(texel(plain, {0.0, y})) + 60.0;
  }
  EXPECT_GT(movedIn, 0);
}

TEST(Random, SameSeedSameSceneAndPixels) {
  auto makeScene = [](uint64_t seed) {
    SceneRandom rng(seed);
    Scene scene;
    for (int i = 0; i < 3; ++i) scene.darts.push_back(randomDart(rng));
    scene.imaging.noise_sigma = 3.0;
    scene.imaging.noise_seed = seed;
    return scene;
  };
  const Renderer& renderer = defaultRenderer();
  const SceneImages first = renderer.render(makeScene(42));
  const SceneImages again = renderer.render(makeScene(42));
  const SceneImages other = renderer.render(makeScene(43));
  EXPECT_EQ(first.truth.toJson(), again.truth.toJson());
  EXPECT_NE(first.truth.toJson(), other.truth.toJson());
  for (size_t i = 0; i < first.frames.size(); ++i) {
    EXPECT_EQ(cv::norm(first.frames[i], again.frames[i], cv::NORM_INF), 0.0);
    EXPECT_GT(cv::norm(first.frames[i], other.frames[i], cv::NORM_L1), 0.0);
  }
}

TEST(Random, TipsFillTheDiscAndDirectionsStayNearTheNormal) {
  SceneRandom rng(1);
  int inner = 0;
  const int n = 20000;
  for (int i = 0; i < n; ++i) {
    const cv::Point2d tip = randomTip(rng, 178.0);
    const double r = std::hypot(tip.x, tip.y);
    ASSERT_LE(r, 178.0);
    if (r < 89.0) ++inner;
    const cv::Vec3d d = randomDartDirection(rng, 30.0);
    ASSERT_NEAR(cv::norm(d), 1.0, 1e-12);
    ASSERT_LE(d[2], -std::cos(30.0 * kPi / 180.0) + 1e-12);
  }
  EXPECT_NEAR(static_cast<double>(inner) / n, 0.25, 0.015);  // uniform over the area
}

TEST(GroundTruth, JsonCarriesCamerasAndDarts) {
  Scene scene;
  scene.darts.push_back(straightDart({0.0, -165.0}));
  const GroundTruth truth = defaultRenderer().truth(scene);
  const nlohmann::json j = truth.toJson();
  ASSERT_EQ(j.at("cameras").size(), 3u);
  EXPECT_EQ(j["cameras"][2]["id"], "CAM_3");
  EXPECT_EQ(j["cameras"][0]["board_to_image"].size(), 3u);
  EXPECT_EQ(j["darts"][0]["field"], "D20");
  EXPECT_EQ(j["darts"][0]["views"].size(), 3u);
  const cv::Matx33d& H = truth.cameras[1].board_to_image;
  const cv::Vec3d p = H * cv::Vec3d(0.0, -165.0, 1.0);
  EXPECT_NEAR(j["darts"][0]["views"][1]["tip_px"][0].get<double>(), p[0] / p[2], 1e-9);
}

}  // namespace
}  // namespace tarv::scene
