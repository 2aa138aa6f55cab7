#include "scene/scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARV_SCENE_THREAD_CHECKED 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(TARV_SCENE_THREAD_CHECKED)
namespace {
// OpenCV's worker pool is not instrumented for the thread checker, which would report its
// hand-offs as races: under the checker, scenes are rendered on one thread, so that what it
// sees are the library's own threads.
const bool kRenderOnOneThread = [] {
  cv::setNumThreads(0);
  return true;
}();
}  // namespace
#endif

namespace tarv::scene {
namespace {

constexpr double kPi = 3.14159265358979323846;

uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// Standard normal quantiles of 65536 equal-probability cells: a 16-bit random number picks
// one, which is much faster than Box-Muller per pixel and identical everywhere.
const std::array<float, 65536>& normalQuantiles() {
  static const std::array<float, 65536> table = [] {
    std::array<float, 65536> t{};
    for (int k = 0; k < 65536; ++k) {
      const double q = (k + 0.5) / 65536.0;
      double lo = -9.0, hi = 9.0;
      for (int i = 0; i < 32; ++i) {  // 18 / 2^32: far below float resolution
        const double mid = 0.5 * (lo + hi);
        (0.5 * std::erfc(-mid / std::sqrt(2.0)) < q ? lo : hi) = mid;
      }
      t[k] = static_cast<float>(0.5 * (lo + hi));
    }
    return t;
  }();
  return table;
}

nlohmann::json matJson(const cv::Matx33d& m) {
  nlohmann::json rows = nlohmann::json::array();
  for (int r = 0; r < 3; ++r) rows.push_back({m(r, 0), m(r, 1), m(r, 2)});
  return rows;
}

nlohmann::json pointJson(const cv::Point2d& p) { return {p.x, p.y}; }

bool polygonContains(const std::vector<cv::Point2d>& polygon, const cv::Point2d& p) {
  std::vector<cv::Point2f> contour;
  contour.reserve(polygon.size());
  for (const auto& q : polygon) contour.emplace_back(q);
  return cv::pointPolygonTest(contour, cv::Point2f(p), false) >= 0.0;
}

std::vector<Primitive> primitivesFor(const Camera& camera, const Scene& scene) {
  std::vector<Primitive> prims;
  prims.reserve(200 * scene.darts.size() + 200);
  for (size_t i = 0; i < scene.darts.size(); ++i) {
    appendDartPrimitives(camera, scene.darts[i], static_cast<int>(i), prims);
  }
  if (scene.hand) appendHandPrimitives(camera, *scene.hand, prims);
  std::stable_sort(prims.begin(), prims.end(), [](const Primitive& a, const Primitive& b) {
    return a.distance > b.distance;
  });
  return prims;
}

}  // namespace

cv::Mat renderEmptyBoard(const Camera& camera, const BoardTexture& texture, int supersample) {
  if (supersample < 1 || supersample > 8) throw std::runtime_error("INVALID_SUPERSAMPLE");
  const cv::Size size = camera.imageSize();
  const int ss = supersample;
  const cv::Matx33d image_to_texture =
      texture.pixelToBoard().inv() * camera.boardToImage().inv();
  // Raised wires: the face seen through the planes at heights across the wires' own, the
  // highest wire met along a pixel's ray drawn over the face behind it.
  const bool raised = texture.wire_height_mm > 0.0 && !texture.wire_mask.empty();
  constexpr int kWireLayers = 6;
  std::vector<cv::Matx33d> layer_to_texture;
  if (raised) {
    for (int k = 1; k <= kWireLayers; ++k) {
      const double h = texture.wire_height_mm * k / kWireLayers;
      layer_to_texture.push_back(texture.pixelToBoard().inv() * camera.planeToImage(h).inv());
    }
  }
  const bool distorted = camera.cameraSpec().k1 != 0.0;
  const cv::Scalar wall(BoardColours::kWall[0], BoardColours::kWall[1], BoardColours::kWall[2]);
  cv::Mat out(size, CV_8UC3);
  constexpr int kBlockRows = 16;
  const int blocks = (size.height + kBlockRows - 1) / kBlockRows;
  cv::parallel_for_(cv::Range(0, blocks), [&](const cv::Range& range) {
    cv::Mat map_x, map_y, fine;
    std::vector<cv::Mat> layer_x(layer_to_texture.size()), layer_y(layer_to_texture.size());
    cv::Mat layer_colour, layer_wire;
    for (int b = range.start; b < range.end; ++b) {
      const int y0 = b * kBlockRows;
      const int y1 = std::min(size.height, y0 + kBlockRows);
      const int rows = (y1 - y0) * ss, cols = size.width * ss;
      map_x.create(rows, cols, CV_32F);
      map_y.create(rows, cols, CV_32F);
      for (size_t k = 0; k < layer_to_texture.size(); ++k) {
        layer_x[k].create(rows, cols, CV_32F);
        layer_y[k].create(rows, cols, CV_32F);
      }
      for (int v = 0; v < rows; ++v) {
        float* mx = map_x.ptr<float>(v);
        float* my = map_y.ptr<float>(v);
        // Sub-pixel v of the block sits at image row y0 + (v - (ss-1)/2) / ss.
        const double y = y0 + (v - (ss - 1) / 2.0) / ss;
        for (int u = 0; u < cols; ++u) {
          cv::Point2d p(static_cast<double>(u - (ss - 1) / 2.0) / ss, y);
          if (distorted) p = camera.undistortPixel(p);
          const cv::Vec3d q = image_to_texture * cv::Vec3d(p.x, p.y, 1.0);
          mx[u] = static_cast<float>(q[0] / q[2]);
          my[u] = static_cast<float>(q[1] / q[2]);
          for (size_t k = 0; k < layer_to_texture.size(); ++k) {
            const cv::Vec3d w = layer_to_texture[k] * cv::Vec3d(p.x, p.y, 1.0);
            layer_x[k].ptr<float>(v)[u] = static_cast<float>(w[0] / w[2]);
            layer_y[k].ptr<float>(v)[u] = static_cast<float>(w[1] / w[2]);
          }
        }
      }
      cv::remap(texture.image, fine, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_CONSTANT, wall);
      // Lowest layer first: a higher one is met first along the ray and is drawn over it.
      for (size_t k = 0; k < layer_to_texture.size(); ++k) {
        cv::remap(texture.image, layer_colour, layer_x[k], layer_y[k], cv::INTER_LINEAR, cv::BORDER_CONSTANT, wall);
        cv::remap(texture.wire_mask, layer_wire, layer_x[k], layer_y[k], cv::INTER_LINEAR, cv::BORDER_CONSTANT, 0);
        for (int v = 0; v < rows; ++v) {
          cv::Vec3b* f = fine.ptr<cv::Vec3b>(v);
          const cv::Vec3b* c = layer_colour.ptr<cv::Vec3b>(v);
          const uchar* m = layer_wire.ptr<uchar>(v);
          for (int u = 0; u < cols; ++u) {
            if (m[u] == 0) continue;
            const int a = m[u];
            for (int ch = 0; ch < 3; ++ch) f[u][ch] = static_cast<uchar>((f[u][ch] * (255 - a) + c[u][ch] * a + 127) / 255);
          }
        }
      }
      cv::Mat target = out.rowRange(y0, y1);
      if (ss == 1) {
        fine.copyTo(target);
      } else {
        cv::resize(fine, target, target.size(), 0, 0, cv::INTER_AREA);
      }
    }
  });
  return out;
}

namespace {

cv::Mat faded(const cv::Mat& frame, double fade) {
  cv::Mat grey, grey3, out;
  cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(grey, grey3, cv::COLOR_GRAY2BGR);
  const double f = std::clamp(fade, 0.0, 1.0);
  // Bleached colours also lose contrast toward a middle grey.
  cv::addWeighted(frame, 1.0 - f, grey3, f * 0.8, 0.2 * f * 128.0, out);
  return out;
}

void addGlare(cv::Mat& frame, const Glare& glare) {
  const double r2 = 2.0 * glare.radius_px * glare.radius_px;
  if (!(r2 > 0.0)) return;
  const int reach = static_cast<int>(std::ceil(4.0 * glare.radius_px));
  const int x0 = std::max(0, static_cast<int>(glare.centre_px.x) - reach);
  const int x1 = std::min(frame.cols, static_cast<int>(glare.centre_px.x) + reach + 1);
  const int y0 = std::max(0, static_cast<int>(glare.centre_px.y) - reach);
  const int y1 = std::min(frame.rows, static_cast<int>(glare.centre_px.y) + reach + 1);
  for (int y = y0; y < y1; ++y) {
    cv::Vec3b* row = frame.ptr<cv::Vec3b>(y);
    for (int x = x0; x < x1; ++x) {
      const double dx = x - glare.centre_px.x, dy = y - glare.centre_px.y;
      const double add = glare.strength * std::exp(-(dx * dx + dy * dy) / r2);
      for (int c = 0; c < 3; ++c) row[x][c] = cv::saturate_cast<uchar>(row[x][c] + add);
    }
  }
}

}  // namespace

cv::Mat applyImaging(const cv::Mat& input, const Imaging& imaging, int camera_index) {
  cv::Mat frame = imaging.fade > 0.0 ? faded(input, imaging.fade) : input;
  if (imaging.glare) {
    if (frame.data == input.data) frame = input.clone();
    addGlare(frame, *imaging.glare);
  }
  const bool levels = imaging.gain != 1.0 || imaging.offset != 0.0;
  cv::Mat out;
  if (imaging.blur_sigma > 0.0) {
    if (levels) frame.convertTo(out, CV_8U, imaging.gain, imaging.offset);
    else out = frame.clone();
    cv::GaussianBlur(out, out, cv::Size(), imaging.blur_sigma);
  } else {
    out = frame.clone();
  }
  const bool fused_levels = levels && !(imaging.blur_sigma > 0.0);
  if (imaging.noise_sigma > 0.0 || fused_levels) {
    const double gain = fused_levels ? imaging.gain : 1.0;
    const double offset = fused_levels ? imaging.offset : 0.0;
    const float sigma = static_cast<float>(std::max(0.0, imaging.noise_sigma));
    const auto& quantiles = normalQuantiles();
    const uint64_t seed = mix64(imaging.noise_seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL *
                                                                                 (camera_index + 1));
    const int row_bytes = out.cols * out.channels();
    cv::parallel_for_(cv::Range(0, out.rows), [&](const cv::Range& range) {
      for (int y = range.start; y < range.end; ++y) {
        uchar* p = out.ptr<uchar>(y);
        uint64_t bits = 0;
        for (int j = 0; j < row_bytes; ++j) {
          if ((j & 3) == 0) bits = mix64(seed + static_cast<uint64_t>(y) * 0x100000000ULL + j);
          const float n = sigma > 0.0f ? sigma * quantiles[bits & 0xFFFF] : 0.0f;
          bits >>= 16;
          p[j] = cv::saturate_cast<uchar>(p[j] * gain + offset + n);
        }
      }
    });
  }
  if (imaging.jpeg_quality > 0) {
    std::vector<uchar> buffer;
    const int quality = std::min(100, imaging.jpeg_quality);
    cv::imencode(".jpg", out, buffer, {cv::IMWRITE_JPEG_QUALITY, quality});
    out = cv::imdecode(buffer, cv::IMREAD_COLOR);
  }
  return out;
}

Renderer::Renderer(const std::vector<CameraSpec>& rig, int supersample)
    : Renderer(rig, standardBoardTexture(), supersample) {}

Renderer::Renderer(const std::vector<CameraSpec>& rig, const BoardTexture& texture, int supersample)
    : supersample_(supersample) {
  if (rig.empty()) throw std::runtime_error("EMPTY_RIG");
  if (supersample < 1 || supersample > 8) throw std::runtime_error("INVALID_SUPERSAMPLE");
  for (const auto& cameraSpec : rig) {
    cameras_.emplace_back(cameraSpec);
    empty_.push_back(renderEmptyBoard(cameras_.back(), texture, supersample));
  }
}

cv::Mat Renderer::renderBodies(size_t index, const std::vector<Primitive>& prims) const {
  cv::Mat frame = empty_[index].clone();
  if (prims.empty()) return frame;

  // Paint on a supersampled copy of just the region the bodies cover.
  double x0 = 1e18, y0 = 1e18, x1 = -1e18, y1 = -1e18;
  for (const auto& prim : prims) {
    for (const auto& p : prim.polygon) {
      x0 = std::min(x0, p.x);
      y0 = std::min(y0, p.y);
      x1 = std::max(x1, p.x);
      y1 = std::max(y1, p.y);
    }
  }
  auto clampX = [&](double v) { return std::clamp(v, -2.0, frame.cols + 2.0); };
  auto clampY = [&](double v) { return std::clamp(v, -2.0, frame.rows + 2.0); };
  const cv::Rect roi =
      cv::Rect(cv::Point(static_cast<int>(std::floor(clampX(x0))) - 1,
                         static_cast<int>(std::floor(clampY(y0))) - 1),
               cv::Point(static_cast<int>(std::ceil(clampX(x1))) + 2,
                         static_cast<int>(std::ceil(clampY(y1))) + 2)) &
      cv::Rect(0, 0, frame.cols, frame.rows);
  if (roi.empty()) return frame;
  const int ss = supersample_;
  cv::Mat canvas;
  cv::resize(frame(roi), canvas, cv::Size(roi.width * ss, roi.height * ss), 0, 0,
             cv::INTER_NEAREST);
  constexpr int kShift = 4;
  constexpr double kScale = 1 << kShift;
  const double centre = (ss - 1) / 2.0;
  std::vector<cv::Point> points;
  for (const auto& prim : prims) {
    points.clear();
    for (const auto& p : prim.polygon) {
      const double u = ((p.x - roi.x) * ss + centre) * kScale;
      const double v = ((p.y - roi.y) * ss + centre) * kScale;
      // Far outside the canvas a body cannot be seen; clamp to keep integers sane.
      points.emplace_back(static_cast<int>(std::lround(std::clamp(u, -1e8, 1e8))),
                          static_cast<int>(std::lround(std::clamp(v, -1e8, 1e8))));
    }
    cv::fillConvexPoly(canvas, points, cv::Scalar(prim.colour[0], prim.colour[1], prim.colour[2]),
                       cv::LINE_8, kShift);
  }
  cv::Mat target = frame(roi);
  cv::resize(canvas, target, roi.size(), 0, 0, cv::INTER_AREA);
  return frame;
}

GroundTruth Renderer::truth(const Scene& scene) const {
  std::vector<std::vector<Primitive>> primitives;
  for (const auto& camera : cameras_) primitives.push_back(primitivesFor(camera, scene));
  return truthFrom(scene, primitives);
}

GroundTruth Renderer::truthFrom(const Scene& scene,
                                const std::vector<std::vector<Primitive>>& primitives) const {
  GroundTruth truth;
  for (const auto& camera : cameras_) {
    truth.cameras.push_back({camera.cameraSpec().id, camera.imageSize(), camera.K(), camera.R(),
                             camera.t(), camera.boardToImage(), camera.cameraSpec().k1,
                             camera.imageNormal()});
  }
  for (const auto& dart : scene.darts) {
    truth.darts.push_back({dart.tip_mm, fieldLabel(dart.tip_mm), cv::normalize(dart.direction), {}});
  }
  for (size_t c = 0; c < cameras_.size(); ++c) {
    const Camera& camera = cameras_[c];
    const std::vector<Primitive>& prims = primitives[c];
    const cv::Rect2d image(-0.5, -0.5, camera.imageSize().width, camera.imageSize().height);
    for (const auto& prim : prims) {
      if (prim.owner != kHandOwner || truth.hand_seen) continue;
      for (const auto& p : prim.polygon) truth.hand_seen = truth.hand_seen || image.contains(p);
    }
    for (size_t i = 0; i < scene.darts.size(); ++i) {
      const Dart& dart = scene.darts[i];
      DartView view;
      view.tip_px = camera.project(dart.tip());
      view.flight_px = camera.project(dart.flightEnd());
      view.tip_in_image = camera.inImage(view.tip_px);
      const double tip_distance = cv::norm(cv::Vec3d(dart.tip().x, dart.tip().y, dart.tip().z) -
                                           cv::Vec3d(camera.centre().x, camera.centre().y,
                                                     camera.centre().z));
      bool covered = false;
      for (const auto& prim : prims) {
        // The dart's own point and barrel never hide its tip; its flight seen end-on may.
        const bool own = prim.owner == static_cast<int>(i);
        const double margin = own ? 10.0 : 0.0;
        if (prim.distance < tip_distance - margin && polygonContains(prim.polygon, view.tip_px)) {
          covered = true;
          break;
        }
      }
      view.tip_visible = view.tip_in_image && !covered;
      truth.darts[i].views.push_back(view);
    }
  }
  return truth;
}

cv::Mat withSoftSpot(const cv::Mat& frame, const CameraTruth& camera, cv::Point2d centre_mm, double diameter_mm,
                     double gain) {
  cv::Mat out = frame.clone();
  if (frame.type() != CV_8UC3 || !(diameter_mm > 0.0)) return out;
  const double sigma = diameter_mm / 2.3548;  // full width at half maximum
  const double reach = 3.5 * sigma;
  const cv::Matx33d h = camera.board_to_image;
  const cv::Matx33d toBoard = h.inv();
  // The pixels the spot can reach: the projected square round it.
  cv::Rect box;
  for (int k = 0; k < 4; ++k) {
    const cv::Vec3d p = h * cv::Vec3d(centre_mm.x + (k % 2 ? reach : -reach), centre_mm.y + (k / 2 ? reach : -reach), 1.0);
    const cv::Rect corner(cv::Point(static_cast<int>(std::floor(p[0] / p[2])), static_cast<int>(std::floor(p[1] / p[2]))),
                          cv::Size(2, 2));
    box = k == 0 ? corner : (box | corner);
  }
  box &= cv::Rect(0, 0, frame.cols, frame.rows);
  for (int y = box.y; y < box.y + box.height; ++y) {
    cv::Vec3b* row = out.ptr<cv::Vec3b>(y);
    for (int x = box.x; x < box.x + box.width; ++x) {
      const cv::Vec3d q = toBoard * cv::Vec3d(x + 0.5, y + 0.5, 1.0);
      const double dx = q[0] / q[2] - centre_mm.x;
      const double dy = q[1] / q[2] - centre_mm.y;
      const double factor = 1.0 + (gain - 1.0) * std::exp(-(dx * dx + dy * dy) / (2.0 * sigma * sigma));
      for (int c = 0; c < 3; ++c) row[x][c] = cv::saturate_cast<uchar>(row[x][c] * factor);
    }
  }
  return out;
}

SceneImages Renderer::render(const Scene& scene) const {
  SceneImages images;
  images.frames.resize(cameras_.size());
  std::vector<std::vector<Primitive>> primitives;
  for (size_t c = 0; c < cameras_.size(); ++c) {
    primitives.push_back(primitivesFor(cameras_[c], scene));
    images.frames[c] =
        applyImaging(renderBodies(c, primitives.back()), scene.imaging, static_cast<int>(c));
  }
  images.truth = truthFrom(scene, primitives);
  return images;
}

nlohmann::json GroundTruth::toJson() const {
  nlohmann::json cams = nlohmann::json::array();
  for (const auto& c : cameras) {
    cams.push_back({{"id", c.id},
                    {"width", c.image_size.width},
                    {"height", c.image_size.height},
                    {"K", matJson(c.K)},
                    {"R", matJson(c.R)},
                    {"t", {c.t[0], c.t[1], c.t[2]}},
                    {"board_to_image", matJson(c.board_to_image)},
                    {"k1", c.k1},
                    {"image_normal", pointJson(c.image_normal)}});
  }
  nlohmann::json ds = nlohmann::json::array();
  for (const auto& d : darts) {
    nlohmann::json views = nlohmann::json::array();
    for (const auto& v : d.views) {
      views.push_back({{"tip_px", pointJson(v.tip_px)},
                       {"flight_px", pointJson(v.flight_px)},
                       {"tip_in_image", v.tip_in_image},
                       {"tip_visible", v.tip_visible}});
    }
    ds.push_back({{"tip_mm", pointJson(d.tip_mm)},
                  {"field", d.field},
                  {"direction", {d.direction[0], d.direction[1], d.direction[2]}},
                  {"views", views}});
  }
  return {{"cameras", cams}, {"darts", ds}, {"hand_seen", hand_seen}};
}

uint64_t SceneRandom::next() {
  state_ += 0x9E3779B97F4A7C15ULL;
  return mix64(state_);
}

double SceneRandom::uniform(double lo, double hi) {
  return lo + (hi - lo) * static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
}

double SceneRandom::normal() {
  const double u1 = uniform(1e-300, 1.0);
  const double u2 = uniform();
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
}

cv::Point2d randomTip(SceneRandom& rng, double radius_mm) {
  const double r = radius_mm * std::sqrt(rng.uniform());
  const double a = rng.uniform(0.0, 2.0 * kPi);
  return {r * std::sin(a), -r * std::cos(a)};
}

cv::Vec3d randomDartDirection(SceneRandom& rng, double max_tilt_deg) {
  const double tilt = rng.uniform(0.0, max_tilt_deg);
  return frontDirection(tilt, rng.uniform(0.0, 360.0));
}

const std::vector<cv::Scalar>& flightColours() {
  static const std::vector<cv::Scalar> colours{
      {205, 95, 20}, {40, 40, 215}, {30, 205, 235}, {60, 170, 40}, {20, 120, 240}, {150, 40, 130}};
  return colours;
}

Dart randomDart(SceneRandom& rng, double radius_mm, double max_tilt_deg) {
  Dart dart;
  dart.tip_mm = randomTip(rng, radius_mm);
  dart.direction = randomDartDirection(rng, max_tilt_deg);
  dart.flight_colour = flightColours()[rng.next() % flightColours().size()];
  dart.flight_roll_deg = rng.uniform(0.0, 90.0);
  return dart;
}

const Renderer& defaultRenderer() {
  static const Renderer renderer(defaultRig());
  return renderer;
}

const SceneImages& defaultEmptyBoard() {
  static const SceneImages empty = defaultRenderer().render(Scene{});
  return empty;
}

}  // namespace tarv::scene
