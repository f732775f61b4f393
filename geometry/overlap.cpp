// Boost 1.74's own geometry headers still include a header it has deprecated;
// keep its build note out of our build output.
#define BOOST_ALLOW_DEPRECATED_HEADERS
#include "geometry/overlap.hpp"

#include <boost/geometry/algorithms/area.hpp>
#include <boost/geometry/algorithms/assign.hpp>
#include <boost/geometry/algorithms/intersection.hpp>
#include <boost/geometry/algorithms/is_valid.hpp>
#include <boost/geometry/algorithms/union.hpp>
#include <exception>
#include <limits>

#include "geometry/homography_mapping.hpp"

namespace geometry {
namespace {

namespace bg = boost::geometry;

// Intersection over union cannot exceed 100 %; a float result a hair above it
// is rounding in the library's intersection points, anything further above
// means the polygon operations went wrong.
constexpr float kMaxPercent = 100.0f;
constexpr float kPercentRoundingSlack = 1e-3f;  // percent

constexpr float kNotANumber = std::numeric_limits<float>::quiet_NaN();

// The four mapped corners of the tested frame, named by the frame corner they
// come from (W = width - 1, V = height - 1).
struct MappedCorners {
  OverlapPoint topLeft;      // H(0, 0)
  OverlapPoint bottomRight;  // H(W, V)
  OverlapPoint bottomLeft;   // H(0, V)
  OverlapPoint topRight;     // H(W, 0)
};

OverlapPoint MapCorner(const cv::Mat& H, int x, int y) {
  int xOut = 0;
  int yOut = 0;
  ApplyHomography(&xOut, &yOut, x, y, H);
  return OverlapPoint(xOut, yOut);
}

// Maps in the order H(0,0), H(W,V), H(0,V), H(W,0).
MappedCorners MapFrameCorners(const cv::Mat& H, int W, int V) {
  MappedCorners m;
  m.topLeft = MapCorner(H, 0, 0);
  m.bottomRight = MapCorner(H, W, V);
  m.bottomLeft = MapCorner(H, 0, V);
  m.topRight = MapCorner(H, W, 0);
  return m;
}

// Bottom-left, bottom-right, top-right, top-left, closed: clockwise for the
// library (y up) when the corners keep their arrangement.
std::vector<OverlapPoint> CornerRing(const OverlapPoint& bottomLeft,
                                     const OverlapPoint& bottomRight, const OverlapPoint& topRight,
                                     const OverlapPoint& topLeft) {
  return {bottomLeft, bottomRight, topRight, topLeft, bottomLeft};
}

std::vector<OverlapPoint> ReferenceRing(int W, int V) {
  return CornerRing(OverlapPoint(0, V), OverlapPoint(W, V), OverlapPoint(W, 0), OverlapPoint(0, 0));
}

std::vector<OverlapPoint> TestedRing(const MappedCorners& m) {
  return CornerRing(m.bottomLeft, m.bottomRight, m.topRight, m.topLeft);
}

template <typename PolygonSet>
float SumOfAreas(const PolygonSet& polygons) {
  double sum = 0.0;
  for (const auto& p : polygons)
    sum += bg::area(p);
  return static_cast<float>(sum);
}

}  // namespace

OverlapPolygon setPolygon(const std::vector<OverlapPoint>& ring) {
  OverlapPolygon polygon;
  bg::assign_points(polygon, ring);
  return polygon;
}

float getUnionArea(const OverlapPolygon& a, const OverlapPolygon& b) {
  std::vector<OverlapPolygon> result;
  bg::union_(a, b, result);
  return SumOfAreas(result);
}

float getIntersectionArea(const OverlapPolygon& a, const OverlapPolygon& b) {
  std::vector<OverlapPolygon> result;
  bg::intersection(a, b, result);
  return SumOfAreas(result);
}

float getPercentage(float unionArea, float intersectionArea) {
  return 100.0f * (intersectionArea / unionArea);
}

// H maps the tested frame onto the reference frame.
//
// The polygons are built as mapped, without correction. When either is not a
// valid polygon for the library (the mapped outline crosses itself, runs the
// other way round because H mirrors, has collapsed to a line or point, or the
// frame is degenerate), there is no meaningful overlap and the polygon
// operations are not defined on it, so the result is NaN without calling
// them. The caller takes NaN as "not above the threshold": the frame becomes
// a key frame and the tree's determinant test decides about it. Corners that
// did not fit an int arrive saturated at +/-kMappedLimit, never as NaN or
// infinity. A library exception, a zero union (0/0) or a ratio outside
// [0, 100] beyond float rounding also give NaN; a ratio a hair above 100 is
// clamped to 100. Valid input otherwise gets exactly 100 * i / u.
float CalculateOverlapPercentage(const cv::Mat& H, int width, int height) {
  const int W = width - 1;
  const int V = height - 1;
  const MappedCorners mapped = MapFrameCorners(H, W, V);
  try {
    const OverlapPolygon reference = setPolygon(ReferenceRing(W, V));
    const OverlapPolygon tested = setPolygon(TestedRing(mapped));
    const bool polygonsValid = bg::is_valid(reference) && bg::is_valid(tested);
    if (!polygonsValid)
      return kNotANumber;

    const float u = getUnionArea(reference, tested);
    const float i = getIntersectionArea(reference, tested);
    const float percent = getPercentage(u, i);
    if (percent < 0.0f || percent > kMaxPercent + kPercentRoundingSlack)
      return kNotANumber;
    return percent > kMaxPercent ? kMaxPercent : percent;
  } catch (const std::exception&) {
    // boost::geometry::exception (e.g. invalid overlay input) and allocation
    // failures alike: no overlap can be stated.
    return kNotANumber;
  }
}

}  // namespace geometry
