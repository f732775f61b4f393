// Overlap percentage of a mapped frame outline with the reference outline:
// exact values for valid outlines, NaN (never an exception) for outlines the
// polygon operations cannot take.
#include "geometry/overlap.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "tests/support/test_support.hpp"

namespace {

using geometry::CalculateOverlapPercentage;
using testsupport::Translation;

constexpr int kWidth = 641;   // W = 640
constexpr int kHeight = 481;  // V = 480

cv::Mat Matrix(std::initializer_list<double> v) {
  return cv::Mat(std::vector<double>(v), true).reshape(1, 3);
}
float Overlap(const cv::Mat& H) {
  return CalculateOverlapPercentage(H, kWidth, kHeight);
}

// Translated outlines have rectangular intersections: corners rounded (add
// 0.5, truncate toward zero), then intersection over union of the boxes.
TEST(OverlapPercentageTest, TranslationsMatchTheRectangleFormula) {
  const double W = kWidth - 1, V = kHeight - 1;
  const auto round = [](double v) {
    return std::trunc(v + 0.5);
  };
  for (double dx : {-600.0, -320.0, -1.4, -1.0, 0.4, 0.6, 100.7, 639.0, 640.0, 641.0, 5000.0}) {
    for (double dy : {-480.0, -479.0, -30.2, 0.0, 0.4, 1.0, 200.0}) {
      const double left = round(dx), right = round(W + dx), top = round(dy), bottom = round(V + dy);
      const double i = std::max(0.0, std::min(W, right) - std::max(0.0, left)) *
                       std::max(0.0, std::min(V, bottom) - std::max(0.0, top));
      const double u = W * V + (right - left) * (bottom - top) - i;
      EXPECT_NEAR(Overlap(Translation(dx, dy)), 100.0 * i / u, 1e-4) << dx << ", " << dy;
    }
  }
  EXPECT_EQ(Overlap(Translation(320, 0)), 100.0f * (153600.0f / 460800.0f));
}

// The identity at every size, a half turn, scaled outlines contained either
// way (the area ratio), and corners beyond the int range that saturate: the
// outline still contains the reference, so the overlap is tiny but defined.
TEST(OverlapPercentageTest, IdentityHalfTurnScaledAndSaturatedOutlines) {
  for (const cv::Size s : {cv::Size(kWidth, kHeight), cv::Size(1920, 1080), cv::Size(2, 2)}) {
    EXPECT_EQ(CalculateOverlapPercentage(cv::Mat::eye(3, 3, CV_64F), s.width, s.height), 100.0f)
        << s;
  }
  EXPECT_EQ(Overlap(Matrix({-1, 0, kWidth - 1, 0, -1, kHeight - 1, 0, 0, 1})), 100.0f);
  EXPECT_EQ(Overlap(Matrix({0.5, 0, 0, 0, 0.5, 0, 0, 0, 1})), 25.0f);
  EXPECT_EQ(Overlap(Matrix({2, 0, 0, 0, 2, 0, 0, 0, 1})), 25.0f);
  const float huge = Overlap(Matrix({1e8, 0, -3e10, 0, 1e8, -3e10, 0, 0, 1}));
  EXPECT_TRUE(huge > 0.0f && huge < 1e-6f) << huge;
}

// Outlines the polygon operations cannot take give NaN, never an exception:
// the caller then makes the frame a key frame and the tree's determinant
// test decides. A non-finite entry anywhere gives a percentage or NaN.
TEST(OverlapPercentageTest, UnmeasurableOutlinesGiveNaN) {
  const cv::Point2f from[4] = {{0, 0}, {640, 0}, {640, 480}, {0, 480}};
  const cv::Point2f bowTie[4] = {{0, 0}, {640, 480}, {640, 0}, {0, 480}};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::pair<const char*, cv::Mat> cases[] = {
      {"mirror x", Matrix({-1, 0, kWidth - 1, 0, 1, 0, 0, 0, 1})},
      {"mirror y", Matrix({1, 0, 100, 0, -1, kHeight - 1, 0, 0, 1})},
      {"bow tie", cv::getPerspectiveTransform(from, bowTie)},
      {"horizon across", Matrix({1, 0, 0, 0, 1, 0, -1.0 / 320, 0, 1})},
      {"zero", cv::Mat::zeros(3, 3, CV_64F)},
      {"onto a line", Matrix({1, 0, 0, 1, 0, 0, 0, 0, 1})},
      {"onto a point", Matrix({0, 0, 5, 0, 0, 5, 0, 0, 1})},
      {"below half a pixel", Matrix({1e-4, 0, 0, 0, 1e-4, 0, 0, 0, 1})},
      {"saturated far away", Translation(1e15, 1e15)},
      {"all NaN", cv::Mat(3, 3, CV_64F, cv::Scalar(nan))},
      {"all infinite", cv::Mat(3, 3, CV_64F, cv::Scalar(-HUGE_VAL))}};
  for (const auto& [name, H] : cases)
    EXPECT_TRUE(std::isnan(Overlap(H))) << name;
  EXPECT_TRUE(std::isnan(
      CalculateOverlapPercentage(cv::Mat::eye(3, 3, CV_64F), 1, 1)));  // frames without area
  EXPECT_TRUE(std::isnan(CalculateOverlapPercentage(cv::Mat::eye(3, 3, CV_64F), 1, 100)));
  for (double bad : {nan, HUGE_VAL, -HUGE_VAL}) {
    for (int entry = 0; entry < 9; ++entry) {
      cv::Mat H = cv::Mat::eye(3, 3, CV_64F);
      H.at<double>(entry / 3, entry % 3) = bad;
      float got = 0.0f;
      EXPECT_NO_THROW(got = Overlap(H));
      EXPECT_TRUE(std::isnan(got) || (got >= 0.0f && got <= 100.0f))
          << bad << " at " << entry << " gives " << got;
    }
  }
}

}  // namespace
