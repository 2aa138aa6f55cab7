// The edges a camera finds on the image gradient: searched along the normals of its own
// projected rings, beds and wires, a narrow ring band located as a whole, and the collections
// about the cameras one refinement visits kept for the image.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "tarv/autocal/camera_estimate.h"

namespace tarv {

// A ring's outer edge runs between a bed and the black number ring, a smaller step in grey
// than a wire's between cream and black: under a dim light or a blur it can stay below the
// strength the wires need all round, and a board seen low then shows no ring at all while
// its wires agree with any camera of the right turn and centre, whatever its scale. Only
// there, where the rings would say nothing, are fainter ring edges taken (the wires keep
// kEdgeMinResponse).
constexpr double kFaintRingMinResponse = 10.0;

// Edges searched along the normals of the treble (107 mm) and double (170 mm) rings every 1.5
// degrees and across the 20 wires every 15 mm from 30 to 150 mm (each no farther than a quarter
// of the way to the next wire), as the board fit does, and
// along the beds' inner edges (99 and 162 mm on a regulation board; other boards differ
// there, so they join the fit only where they are found at those radii).
struct CameraEdgeMatches {
  std::vector<cv::Point2f> board;   // landmark frame, mm
  std::vector<cv::Point2f> image;   // pixels
  std::vector<cv::Point2f> normal;  // unit image normal of the edge at the match
  std::vector<float> offsetPx;      // signed distance from the camera's projection
  std::vector<float> pxPerMm;       // image pixels per board mm across the edge
  std::vector<int> kind;            // 0 treble ring, 1 double ring, 2 wire, 3 a bed's inner edge
  // The side of its wire the edge shows on, along normal (-1, +1; 0: its middle, or a band).
  std::vector<int> side;
  // Image pixels along normal that the point moves raised a mm off the face.
  std::vector<float> liftPxPerMm;
  // Board points that lie in the image: per ring and board octant, and on the wires.
  int ringInView[2][8] = {};
  // Ring points whose band lies beyond the search about the camera, per ring and board octant.
  int ringBeyond[2][8] = {};
  int wireInView = 0;
};
// Where a camera expects each edge it found, across the edge from its board point's projection.
// The double ring's edge lies outerMm beyond 170 mm (its strongest gradient where blur and scale
// take it). A wire edge shows on one side of the wire, or both (then its middle is taken): a
// side half the wire's width off its middle, at the foot of the wire where that side faces the
// camera and at its top where the wire hides its foot. A board's wires stand a millimetre or two
// off the face; a camera that took their tops for the face would place a dart's tip beside
// where it is, and a camera seen low shows its wires' sides over several mm of the beds.
struct EdgeModel {
  double outerMm = 0.0;
  double wireWidthMm = 0.0;
  double wireHeightMm = 0.0;
  // Pixels along the match's normal from its projected board point: each of the three
  // lengths times the pixels a mm of it moves match i (the fit's derivatives by them).
  double offsetPx(const CameraEdgeMatches& m, size_t i) const;
  static double outerPxPerMm(const CameraEdgeMatches& m, size_t i);
  static double widthPxPerMm(const CameraEdgeMatches& m, size_t i);
  static double heightPxPerMm(const CameraEdgeMatches& m, size_t i);
};

// innerEdges: the beds' inner edges as well. A ring or bed edge weaker than ringMinResponse
// (grey levels a pixel) is none; the wires always ask for the board fit's strength. wideBands:
// a ring band a few pixels deep, located as a whole, is searched a few pixels either way, up to
// a little beyond its depth (the fit's edges); without it, as far as a single edge is (the
// judgement's).
CameraEdgeMatches collectCameraEdgeMatches(const CameraEstimate& camera, const cv::Mat& gx, const cv::Mat& gy,
                                           bool innerEdges, double ringMinResponse = 20.0, bool wideBands = false);

// A narrow band's location about one edge point, the costly part of a collection; it depends
// on the camera, the band's strength and its reach only (not on the inner edges or the plain
// rings' strength), so collections about one camera share it.
struct BandLocation {
  bool located = false;  // computed
  bool beyond = false;
  std::optional<double> shift;
};

// What collections about one camera share: the projected edge object points and the narrow
// bands' locations (empty until first computed).
struct CameraBands {
  std::vector<cv::Point2d> projected;
  std::vector<BandLocation> locations;
};

// One image's gradients and the edges collected about the cameras a refinement visits: its
// rounds, its judgements and the follow-up refinements return to the same cameras (the start
// of one round is the camera the last judged), and a collection about a camera already seen is
// the same collection.
class EdgeSearch {
 public:
  // wideBeds: the board's edge points with 10 mm beds.
  explicit EdgeSearch(const cv::Mat& grey, bool wideBeds = false);

  // The edges about the camera (as collectCameraEdgeMatches), collected once per camera and
  // settings; a camera that cannot be keyed is collected afresh each time.
  std::shared_ptr<const CameraEdgeMatches> matches(const CameraEstimate& camera, bool innerEdges,
                                                   double ringMinResponse, bool wideBands = false);
  // Whether the edges are a board's with 10 mm beds.
  bool wideBeds() const { return wideBeds_; }
  // The same image's search with 10 mm beds: its gradients shared, nothing collected yet.
  EdgeSearch withWideBeds() const { return EdgeSearch(gx_, gy_, true); }

 private:
  EdgeSearch(const cv::Mat& gx, const cv::Mat& gy, bool wideBeds) : wideBeds_(wideBeds), gx_(gx), gy_(gy) {}

  // A refinement visits a dozen cameras, a follow-up a few refinements.
  static constexpr size_t kKept = 64;
  struct Collected {
    std::vector<double> key;
    bool innerEdges;
    double ringMinResponse;
    bool wideBands;
    std::shared_ptr<const CameraEdgeMatches> matches;
  };
  struct Seen {
    std::vector<double> key;
    double bandResponse;
    bool wideBands;
    CameraBands bands;
  };

  // The camera's every parameter, bit for bit: a camera is the same only where it projects
  // every point the same.
  static bool keyOf(const CameraEstimate& camera, std::vector<double>& key);
  static bool sameKey(const std::vector<double>& a, const std::vector<double>& b);

  bool wideBeds_;
  cv::Mat gx_, gy_;
  std::deque<Collected> collected_;
  std::deque<Seen> cameras_;
};

}  // namespace tarv
