#include "scene/body_model.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace tarv::scene {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kNearMm = 30.0;  // nothing closer to a camera than this is drawn
constexpr int kSides = 16;

struct Material {
  double ambient;
  double diffuse;
  double specular;
  double shininess;
};
constexpr Material kSteel{0.42, 0.55, 0.75, 24.0};
constexpr Material kTungsten{0.50, 0.55, 0.45, 14.0};
constexpr Material kPlastic{0.60, 0.45, 0.30, 10.0};
constexpr Material kFlight{0.78, 0.35, 0.10, 6.0};
constexpr Material kSkin{0.55, 0.50, 0.06, 4.0};

const cv::Vec3d kSteelColour(196, 196, 202);
const cv::Vec3d kBarrelColour(74, 74, 80);
const cv::Vec3d kGripColour(58, 58, 63);
const cv::Vec3d kShaftColour(17, 17, 19);
const cv::Vec3d kSleeveColour(62, 52, 46);

// Light from the front, above and a little to the right, as from a lamp over the oche.
const cv::Vec3d& lightDirection() {
  static const cv::Vec3d l = cv::normalize(cv::Vec3d(0.35, -0.55, -1.0));
  return l;
}

cv::Vec3d vec(const cv::Point3d& p) { return {p.x, p.y, p.z}; }
cv::Point3d pt(const cv::Vec3d& v) { return {v[0], v[1], v[2]}; }

// Two unit vectors completing `axis` to an orthonormal basis.
void basisAround(const cv::Vec3d& axis, cv::Vec3d& u, cv::Vec3d& v) {
  const cv::Vec3d helper = std::abs(axis[1]) < 0.9 ? cv::Vec3d(0, 1, 0) : cv::Vec3d(1, 0, 0);
  u = cv::normalize(axis.cross(helper));
  v = axis.cross(u);
}

cv::Vec3b shade(const cv::Vec3d& base, const cv::Vec3d& normal, const cv::Vec3d& to_camera,
                const Material& m) {
  const cv::Vec3d& l = lightDirection();
  const double diffuse = std::max(0.0, normal.dot(l));
  const cv::Vec3d half = cv::normalize(l + to_camera);
  const double specularTerm = m.specular * std::pow(std::max(0.0, normal.dot(half)), m.shininess);
  cv::Vec3b out;
  for (int c = 0; c < 3; ++c) {
    out[c] = cv::saturate_cast<uchar>(base[c] * (m.ambient + m.diffuse * diffuse) + 255.0 * specularTerm);
  }
  return out;
}

struct Projector {
  const Camera& camera;
  cv::Vec3d centre;
  explicit Projector(const Camera& c) : camera(c), centre(vec(c.centre())) {}
  bool visible(const std::vector<cv::Vec3d>& points) const {
    for (const auto& p : points) {
      if (camera.depth(pt(p)) < kNearMm) return false;
    }
    return true;
  }
  std::vector<cv::Point2d> project(const std::vector<cv::Vec3d>& points) const {
    std::vector<cv::Point2d> out;
    out.reserve(points.size());
    for (const auto& p : points) out.push_back(camera.project(pt(p)));
    return out;
  }
  double distance(const std::vector<cv::Vec3d>& points) const {
    cv::Vec3d mean(0, 0, 0);
    for (const auto& p : points) mean += p;
    return cv::norm(mean / static_cast<double>(points.size()) - centre);
  }
};

