// The RANSAC homography estimate, its acceptance rule, composition,
// set / get and inversion.
#include "features/camera_motion_estimation.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>

#include "geometry/homography_mapping.hpp"
#include "tests/support/test_support.hpp"

namespace {

using testsupport::Translation;

constexpr int kW = 640;
constexpr int kH = 480;

// A rotation, zoom, shift and mild perspective, deliberately not normalised
// (H33 = 2).
cv::Mat KnownHomography() {
  return (cv::Mat_<double>(3, 3) << 2.02, -0.10, 30.0,  //
          0.08, 1.96, -18.0,                            //
          1.0e-4, -0.6e-4, 2.0);
}

cv::Mat Normalised(const cv::Mat& H) { return H / H.at<double>(2, 2); }

// n points in general position inside the frame (seeded) and their exact
// images under H.
void ExactCorrespondences(const cv::Mat& H, int n, std::vector<cv::Point2f>* points_i,
                          std::vector<cv::Point2f>* points_j) {
  cv::RNG rng(12345);
  points_i->clear();
  points_j->clear();
  for (int k = 0; k < n; ++k) {
    const cv::Point2f p(rng.uniform(0.0f, static_cast<float>(kW)),
                        rng.uniform(0.0f, static_cast<float>(kH)));
    points_i->push_back(p);
    points_j->push_back(ApplyHomography(H, p));
  }
}

double MaxAbsDifference(const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_INF); }

bool IsIdentity(const cv::Mat& H) {
  return H.size() == cv::Size(3, 3) && H.type() == CV_64F &&
         MaxAbsDifference(H, cv::Mat::eye(3, 3, CV_64F)) == 0.0;
}

// Runs the estimate and returns what it printed.
std::string Estimate(CameraMotionEstimation& motion, const std::vector<cv::Point2f>& points_i,
                     const std::vector<cv::Point2f>& points_j) {
  motion.setOperator(testsupport::StdStreams());
  testing::internal::CaptureStdout();
  motion.HomographyEstimation_DLT_RANSAC(&points_i, &points_j, kW, kH);
  return testing::internal::GetCapturedStdout();
}

// Elements of a normalised homography are recovered to this (they are of
// order 1e-4 to 1e2; the data are exact up to float rounding of the points).
constexpr double kElementTolerance = 1e-3;
constexpr double kCornerTolerancePx = 0.01;

TEST(RansacEstimate, RecoversAKnownHomographyFromExactPoints) {
  const cv::Mat G = KnownHomography();
  std::vector<cv::Point2f> points_i, points_j;
  ExactCorrespondences(G, 40, &points_i, &points_j);
  CameraMotionEstimation motion;
  EXPECT_EQ(Estimate(motion, points_i, points_j), "");
  EXPECT_EQ(motion.getban_ExisteH(), 1);
  EXPECT_LT(MaxAbsDifference(motion.getHomography(), Normalised(G)), kElementTolerance);
  EXPECT_LT(testsupport::MaxCornerError(motion.getHomography(), G, kW, kH), kCornerTolerancePx);

  // With the lists swapped the estimate maps the other way: G's inverse.
  EXPECT_EQ(Estimate(motion, points_j, points_i), "");
  EXPECT_EQ(motion.getban_ExisteH(), 1);
  EXPECT_LT(MaxAbsDifference(motion.getHomography(), Normalised(G.inv())), kElementTolerance);
}

TEST(RansacEstimate, EightPointsAreEnough) {
  const cv::Mat G = KnownHomography();
  std::vector<cv::Point2f> points_i, points_j;
  ExactCorrespondences(G, 8, &points_i, &points_j);
  CameraMotionEstimation motion;
  EXPECT_EQ(Estimate(motion, points_i, points_j), "");
  EXPECT_EQ(motion.getban_ExisteH(), 1);
  EXPECT_LT(testsupport::MaxCornerError(motion.getHomography(), G, kW, kH), kCornerTolerancePx);
}

