#include "geometry/overlap.hpp"

// Placeholder bodies until the overlap measure lands.
namespace geometry {
OverlapPolygon setPolygon(const std::vector<OverlapPoint>&) { return {}; }
float getUnionArea(const OverlapPolygon&, const OverlapPolygon&) { return 0.0f; }
float getIntersectionArea(const OverlapPolygon&, const OverlapPolygon&) { return 0.0f; }
float getPercentage(float, float) { return 0.0f; }
float CalculateOverlapPercentage(const cv::Mat&, int, int) { return 0.0f; }
}  // namespace geometry