// A truncated cone from p0 (radius r0) to p1 (radius r1): its camera-facing side facets.
void appendFrustum(const Projector& proj, const cv::Vec3d& p0, const cv::Vec3d& p1, double r0,
                   double r1, const cv::Vec3d& base, const Material& material, int owner,
                   std::vector<Primitive>& out) {
  const cv::Vec3d d = p1 - p0;
  const double length = cv::norm(d);
  if (length <= 0.0) return;
  const cv::Vec3d axis = d / length;
  cv::Vec3d u, v;
  basisAround(axis, u, v);
  const double slope = (r0 - r1) / length;
  for (int i = 0; i < kSides; ++i) {
    const double a0 = 2.0 * kPi * i / kSides, a1 = 2.0 * kPi * (i + 1) / kSides;
    const double am = 0.5 * (a0 + a1);
    const cv::Vec3d e0 = std::cos(a0) * u + std::sin(a0) * v;
    const cv::Vec3d e1 = std::cos(a1) * u + std::sin(a1) * v;
    const cv::Vec3d em = std::cos(am) * u + std::sin(am) * v;
    const cv::Vec3d normal = cv::normalize(em + slope * axis);
    std::vector<cv::Vec3d> quad{p0 + r0 * e0, p0 + r0 * e1, p1 + r1 * e1, p1 + r1 * e0};
    const cv::Vec3d centre = 0.25 * (quad[0] + quad[1] + quad[2] + quad[3]);
    const cv::Vec3d to_camera = cv::normalize(proj.centre - centre);
    if (normal.dot(to_camera) <= 0.0 || !proj.visible(quad)) continue;
    out.push_back({proj.project(quad), shade(base, normal, to_camera, material),
                   cv::norm(proj.centre - centre), owner});
  }
}

// A flat disc facing `normal` (drawn only from its front).
void appendDisc(const Projector& proj, const cv::Vec3d& centre, const cv::Vec3d& normal,
                double radius, const cv::Vec3d& base, const Material& material, int owner,
                std::vector<Primitive>& out) {
  const cv::Vec3d to_camera = cv::normalize(proj.centre - centre);
  if (normal.dot(to_camera) <= 0.0) return;
  cv::Vec3d u, v;
  basisAround(normal, u, v);
  std::vector<cv::Vec3d> ring;
  for (int i = 0; i < kSides; ++i) {
    const double a = 2.0 * kPi * i / kSides;
    ring.push_back(centre + radius * (std::cos(a) * u + std::sin(a) * v));
  }
  if (!proj.visible(ring)) return;
  out.push_back({proj.project(ring), shade(base, normal, to_camera, material),
                 cv::norm(proj.centre - centre), owner});
}

// A convex flat polygon seen from either side.
void appendPlate(const Projector& proj, const std::vector<cv::Vec3d>& corners,
                 const cv::Vec3d& normal, const cv::Vec3d& base, const Material& material,
                 int owner, std::vector<Primitive>& out) {
  if (!proj.visible(corners)) return;
  cv::Vec3d centre(0, 0, 0);
  for (const auto& c : corners) centre += c;
  centre /= static_cast<double>(corners.size());
  const cv::Vec3d to_camera = cv::normalize(proj.centre - centre);
  const cv::Vec3d facing = normal.dot(to_camera) >= 0.0 ? normal : -normal;
  out.push_back({proj.project(corners), shade(base, facing, to_camera, material),
                 proj.distance(corners), owner});
}

// An ellipsoid as its outline with a few nested, lighter outlines toward the lit side.
void appendEllipsoid(const Projector& proj, const cv::Vec3d& centre, const cv::Vec3d axes[3],
                     const cv::Vec3d& base, int owner, std::vector<Primitive>& out) {
  const cv::Vec3d& l = lightDirection();
  const double distance = cv::norm(proj.centre - centre);
  const int layers = 4;
  for (int k = 0; k < layers; ++k) {
    const double scale = 1.0 - 0.2 * k;
    // Layers shrink toward the surface point facing the light, giving a soft highlight.
    cv::Vec3d shift(0, 0, 0);
    for (int i = 0; i < 3; ++i) shift += (1.0 - scale) * cv::normalize(axes[i]).dot(l) * axes[i];
    std::vector<cv::Vec3d> points;
    for (int i = 0; i <= 8; ++i) {
      const double theta = kPi * i / 8.0;
      for (int j = 0; j < 16; ++j) {
        const double phi = 2.0 * kPi * j / 16.0;
        points.push_back(centre + 0.8 * shift +
                         scale * (std::sin(theta) * std::cos(phi) * axes[0] +
                                  std::sin(theta) * std::sin(phi) * axes[1] +
                                  std::cos(theta) * axes[2]));
      }
    }
    if (!proj.visible(points)) return;
    std::vector<cv::Point2f> projected;
    for (const auto& p : proj.project(points)) projected.emplace_back(p);
    std::vector<cv::Point2f> hull;
    cv::convexHull(projected, hull);
    Primitive prim;
    for (const auto& h : hull) prim.polygon.emplace_back(h.x, h.y);
    const double gain = 0.72 + 0.12 * k;
    prim.colour = cv::Vec3b(cv::saturate_cast<uchar>(base[0] * gain),
                            cv::saturate_cast<uchar>(base[1] * gain),
                            cv::saturate_cast<uchar>(base[2] * gain));
    prim.distance = distance - 1e-3 * k;
    prim.owner = owner;
    out.push_back(std::move(prim));
  }
}

}  // namespace

