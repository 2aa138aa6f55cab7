#include "scene/board_texture.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

namespace tarv::scene {
namespace {

constexpr double kPi = 3.14159265358979323846;

cv::Vec3b vec(const std::array<unsigned char, 3>& c) { return {c[0], c[1], c[2]}; }

// How one board departs from the ideal face: ring wires bent off their circles (three- and
// five-lobed, the beds' edges following them) and wires worn dull in patches. None for the
// ideal board.
struct FaceShape {
  std::array<double, 6> lobes3{}, phase3{}, lobes5{}, phase5{};
  double wear = 0.0;
  uint64_t seed = 0;
};

uint64_t mixBits(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double unitHash(uint64_t seed, uint64_t a, uint64_t b) {
  return static_cast<double>(mixBits(seed * 0x9E3779B97F4A7C15ULL + a * 0x632BE59BD9B4E019ULL + b + 1) >> 11) /
         9007199254740992.0;
}

double ringRadius(size_t i, double angle_deg, const FaceShape* shape) {
  if (shape == nullptr) return kRingRadii[i];
  const double a = angle_deg * kPi / 180.0;
  return kRingRadii[i] + shape->lobes3[i] * std::sin(3.0 * a + shape->phase3[i]) +
         shape->lobes5[i] * std::sin(5.0 * a + shape->phase5[i]);
}

// The wire under a board point: 0..5 the rings, 10 + k the radial wire k, -1 none.
int wireAt(double r, double angle_deg, const FaceShape* shape) {
  const double half = kWireWidth / 2.0;
  for (size_t i = 0; i < kRingRadii.size(); ++i) {
    if (std::abs(r - ringRadius(i, angle_deg, shape)) <= half) return static_cast<int>(i);
  }
  if (r < ringRadius(1, angle_deg, shape) || r > ringRadius(5, angle_deg, shape)) return -1;
  const double k = std::round((angle_deg - 9.0) / 18.0);
  const double offset = (angle_deg - (9.0 + 18.0 * k)) * kPi / 180.0;
  if (r * std::abs(std::sin(offset)) <= half) return 10 + ((static_cast<int>(k) % 20) + 20) % 20;
  return -1;
}

bool onWire(double r, double angle_deg, const FaceShape* shape = nullptr) { return wireAt(r, angle_deg, shape) >= 0; }

// True when a pixel of the given size centred here may straddle an edge of the face, so
// that its colour must be averaged over sub-samples.
bool nearEdge(double r, double angle_deg, double tolerance, const FaceShape* shape = nullptr) {
  const double half = kWireWidth / 2.0;
  for (size_t i = 0; i < kRingRadii.size(); ++i) {
    if (std::abs(std::abs(r - ringRadius(i, angle_deg, shape)) - half) < tolerance) return true;
  }
  if (std::abs(r - kBoardRadius) < tolerance) return true;
  if (r < ringRadius(1, angle_deg, shape) - tolerance || r > ringRadius(5, angle_deg, shape) + tolerance) return false;
  const double k = std::round((angle_deg - 9.0) / 18.0);
  const double offset = (angle_deg - (9.0 + 18.0 * k)) * kPi / 180.0;
  return std::abs(r * std::abs(std::sin(offset)) - half) < tolerance;
}

cv::Vec3b bedColourAt(double x, double y, double r, double angle, const FaceShape* shape) {
  if (r < ringRadius(0, angle, shape)) return vec(BoardColours::kRed);
  if (r < ringRadius(1, angle, shape)) return vec(BoardColours::kGreen);
  if (r > ringRadius(5, angle, shape)) return vec(BoardColours::kSurround);
  const bool dark = sectorIndexAt({x, y}) % 2 == 0;
  const bool scoring_ring = (r >= ringRadius(2, angle, shape) && r < ringRadius(3, angle, shape)) ||
                            r >= ringRadius(4, angle, shape);
  if (scoring_ring) return dark ? vec(BoardColours::kRed) : vec(BoardColours::kGreen);
  return dark ? vec(BoardColours::kBlack) : vec(BoardColours::kCream);
}

// A worn patch of wire: dull, most of the way to the mean of the beds on its two sides.
cv::Vec3b wornWire(double x, double y, double r, double angle, int wire, const FaceShape* shape) {
  cv::Point2d side;
  if (wire < 10) {
    side = cv::Point2d(x, y) * (1.0 / std::max(r, 1e-9));
  } else {
    side = cv::Point2d(-y, x) * (1.0 / std::max(r, 1e-9));
  }
  const cv::Point2d a = cv::Point2d(x, y) + 1.2 * side, b = cv::Point2d(x, y) - 1.2 * side;
  const cv::Vec3b ca = bedColourAt(a.x, a.y, std::hypot(a.x, a.y), angle, shape);
  const cv::Vec3b cb = bedColourAt(b.x, b.y, std::hypot(b.x, b.y), angle, shape);
  const cv::Vec3b w = vec(BoardColours::kWire);
  cv::Vec3b out;
  for (int c = 0; c < 3; ++c) out[c] = static_cast<uchar>(0.25 * w[c] + 0.375 * (ca[c] + cb[c]));
  return out;
}

cv::Vec3b colourAt(double x, double y, const FaceShape* shape = nullptr) {
  const double r = std::hypot(x, y);
  if (r > kBoardRadius) return vec(BoardColours::kWall);
  const double angle = boardAngleDegrees({x, y});
  const int wire = wireAt(r, angle, shape);
  if (wire >= 0) {
    if (shape != nullptr && shape->wear > 0.0) {
      // Patches of 8 degrees along a ring, 12 mm along a radial wire.
      const uint64_t patch = wire < 10 ? static_cast<uint64_t>(angle / 8.0) : static_cast<uint64_t>(r / 12.0);
      if (unitHash(shape->seed, static_cast<uint64_t>(wire), patch) < shape->wear) return wornWire(x, y, r, angle, wire, shape);
    }
    return vec(BoardColours::kWire);
  }
  return bedColourAt(x, y, r, angle, shape);
}

FaceShape faceShapeOf(const BoardLook& look) {
  FaceShape shape;
  shape.wear = std::clamp(look.wire_wear, 0.0, 1.0);
  shape.seed = look.wear_seed;
  for (size_t i = 0; i < kRingRadii.size(); ++i) {
    shape.lobes3[i] = look.wire_wobble_mm * (unitHash(look.wear_seed, 100 + i, 0) * 2.0 - 1.0);
    shape.lobes5[i] = 0.5 * look.wire_wobble_mm * (unitHash(look.wear_seed, 100 + i, 1) * 2.0 - 1.0);
    shape.phase3[i] = 2.0 * kPi * unitHash(look.wear_seed, 100 + i, 2);
    shape.phase5[i] = 2.0 * kPi * unitHash(look.wear_seed, 100 + i, 3);
  }
  return shape;
}

// Small deterministic generator so the fibre texture is the same on every machine.
struct SplitMix {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
};

// Sisal fibres: short streaks of slightly lighter or darker material, strongest on the
// light beds, stretched radially as on a real bristle board.
void addFibres(BoardTexture& texture) {
  cv::Mat noise(texture.image.size(), CV_32F);
  SplitMix rng{0x5eed5ca1eULL};
  for (int v = 0; v < noise.rows; ++v) {
    float* row = noise.ptr<float>(v);
    for (int u = 0; u < noise.cols; ++u) {
      row[u] = static_cast<float>(static_cast<double>(rng.next() >> 40) / double(1 << 24) - 0.5);
    }
  }
  cv::GaussianBlur(noise, noise, cv::Size(), 1.2);
  const double inv_sigma = 1.0 / 0.09;  // roughly unit spread after the blur
  const cv::Matx33d to_board = texture.pixelToBoard();
  for (int v = 0; v < texture.image.rows; ++v) {
    cv::Vec3b* row = texture.image.ptr<cv::Vec3b>(v);
    const float* n = noise.ptr<float>(v);
    for (int u = 0; u < texture.image.cols; ++u) {
      const double x = to_board(0, 0) * u + to_board(0, 2);
      const double y = to_board(1, 1) * v + to_board(1, 2);
      if (std::hypot(x, y) > kBoardRadius) continue;
      const cv::Vec3b c = row[u];
      const double brightness = (c[0] + c[1] + c[2]) / 3.0;
      const double amplitude = 2.0 + brightness * 0.035;
      const double delta = n[u] * inv_sigma * amplitude;
      for (int ch = 0; ch < 3; ++ch) row[u][ch] = cv::saturate_cast<uchar>(c[ch] + delta);
    }
  }
}

void drawNumbers(BoardTexture& texture, const BoardLook& look) {
  const cv::Matx33d to_board = texture.pixelToBoard();
  const double px_per_mm = 1.0 / texture.mm_per_px;
  const int font = look.number_font;
  const double scale = look.number_height_mm * px_per_mm / 22.0;  // Hershey digits are ~22 units
  const int thickness = std::max(1, static_cast<int>(std::lround(look.number_stroke_mm * px_per_mm)));
  const cv::Scalar colour(BoardColours::kNumber[0], BoardColours::kNumber[1],
                          BoardColours::kNumber[2]);
  for (int k = 0; k < 20; ++k) {
    const std::string text = std::to_string(kSectorOrder[k]);
    const double a = k * 18.0 * kPi / 180.0;
    const double x = look.number_radius_mm * std::sin(a);
    const double y = -look.number_radius_mm * std::cos(a);
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, font, scale, thickness, &baseline);
    const double u = (x - to_board(0, 2)) * px_per_mm;
    const double v = (y - to_board(1, 2)) * px_per_mm;
    const cv::Point origin(static_cast<int>(std::lround(u - size.width / 2.0)),
                           static_cast<int>(std::lround(v + size.height / 2.0)));
    cv::putText(texture.image, text, origin, font, scale, colour, thickness, cv::LINE_AA);
  }
}

}  // namespace

double boardAngleDegrees(cv::Point2d point) {
  double a = std::atan2(point.x, -point.y) * 180.0 / kPi;
  if (a < 0.0) a += 360.0;
  if (a >= 360.0) a -= 360.0;
  return a;
}

int sectorIndexAt(cv::Point2d point) {
  const int k = static_cast<int>(std::floor((boardAngleDegrees(point) + 9.0) / 18.0));
  return k % 20;
}

std::string fieldLabel(cv::Point2d point) {
  const double r = std::hypot(point.x, point.y);
  if (r < kRingRadii[0]) return "BULL";
  if (r < kRingRadii[1]) return "25";
  if (r > kRingRadii[5]) return "MISS";
  const std::string number = std::to_string(kSectorOrder[sectorIndexAt(point)]);
  if (r >= kRingRadii[4]) return "D" + number;
  if (r >= kRingRadii[2] && r < kRingRadii[3]) return "T" + number;
  return "S" + number;
}

cv::Vec3b faceColourAt(cv::Point2d point) { return colourAt(point.x, point.y); }

cv::Matx33d BoardTexture::pixelToBoard() const {
  return {mm_per_px, 0.0, origin_mm, 0.0, mm_per_px, origin_mm, 0.0, 0.0, 1.0};
}

BoardTexture renderBoardTexture(double mm_per_px, double half_extent_mm, const BoardLook& look) {
  const double wire_shadow_mm = look.wire_shadow_mm;
  if (!(mm_per_px > 0.0) || !(half_extent_mm > 0.0)) throw std::runtime_error("INVALID_TEXTURE");
  BoardTexture texture;
  texture.mm_per_px = mm_per_px;
  const int size = static_cast<int>(std::ceil(2.0 * half_extent_mm / mm_per_px));
  texture.origin_mm = -0.5 * (size - 1) * mm_per_px;
  texture.image.create(size, size, CV_8UC3);
  texture.wire_mask.create(size, size, CV_8U);
  const bool shaped = look.wire_wear > 0.0 || look.wire_wobble_mm != 0.0;
  const FaceShape faceShape = faceShapeOf(look);
  const FaceShape* shape = shaped ? &faceShape : nullptr;
  const double tolerance = mm_per_px * 0.75;
  constexpr int kSub = 4;
  cv::parallel_for_(cv::Range(0, size), [&](const cv::Range& rows) {
    for (int v = rows.start; v < rows.end; ++v) {
      cv::Vec3b* out = texture.image.ptr<cv::Vec3b>(v);
      uchar* wire = texture.wire_mask.ptr<uchar>(v);
      const double y = texture.origin_mm + v * mm_per_px;
      for (int u = 0; u < size; ++u) {
        const double x = texture.origin_mm + u * mm_per_px;
        const double r = std::hypot(x, y);
        wire[u] = r <= kBoardRadius && onWire(r, boardAngleDegrees({x, y}), shape) ? 255 : 0;
        if (r > kBoardRadius + tolerance) {
          out[u] = vec(BoardColours::kWall);
          continue;
        }
        if (!nearEdge(r, boardAngleDegrees({x, y}), tolerance, shape)) {
          out[u] = colourAt(x, y, shape);
          continue;
        }
        cv::Vec3i sum(0, 0, 0);
        for (int j = 0; j < kSub; ++j) {
          for (int i = 0; i < kSub; ++i) {
            const double dx = ((i + 0.5) / kSub - 0.5) * mm_per_px;
            const double dy = ((j + 0.5) / kSub - 0.5) * mm_per_px;
            sum += cv::Vec3i(colourAt(x + dx, y + dy, shape));
          }
        }
        constexpr int n = kSub * kSub;
        out[u] = cv::Vec3b(static_cast<uchar>((sum[0] + n / 2) / n),
                           static_cast<uchar>((sum[1] + n / 2) / n),
                           static_cast<uchar>((sum[2] + n / 2) / n));
      }
      if (wire_shadow_mm > 0.0) {
        for (int u = 0; u < size; ++u) {
          const double x = texture.origin_mm + u * mm_per_px;
          const double r = std::hypot(x, y);
          if (r > kRingRadii[5] + wire_shadow_mm + 1.0 || onWire(r, boardAngleDegrees({x, y}), shape)) continue;
          const double sx = x - 0.7071 * wire_shadow_mm, sy = y - 0.7071 * wire_shadow_mm;
          if (onWire(std::hypot(sx, sy), boardAngleDegrees({sx, sy}), shape)) out[u] = out[u] * 0.5;
        }
      }
    }
  });
  drawNumbers(texture, look);
  addFibres(texture);
  return texture;
}

const BoardTexture& standardBoardTexture() {
  static const BoardTexture texture = renderBoardTexture(0.25, kBoardRadius + 10.0);
  return texture;
}

}  // namespace tarv::scene