TEST(RansacEstimate, IgnoresGrossOutliers) {
  const cv::Mat G = KnownHomography();
  std::vector<cv::Point2f> points_i, points_j;
  ExactCorrespondences(G, 40, &points_i, &points_j);
  cv::RNG rng(777);
  for (int k = 0; k < 15; ++k) {
    points_i.emplace_back(rng.uniform(0.0f, 640.0f), rng.uniform(0.0f, 480.0f));
    points_j.emplace_back(rng.uniform(0.0f, 640.0f), rng.uniform(0.0f, 480.0f));
  }
  CameraMotionEstimation motion;
  Estimate(motion, points_i, points_j);
  EXPECT_EQ(motion.getban_ExisteH(), 1);
  EXPECT_LT(testsupport::MaxCornerError(motion.getHomography(), G, kW, kH), kCornerTolerancePx);
}

TEST(RansacEstimate, SevenPointsAreRefused) {
  const cv::Mat G = KnownHomography();
  std::vector<cv::Point2f> points_i, points_j;
  ExactCorrespondences(G, 7, &points_i, &points_j);
  CameraMotionEstimation motion;
  motion.setHomography(G);
  const cv::Mat earlier = motion.getHomography();
  EXPECT_EQ(Estimate(motion, points_i, points_j), "\nCorrespondences < 8...");
  EXPECT_EQ(motion.getban_ExisteH(), 0);
  EXPECT_TRUE(IsIdentity(motion.getHomography()));
  // A handle taken before keeps the old values.
  EXPECT_EQ(MaxAbsDifference(earlier, G), 0.0);

  // An empty list is refused the same way.
  EXPECT_EQ(Estimate(motion, {}, {}), "\nCorrespondences < 8...");
  EXPECT_EQ(motion.getban_ExisteH(), 0);
}

TEST(RansacEstimate, AFailureAfterASuccessClearsTheFlag) {
  const cv::Mat G = KnownHomography();
  std::vector<cv::Point2f> points_i, points_j;
  ExactCorrespondences(G, 20, &points_i, &points_j);
  CameraMotionEstimation motion;
  Estimate(motion, points_i, points_j);
  ASSERT_EQ(motion.getban_ExisteH(), 1);
  points_i.resize(7);
  points_j.resize(7);
  Estimate(motion, points_i, points_j);
  EXPECT_EQ(motion.getban_ExisteH(), 0);
  EXPECT_TRUE(IsIdentity(motion.getHomography()));
}

TEST(RansacEstimate, CollinearPointsGiveNoAcceptedHomography) {
  std::vector<cv::Point2f> points_i, points_j;
  for (int k = 0; k < 20; ++k) {
    const float t = static_cast<float>(k) * 30.0f;
    points_i.emplace_back(t, 0.5f * t + 10.0f);
    points_j.emplace_back(t + 5.0f, 0.5f * t + 12.0f);
  }
  CameraMotionEstimation motion;
  const std::string printed = Estimate(motion, points_i, points_j);
  EXPECT_EQ(motion.getban_ExisteH(), 0);
  EXPECT_TRUE(IsIdentity(motion.getHomography()));
  EXPECT_EQ(printed.substr(0, 1), "\n");
}

TEST(RansacEstimate, H33MustLieStrictlyBetweenPointNineAndOnePointOne) {
  EXPECT_FALSE(IsPlausibleH33(0.9));
  EXPECT_FALSE(IsPlausibleH33(1.1));
  EXPECT_TRUE(IsPlausibleH33(std::nextafter(0.9, 1.0)));
  EXPECT_TRUE(IsPlausibleH33(std::nextafter(1.1, 1.0)));
  EXPECT_TRUE(IsPlausibleH33(1.0));
  EXPECT_FALSE(IsPlausibleH33(-1.0));
  EXPECT_FALSE(IsPlausibleH33(0.0));
  EXPECT_FALSE(IsPlausibleH33(std::nan("")));
}