cv::Point3d Dart::along(double mm) const {
  return {tip_mm.x + mm * direction[0], tip_mm.y + mm * direction[1], -height_mm + mm * direction[2]};
}

// Steel point and tungsten barrel, drawn by the frustum painter of one dart.
template <typename Frustum>
void appendPointAndBarrel(const Frustum& frustum) {
  using D = DartDimensions;
  // Steel point: a short cone, then the 2.2 mm rod.
  frustum(0.0, 4.0, 0.3, 2.2, kSteelColour, kSteel);
  for (double s = 4.0; s < D::kPointEnd - 1e-9; s += 6.5) {
    frustum(s, std::min(s + 6.5, D::kPointEnd), 2.2, 2.2, kSteelColour, kSteel);
  }
  // Barrel: tapered nose, knurled grip rings, tapered back.
  frustum(D::kPointEnd, D::kPointEnd + 3.0, 2.2, 6.8, kBarrelColour, kTungsten);
  int ring = 0;
  for (double s = D::kPointEnd + 3.0; s < D::kBarrelEnd - 3.0 - 1e-9; s += 3.0, ++ring) {
    frustum(s, s + 3.0, 6.8, 6.8, ring % 2 == 0 ? kBarrelColour : kGripColour, kTungsten);
  }
  frustum(D::kBarrelEnd - 3.0, D::kBarrelEnd, 6.8, 4.0, kBarrelColour, kTungsten);
}

void appendDartPrimitives(const Camera& camera, const Dart& dart, int owner,
                          std::vector<Primitive>& out) {
  const Projector proj(camera);
  const cv::Vec3d axis = cv::normalize(dart.direction);
  const cv::Vec3d tip = vec(dart.tip());
  auto at = [&](double s) { return tip + s * axis; };
  auto frustum = [&](double s0, double s1, double d0, double d1, const cv::Vec3d& colour,
                     const Material& m) {
    appendFrustum(proj, at(s0), at(s1), d0 / 2.0, d1 / 2.0, colour, m, owner, out);
  };
  using D = DartDimensions;
  if (!dart.point_hidden) appendPointAndBarrel(frustum);
  // Shaft, running on into the flight.
  for (double s = D::kBarrelEnd; s < D::kShaftEnd - 1e-9; s += 9.0) {
    frustum(s, std::min(s + 9.0, D::kShaftEnd), 4.0, 4.0, kShaftColour, kPlastic);
  }
  appendDisc(proj, at(D::kShaftEnd), axis, 2.0, kShaftColour, kPlastic, owner, out);
  // Flight: two crossed plates, four wings, widening from the shaft to the trailing edge.
  cv::Vec3d u, v;
  basisAround(axis, u, v);
  const double roll = dart.flight_roll_deg * kPi / 180.0;
  const cv::Vec3d colour(dart.flight_colour[0], dart.flight_colour[1], dart.flight_colour[2]);
  const double half = D::kFlightSpan / 2.0;
  for (int k = 0; k < 4; ++k) {
    const double a = roll + k * kPi / 2.0;
    const cv::Vec3d w = std::cos(a) * u + std::sin(a) * v;
    const std::vector<cv::Vec3d> wing{at(D::kFlightStart) + 0.8 * w,
                                      at(D::kFlightStart + 16.0) + 0.86 * half * w,
                                      at(D::kLength - 2.0) + half * w,
                                      at(D::kLength) + 0.8 * w};
    appendPlate(proj, wing, axis.cross(w), colour, kFlight, owner, out);
  }
}

