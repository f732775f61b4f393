// The RANSAC homography estimate, its acceptance rule, composition and
// set / get.
#include "features/camera_motion_estimation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "geometry/homography_mapping.hpp"
#include "tests/support/test_support.hpp"

namespace {

using testsupport::Translation;
using Points = std::vector<cv::Point2f>;

// A rotation, zoom, shift and mild perspective, deliberately not normalised (H33 = 2).
const cv::Mat kKnown =
    (cv::Mat_<double>(3, 3) << 2.02, -0.10, 30.0, 0.08, 1.96, -18.0, 1.0e-4, -0.6e-4, 2.0);

double MaxAbsDifference(const cv::Mat& a, const cv::Mat& b) {
  return cv::norm(a, b, cv::NORM_INF);
}

// n points in general position inside a 640x480 frame (seeded) and their exact images under H.
std::pair<Points, Points> ExactCorrespondences(const cv::Mat& H, int n) {
  cv::RNG rng(12345);
  std::pair<Points, Points> out;
  for (int k = 0; k < n; ++k) {
    out.first.emplace_back(rng.uniform(0.0f, 640.0f), rng.uniform(0.0f, 480.0f));
    out.second.push_back(ApplyHomography(H, out.first.back()));
  }
  return out;
}

// Runs the estimate and returns what it printed.
std::string Estimate(CameraMotionEstimation& motion, const Points& points_i,
                     const Points& points_j) {
  motion.setOperator(testsupport::StdStreams());
  testing::internal::CaptureStdout();
  motion.HomographyEstimation_DLT_RANSAC(&points_i, &points_j, 640, 480);
  return testing::internal::GetCapturedStdout();
}

// Exact points of a known homography, few or many, with or without gross
// outliers (seeded).
TEST(RansacEstimate, RecoversAKnownHomographyDespiteOutliers) {
  for (const auto& [n, outliers] : {std::pair{40, 0}, {8, 0}, {40, 15}}) {
    auto [points_i, points_j] = ExactCorrespondences(kKnown, n);
    cv::RNG rng(777);
    for (int k = 0; k < outliers; ++k) {
      points_i.emplace_back(rng.uniform(0.0f, 640.0f), rng.uniform(0.0f, 480.0f));
      points_j.emplace_back(rng.uniform(0.0f, 640.0f), rng.uniform(0.0f, 480.0f));
    }
    CameraMotionEstimation motion;
    const std::string printed = Estimate(motion, points_i, points_j);
    EXPECT_TRUE(outliers > 0 || printed.empty()) << n << ": " << printed;
    EXPECT_EQ(motion.getban_ExisteH(), 1) << n;
    EXPECT_LT(testsupport::MaxCornerError(motion.getHomography(), kKnown, 640, 480), 0.01) << n;
  }
}

// Seven points, none, or collinear ones after a success: refused, the flag
// cleared and Hij the identity, while a handle taken before keeps the old values.
TEST(RansacEstimate, AFailureAfterASuccessClearsTheFlag) {
  const auto [points_i, points_j] = ExactCorrespondences(kKnown, 20);
  Points line_i, line_j;
  for (float t = 0; t < 600; t += 30)
    line_i.emplace_back(t, 0.5f * t + 10.0f), line_j.emplace_back(t + 5.0f, 0.5f * t + 12.0f);
  const Points seven_i(points_i.begin(), points_i.begin() + 7),
      seven_j(points_j.begin(), points_j.begin() + 7);
  for (int c = 0; c < 3; ++c) {
    CameraMotionEstimation motion;
    Estimate(motion, points_i, points_j);
    ASSERT_EQ(motion.getban_ExisteH(), 1);
    const cv::Mat earlier = motion.getHomography(), earlierValues = earlier.clone();
    const std::string printed = c == 0   ? Estimate(motion, seven_i, seven_j)
                                : c == 1 ? Estimate(motion, {}, {})
                                         : Estimate(motion, line_i, line_j);
    EXPECT_EQ(c == 2 ? printed.substr(0, 1) : printed, c == 2 ? "\n" : "\nCorrespondences < 8...");
    EXPECT_EQ(motion.getban_ExisteH(), 0) << c;
    const cv::Mat H = motion.getHomography();
    EXPECT_TRUE(H.size() == cv::Size(3, 3) && H.type() == CV_64F &&
                MaxAbsDifference(H, cv::Mat::eye(3, 3, CV_64F)) == 0.0)
        << c;
    EXPECT_EQ(MaxAbsDifference(earlier, earlierValues), 0.0) << c;
  }
}

TEST(RansacEstimate, H33MustLieStrictlyBetweenPointNineAndOnePointOne) {
  for (double v : {0.9, 1.1, -1.0, 0.0, std::nan("")})
    EXPECT_FALSE(IsPlausibleH33(v)) << v;
  for (double v : {std::nextafter(0.9, 1.0), std::nextafter(1.1, 1.0), 1.0})
    EXPECT_TRUE(IsPlausibleH33(v)) << v;
}

// Composition chains B after A (B on the left: a point goes through A
// first); Hij keeps its own copy of what is set; B may share Hij's elements
// (the new Hij is the old Hij times A); handles taken earlier keep their values.
TEST(Composition, ChainsBAfterAAndLeavesEarlierHandlesAlone) {
  const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
  CameraMotionEstimation motion;
  motion.Calculate_HomographyFromPreviousEdges(I, kKnown);
  EXPECT_EQ(MaxAbsDifference(motion.getHomography(), kKnown), 0.0);
  motion.Calculate_HomographyFromPreviousEdges(kKnown, I);
  EXPECT_EQ(MaxAbsDifference(motion.getHomography(), kKnown), 0.0);
  motion.Calculate_HomographyFromPreviousEdges(
      Translation(5, 0), (cv::Mat_<double>(3, 3) << 2, 0, 0, 0, 2, 0, 0, 0, 1));
  EXPECT_EQ(ApplyHomography(motion.getHomography(), cv::Point2f(1, 1)), cv::Point2f(12, 2));

  const cv::Mat initial = motion.getHomography(), initialValues = initial.clone();
  cv::Mat M = Translation(1, 2);
  motion.setHomography(M);
  M.at<double>(0, 2) = 999.0;
  EXPECT_EQ(MaxAbsDifference(initial, initialValues), 0.0);
  const cv::Mat earlier = motion.getHomography();
  motion.Calculate_HomographyFromPreviousEdges(Translation(10, 20), earlier);
  EXPECT_EQ(MaxAbsDifference(earlier, Translation(1, 2)), 0.0);
  EXPECT_EQ(MaxAbsDifference(motion.getHomography(), Translation(11, 22)), 0.0);
  motion.Calculate_HomographyFromPreviousEdges(motion.getHomography(), motion.getHomography());
  EXPECT_EQ(MaxAbsDifference(motion.getHomography(), Translation(22, 44)), 0.0);
}

}  // namespace