TEST(Composition, ChainsBAfterA) {
  const cv::Mat G = KnownHomography();
  const cv::Mat I = cv::Mat::eye(3, 3, CV_64F);
  CameraMotionEstimation motion;
  motion.Calculate_HomographyFromPreviousEdges(I, G);
  EXPECT_EQ(MaxAbsDifference(motion.getHomography(), G), 0.0);
  motion.Calculate_HomographyFromPreviousEdges(G, I);
  EXPECT_EQ(MaxAbsDifference(motion.getHomography(), G), 0.0);
  motion.Calculate_HomographyFromPreviousEdges(Translation(3, -4), Translation(10, 7));
  EXPECT_EQ(MaxAbsDifference(motion.getHomography(), Translation(13, 3)), 0.0);

  // B on the left: a point goes through A first.
  const cv::Mat scale = (cv::Mat_<double>(3, 3) << 2, 0, 0, 0, 2, 0, 0, 0, 1);
  motion.Calculate_HomographyFromPreviousEdges(Translation(5, 0), scale);
  const cv::Point2f p = ApplyHomography(motion.getHomography(), cv::Point2f(1, 1));
  EXPECT_EQ(p, cv::Point2f(12, 2));
}

TEST(Composition, BMayShareHijsElements) {
  CameraMotionEstimation motion;
  motion.setHomography(Translation(1, 2));
  // The new Hij is the old Hij times A.
  motion.Calculate_HomographyFromPreviousEdges(Translation(10, 20), motion.getHomography());
  EXPECT_EQ(MaxAbsDifference(motion.getHomography(), Translation(11, 22)), 0.0);
  motion.Calculate_HomographyFromPreviousEdges(motion.getHomography(), motion.getHomography());
  EXPECT_EQ(MaxAbsDifference(motion.getHomography(), Translation(22, 44)), 0.0);
}

TEST(Composition, EarlierHandlesKeepTheirValues) {
  CameraMotionEstimation motion;
  motion.setHomography(Translation(1, 2));
  const cv::Mat earlier = motion.getHomography();
  motion.Calculate_HomographyFromPreviousEdges(Translation(10, 20), earlier);
  EXPECT_EQ(MaxAbsDifference(earlier, Translation(1, 2)), 0.0);
  EXPECT_EQ(MaxAbsDifference(motion.getHomography(), Translation(11, 22)), 0.0);
}

TEST(SetHomography, HijKeepsItsOwnCopy) {
  CameraMotionEstimation motion;
  cv::Mat M = KnownHomography();
  const cv::Mat expected = M.clone();
  const cv::Mat earlier = motion.getHomography();
  const cv::Mat earlierValues = earlier.clone();
  motion.setHomography(M);
  EXPECT_EQ(MaxAbsDifference(motion.getHomography(), expected), 0.0);
  M.at<double>(0, 2) = 999.0;
  EXPECT_EQ(MaxAbsDifference(motion.getHomography(), expected), 0.0);
  EXPECT_EQ(MaxAbsDifference(earlier, earlierValues), 0.0);
}

TEST(Inversion, InverseTimesHijIsTheIdentityUntilTheNextInversion) {
  const cv::Mat G = KnownHomography();
  std::vector<cv::Point2f> points_i, points_j;
  ExactCorrespondences(G, 20, &points_i, &points_j);
  CameraMotionEstimation motion;
  Estimate(motion, points_i, points_j);
  ASSERT_EQ(motion.getban_ExisteH(), 1);
  motion.InverseHomography_Hij();
  const cv::Mat inverse = motion.getInverseHomography().clone();
  EXPECT_LT(MaxAbsDifference(inverse * motion.getHomography(), cv::Mat::eye(3, 3, CV_64F)), 1e-12);

  // A later estimate leaves invHij alone.
  Estimate(motion, points_j, points_i);
  EXPECT_EQ(MaxAbsDifference(motion.getInverseHomography(), inverse), 0.0);
  motion.InverseHomography_Hij();
  EXPECT_LT(MaxAbsDifference(Normalised(motion.getInverseHomography()), Normalised(G)),
            kElementTolerance);
}

}  // namespace
