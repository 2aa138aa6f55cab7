#include "tarv/detector/throw_evaluation.h"

#include <atomic>
#include <cmath>

namespace tarv {
namespace {
std::atomic<double> gMissRadiusMm{240.0};
}

void setMissRadius(const json& request) {
  double radius = 240.0;
  if (request.is_object()) {
    const auto it = request.find("miss_radius_mm");
    if (it != request.end() && it->is_number()) {
      const double value = it->get<double>();
      if (std::isfinite(value) && value >= 170.0 && value <= 600.0) radius = value;
    }
  }
  gMissRadiusMm = radius;
}

double missRadiusMm() { return gMissRadiusMm; }

}  // namespace tarv
