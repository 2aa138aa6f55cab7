#include "tarv/autocal/camera_solve.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>

#include <opencv2/calib3d.hpp>

#include "tarv/core/usable_cores.h"

namespace tarv {
namespace {

constexpr double kTolerances[6] = {0.45, 0.35, 0.3, 0.25, 0.25, 0.25};
constexpr int kFitFocalAndK1 = cv::CALIB_USE_INTRINSIC_GUESS | cv::CALIB_FIX_ASPECT_RATIO |
                               cv::CALIB_FIX_PRINCIPAL_POINT | cv::CALIB_ZERO_TANGENT_DIST |
                               cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3;
constexpr int kFitFocal = kFitFocalAndK1 | cv::CALIB_FIX_K1;
// The same with the optical centre free: f, cx, cy, k1 and the pose.
constexpr int kFitCentre = kFitFocalAndK1 & ~cv::CALIB_FIX_PRINCIPAL_POINT;
// Focal lengths the solve accepts, in image widths: from a wide angle to a long lens standing
// far back from the board (3.4 to 3.8 widths seen). The edges take shorter ones still (a wide
// lens that fills a wide image); the network's few dozen crossings, fitting focal length and
// bend together, are held to this: allowed 0.2 widths, a real rig's camera they placed 0.15 px
// off ended 0.67 px off.
constexpr double kMinFocalWidths = 0.3;
constexpr double kMaxFocalWidths = 6.0;
// The centre moves only when the crossings ask for it: the free fit must explain them clearly
// better than the fit about the image's centre.
constexpr int kMinCentrePairs = 40;
constexpr double kCentreGain = 0.8;

// A fit runs in rounds of a few steps, up to the steps one fit may take, and stops on the
// round that leaves its parameters where they were. Where the pairs do not fix the focal
// length (a small board seen nearly face on) the fit drifts along the directions they leave
// free without lowering its error (a focal length from 1740 to 300 px at the same 0.38 px),
// through every step: it stops on a round that gains next to nothing, and as soon as it
// leaves the plausible cameras, where it would be refused at its end anyway.
constexpr int kFitSteps = 500;
constexpr int kFitRoundSteps = 25;
constexpr double kSettledFocal = 1e-6;
constexpr double kSettledK1 = 1e-6;
constexpr double kSettledCentrePx = 1e-3;
constexpr double kDriftGain = 1e-3;

bool plausibleLens(const cv::Mat& K, const cv::Mat& dist, int width) {
  const double f = K.at<double>(0, 0), k1 = dist.reshape(1, 1).at<double>(0);
  return kMinFocalWidths * width < f && f < kMaxFocalWidths * width && std::abs(k1) < 1.0;
}

// One view's cv::calibrateCamera in a frame padded by the image's size on every side: the
// library refuses an initial optical centre outside the image, and a photograph cut to the
// board can have its centre there. Image points and the centre move into the padded frame
// and back; nothing else of the fit depends on the frame. False when the fit left the cameras
// `plausible` takes (K in the image's own frame).
template <typename Plausible>
bool calibrateOneView(const std::vector<cv::Point3f>& object, std::vector<cv::Point2f> image, cv::Size size, cv::Mat& K,
                      cv::Mat& dist, cv::Mat& rvec, cv::Mat& tvec, int flags, Plausible&& plausible) {
  const cv::Point2f pad(static_cast<float>(size.width), static_cast<float>(size.height));
  for (cv::Point2f& p : image) p += pad;
  K.at<double>(0, 2) += pad.x;
  K.at<double>(1, 2) += pad.y;
  std::vector<cv::Mat> rvecs, tvecs;
  bool inRange = true;
  double rmsBefore = -1.0;
  try {
    for (int done = 0; done < kFitSteps; done += kFitRoundSteps) {
      const cv::Mat K0 = K.clone(), dist0 = dist.clone().reshape(1, 1);
      const double rms = cv::calibrateCamera(
          std::vector<std::vector<cv::Point3f>>{object}, std::vector<std::vector<cv::Point2f>>{image},
          cv::Size(3 * size.width, 3 * size.height), K, dist, rvecs, tvecs, flags,
          cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, kFitRoundSteps, 2.220446049250313e-16));
      cv::Mat unpadded = K.clone();
      unpadded.at<double>(0, 2) -= pad.x;
      unpadded.at<double>(1, 2) -= pad.y;
      if (!plausible(unpadded, dist)) {
        inRange = false;
        break;
      }
      const double f0 = K0.at<double>(0, 0);
      if (std::abs(K.at<double>(0, 0) - f0) <= kSettledFocal * f0 &&
          std::abs(dist.reshape(1, 1).at<double>(0) - dist0.at<double>(0)) <= kSettledK1 &&
          std::hypot(K.at<double>(0, 2) - K0.at<double>(0, 2), K.at<double>(1, 2) - K0.at<double>(1, 2)) <= kSettledCentrePx) {
        break;
      }
      if (rmsBefore >= 0.0 && !(rms < (1.0 - kDriftGain) * rmsBefore)) break;
      rmsBefore = rms;
    }
  } catch (...) {
    K.at<double>(0, 2) -= pad.x;
    K.at<double>(1, 2) -= pad.y;
    throw;
  }
  K.at<double>(0, 2) -= pad.x;
  K.at<double>(1, 2) -= pad.y;
  rvec = rvecs[0].clone();
  tvec = tvecs[0].clone();
  return inRange;
}

// Whether the bull is close enough to the projected board centre to pin it.
bool bullAgrees(const CameraEstimate& e, cv::Point2d bull, double tol) {
  if (bull.x < 0) return false;
  const std::vector<cv::Point3d>& ref = referenceCrossings();
  std::vector<cv::Point3d> ring(ref.begin(), ref.begin() + kCrossingWires);
  ring.emplace_back(0.0, 0.0, 0.0);
  const std::vector<cv::Point2d> p = projectBoardPoints(e, ring);
  std::vector<double> chords;
  for (int k = 0; k < kCrossingWires; ++k) chords.push_back(cv::norm(p[k] - p[(k + 1) % kCrossingWires]));
  std::nth_element(chords.begin(), chords.begin() + 10, chords.end());
  return 2.0 * tol * chords[10] + 3.0 > cv::norm(p[kCrossingWires] - bull);
}

struct Correspondences {
  std::vector<cv::Point3f> object;
  std::vector<cv::Point2f> image;
  int pairs = 0;
};

Correspondences correspondencesOf(const CameraEstimate& e, const std::vector<cv::Point2d>& crossings, cv::Point2d bull,
                                  double tol) {
  const std::vector<cv::Point3d>& ref = referenceCrossings();
  const CrossingMatches m = matchCrossings(projectBoardPoints(e, ref), crossings, tol);
  Correspondences c;
  c.pairs = static_cast<int>(m.reference.size());
  if (bullAgrees(e, bull, tol)) {
    c.object.emplace_back(0.0f, 0.0f, 0.0f);
    c.image.emplace_back(bull);
  }
  for (int k = 0; k < c.pairs; ++k) {
    c.object.emplace_back(ref[m.reference[k]]);
    c.image.emplace_back(crossings[m.detection[k]]);
  }
  return c;
}

double reprojectionRms(const CameraEstimate& e, const Correspondences& c) {
  std::vector<cv::Point3d> object(c.object.begin(), c.object.end());
  const std::vector<cv::Point2d> p = projectBoardPoints(e, object);
  double sum = 0.0;
  for (size_t i = 0; i < p.size(); ++i) sum += std::pow(cv::norm(p[i] - cv::Point2d(c.image[i])), 2);
  return p.empty() ? 1e9 : std::sqrt(sum / static_cast<double>(p.size()));
}

// One fit with the optical centre free; none when the result leaves the plausible range (the
// centre more than half the image beyond its edges, the focal length or k1 out of range). A
// single view of a plane does not fix focal length and centre together, so the centre is first
// moved at the solved focal length (which can then follow any view of the plane) and only then
// fitted together with it.
std::optional<CameraEstimate> fitWithFreeCentreOn(const CameraEstimate& e, const Correspondences& c) {
  CameraEstimate current = cloneCameraEstimate(e);
  for (const int flags : {kFitCentre | cv::CALIB_FIX_FOCAL_LENGTH, kFitCentre}) {
    cv::Mat K = current.K.clone(), dist = current.dist.clone();
    cv::Mat rvec, tvec;
    try {
      const auto plausible = [&](const cv::Mat& fittedK, const cv::Mat& fittedDist) {
        return plausibleLens(fittedK, fittedDist, e.width) && std::abs(fittedK.at<double>(0, 2) - 0.5 * e.width) <= e.width &&
               std::abs(fittedK.at<double>(1, 2) - 0.5 * e.height) <= e.height;
      };
      if (!calibrateOneView(c.object, c.image, cv::Size(e.width, e.height), K, dist, rvec, tvec, flags, plausible)) break;
    } catch (const cv::Exception&) {
      break;  // a degenerate set of pairs: the centre stays where it was
    }
    dist = dist.reshape(1, 1);
    CameraEstimate out = cloneCameraEstimate(current);
    out.K = K;
    out.dist = cv::Mat::zeros(1, 5, CV_64F);
    for (int j = 0; j < std::min(static_cast<int>(dist.total()), 5); ++j) out.dist.at<double>(j) = dist.at<double>(j);
    out.rvec = rvec;
    out.tvec = tvec;
    if (!(reprojectionRms(out, c) <= reprojectionRms(current, c))) break;
    current = std::move(out);
  }
  if (current.K.at<double>(0, 2) == e.K.at<double>(0, 2) && current.K.at<double>(1, 2) == e.K.at<double>(1, 2)) {
    return std::nullopt;
  }
  return current;
}

}  // namespace

