#include "tarv/autocal/ring_band.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace tarv {
namespace {

constexpr double kBandStepPx = 0.5;
constexpr double kBandMaxUnexplained = 0.5;
constexpr std::array<double, 3> kBandBlurPx{0.7, 1.0, 1.4};

struct BandProfile {
  std::vector<double> t, g;  // offsets along the normal (px) and the gradient across there
  std::vector<int> step;     // t's index on the coarse grid, from the first sample
};

// exp(-u²), tabulated: the band is fitted a few dozen times at each of several hundred points.
double gaussian(double u) {
  constexpr double kStep = 1.0 / 256.0;
  constexpr int kSize = 4 * 256 + 1;
  static const std::vector<float> table = [] {
    std::vector<float> t(kSize);
    for (int i = 0; i < kSize; ++i) t[static_cast<size_t>(i)] = static_cast<float>(std::exp(-(i * kStep) * (i * kStep)));
    return t;
  }();
  const double a = std::abs(u) / kStep;
  if (!(a < kSize - 1)) return 0.0;
  const int i = static_cast<int>(a);
  const double f = a - i;
  return (1.0 - f) * table[static_cast<size_t>(i)] + f * table[static_cast<size_t>(i) + 1];
}

// The normal equations of g's least squares on the band's steps, summed sample by sample: the
// columns are the inner bed's step onto the inner wire, the wires' own (down off the inner wire
// into the band, up again onto the outer wire: one band, one metal), the outer wire's step off
// into what lies beyond. Only the six distinct entries of the symmetric matrix are summed.
struct BandNormals {
  double a00 = 0, a01 = 0, a02 = 0, a11 = 0, a12 = 0, a22 = 0;
  double b0 = 0, b1 = 0, b2 = 0;
  void add(const double* x, double g) {
    a00 += x[0] * x[0], a01 += x[0] * x[1], a02 += x[0] * x[2];
    a11 += x[1] * x[1], a12 += x[1] * x[2], a22 += x[2] * x[2];
    b0 += g * x[0], b1 += g * x[1], b2 += g * x[2];
  }
  // The residual sum of squares, gg the samples' own.
  double residual(double gg) const {
    const cv::Matx33d A(a00, a01, a02, a01, a11, a12, a02, a12, a22);
    const cv::Vec3d b(b0, b1, b2);
    if (!(cv::determinant(A) > 1e-12)) return 1e300;
    const cv::Vec3d a = A.solve(b, cv::DECOMP_CHOLESKY);
    return gg - a.dot(b);
  }
};

// The gradient across n at s, well inside the image: both gradients read at one bilinear
// weighting, each as sampleBilinear reads it.
double gradientAcross(const cv::Mat& gx, const cv::Mat& gy, cv::Point2d s, cv::Point2d n) {
  const int x0 = static_cast<int>(std::floor(s.x)), y0 = static_cast<int>(std::floor(s.y));
  const double fx = s.x - x0, fy = s.y - y0;
  const float* x0r = gx.ptr<float>(y0);
  const float* x1r = gx.ptr<float>(y0 + 1);
  const float* y0r = gy.ptr<float>(y0);
  const float* y1r = gy.ptr<float>(y0 + 1);
  const double along = (1 - fy) * ((1 - fx) * x0r[x0] + fx * x0r[x0 + 1]) + fy * ((1 - fx) * x1r[x0] + fx * x1r[x0 + 1]);
  const double down = (1 - fy) * ((1 - fx) * y0r[x0] + fx * y0r[x0 + 1]) + fy * ((1 - fx) * y1r[x0] + fx * y1r[x0 + 1]);
  return along * n.x + down * n.y;
}

// The normal equations of the shifts j = first .. first + count - 1, each reading the sample at
// grid step s from cell s + j of the columns (by kind, along the grid): two neighbouring shifts
// read neighbouring cells, and are summed side by side in one register pair, each lane in the
// samples' order as BandNormals::add sums them.
void sumBandNormals(const std::array<const double*, 3>& columns, const BandProfile& p, int first, int count,
                    BandNormals* out) {
  typedef double Pair __attribute__((vector_size(16)));
  const auto load = [](const double* x) {
    Pair v;
    std::memcpy(&v, x, sizeof v);
    return v;
  };
  int k = 0;
  for (; k + 1 < count; k += 2) {
    Pair a00{}, a01{}, a02{}, a11{}, a12{}, a22{}, b0{}, b1{}, b2{};
    for (size_t sample = 0; sample < p.t.size(); ++sample) {
      const size_t m = static_cast<size_t>(p.step[sample] + first + k);
      const Pair x0 = load(columns[0] + m), x1 = load(columns[1] + m), x2 = load(columns[2] + m);
      const Pair g = {p.g[sample], p.g[sample]};
      a00 += x0 * x0, a01 += x0 * x1, a02 += x0 * x2;
      a11 += x1 * x1, a12 += x1 * x2, a22 += x2 * x2;
      b0 += g * x0, b1 += g * x1, b2 += g * x2;
    }
    for (int lane = 0; lane < 2; ++lane) {
      BandNormals& n = out[k + lane];
      n.a00 = a00[lane], n.a01 = a01[lane], n.a02 = a02[lane];
      n.a11 = a11[lane], n.a12 = a12[lane], n.a22 = a22[lane];
      n.b0 = b0[lane], n.b1 = b1[lane], n.b2 = b2[lane];
    }
  }
  for (; k < count; ++k) {
    BandNormals n;
    for (size_t sample = 0; sample < p.t.size(); ++sample) {
      const size_t m = static_cast<size_t>(p.step[sample] + first + k);
      const double x[3] = {columns[0][m], columns[1][m], columns[2][m]};
      n.add(x, p.g[sample]);
    }
    out[k] = n;
  }
}

}  // namespace

