// Georeferencing a mosaic: the similarity (rotation, uniform scale,
// translation) that carries canvas pixels onto ground metres (east, north),
// fitted robustly to the key frames' centres and their recorded positions.
//
// A camera looking down sees the ground as a map does, but image rows run
// down where northings run up, so the fit maps (x, y) to
// east = a x + b y + tx, north = b x - a y + ty.
#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace geometry {

struct GroundFit {
  bool ok = false;
  std::string failure;  // why there is no fit, when !ok
  double a = 0.0, b = 0.0, tx = 0.0, ty = 0.0;
  std::vector<double> residuals;  // metres, per point, whether inlier or not
  std::vector<bool> inliers;
  double rmsMetres = 0.0;  // over the inliers

  cv::Point2d Apply(const cv::Point2d& canvas) const {
    return {a * canvas.x + b * canvas.y + tx, b * canvas.x - a * canvas.y + ty};
  }
  double MetresPerPixel() const { return std::hypot(a, b); }
  // GDAL's geotransform of the canvas, whose pixel (c, r) is centred on
  // canvas point (c, r): the corner of pixel (0, 0) is (-0.5, -0.5).
  std::array<double, 6> GeoTransform() const;
};

// Fewest positions a fit accepts: two fix a similarity, a third lets a bad
// one be found.
constexpr size_t kMinGroundPoints = 3;

// Whether positions lie too close to one line (or one point) for a fit: their
// spread across the line of best fit is below kCollinearRatio of their spread
// along it, or they span less than kMinSpanMetres.
constexpr double kCollinearRatio = 0.02;
constexpr double kMinSpanMetres = 1.0;
bool NearlyCollinear(const std::vector<cv::Point2d>& ground);

// Least median of squares over pairs of points, then least squares over the
// points within kInlierSigmas robust deviations (and at least
// minThresholdMetres) of the best pair's fit. Refuses fewer than
// kMinGroundPoints pairs of points or collinear ground positions.
constexpr double kInlierSigmas = 3.0;
GroundFit FitGroundSimilarity(const std::vector<cv::Point2d>& canvas,
                              const std::vector<cv::Point2d>& ground,
                              double minThresholdMetres = 0.5);

}  // namespace geometry