std::optional<CameraEstimate> fitWithFreeCentre(const CameraEstimate& start, const std::vector<cv::Point3f>& object,
                                                const std::vector<cv::Point2f>& image) {
  Correspondences c;
  c.object = object;
  c.image = image;
  c.pairs = static_cast<int>(object.size());
  return fitWithFreeCentreOn(start, c);
}

CameraEstimate refineOpticalCentre(const CameraEstimate& solved, const std::vector<cv::Point2d>& crossings,
                                   cv::Point2d bull) {
  const double tol = kTolerances[5];
  const Correspondences before = correspondencesOf(solved, crossings, bull, tol);
  if (before.pairs < kMinCentrePairs) return cloneCameraEstimate(solved);
  const double rmsBefore = reprojectionRms(solved, before);
  std::optional<CameraEstimate> free = fitWithFreeCentreOn(solved, before);
  if (!free) return cloneCameraEstimate(solved);
  // Once more on the pairs the moved camera matches: a centre far off may bring in crossings
  // the fixed one missed.
  const Correspondences again = correspondencesOf(*free, crossings, bull, tol);
  if (again.pairs >= before.pairs) {
    if (std::optional<CameraEstimate> second = fitWithFreeCentreOn(*free, again)) free = std::move(second);
  }
  if (!(reprojectionRms(*free, before) < kCentreGain * rmsBefore)) return cloneCameraEstimate(solved);
  const MatchScore a = scoreCameraEstimate(solved, crossings, tol), b = scoreCameraEstimate(*free, crossings, tol);
  if (b.matches < a.matches) return cloneCameraEstimate(solved);
  return std::move(*free);
}

