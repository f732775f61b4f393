// Point mapping through arbitrary homographies: the integer form always
// yields coordinates within +/-kMappedLimit (no undefined conversions), the
// float form and the distances never trap.
#include <cmath>
#include <opencv2/core.hpp>

#include "fuzz/fuzz_input.hpp"
#include "fuzz/fuzz_targets.hpp"
#include "geometry/homography_mapping.hpp"

namespace fuzz {
namespace {
constexpr int kMaxPixel = 1 << 20;  // pixel coordinates tried, either sign
}  // namespace

int FuzzPointMapping(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  cv::Mat H(3, 3, CV_64F);
  for (int i = 0; i < 9; ++i)
    H.at<double>(i / 3, i % 3) = input.Double();
  const int x = input.IntIn(-kMaxPixel, kMaxPixel);
  const int y = input.IntIn(-kMaxPixel, kMaxPixel);
  int X = 0;
  int Y = 0;
  ApplyHomography(&X, &Y, x, y, H);
  Require(X >= -kMappedLimit && X <= kMappedLimit && Y >= -kMappedLimit && Y <= kMappedLimit,
          "integer mapping stays within the mapped limit");

  const cv::Point2f p(input.Float(), input.Float());
  const cv::Point2f q = ApplyHomography(H, p);
  const float d1 = twoPointDistance(p, q);
  const float d2 = EuclidianDistance(p.x, p.y, q.x, q.y);
  Require(std::isnan(d1) || d1 >= 0.0f, "distance is not negative");
  Require(std::isnan(d2) || d2 >= 0.0f, "distance is not negative");
  return 0;
}

}  // namespace fuzz

VMOSAIC_FUZZ_ENTRY(fuzz::FuzzPointMapping)
