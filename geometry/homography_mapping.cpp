#include "geometry/homography_mapping.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

cv::Point2f ApplyHomography(const cv::Mat& H, cv::Point2f p) {
  CV_Assert(IsHomography(H));
  const double x = p.x;
  const double y = p.y;
  const double w =
      static_cast<float>(H.at<double>(2, 0) * x + H.at<double>(2, 1) * y + H.at<double>(2, 2));
  const double X = (H.at<double>(0, 0) * x + H.at<double>(0, 1) * y + H.at<double>(0, 2)) / w;
  const double Y = (H.at<double>(1, 0) * x + H.at<double>(1, 1) * y + H.at<double>(1, 2)) / w;
  return cv::Point2f(static_cast<float>(X), static_cast<float>(Y));
}

cv::Mat InverseHomography(const cv::Mat& H) {
  cv::Mat inverse;
  cv::invert(H, inverse, cv::DECOMP_LU);
  return inverse;
}

float twoPointDistance(cv::Point2f p, cv::Point2f q) {
  const float dx = q.x - p.x;
  const float dy = q.y - p.y;
  return std::sqrt(dy * dy + dx * dx);
}

float EuclidianDistance(float a, float b, float c, float d) {
  const float dx = c - a;
  const float dy = d - b;
  const float s = dx * dx + dy * dy;
  return static_cast<float>(std::sqrt(static_cast<double>(s)));
}

namespace geometry {

std::optional<MappedBox> MapFrameBox(const cv::Matx33d& H, cv::Size size, double minW) {
  const double inf = std::numeric_limits<double>::infinity();
  MappedBox box{inf, inf, -inf, -inf};
  const double right = size.width - 1.0, bottom = size.height - 1.0;
  for (const cv::Vec3d& c : {cv::Vec3d(0, 0, 1), cv::Vec3d(right, 0, 1),
                             cv::Vec3d(right, bottom, 1), cv::Vec3d(0, bottom, 1)}) {
    const cv::Vec3d p = H * c;
    if (!(p[2] > minW))
      return std::nullopt;
    box.x0 = std::min(box.x0, p[0] / p[2]);
    box.y0 = std::min(box.y0, p[1] / p[2]);
    box.x1 = std::max(box.x1, p[0] / p[2]);
    box.y1 = std::max(box.y1, p[1] / p[2]);
  }
  return box;
}

}  // namespace geometry
