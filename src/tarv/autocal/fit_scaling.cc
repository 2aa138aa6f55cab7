// The board fit works on the image reduced to at most 720 rows, while a host's request and
// the result it stores speak in pixels of the full image: every pixel-valued key is mapped
// down on the way in and back up on the way out. Pixel centres, not pixel corners, keep
// their place: with area averaging, full-image pixel x is seen at s·(x + 0.5) - 0.5.
#include <functional>

#include "tarv/autocal/board_fit.h"
#include "tarv/core/engine_values.h"

namespace tarv {
namespace {

bool isNumberPair(const json& value) {
  return value.is_array() && value.size() >= 2 && value[0].is_number() && value[1].is_number();
}

// x' = s·x + t on both axes.
struct PixelMap {
  double s = 1.0;
  double t = 0.0;
  PixelMap inverse() const { return {1.0 / s, -t / s}; }
};

PixelMap reducing(double s) { return {s, 0.5 * s - 0.5}; }

void mapPoint(json& value, PixelMap m) {
  if (!isNumberPair(value)) return;  // left for the fit to refuse as it stands
  value[0] = value[0].get<double>() * m.s + m.t;
  value[1] = value[1].get<double>() * m.s + m.t;
}

void mapLength(json& value, PixelMap m) {
  if (!isNumberPair(value)) return;
  value[0] = value[0].get<double>() * m.s;
  value[1] = value[1].get<double>() * m.s;
}

bool isMatrix(const json& value) {
  if (!value.is_array() || value.size() < 3) return false;
  for (int r = 0; r < 3; ++r) {
    if (!value[r].is_array() || value[r].size() < 3) return false;
    for (int c = 0; c < 3; ++c) {
      if (!value[r][c].is_number()) return false;
    }
  }
  return true;
}

void mapMatrix(json& value, PixelMap m) {
  if (!isMatrix(value)) return;
  Homography h = matrix3x3FromJson(value);
  for (int c = 0; c < 3; ++c) {
    h[c] = m.s * h[c] + m.t * h[6 + c];
    h[3 + c] = m.s * h[3 + c] + m.t * h[6 + c];
  }
  value = matrix3x3ToJson(h);
}

void onMember(json& object, const char* key, const std::function<void(json&)>& change) {
  if (!object.is_object()) return;
  const auto it = object.find(key);
  if (it != object.end()) change(*it);
}

json scaledRequest(json request, PixelMap s) {
  onMember(request, "initial", [s](json& v) { mapMatrix(v, s); });
  onMember(request, "prior", [s](json& v) { mapMatrix(v, s); });
  onMember(request, "click_px", [s](json& v) {
    if (v.size() == 2) mapPoint(v, s);
  });
  onMember(request, "landmarks", [s](json& v) {
    if (!v.is_array()) return;
    for (json& point : v) mapPoint(point, s);
  });
  return request;
}

json unscaledResult(json result, PixelMap back) {
  onMember(result, "board_to_image", [back](json& v) { mapMatrix(v, back); });
  onMember(result, "initial_board_to_image", [back](json& v) { mapMatrix(v, back); });
  onMember(result, "bull_px", [back](json& v) { mapPoint(v, back); });
  onMember(result, "points_px", [back](json& v) {
    for (json& point : v) mapPoint(point, back);
  });
  onMember(result, "ellipse", [back](json& e) {
    onMember(e, "center", [back](json& v) { mapPoint(v, back); });
    onMember(e, "axes", [back](json& v) { mapLength(v, back); });
  });
  onMember(result, "initial", [back](json& wires) {
    onMember(wires, "bull_px", [back](json& v) { mapPoint(v, back); });
  });
  return result;
}

}  // namespace

json fitReducedBoardGeometry(const cv::Mat& reduced, const json& request, double scale) {
  return fitReducedBoardGeometry(reduced, request, scale, {});
}

json fitReducedBoardGeometry(const cv::Mat& reduced, const json& request, double scale, const BoardFitOptions& options) {
  if (scale == 1.0) return fitBoardGeometry(reduced, request, options);
  const PixelMap down = reducing(scale);
  return unscaledResult(fitBoardGeometry(reduced, scaledRequest(request, down), options), down.inverse());
}

}  // namespace tarv