void appendHandPrimitives(const Camera& camera, const Hand& hand, std::vector<Primitive>& out) {
  const Projector proj(camera);
  const double a = hand.angle_deg * kPi / 180.0;
  const cv::Vec3d fingers(std::sin(a), -std::cos(a), 0.0);
  const cv::Vec3d side(std::cos(a), std::sin(a), 0.0);
  const cv::Vec3d front(0.0, 0.0, -1.0);
  const cv::Vec3d centre(hand.centre_mm.x, hand.centre_mm.y, -hand.height_mm);
  const cv::Vec3d skin(hand.skin[0], hand.skin[1], hand.skin[2]);
  const cv::Vec3d axes[3] = {0.5 * hand.palm_length_mm * fingers, 0.5 * hand.palm_width_mm * side,
                             0.5 * hand.palm_thickness_mm * front};
  appendEllipsoid(proj, centre, axes, skin, kHandOwner, out);

  // Fingers curl toward the board when there is room for it.
  const double curl = hand.height_mm > 45.0 ? 0.35 : 0.0;
  const cv::Vec3d finger_dir = cv::normalize(fingers + curl * cv::Vec3d(0, 0, 1));
  for (int k = 0; k < 4; ++k) {
    const double offset = (-0.36 + 0.24 * k) * hand.palm_width_mm;
    const double length = k == 0 || k == 3 ? 58.0 : 72.0;
    const cv::Vec3d base = centre + 0.38 * hand.palm_length_mm * fingers + offset * side;
    for (double s = 0.0; s < length - 1e-9; s += 18.0) {
      appendFrustum(proj, base + s * finger_dir, base + std::min(s + 18.0, length) * finger_dir,
                    9.0, 8.0, skin, kSkin, kHandOwner, out);
    }
    appendDisc(proj, base + length * finger_dir, finger_dir, 8.0, skin, kSkin, kHandOwner, out);
  }
  const cv::Vec3d thumb_base = centre + 0.45 * hand.palm_width_mm * side;
  const cv::Vec3d thumb_dir = cv::normalize(side + fingers + 0.6 * front);
  appendFrustum(proj, thumb_base, thumb_base + 30.0 * thumb_dir, 11.0, 10.0, skin, kSkin,
                kHandOwner, out);
  appendFrustum(proj, thumb_base + 30.0 * thumb_dir, thumb_base + 55.0 * thumb_dir, 10.0, 9.0,
                skin, kSkin, kHandOwner, out);

  if (hand.with_arm) {
    const cv::Vec3d wrist = centre - 0.45 * hand.palm_length_mm * fingers;
    const cv::Vec3d arm_dir = cv::normalize(-0.6 * fingers + 0.8 * front);
    constexpr double kArmLength = 260.0, kStep = 32.5;
    auto radius = [](double s) { return 27.0 + 0.04 * s; };
    for (double s = 0.0; s < kArmLength - 1e-9; s += kStep) {
      const bool sleeve = s >= 130.0;
      appendFrustum(proj, wrist + s * arm_dir, wrist + (s + kStep) * arm_dir, radius(s),
                    radius(s + kStep), sleeve ? kSleeveColour : skin, sleeve ? kPlastic : kSkin,
                    kHandOwner, out);
    }
    appendDisc(proj, wrist + kArmLength * arm_dir, arm_dir, radius(kArmLength), kSleeveColour,
               kPlastic, kHandOwner, out);
  }
}

}  // namespace tarv::scene