// A lens fit's result depends only on its pairs, the guessed focal length and k1 and the flags
// (the library finds the pose from the pairs anew), so equal inputs, compared bit for bit, give
// the same camera.
struct LensFitMemo {
  struct Fit {
    std::vector<double> key;
    cv::Mat K, dist, rvec, tvec;
    bool inRange = false;
  };
  static constexpr size_t kMaxFits = 1024;
  // The starts of a selection are solved on several threads at once.
  std::mutex lock;
  std::unordered_multimap<uint64_t, Fit> fits;
  size_t stored = 0;

  static std::vector<double> keyOf(const std::vector<cv::Point3f>& object, const std::vector<cv::Point2f>& image,
                                   const CameraEstimate& e, int flags) {
    std::vector<double> key{static_cast<double>(flags), static_cast<double>(e.width), static_cast<double>(e.height),
                            static_cast<double>(object.size())};
    for (int i = 0; i < 9; ++i) key.push_back(e.K.at<double>(i / 3, i % 3));
    const cv::Mat dist = e.dist.reshape(1, 1);
    for (int i = 0; i < static_cast<int>(dist.total()); ++i) key.push_back(dist.at<double>(i));
    for (size_t i = 0; i < object.size(); ++i) {
      key.insert(key.end(), {object[i].x, object[i].y, object[i].z, image[i].x, image[i].y});
    }
    return key;
  }
  static uint64_t hashOf(const std::vector<double>& key) {
    uint64_t h = 1469598103934665603ull;
    for (const double v : key) {
      uint64_t bits = 0;
      std::memcpy(&bits, &v, sizeof bits);
      h = (h ^ bits) * 1099511628211ull;
    }
    return h;
  }
  // A copy of the fit with these inputs, where one was stored.
  std::optional<Fit> find(uint64_t hash, const std::vector<double>& key) {
    const std::lock_guard<std::mutex> guard(lock);
    const auto range = fits.equal_range(hash);
    for (auto it = range.first; it != range.second; ++it) {
      if (it->second.key.size() == key.size() &&
          std::memcmp(it->second.key.data(), key.data(), key.size() * sizeof(double)) == 0) {
        const Fit& f = it->second;
        return Fit{{}, f.K.clone(), f.dist.clone(), f.rvec.clone(), f.tvec.clone(), f.inRange};
      }
    }
    return std::nullopt;
  }
  void store(uint64_t hash, Fit fit) {
    const std::lock_guard<std::mutex> guard(lock);
    if (stored >= kMaxFits) return;
    fits.emplace(hash, std::move(fit));
    ++stored;
  }
};

