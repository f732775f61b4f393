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

// Descriptors taken from the detection's rows equal a fresh description bit
// for bit, for random subsets (with a first-octave keypoint, or without one,
// which is described anew) and for a subset holding a keypoint the detection
// did not find.
TEST(SiftDescription, RowsOfTheDetectionEqualAFreshDescriptionOfASubset) {
  cv::RNG rng(24);
  for (const featuretest::RenderedPair& pair :
       {featuretest::PerspectivePair(featuretest::kSiftZoom), featuretest::RotationPair(1.0)}) {
    FeatureExtraction extraction;
    cv::Mat all;
    const std::vector<cv::KeyPoint> detected =
        extraction.SIFTFeaturesAndDescriptor(pair.frame_j, &all);
    for (int trial = 0; trial < 6; ++trial) {
      std::vector<cv::KeyPoint> subset;
      for (const cv::KeyPoint& k : detected) {
        const bool firstOctave = (k.octave & 255) == 255;
        if (rng.uniform(0, 4) == 0 && (trial % 3 != 1 || !firstOctave))
          subset.push_back(k);
      }
      if (trial % 3 == 2)
        subset.back().pt.x += 0.25f;
      SCOPED_TRACE(testing::Message()
                   << "trial " << trial << ", " << subset.size() << " keypoints");
      ASSERT_GT(subset.size(), 20u);
      EXPECT_TRUE(testsupport::SameBits(
          extraction.SIFTDescriptorOfDetected(subset, pair.frame_j, detected, all),
          FeatureExtraction().SIFTDescriptor(subset, pair.frame_j)));
    }
  }
}

// Features offered for a frame are taken only for that frame's own pixels:
// an equal copy, another frame, or a frame whose offer was pushed out by two
// later ones is detected afresh. Only the kind offered is taken.
TEST(OfferedFeatures, AreTakenOnlyForTheFramesPixels) {
  const featuretest::RenderedPair pair = featuretest::TranslationPair(1.0);
  const Points marker = {cv::Point2f(1.5f, 2.5f)};
  const auto offer = [&](const cv::Mat& frame) {
    OfferedFeatures offered;
    offered.frame = frame;
    offered.hasCorners = true;
    offered.corners = marker;
    return offered;
  };
  FeatureExtraction extraction;
  extraction.Offer(offer(pair.frame_i));
  EXPECT_EQ(extraction.goodFeaturesToTrack(pair.frame_i, 1, 0, 0), marker);
  EXPECT_EQ(extraction.goodFeaturesToTrack(pair.frame_i.clone(), 1, 0, 0), Corners(pair.frame_i));
  EXPECT_EQ(extraction.goodFeaturesToTrack(pair.frame_j, 1, 0, 0), Corners(pair.frame_j));
  cv::Mat descriptors;
  EXPECT_GT(extraction.SIFTFeaturesAndDescriptor(pair.frame_i, &descriptors).size(), 100u);
  extraction.Offer(offer(pair.frame_j));
  extraction.Offer(offer(pair.frame_j));
  EXPECT_EQ(extraction.goodFeaturesToTrack(pair.frame_i, 1, 0, 0), Corners(pair.frame_i));
}

}  // namespace