// The band's shift along n from c within +-reach (px), or none where the model explains the
// samples poorly, its best shift lies at the end of the search (the band beyond it) or no
// gradient within reach of the outer edge is as strong as an edge of the board (minResponse).
// sides: the wires' sides (inner wire in, out, outer wire in, out) along n from c.
std::optional<double> locateBand(const cv::Mat& gx, const cv::Mat& gy, cv::Size size, cv::Point2d c, cv::Point2d n,
                                 const std::array<double, 4>& sides, double reach, double minResponse, bool& beyond) {
  beyond = false;
  // Samples about the two wires; between them a wide band's bed is flat and says nothing.
  BandProfile p;
  const double margin = reach + 2.5;
  const double lo0 = std::min(sides[0], sides[1]) - margin, hi0 = std::max(sides[0], sides[1]) + margin;
  const double lo1 = std::min(sides[2], sides[3]) - margin, hi1 = std::max(sides[2], sides[3]) + margin;
  const double from = std::min(lo0, lo1), to = std::max(hi0, hi1);
  const size_t most = static_cast<size_t>(std::max(0.0, (to - from) / 0.5)) + 2;
  p.t.reserve(most);
  p.g.reserve(most);
  p.step.reserve(most);
  for (double t = from; t <= to; t += 0.5) {
    if (!((t >= lo0 && t <= hi0) || (t >= lo1 && t <= hi1))) continue;
    const cv::Point2d s = c + t * n;
    if (!(s.x >= 2.0 && s.y >= 2.0 && s.x <= size.width - 3 && s.y <= size.height - 3)) return std::nullopt;
    p.t.push_back(t);
    p.g.push_back(gradientAcross(gx, gy, s, n));
    p.step.push_back(static_cast<int>(std::lround((t - from) / kBandStepPx)));
  }
  double strongest = 0.0;
  for (size_t i = 0; i < p.t.size(); ++i) {
    if (std::abs(p.t[i]) <= reach) strongest = std::max(strongest, std::abs(p.g[i]));
  }
  if (!(strongest >= minResponse)) return std::nullopt;
  double gg = 0.0;
  for (double v : p.g) gg += v * v;
  // Shifts a step apart under the middle blur, then under each blur the parabola through the
  // best of them and its neighbours. Samples and shifts lie on one grid: each side's blurred
  // step, and the columns it makes, are tabulated once per grid cell and blur.
  const int coarse = static_cast<int>(std::floor(reach / kBandStepPx));
  if (coarse == 0) return std::nullopt;
  const int cells = p.step.back() + 2 * coarse + 1;
  // The columns by kind, each along the grid: the shift i reads a sample at grid step s from
  // cell s + j, j = coarse - i, so the shifts read a sample's columns from consecutive cells.
  std::vector<double> columns(3 * static_cast<size_t>(cells));
  double* const column0 = columns.data();
  double* const column1 = column0 + cells;
  double* const column2 = column1 + cells;
  // The columns the shifts first .. first + count - 1 read: cells step + first onwards, count
  // of them, for each sample's step (between the two wires' windows no sample, no cell read).
  const auto tabulate = [&](double sigma, int first, int count) {
    const double k = 1.0 / (std::sqrt(2.0) * sigma);
    int done = -1;
    for (const int step : p.step) {
      for (int m = std::max(done + 1, step + first); m < step + first + count; ++m) {
        double e[4];
        for (size_t j = 0; j < 4; ++j) e[j] = gaussian((from + (m - coarse) * kBandStepPx - sides[j]) * k);
        column0[m] = e[0], column1[m] = e[2] - e[1], column2[m] = e[3];
      }
      done = std::max(done, step + first + count - 1);
    }
  };
  const std::array<const double*, 3> byKind{column0, column1, column2};
  const int shifts = 2 * coarse + 1;
  tabulate(kBandBlurPx[1], 0, shifts);
  std::vector<BandNormals> normals(static_cast<size_t>(shifts));
  sumBandNormals(byKind, p, 0, shifts, normals.data());
  std::vector<double> middleBlur(static_cast<size_t>(shifts));
  int bestI = 0;
  double best = 1e300;
  for (int i = -coarse; i <= coarse; ++i) {
    const double r = normals[static_cast<size_t>(coarse - i)].residual(gg);
    middleBlur[static_cast<size_t>(i + coarse)] = r;
    if (r < best) best = r, bestI = i;
  }
  // A best shift at the end of the search has its band beyond it.
  const double centre = bestI * kBandStepPx;
  if (std::abs(centre) > reach - kBandStepPx) {
    beyond = true;
    return std::nullopt;
  }
  double d = centre;
  best = 1e300;
  for (size_t blur = 0; blur < kBandBlurPx.size(); ++blur) {
    std::array<double, 3> around{};
    if (blur == 1) {
      for (int s = -1; s <= 1; ++s) around[static_cast<size_t>(s + 1)] = middleBlur[static_cast<size_t>(bestI + s + coarse)];
    } else {
      tabulate(kBandBlurPx[blur], coarse - bestI - 1, 3);
      // The shifts bestI + 1, bestI, bestI - 1 read from consecutive cells.
      std::array<BandNormals, 3> near;
      sumBandNormals(byKind, p, coarse - bestI - 1, 3, near.data());
      for (int s = -1; s <= 1; ++s) around[static_cast<size_t>(s + 1)] = near[static_cast<size_t>(1 - s)].residual(gg);
    }
    const double lo = around[0], mid = around[1], hi = around[2];
    const double curvature = lo - 2.0 * mid + hi;
    double offset = 0.0, r = std::min({lo, mid, hi});
    if (curvature > 1e-12) {
      offset = std::clamp(0.5 * (lo - hi) / curvature, -2.0, 2.0);
      r = mid - 0.25 * (lo - hi) * offset;
    } else if (lo < mid || hi < mid) {
      offset = lo < hi ? -1.0 : 1.0;
    }
    if (r < best) best = r, d = centre + offset * kBandStepPx;
  }
  if (!(best < kBandMaxUnexplained * gg)) return std::nullopt;
  return d;
}

}  // namespace tarv