CameraEstimate solveCamera(const CameraEstimate& start, const std::vector<cv::Point2d>& crossings,
                           cv::Point2d bull, int iterations, LensFitMemo* memo) {
  CameraEstimate e = cloneCameraEstimate(start);
  const std::vector<cv::Point3d>& ref = referenceCrossings();
  for (int i = 0; i < iterations; ++i) {
    const double tol = kTolerances[std::min(i, 5)];
    const CrossingMatches m = matchCrossings(projectBoardPoints(e, ref), crossings, tol);
    const int pairs = static_cast<int>(m.reference.size());
    if (pairs < 6) break;
    std::vector<cv::Point3f> object;
    std::vector<cv::Point2f> image;
    if (bullAgrees(e, bull, tol)) {
      object.emplace_back(0.0f, 0.0f, 0.0f);
      image.emplace_back(bull);
    }
    for (int k = 0; k < pairs; ++k) {
      object.emplace_back(ref[m.reference[k]]);
      image.emplace_back(crossings[m.detection[k]]);
    }
    if (pairs >= 12) {
      const int flags = pairs >= 25 ? kFitFocalAndK1 : kFitFocal;
      cv::Mat K, dist, rvec, tvec;
      bool inRange = false;
      std::vector<double> key;
      uint64_t hash = 0;
      std::optional<LensFitMemo::Fit> known;
      if (memo) {
        key = LensFitMemo::keyOf(object, image, e, flags);
        hash = LensFitMemo::hashOf(key);
        known = memo->find(hash, key);
      }
      if (known) {
        K = known->K;
        dist = known->dist;
        rvec = known->rvec;
        tvec = known->tvec;
        inRange = known->inRange;
      } else {
        K = e.K.clone();
        dist = e.dist.clone();
        inRange = calibrateOneView(object, image, cv::Size(e.width, e.height), K, dist, rvec, tvec, flags,
                                   [&](const cv::Mat& fittedK, const cv::Mat& fittedDist) {
                                     return plausibleLens(fittedK, fittedDist, e.width);
                                   });
        if (memo) memo->store(hash, LensFitMemo::Fit{std::move(key), K.clone(), dist.clone(), rvec.clone(), tvec.clone(), inRange});
      }
      dist = dist.reshape(1, 1);
      if (inRange) {
        e.K = K;
        e.dist = cv::Mat::zeros(1, 5, CV_64F);
        for (int j = 0; j < std::min(static_cast<int>(dist.total()), 5); ++j) e.dist.at<double>(j) = dist.at<double>(j);
        e.rvec = rvec;
        e.tvec = tvec;
        continue;
      }
    }
    cv::Mat rvec = e.rvec.clone(), tvec = e.tvec.clone();
    if (cv::solvePnP(object, image, e.K, e.dist, rvec, tvec, true, cv::SOLVEPNP_ITERATIVE)) {
      e.rvec = rvec;
      e.tvec = tvec;
    }
  }
  return e;
}

