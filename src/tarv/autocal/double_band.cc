#include "tarv/autocal/double_band.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "tarv/autocal/number_ring.h"

namespace tarv {
namespace {

constexpr double kPi = 3.14159265358979323846;

// The double band seen where a camera puts it. A board whose beds are as dark as its number
// ring shows one plain edge at each ring, a light bed's against the band, and the ring edges
// and wires of a camera a bed's width inside the rings then lie on edges of the board as well
// (170 on 162, 107 on 99: seen 7.5 px off, every ring octant supporting it); a focal length
// traded against k1 can leave the treble ring in place and the double ring on the band's inner
// edge (seen 4.5 px off). Whatever the make, the band differs from the beds inside it, light or
// dark, by about half of what neighbouring beds differ by (right cameras: 0.4 and more), and
// moving its samples a few millimetres in or out changes little; a camera whose band lies in a
// bed sees the bed both sides (seen: 0.02), one whose band straddles the band's inner edge
// finds it far plainer a few millimetres farther out (seen: 0.54 of it there; right cameras
// 0.87 and more). Per sector, between the wires, the band's middle (164-168 mm) against the
// bed 14 to 30 mm inside. Sectors whose band spans fewer than kMinBandPx in the image (a
// grazing view) and images whose beds hardly alternate say nothing.
constexpr double kMinBandPx = 5.0;
constexpr int kMinBandSectors = 8;
constexpr double kMinBedAlternation = 6.0;
constexpr double kMinBandContrastShare = 0.15;
constexpr double kBandProbeMm = 4.0;
constexpr double kMinBandAgainstProbe = 0.7;

struct BandContrast {
  double contrast = 0.0;     // mean over sectors of |band - bed|, grey levels
  double alternation = 0.0;  // mean |bed - next sector's bed|
  int sectors = 0;
};

// The band's samples moved outward by shiftMm (the beds' stay).
BandContrast doubleBandContrast(const cv::Mat& grey, const CameraEstimate& camera, double shiftMm) {
  constexpr std::array<double, 5> kBand{164.0, 165.0, 166.0, 167.0, 168.0};
  constexpr std::array<double, 5> kBed{140.0, 144.0, 148.0, 152.0, 156.0};
  constexpr size_t kPerAngle = kBand.size() + kBed.size();
  constexpr size_t kPerSector = 2 + 5 * kPerAngle;
  std::vector<cv::Point3d> board;
  for (int sector = 0; sector < 20; ++sector) {
    const double middle = 90.0 - 18.0 * sector;
    // The band's width at the sector's middle, then samples up to 5 degrees either side of it.
    const double m = middle * kPi / 180.0;
    board.emplace_back(162.0 * std::cos(m), 162.0 * std::sin(m), 0.0);
    board.emplace_back(170.0 * std::cos(m), 170.0 * std::sin(m), 0.0);
    for (int j = -2; j <= 2; ++j) {
      const double a = (middle + 2.5 * j) * kPi / 180.0;
      for (const double r : kBand) board.emplace_back((r + shiftMm) * std::cos(a), (r + shiftMm) * std::sin(a), 0.0);
      for (const double r : kBed) board.emplace_back(r * std::cos(a), r * std::sin(a), 0.0);
    }
  }
  const std::vector<cv::Point2d> px = projectBoardPoints(camera, board);
  std::array<double, 20> band{}, bed{};
  std::array<bool, 20> judged{};
  for (size_t sector = 0; sector < 20; ++sector) {
    const size_t first = sector * kPerSector;
    if (!(cv::norm(px[first + 1] - px[first]) >= kMinBandPx)) continue;
    bool inside = true;
    for (size_t k = first + 2; k < first + kPerSector && inside; ++k) {
      inside = px[k].x >= 2.0 && px[k].y >= 2.0 && px[k].x <= grey.cols - 3.0 && px[k].y <= grey.rows - 3.0;
    }
    if (!inside) continue;
    for (size_t k = first + 2; k < first + kPerSector; ++k) {
      ((k - first - 2) % kPerAngle < kBand.size() ? band : bed)[sector] += greyAt(grey, px[k]);
    }
    judged[sector] = true;
  }
  BandContrast out;
  int pairs = 0;
  const double samples = 5.0 * kBand.size();
  for (size_t s = 0; s < 20; ++s) {
    if (!judged[s]) continue;
    out.contrast += std::abs(band[s] - bed[s]) / samples;
    ++out.sectors;
    const size_t next = (s + 1) % 20;
    if (judged[next]) out.alternation += std::abs(bed[s] - bed[next]) / samples, ++pairs;
  }
  out.contrast /= std::max(out.sectors, 1);
  out.alternation /= std::max(pairs, 1);
  if (pairs == 0) out.sectors = 0;
  return out;
}

}  // namespace

bool doubleBandMissing(const cv::Mat& grey, const CameraEstimate& camera, json& report) {
  const BandContrast at = doubleBandContrast(grey, camera, 0.0);
  if (at.sectors < kMinBandSectors || at.alternation < kMinBedAlternation) return false;
  const BandContrast in = doubleBandContrast(grey, camera, -kBandProbeMm);
  const BandContrast out = doubleBandContrast(grey, camera, kBandProbeMm);
  report["double_band"] = {at.contrast, at.alternation, in.contrast, out.contrast};
  return at.contrast < kMinBandContrastShare * at.alternation ||
         at.contrast < kMinBandAgainstProbe * std::max(in.contrast, out.contrast);
}

}  // namespace tarv
