// Corner distance of a homography and the choice of the lowest score.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/core.hpp>
#include <tuple>
#include <vector>

#include "composition/composition.hpp"
#include "tests/support/test_support.hpp"

namespace {

using testsupport::Translation;

// Every corner moves by 5 under (3, 4); corners are rounded first: x 0 ->
// -1.2 stays 0, x 99 -> 97.8 becomes 98; a scale about the origin moves the
// corners (0,0), (9,0), (9,4), (0,4) of a 10 x 5 frame by 0, 9, |(9,4)|, 4.
TEST(CornerDistance, IdentityTranslationsAndScaleScoreTheSumOfCornerMoves) {
  Composition comp;
  const std::tuple<cv::Mat, cv::Size, float> cases[] = {
      {cv::Mat::eye(3, 3, CV_64F), {640, 480}, 0.0f},
      {Translation(3, 4), {640, 480}, 20.0f},
      {Translation(-1.2, 0), {100, 100}, 2.0f},
      {(cv::Mat_<double>(3, 3) << 2, 0, 0, 0, 2, 0, 0, 0, 1),
       {10, 5},
       13.0f + static_cast<float>(std::sqrt(97.0))}};
  for (const auto& [H, size, expected] : cases) {
    EXPECT_FLOAT_EQ(
        comp.CalculateReprojectionDistance_4Corners(nullptr, H, size.width, size.height), expected)
        << H;
  }
}

// Lowest score, ties to the lowest index; a NaN is never chosen unless it
// stands first (and is then never replaced).
TEST(ReferenceIndex, LowestScoreWinsTiesToTheLowestIndexNaNOnlyFirst) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::pair<std::vector<float>, int> cases[] = {
      {{0.0f}, 0}, {{3, 1, 2}, 1},   {{3, 1, 1, 2}, 1}, {{1, 1}, 0},      {{5, 4, 3, 2, 1}, 4},
      {{}, -1},    {{nan, 1, 0}, 0}, {{2, nan, 1}, 2},  {{2, nan, 3}, 0}, {{2, 1, nan}, 1}};
  for (const auto& [scores, expected] : cases) {
    EXPECT_EQ(ChooseReferenceIndex(scores), expected) << testing::PrintToString(scores);
  }
}

}  // namespace