namespace {

// Threads beside the caller's that solve a selection's starts: each start's solve stands
// alone, and the lens fits dominate a call's time where the board is hard to find. A landmark
// call may run two selections at once (the closer look beside the first solve), so helpers
// are taken only where two threads each are left for them; on two or three cores they would
// only slow the solve that decides the call.
constexpr int kMaxStartHelpers = 2;

int startHelpers() {
  return std::clamp((usableCores() - 2) / 2, 0, kMaxStartHelpers);
}

struct SolvedStart {
  std::optional<CameraEstimate> camera;
  MatchScore score;
  std::exception_ptr error;
};

SolvedStart solveStart(const CameraEstimate& start, const std::vector<cv::Point2d>& crossings, cv::Point2d bull,
                       LensFitMemo* memo) {
  SolvedStart out;
  try {
    CameraEstimate e = solveCamera(start, crossings, bull, 6, memo);
    if (!(cameraCentre(e)[2] > 0.0)) return out;
    out.score = scoreCameraEstimate(e, crossings, 0.25);
    out.camera = std::move(e);
  } catch (const cv::Exception&) {
    // A degenerate start (collinear pairs, a singular guess) says nothing about the others.
  } catch (...) {
    out.error = std::current_exception();
  }
  return out;
}

}  // namespace

void selectBestCamera(const std::vector<cv::Point2d>& crossings, cv::Point2d bull, CameraSelection& selection,
                      const std::vector<CameraEstimate>& starts) {
  if (!selection.lensFits) selection.lensFits = std::make_shared<LensFitMemo>();
  LensFitMemo* memo = selection.lensFits.get();
  // Every start is solved first, on a few threads, then they are compared in their order, so
  // that the choice and its ties are those of one start after the other; a lens fit is a
  // function of its inputs alone, so which thread ran it first does not matter.
  std::vector<SolvedStart> solved(starts.size());
  std::atomic<size_t> next{0};
  const auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < starts.size();) {
      if (selection.stop && selection.stop->load()) break;
      solved[i] = solveStart(starts[i], crossings, bull, memo);
    }
  };
  const size_t wanted = std::min(static_cast<size_t>(startHelpers()), starts.size() > 0 ? starts.size() - 1 : 0);
  std::vector<std::thread> helpers;
  helpers.reserve(wanted);
  for (size_t h = 0; h < wanted; ++h) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // the caller's thread solves what no helper takes
    }
  }
  work();
  for (std::thread& t : helpers) t.join();
  for (SolvedStart& r : solved) {
    if (r.error) std::rethrow_exception(r.error);
    if (!r.camera) continue;
    const MatchScore& s = r.score;
    if (!selection.found || s.matches > selection.best.matches ||
        (s.matches == selection.best.matches && s.rmsPx < selection.best.rmsPx)) {
      selection.found = true;
      selection.best = s;
      selection.camera = std::move(*r.camera);
    }
  }
}

}  // namespace tarv
