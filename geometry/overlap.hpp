// Overlap percentage (intersection over union) of a frame outline mapped by a
// homography with the reference frame's outline.
#pragma once

#include <boost/geometry/geometries/point_xy.hpp>
#include <boost/geometry/geometries/polygon.hpp>
#include <opencv2/core.hpp>
#include <vector>

namespace geometry {

using OverlapPoint = boost::geometry::model::d2::point_xy<double>;
// Library defaults: clockwise outer ring, closed.
using OverlapPolygon = boost::geometry::model::polygon<OverlapPoint>;

// A polygon whose outer ring is exactly the given points (no correction).
OverlapPolygon setPolygon(const std::vector<OverlapPoint>& ring);

// Sum of the areas of the union (resp. intersection) of a and b, as float.
float getUnionArea(const OverlapPolygon& a, const OverlapPolygon& b);
float getIntersectionArea(const OverlapPolygon& a, const OverlapPolygon& b);

// 100 * intersection / union, in float.
float getPercentage(float unionArea, float intersectionArea);

// Overlap in percent of the tested frame (mapped into the reference frame by
// H, which maps the tested frame onto the reference) with the reference
// frame's outline; both frames are width x height.
float CalculateOverlapPercentage(const cv::Mat& H, int width, int height);

}  // namespace geometry
