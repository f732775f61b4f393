// Point mapping through 3x3 homographies and point distances.
//
// These are the only point-mapping primitives of the system; their rounding
// is observable (side decisions, canvas sizes, overlap rings), so it must not
// change. A homography is a 3x3 CV_64F matrix acting on (x, y, 1).
#pragma once

#include <opencv2/core.hpp>
#include <optional>

// The form every homography of the system takes: a 3x3 CV_64F matrix.
inline bool IsHomography(const cv::Mat& H) {
  return H.rows == 3 && H.cols == 3 && H.type() == CV_64F;
}

// Rounds a mapped coordinate: add 0.5, truncate toward zero. Values that do
// not fit (a degenerate homography, w = 0) saturate at +/-kMappedLimit and NaN
// gives -kMappedLimit, so later size arithmetic cannot overflow.
constexpr int kMappedLimit = 1'000'000'000;
inline int RoundMappedCoordinate(double v) {
  const double r = v + 0.5;
  if (r > -kMappedLimit && r < kMappedLimit)
    return static_cast<int>(r);
  return r >= kMappedLimit ? kMappedLimit : -kMappedLimit;
}

// Integer form: maps pixel (x, y) through H and rounds by adding 0.5 and
// truncating toward zero (so every X in (-1.5, 0.5) gives 0). The projective
// divisor is rounded to float first. Runs once per canvas pixel: keep it a
// plain scalar computation.
inline void ApplyHomography(int* x_out, int* y_out, int x, int y, const double* h) {
  const double xd = x;
  const double yd = y;
  const double w = static_cast<float>(h[6] * xd + h[7] * yd + h[8]);
  const double X = (h[0] * xd + h[1] * yd + h[2]) / w;
  const double Y = (h[3] * xd + h[4] * yd + h[5]) / w;
  *x_out = RoundMappedCoordinate(X);
  *y_out = RoundMappedCoordinate(Y);
}

inline void ApplyHomography(int* x_out, int* y_out, int x, int y, const cv::Mat& H) {
  CV_Assert(IsHomography(H) && H.isContinuous());
  ApplyHomography(x_out, y_out, x, y, H.ptr<double>());
}

// A new matrix: the inverse of H by LU (zeros when H is singular; links
// accepted into the tree are far from that, so callers need not check).
cv::Mat InverseHomography(const cv::Mat& H);

// Float form: maps p through H without rounding to pixels.
cv::Point2f ApplyHomography(const cv::Mat& H, cv::Point2f p);

// Distance of p and q, all in single precision.
float twoPointDistance(cv::Point2f p, cv::Point2f q);

// Distance of (a, b) and (c, d): squared sum in float, square root in double.
float EuclidianDistance(float a, float b, float c, float d);

namespace geometry {

inline cv::Matx33d Translation(double tx, double ty) {
  return cv::Matx33d(1, 0, tx, 0, 1, ty, 0, 0, 1);
}

// The box around the four corners of the frame (pixels 0 .. size - 1) mapped
// through H: smallest and largest mapped x and y. Nothing when a corner's
// projective divisor is not above minW (the outline crosses the horizon).
struct MappedBox {
  double x0, y0, x1, y1;
};
std::optional<MappedBox> MapFrameBox(const cv::Matx33d& H, cv::Size size, double minW);

}  // namespace geometry
