// Corner detection and SIFT keypoints / descriptors.
#include "features/feature_extraction.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "tests/features/rendered_pair.hpp"

namespace {

using featuretest::kFrameSize;

// A black frame with white filled squares whose corners are known.
struct SquaresFrame {
  cv::Mat frame;
  std::vector<cv::Point2f> corners;
};

SquaresFrame DrawSquares() {
  SquaresFrame s;
  s.frame = cv::Mat(kFrameSize, CV_8UC3, cv::Scalar(0, 0, 0));
  const cv::Rect squares[] = {{100, 100, 60, 60}, {300, 200, 80, 50}, {500, 350, 70, 70}};
  for (const cv::Rect& r : squares) {
    cv::rectangle(s.frame, r, cv::Scalar(255, 255, 255), cv::FILLED);
    // Pixel-centre coordinates of the outermost white pixels; the corner
    // measure peaks within about a pixel of them.
    const float x0 = static_cast<float>(r.x), y0 = static_cast<float>(r.y);
    const float x1 = static_cast<float>(r.x + r.width - 1), y1 = static_cast<float>(r.y + r.height - 1);
    s.corners.insert(s.corners.end(), {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}});
  }
  return s;
}

double NearestDistance(const cv::Point2f& p, const std::vector<cv::Point2f>& list) {
  double best = 1e30;
  for (const cv::Point2f& q : list)
    best = std::min(best, static_cast<double>(std::hypot(p.x - q.x, p.y - q.y)));
  return best;
}

TEST(CornerDetection, FindsExactlyTheCornersOfDrawnSquares) {
  const SquaresFrame s = DrawSquares();
  FeatureExtraction extraction;
  const std::vector<cv::Point2f> found =
      extraction.goodFeaturesToTrack(s.frame, 1, kFrameSize.width, kFrameSize.height);
  constexpr double kCornerTolerancePx = 2.0;
  ASSERT_EQ(found.size(), s.corners.size());
  for (const cv::Point2f& truth : s.corners) {
    EXPECT_LE(NearestDistance(truth, found), kCornerTolerancePx) << truth;
  }
}

TEST(CornerDetection, RealFrameGivesManyWellSeparatedCornersInside) {
  const cv::Mat frame = featuretest::TranslationPair().frame_i;
  FeatureExtraction extraction;
  const std::vector<cv::Point2f> found =
      extraction.goodFeaturesToTrack(frame, 1, kFrameSize.width, kFrameSize.height);
  EXPECT_GT(found.size(), 500u);
  EXPECT_LE(found.size(), 5000u);
  // Minimum distance 5 px between corners (checked on a sample to stay fast).
  constexpr float kMinDistancePx = 5.0f;
  for (size_t a = 0; a < found.size(); a += 7) {
    ASSERT_TRUE(found[a].x >= 0 && found[a].y >= 0 && found[a].x < kFrameSize.width &&
                found[a].y < kFrameSize.height);
    for (size_t b = 0; b < found.size(); ++b) {
      if (a == b) continue;
      ASSERT_GE(std::hypot(found[a].x - found[b].x, found[a].y - found[b].y), kMinDistancePx);
    }
  }
  // The same frame gives the same corners in the same order.
  EXPECT_EQ(found, extraction.goodFeaturesToTrack(frame, 1, kFrameSize.width, kFrameSize.height));
}

TEST(FeatureDetection, UniformFrameHasNoCornersNoKeypointsAndNoDescriptors) {
  FeatureExtraction extraction;
  const cv::Mat frame = featuretest::UniformFrame();
  EXPECT_TRUE(extraction.goodFeaturesToTrack(frame, 1, kFrameSize.width, kFrameSize.height).empty());
  const std::vector<cv::KeyPoint> keypoints = extraction.SIFTFeatures(frame);
  EXPECT_TRUE(keypoints.empty());
  EXPECT_EQ(extraction.SIFTDescriptor(keypoints, frame).rows, 0);
}

TEST(SiftDescription, OneFloatRowPerKeypointAndCallersListUntouched) {
  const cv::Mat frame = featuretest::TranslationPair(featuretest::kSiftZoom).frame_i;
  FeatureExtraction extraction;
  const std::vector<cv::KeyPoint> keypoints = extraction.SIFTFeatures(frame);
  const std::vector<cv::KeyPoint> before = keypoints;
  const cv::Mat descriptors = extraction.SIFTDescriptor(keypoints, frame);
  EXPECT_EQ(descriptors.type(), CV_32F);
  EXPECT_EQ(descriptors.size(), cv::Size(128, static_cast<int>(keypoints.size())));
  for (size_t k = 0; k < keypoints.size(); ++k) EXPECT_EQ(keypoints[k].pt, before[k].pt);
  // Without an earlier detection a detector of the same parameters is made.
  EXPECT_TRUE(testsupport::SameBits(FeatureExtraction().SIFTDescriptor(keypoints, frame), descriptors));
}

// One scale space for both steps must not change a bit of either: every
// keypoint field and every descriptor element, on frames of several camera
// poses and scales, and on a featureless frame.
TEST(SiftDescription, CombinedDetectionAndDescriptionEqualsTheTwoSteps) {
  using namespace featuretest;
  const RenderedPair pairs[] = {TranslationPair(kSiftZoom), PerspectivePair(kSiftZoom),
                                RotationPair(1.0)};
  std::vector<cv::Mat> frames = {UniformFrame()};
  for (const RenderedPair& pair : pairs) {
    frames.push_back(pair.frame_i);
    frames.push_back(pair.frame_j);
  }
  for (size_t f = 0; f < frames.size(); ++f) {
    FeatureExtraction separate;
    const std::vector<cv::KeyPoint> expected = separate.SIFTFeatures(frames[f]);
    const cv::Mat expectedDescriptors = separate.SIFTDescriptor(expected, frames[f]);
    FeatureExtraction combined;
    cv::Mat descriptors;
    const std::vector<cv::KeyPoint> keypoints =
        combined.SIFTFeaturesAndDescriptor(frames[f], &descriptors);
    ASSERT_EQ(expected.size(), keypoints.size()) << "frame " << f;
    for (size_t k = 0; k < keypoints.size(); ++k) {
      const cv::KeyPoint &e = expected[k], &a = keypoints[k];
      ASSERT_TRUE(e.pt == a.pt && e.size == a.size && e.angle == a.angle &&
                  e.response == a.response && e.octave == a.octave && e.class_id == a.class_id)
          << "frame " << f << " keypoint " << k;
    }
    ASSERT_EQ(expectedDescriptors.size(), descriptors.size()) << "frame " << f;
    ASSERT_EQ(expectedDescriptors.type(), descriptors.type()) << "frame " << f;
    EXPECT_TRUE(f > 0 ? descriptors.rows > 200 : descriptors.rows == 0) << "frame " << f;
    EXPECT_EQ(0.0, cv::norm(expectedDescriptors, descriptors, cv::NORM_INF)) << "frame " << f;
  }
}

}  // namespace
