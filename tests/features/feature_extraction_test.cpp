// Corner detection and SIFT keypoints / descriptors.
#include "features/feature_extraction.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "tests/features/rendered_pair.hpp"

namespace {

using featuretest::kFrameSize;
using Points = std::vector<cv::Point2f>;

Points Corners(const cv::Mat& frame) {
  return FeatureExtraction().goodFeaturesToTrack(frame, 1, kFrameSize.width, kFrameSize.height);
}

// A black frame with white filled squares: the corner measure peaks within
// about a pixel of the pixel centres of their outermost white pixels.
TEST(CornerDetection, FindsExactlyTheCornersOfDrawnSquares) {
  cv::Mat frame(kFrameSize, CV_8UC3, cv::Scalar::all(0));
  Points truth;
  for (const cv::Rect& r :
       {cv::Rect(100, 100, 60, 60), cv::Rect(300, 200, 80, 50), cv::Rect(500, 350, 70, 70)}) {
    cv::rectangle(frame, r, cv::Scalar::all(255), cv::FILLED);
    const cv::Point2f tl(r.tl()), br(r.br() - cv::Point(1, 1));
    truth.insert(truth.end(), {tl, {br.x, tl.y}, br, {tl.x, br.y}});
  }
  const Points found = Corners(frame);
  ASSERT_EQ(found.size(), truth.size());
  const auto near = [&](cv::Point2f t) {
    return std::any_of(found.begin(), found.end(),
                       [&](cv::Point2f f) { return cv::norm(f - t) <= 2.0; });
  };
  for (const cv::Point2f& t : truth)
    EXPECT_TRUE(near(t)) << t;
}

// One scale space for both steps must not change a bit of either: every
// keypoint field and every descriptor element, on frames of several camera
// poses and scales, and on a featureless frame (no corners, no keypoints).
// The description is one float row per keypoint, leaves the caller's list
// alone and, without an earlier detection, makes a detector of the same
// parameters.
TEST(SiftDescription, CombinedDetectionAndDescriptionEqualsTheTwoSteps) {
  using namespace featuretest;
  EXPECT_TRUE(Corners(UniformFrame()).empty());
  std::vector<cv::Mat> frames = {UniformFrame()};
  for (const RenderedPair& pair :
       {TranslationPair(kSiftZoom), PerspectivePair(kSiftZoom), RotationPair(1.0)}) {
    frames.push_back(pair.frame_i);
    frames.push_back(pair.frame_j);
  }
  for (size_t f = 0; f < frames.size(); ++f) {
    FeatureExtraction separate, combined;
    const std::vector<cv::KeyPoint> expected = separate.SIFTFeatures(frames[f]), before = expected;
    const cv::Mat expectedDescriptors = separate.SIFTDescriptor(expected, frames[f]);
    EXPECT_EQ(expectedDescriptors.rows, static_cast<int>(expected.size()));
    EXPECT_TRUE(f == 0 ||
                (expectedDescriptors.type() == CV_32F && expectedDescriptors.cols == 128));
    for (size_t k = 0; k < expected.size(); ++k)
      ASSERT_EQ(expected[k].pt, before[k].pt);
    EXPECT_TRUE(f != 1 ||
                testsupport::SameBits(FeatureExtraction().SIFTDescriptor(expected, frames[f]),
                                      expectedDescriptors));
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
    EXPECT_TRUE(f > 0 ? descriptors.rows > 200 : descriptors.rows == 0) << "frame " << f;
    EXPECT_TRUE(testsupport::SameBits(expectedDescriptors, descriptors)) << "frame " << f;
  }
}

}  // namespace
