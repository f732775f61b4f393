// Overlap percentage with arbitrary homographies: NaN, infinities, outlines
// that fold over themselves or collapse. The result is NaN (the outline could
// not be measured) or a percentage in [0, 100].
#include <cmath>
#include <opencv2/core.hpp>

#include "fuzz/fuzz_input.hpp"
#include "fuzz/fuzz_targets.hpp"
#include "geometry/overlap.hpp"

namespace fuzz {
namespace {
constexpr int kMaxFrameSide = 4096;  // pixels
constexpr float kPercentSlack = 1e-2f;
}  // namespace

int FuzzOverlap(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const int width = input.IntIn(1, kMaxFrameSide);
  const int height = input.IntIn(1, kMaxFrameSide);
  cv::Mat H(3, 3, CV_64F);
  for (int i = 0; i < 9; ++i)
    H.at<double>(i / 3, i % 3) = input.Double();
  const float percent = geometry::CalculateOverlapPercentage(H, width, height);
  Require(std::isnan(percent) || (percent >= 0.0f && percent <= 100.0f + kPercentSlack),
          "overlap is NaN or within [0, 100]");
  return 0;
}

}  // namespace fuzz

VMOSAIC_FUZZ_ENTRY(fuzz::FuzzOverlap)
