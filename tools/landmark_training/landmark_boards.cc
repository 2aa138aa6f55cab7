#include "landmark_training/landmark_boards.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "landmark_training/rig_variety.h"
#include "tarv/autocal/camera_estimate.h"
#include "tarv/autocal/landmark_detection.h"
#include "tarv/autocal/vision_report.h"

namespace tarv::landmark_boards {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Board radius the renderer draws -> radius the landmark solver's board has, both ways.
// The renderer's rings lie at 7, 17, 97, 107, 160 and 170 mm; a regulation board (and the
// solver's reference crossings) at 6.35, 15.9, 99, 107, 162 and 170 mm. Beyond 170 mm
// nothing moves, so the numbers stay where they are printed.
constexpr std::array<double, 7> kDrawn{0.0, 7.0, 17.0, 97.0, 107.0, 160.0, 170.0};
constexpr std::array<double, 7> kWanted{0.0, 6.35, 15.9, 99.0, 107.0, 162.0, 170.0};

double drawnRadiusFor(double wanted) {
  if (wanted >= kWanted.back()) return wanted;
  for (size_t i = 1; i < kWanted.size(); ++i) {
    if (wanted <= kWanted[i]) {
      const double f = (wanted - kWanted[i - 1]) / (kWanted[i] - kWanted[i - 1]);
      return kDrawn[i - 1] + f * (kDrawn[i] - kDrawn[i - 1]);
    }
  }
  return wanted;
}

scene::BoardTexture remapToLandmarkRadii(const scene::BoardTexture& drawn) {
  const int size = drawn.image.rows;
  cv::Mat mapx(size, size, CV_32F), mapy(size, size, CV_32F);
  const double origin = drawn.origin_mm, mm = drawn.mm_per_px;
  for (int v = 0; v < size; ++v) {
    for (int u = 0; u < size; ++u) {
      const double x = origin + u * mm, y = origin + v * mm;
      const double r = std::hypot(x, y);
      const double k = r > 1e-9 ? drawnRadiusFor(r) / r : 1.0;
      mapx.at<float>(v, u) = static_cast<float>((x * k - origin) / mm);
      mapy.at<float>(v, u) = static_cast<float>((y * k - origin) / mm);
    }
  }
  scene::BoardTexture out = drawn;
  cv::remap(drawn.image, out.image, mapx, mapy, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  cv::Mat wires;
  cv::remap(drawn.wire_mask, wires, mapx, mapy, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  out.wire_mask = wires;
  return out;
}

scene::BoardTexture buildTexture(int look) {
  scene::BoardLook l;
  if (look == 1) {
    l.wire_shadow_mm = 1.2;
    l.number_font = 2;  // Hershey duplex
    l.number_height_mm = 16.0;
  } else if (look == 2) {
    l.number_font = 4;  // Hershey triplex
    l.number_height_mm = 14.0;
    l.number_stroke_mm = 1.8;
  } else if (look == 3) {
    l.wire_shadow_mm = 0.8;
    l.number_font = 3;  // Hershey complex
    l.number_height_mm = 17.0;
    l.number_stroke_mm = 2.6;
  }
  return remapToLandmarkRadii(scene::renderBoardTexture(0.25, scene::kBoardRadius + 10.0, l));
}

// Landmark frame (20 at +y) -> the renderer's board frame (20 at -y).
cv::Point2d toScene(double x, double y) { return {x, -y}; }

bool inside(const cv::Size& size, cv::Point2d p, double margin) {
  return p.x >= margin && p.y >= margin && p.x <= size.width - 1 - margin && p.y <= size.height - 1 - margin;
}

// A busy room round the board: gradients, boxes, discs, lines and writing in random colours.
// The order of draws from one generator must not be left to the compiler, or the same seed
// renders other boards with another compiler. Each draw is therefore taken into a named value
// first, in the order the training boards were made in: the last argument drawn first.
cv::Scalar randomColour(scene::SceneRandom& rng) {
  const double red = rng.uniform(0, 255), green = rng.uniform(0, 255), blue = rng.uniform(0, 255);
  return cv::Scalar(blue, green, red);
}

cv::Mat clutterImage(cv::Size size, scene::SceneRandom& rng) {
  cv::Mat out(size, CV_8UC3);
  const cv::Scalar a = randomColour(rng);
  const cv::Scalar b = randomColour(rng);
  for (int y = 0; y < size.height; ++y) {
    const double f = static_cast<double>(y) / std::max(1, size.height - 1);
    out.row(y).setTo(a * (1.0 - f) + b * f);
  }
  auto colour = [&rng]() { return randomColour(rng); };
  auto point = [&rng, size]() {
    const int y = static_cast<int>(rng.uniform(-0.1, 1.1) * size.height);
    const int x = static_cast<int>(rng.uniform(-0.1, 1.1) * size.width);
    return cv::Point(x, y);
  };
  const int shapes = static_cast<int>(rng.uniform(5, 40));
  const double scale = std::max(size.width, size.height) / 1280.0;
  for (int i = 0; i < shapes; ++i) {
    const int kind = static_cast<int>(rng.uniform(0, 5));
    const int thick = rng.uniform() < 0.5 ? -1 : static_cast<int>(rng.uniform(1, 6) * scale) + 1;
    if (kind == 0) {
      const cv::Scalar c = colour();
      const cv::Point to = point(), from = point();
      cv::rectangle(out, from, to, c, thick, cv::LINE_AA);
    } else if (kind == 1) {
      const cv::Scalar c = colour();
      const int radius = static_cast<int>(rng.uniform(5, 150) * scale);
      cv::circle(out, point(), radius, c, thick, cv::LINE_AA);
    } else if (kind == 2) {
      const int width = static_cast<int>(rng.uniform(1, 8) * scale) + 1;
      const cv::Scalar c = colour();
      const cv::Point to = point(), from = point();
      cv::line(out, from, to, c, width, cv::LINE_AA);
    } else if (kind == 3) {
      const std::string text = std::to_string(static_cast<int>(rng.uniform(0, 100)));
      const int width = static_cast<int>(rng.uniform(1, 5));
      const cv::Scalar c = colour();
      const double fontScale = rng.uniform(0.8, 4.0) * scale;
      const int font = static_cast<int>(rng.uniform(0, 5));
      cv::putText(out, text, point(), font, fontScale, c, width, cv::LINE_AA);
    } else {
      // A grid of tiles or a shelf of thin boxes.
      const cv::Point o = point();
      const int step = static_cast<int>(rng.uniform(10, 60) * scale) + 2;
      const cv::Scalar c = colour();
      for (int k = 0; k < 8; ++k) {
        cv::line(out, o + cv::Point(k * step, 0), o + cv::Point(k * step, 7 * step), c, 1, cv::LINE_AA);
        cv::line(out, o + cv::Point(0, k * step), o + cv::Point(7 * step, k * step), c, 1, cv::LINE_AA);
      }
    }
  }
  return out;
}

// Pixels beyond the board's rim.
cv::Mat surroundMask(const scene::Camera& camera) {
  std::vector<cv::Point> rim;
  for (int i = 0; i < 360; ++i) {
    const double a = i * kPi / 180.0;
    const cv::Point2d p = camera.project(cv::Point2d(scene::kBoardRadius * std::cos(a), scene::kBoardRadius * std::sin(a)));
    rim.emplace_back(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
  }
  cv::Mat mask(camera.imageSize(), CV_8U, cv::Scalar(255));
  cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{rim}, cv::Scalar(0), cv::LINE_AA);
  return mask;
}

// A landmark is hidden when a dart changed the pixels round it.
bool occluded(const cv::Mat& withDarts, const cv::Mat& empty, cv::Point2d p, int radius) {
  const cv::Rect box(static_cast<int>(std::lround(p.x)) - radius, static_cast<int>(std::lround(p.y)) - radius,
                     2 * radius + 1, 2 * radius + 1);
  const cv::Rect r = box & cv::Rect(0, 0, empty.cols, empty.rows);
  if (r.empty()) return false;
  cv::Mat diff;
  cv::absdiff(withDarts(r), empty(r), diff);
  double maxValue = 0.0;
  cv::minMaxLoc(diff.reshape(1), nullptr, &maxValue);
  return maxValue > 40.0;
}

}  // namespace

const scene::BoardTexture& landmarkBoardTexture(int look) {
  constexpr int kLooks = kHeldOutLook + 1;
  static std::once_flag once[kLooks];
  static scene::BoardTexture textures[kLooks];
  const int k = std::clamp(look, 0, kHeldOutLook);
  std::call_once(once[k], [k]() { textures[k] = buildTexture(k); });
  return textures[k];
}

scene::CameraSpec randomCameraSpec(scene::SceneRandom& rng, const SampleOptions& options) {
  static const cv::Size kSizes[] = {{1280, 720}, {1920, 1080}, {1024, 768}, {800, 800},
                                    {800, 600},  {1280, 960},  {640, 480},  {1600, 1200}};
  scene::CameraSpec cameraSpec;
  cameraSpec.image_size = kSizes[rng.next() % (sizeof(kSizes) / sizeof(kSizes[0]))];
  cameraSpec.azimuth_deg = rng.uniform(0.0, 360.0);
  cameraSpec.elevation_deg = 90.0 - rng.uniform(options.min_above_deg, options.max_above_deg);
  cameraSpec.distance_mm = rng.uniform(380.0, 900.0);
  cameraSpec.board_fill = rng.uniform(0.55, 1.0);
  if (rng.uniform() < 0.5) {
    const double a = rng.uniform(0.0, 2.0 * kPi), r = rng.uniform(0.0, 60.0);
    cameraSpec.aim_mm = cv::Point2d(r * std::cos(a), r * std::sin(a));
  }
  cameraSpec.roll_deg = rng.uniform() < 0.1 ? rng.uniform(-180.0, 180.0) : 8.0 * rng.normal();
  cameraSpec.k1 = rng.uniform(-0.22, 0.04);
  if (options.rigVariety) {
    const double size = rng.uniform();
    cameraSpec.board_fill = size < 0.2 ? rng.uniform(0.25, 0.55) : size < 0.8 ? rng.uniform(0.55, 1.0) : rng.uniform(1.0, 1.25);
    // A wide lens bends the corners most; the smaller the board, the further out they lie, so
    // the bend is kept where the lens model stays one-to-one over the image.
    const double reach = std::min(1.0, std::pow(cameraSpec.board_fill / 0.8, 2.0));
    cameraSpec.k1 = rng.uniform(-0.35, 0.05) * reach;
  }
  return cameraSpec;
}

scene::CameraSpec cameraSpecForSeed(uint64_t seed, const SampleOptions& options) {
  scene::SceneRandom rng(seed * 0x9E3779B97F4A7C15ULL + 0x1234567ULL);
  return randomCameraSpec(rng, options);
}

SampleOptions rigSampleOptions() {
  SampleOptions options;
  options.min_above_deg = 40.0;
  options.max_above_deg = 50.0;
  options.rigVariety = true;
  options.ledRing = true;
  options.darts = false;
  return options;
}

scene::CameraSpec rigCameraSpecForSeed(uint64_t seed, const SampleOptions& options) {
  scene::CameraSpec camera = cameraSpecForSeed(seed, options);
  scene::SceneRandom rng(seed * 0x2545F4914F6CDD1DULL + 0x38ULL);
  camera.image_size = {800, 600};
  camera.board_fill = rng.uniform(0.8, 1.0);
  camera.k1 = rng.uniform(-0.35, -0.1);
  return camera;
}

BoardSample renderBoardSample(uint64_t seed, const SampleOptions& options) {
  return renderBoardSampleFor(seed, cameraSpecForSeed(seed, options), options);
}

BoardSample renderBoardSampleWithoutLens(uint64_t seed, const SampleOptions& options) {
  scene::CameraSpec lensless = cameraSpecForSeed(seed, options);
  lensless.k1 = 0.0;
  return renderBoardSampleFor(seed, lensless, options);
}

BoardSample renderBoardSampleFor(uint64_t seed, const scene::CameraSpec& cameraSpec, const SampleOptions& options) {
  scene::SceneRandom rng(seed * 0xD1B54A32D192ED03ULL + 0x89ABCDEFULL);
  BoardSample out;
  out.cameraSpec = cameraSpec;
  const int drawnLook = static_cast<int>(rng.next() % kBoardLooks);
  const int look = options.look >= 0 ? options.look : drawnLook;
  // The variety draws from a stream of its own, so that the usual draws stay as they were.
  scene::SceneRandom variety(seed * 0xA0761D6478BD642FULL + 0xE7037ED1A0B428DBULL);
  scene::BoardTexture face =
      options.rigVariety ? otherMakeTexture(landmarkBoardTexture(look), variety) : landmarkBoardTexture(look);
  if (options.maxWireHeightMm > 0.0) {
    scene::SceneRandom wires(seed * 0xE220A8397B1DCDAFULL + 0x6A5D39EAE116586DULL);
    face.wire_height_mm = wires.uniform(options.minWireHeightMm, options.maxWireHeightMm);
  }
  const scene::Renderer renderer({out.cameraSpec}, face, 2);
  const scene::Camera& camera = renderer.cameras().at(0);

  scene::Scene sc;
  if (options.darts) {
    const int darts = static_cast<int>(rng.next() % 7) + (options.rigVariety ? static_cast<int>(variety.next() % 4) : 0);
    for (int i = 0; i < darts; ++i) sc.darts.push_back(scene::randomDart(rng, 190.0, 35.0));
  }
  const cv::Mat empty = renderer.emptyBoard(0);
  cv::Mat frame = sc.darts.empty() ? empty.clone() : renderer.render(sc).frames.at(0);
  const cv::Mat withDarts = frame.clone();
  if (options.clutter) {
    const cv::Mat clutter = clutterImage(frame.size(), rng);
    const cv::Mat beyondRim = surroundMask(camera);
    clutter.copyTo(frame, beyondRim);
    if (options.rigVariety) paintSurround(frame, camera, beyondRim, variety);
  }
  if (options.effects) {
    scene::Imaging im;
    im.fade = rng.uniform() < 0.3 ? rng.uniform(0.0, 0.4) : 0.0;
    if (rng.uniform() < 0.3) {
      const double y = rng.uniform(-150, 150), x = rng.uniform(-150, 150);
      const cv::Point2d c = camera.project(cv::Point2d(x, y));
      im.glare = scene::Glare{c, rng.uniform(20.0, 120.0), rng.uniform(40.0, 160.0)};
    }
    im.gain = rng.uniform(0.55, 1.4);
    im.offset = rng.uniform(-25.0, 25.0);
    const double usualBlur = rng.uniform() < 0.6 ? rng.uniform(0.0, 1.6) : 0.0;
    im.blur_sigma = options.max_blur_sigma > 0.0 ? rng.uniform(options.min_blur_sigma, options.max_blur_sigma) : usualBlur;
    im.noise_sigma = rng.uniform(0.0, 9.0);
    im.jpeg_quality = rng.uniform() < 0.7 ? static_cast<int>(rng.uniform(35.0, 95.0)) : 0;
    im.noise_seed = seed;
    if (options.rigVariety) {
      // Fade and glare as before; light, blur, noise and compression as a rig's camera does.
      im.gain = 1.0;
      im.offset = 0.0;
      im.blur_sigma = options.max_blur_sigma > 0.0 ? im.blur_sigma : 0.0;
      im.noise_sigma = 0.0;
      im.jpeg_quality = 0;
      frame = rigImaging(scene::applyImaging(frame, im, 0), camera, variety, options.ledRing);
    } else {
      frame = scene::applyImaging(frame, im, 0);
    }
  }
  out.image = frame;

  const cv::Size size = out.cameraSpec.image_size;
  const double mmPx = cv::norm(camera.project(cv::Point2d(0.0, 0.0)) - camera.project(cv::Point2d(10.0, 0.0))) / 10.0;
  const int occlusionRadius = std::max(2, static_cast<int>(std::lround(1.5 * mmPx)));
  const cv::Point2d bull = camera.project(cv::Point2d(0.0, 0.0));
  if (inside(size, bull, 2.0) && !occluded(withDarts, empty, bull, occlusionRadius)) {
    double extent = 0.0;
    for (int i = 0; i < 8; ++i) {
      const double a = i * kPi / 4.0;
      extent = std::max(extent, cv::norm(camera.project(toScene(15.9 * std::cos(a), 15.9 * std::sin(a))) - bull));
    }
    out.landmarks.push_back({0, bull, {2.0 * extent, 2.0 * extent}});
  }
  // A raised crossing is seen where its wires are, about their middle height off the face (the
  // scene's z points into the board).
  const double seenHeightMm = 0.5 * face.wire_height_mm;
  for (const cv::Point3d& c : referenceCrossings()) {
    const cv::Point2d s = toScene(c.x, c.y);
    const cv::Point2d p = camera.project(cv::Point3d(s.x, s.y, -seenHeightMm));
    if (!inside(size, p, 1.0)) continue;
    ++out.crossings_in_image;
    if (occluded(withDarts, empty, p, occlusionRadius)) continue;
    out.landmarks.push_back({1, p, {4.0 * mmPx, 4.0 * mmPx}});
  }
  for (int n = 0; n < 20; ++n) {
    const double a = (90.0 - 18.0 * n) * kPi / 180.0;
    const cv::Point2d p = camera.project(toScene(scene::kNumberRadius * std::cos(a), scene::kNumberRadius * std::sin(a)));
    if (!inside(size, p, 4.0) || occluded(withDarts, empty, p, occlusionRadius)) continue;
    out.landmarks.push_back({2 + n, p, {16.0 * mmPx, 16.0 * mmPx}});
  }
  return out;
}

scene::CameraSpec enlargedCameraSpec(uint64_t seed, scene::CameraSpec cameraSpec, cv::Size size, double minFill,
                                     double maxFill) {
  scene::SceneRandom rng(seed * 0x9E6C63D0676A9A99ULL + 0x51ULL);
  cameraSpec.image_size = size;
  cameraSpec.board_fill = rng.uniform(minFill, maxFill);
  return cameraSpec;
}

BoardSample renderOffCentreSampleFor(uint64_t seed, scene::CameraSpec cameraSpec, const SampleOptions& options,
                                     double offCentrePx, cv::Point2d& origin) {
  const cv::Size size = cameraSpec.image_size;
  const int margin = static_cast<int>(std::ceil(offCentrePx));
  if (cameraSpec.focal_px <= 0.0) {
    cameraSpec.board_fill = std::max(0.2, cameraSpec.board_fill - 2.0 * offCentrePx / std::min(size.width, size.height));
  }
  cameraSpec.focal_px = scene::Camera(cameraSpec).K()(0, 0);
  cameraSpec.image_size = {size.width + 2 * margin, size.height + 2 * margin};
  const cv::Rect window(static_cast<int>(std::lround(margin + (seed % 2 == 0 ? 1.0 : -1.0) * offCentrePx)),
                        static_cast<int>(std::lround(margin + (seed % 4 < 2 ? 0.6 : -0.6) * offCentrePx)), size.width,
                        size.height);
  BoardSample sample = renderBoardSampleFor(seed, cameraSpec, options);
  sample.image = sample.image(window).clone();
  sample.landmarks.clear();
  sample.crossings_in_image = 0;
  origin = {static_cast<double>(window.x), static_cast<double>(window.y)};
  return sample;
}

std::vector<cv::Point2d> trueRingPoints(const scene::Camera& camera, double radius_mm, int turn_sectors) {
  std::vector<cv::Point2d> out;
  for (int i = 0; i < 72; ++i) {
    const double a = (i * 5.0 + 18.0 * turn_sectors) * kPi / 180.0;
    out.push_back(camera.project(toScene(radius_mm * std::cos(a), radius_mm * std::sin(a))));
  }
  return out;
}

CameraEstimate trueCameraEstimate(const BoardSample& sample) {
  const scene::Camera camera(sample.cameraSpec);
  CameraEstimate e = makeCameraEstimate(sample.image.cols, sample.image.rows, camera.K()(0, 0));
  e.K = cv::Mat(camera.K()).clone();
  e.dist.at<double>(0) = sample.cameraSpec.k1;
  // The landmark frame is the scene's turned about its x axis.
  cv::Rodrigues(cv::Mat(camera.R() * cv::Matx33d(1, 0, 0, 0, -1, 0, 0, 0, -1)), e.rvec);
  e.tvec = cv::Mat(camera.t()).clone();
  return e;
}

double ringErrorPx(const scene::Camera& camera, const CameraEstimate& e) {
  std::vector<cv::Point3d> ring;
  for (int i = 0; i < 72; ++i) {
    const double a = 5.0 * i * kPi / 180.0;
    ring.emplace_back(170.0 * std::cos(a), 170.0 * std::sin(a), 0.0);
  }
  const std::vector<cv::Point2d> p = projectBoardPoints(e, ring);
  double sum = 0.0;
  for (size_t i = 0; i < p.size(); ++i) sum += cv::norm(p[i] - camera.project(cv::Point2d(ring[i].x, -ring[i].y)));
  return sum / static_cast<double>(p.size());
}

double ringErrorAnyTurnPx(const scene::Camera& camera, const CameraEstimate& e) {
  double best = std::numeric_limits<double>::infinity();
  for (int turn = 0; turn < 20; ++turn) {
    CameraEstimate turned = cloneCameraEstimate(e);
    rotateBySectors(turned, turn);
    best = std::min(best, ringErrorPx(camera, turned));
  }
  return best;
}

BoardCheck checkBoard(LandmarkModel& model, const BoardSample& sample) {
  const LandmarkSolution s = detectBoardLandmarks(model, sample.image);
  BoardCheck c;
  c.ok = s.ok;
  c.grade = s.grade;
  c.twentySure = s.twentySure;
  c.detected = s.crossingsDetected;
  c.matched = s.crossingsMatched;
  c.inImage = sample.crossings_in_image;
  c.modelMs = s.modelMs;
  c.totalMs = s.totalMs;
  c.ringErrorPx = c.ringErrorAsSolvedPx = std::numeric_limits<double>::quiet_NaN();
  if (!s.ok) return c;
  const scene::Camera camera(sample.cameraSpec);
  std::vector<cv::Point2d> solved;
  for (int i = 0; i < 72; ++i) {
    const double a = i * 5.0 * kPi / 180.0;
    solved.push_back(projectSolutionPoint(s, {170.0 * std::cos(a), 170.0 * std::sin(a)}));
  }
  double best = std::numeric_limits<double>::infinity();
  int bestTurn = 0;
  for (int turn = 0; turn < 20; ++turn) {
    const std::vector<cv::Point2d> truth = trueRingPoints(camera, 170.0, turn);
    double sum = 0.0;
    for (size_t i = 0; i < truth.size(); ++i) sum += cv::norm(truth[i] - solved[i]);
    const double mean = sum / static_cast<double>(truth.size());
    if (turn == 0) c.ringErrorAsSolvedPx = mean;
    if (mean < best) {
      best = mean;
      bestTurn = turn;
    }
  }
  c.ringErrorPx = best;
  c.orientationRight = bestTurn == 0;
  return c;
}

cv::Mat letterbox(const cv::Mat& image, int size, double* scale) {
  const double s = static_cast<double>(size) / std::max(image.cols, image.rows);
  const int w = std::clamp(static_cast<int>(std::lround(image.cols * s)), 1, size);
  const int h = std::clamp(static_cast<int>(std::lround(image.rows * s)), 1, size);
  cv::Mat canvas(size, size, CV_8UC3, cv::Scalar::all(114));
  cv::Mat resized;
  cv::resize(image, resized, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
  resized.copyTo(canvas(cv::Rect(0, 0, w, h)));
  if (scale) *scale = s;
  return canvas;
}

}  // namespace tarv::landmark_boards
