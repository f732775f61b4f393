// Corner distance of a homography and the choice of the lowest score.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/core.hpp>
#include <vector>

#include "composition/composition.hpp"
#include "tests/support/test_support.hpp"

namespace {

using testsupport::Translation;

TEST(CornerDistance, IdentityTranslationsAndScaleScoreTheSumOfCornerMoves) {
  Composition comp;
  EXPECT_EQ(comp.CalculateReprojectionDistance_4Corners(nullptr, cv::Mat::eye(3, 3, CV_64F), 640,
                                                        480),
            0.0f);
  // Every corner moves by 5.
  EXPECT_EQ(comp.CalculateReprojectionDistance_4Corners(nullptr, Translation(3, 4), 640, 480),
            20.0f);
  // Corners are rounded first: x 0 -> -1.2 stays 0, x 99 -> 97.8 becomes 98.
  EXPECT_EQ(comp.CalculateReprojectionDistance_4Corners(nullptr, Translation(-1.2, 0), 100, 100),
            2.0f);
  // Scale about the origin moves only the far corners.
  const cv::Mat twice = (cv::Mat_<double>(3, 3) << 2, 0, 0, 0, 2, 0, 0, 0, 1);
  // Corners (0,0), (9,0), (9,4), (0,4) move by 0, 9, |(9,4)|, 4.
  const float expected = 0.0f + 9.0f + static_cast<float>(std::sqrt(97.0)) + 4.0f;
  EXPECT_FLOAT_EQ(comp.CalculateReprojectionDistance_4Corners(nullptr, twice, 10, 5), expected);
}

// Lowest score, ties to the lowest index; a NaN is never chosen unless it
// stands first (and is then never replaced).
TEST(ReferenceIndex, LowestScoreWinsTiesToTheLowestIndexNaNOnlyFirst) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::pair<std::vector<float>, int> cases[] = {
      {{0.0f}, 0},           {{3, 1, 2}, 1},       {{3, 1, 1, 2}, 1},   {{1, 1}, 0},
      {{5, 4, 3, 2, 1}, 4},  {{}, -1},             {{nan, 1, 0}, 0},    {{2, nan, 1}, 2},
      {{2, nan, 3}, 0},      {{2, 1, nan}, 1}};
  for (const auto& [scores, expected] : cases) {
    EXPECT_EQ(ChooseReferenceIndex(scores), expected) << testing::PrintToString(scores);
  }
}

}  // namespace
