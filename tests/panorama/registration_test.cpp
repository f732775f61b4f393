// Frame-pair registration over rendered pans: the chained frame-to-frame
// homographies follow the true camera motion, and each pair takes over the
// features of the current frame of the pair before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "panorama/panorama.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

const cv::Size kFrameSize(640, 480);
constexpr int kCorners = 0;
constexpr int kSift = 1;

using testsupport::Pan;

// A pan to the right with a slow roll, n frames; the frame content moves
// about 20 px per frame whatever the zoom (frame pixels per photo pixel).
Pan RenderPan(int n, double zoom) {
  return testsupport::RenderPan(n, kFrameSize, testsupport::Pose(1100, 800, zoom),
                                testsupport::Pose(1100 + 20.0 * (n - 1) / zoom, 800 - 4.0 * (n - 1) / zoom,
                                                  zoom, 3.0 * CV_PI / 180.0));
}

// Registers one pair the way the frame loop does (frame size first).
std::string Register(Panorama& panorama, const cv::Mat& previous, const cv::Mat& current,
                     int featureMethod) {
  panorama.imageW = previous.cols;
  panorama.imageH = previous.rows;
  panorama.Id_Features = featureMethod;
  panorama.setOperator(testsupport::StdStreams());
  testing::internal::CaptureStdout();
  panorama.CalculateFeatureExtractionMatching(previous, current);
  return testing::internal::GetCapturedStdout();
}

// Frame after frame, each pair homography (previous onto current) is on the
// true motion of the pair, and their product stays on the true motion from
// the first frame. Each pair errs by about 0.05 to 0.1 px at the frame
// corners, mostly in the same direction, so over 19 pairs the chain drifts by
// a few pixels.
void ExpectChainFollowsTruth(const Pan& pan, int featureMethod) {
  constexpr double kPairTolerancePx = 1.0;
  constexpr double kChainTolerancePx = 5.0;
  Panorama panorama;
  cv::Mat chained = cv::Mat::eye(3, 3, CV_64F);
  for (size_t k = 1; k < pan.frames.size(); ++k) {
    SCOPED_TRACE("frame " + std::to_string(k));
    EXPECT_EQ(Register(panorama, pan.frames[k - 1], pan.frames[k], featureMethod), "");
    ASSERT_EQ(panorama.cameraMotion.getban_ExisteH(), 1);
    ASSERT_EQ(panorama.featureMatching.Cpoints_i.size(), panorama.featureMatching.Cpoints_j.size());
    const cv::Mat truePair = pan.Between(k - 1, k);
    EXPECT_LE(testsupport::MaxCornerError(panorama.cameraMotion.getHomography(), truePair,
                                          kFrameSize.width, kFrameSize.height),
              kPairTolerancePx);
    chained = panorama.cameraMotion.getHomography() * chained;
    ASSERT_LE(
        testsupport::MaxCornerError(chained, pan.Between(0, k), kFrameSize.width, kFrameSize.height),
        kChainTolerancePx);
  }
}

// SIFT frames are rendered zoomed in: at the photo's own scale a frame has
// about 21000 keypoints and brute-force matching takes several seconds a pair.
TEST(FramePairRegistration, CornerAndSiftChainsFollowTheTrueMotion) {
  ExpectChainFollowsTruth(RenderPan(20, 1.0), kCorners);
  ExpectChainFollowsTruth(RenderPan(10, 3.0), kSift);
}

TEST(FramePairRegistration, CornerPairsStartFromTheCornersTheLastPairTracked) {
  const Pan pan = RenderPan(3, 1.0);
  Panorama panorama;
  Register(panorama, pan.frames[0], pan.frames[1], kCorners);
  // The first pair detects on its previous frame.
  FeatureExtraction extraction;
  EXPECT_EQ(panorama.featureMatching.getCorners_i(),
            extraction.goodFeaturesToTrack(pan.frames[0], 1, kFrameSize.width, kFrameSize.height));
  const std::vector<cv::Point2f> trackedIntoFrame1 = panorama.featureMatching.getCorners_j();

  Register(panorama, pan.frames[1], pan.frames[2], kCorners);
  EXPECT_EQ(panorama.featureMatching.getCorners_i(), trackedIntoFrame1);
  EXPECT_EQ(panorama.cameraMotion.getban_ExisteH(), 1);
}

TEST(FramePairRegistration, SiftPairsTakeOverTheCurrentFramesFeatures) {
  const Pan pan = RenderPan(3, 3.0);
  Panorama panorama;
  Register(panorama, pan.frames[0], pan.frames[1], kSift);
  // The first pair describes both frames.
  FeatureExtraction extraction;
  EXPECT_EQ(panorama.featureMatching.getSIFT_Features_i().size(), extraction.SIFTFeatures(pan.frames[0]).size());
  EXPECT_EQ(panorama.featureMatching.getSIFT_Descriptor_i().rows,
            static_cast<int>(panorama.featureMatching.getSIFT_Features_i().size()));
  const std::vector<cv::KeyPoint> keypoints1 = panorama.featureMatching.getSIFT_Features_j();
  const cv::Mat descriptors1 = panorama.featureMatching.getSIFT_Descriptor_j();
  ASSERT_FALSE(keypoints1.empty());

  Register(panorama, pan.frames[1], pan.frames[2], kSift);
  const std::vector<cv::KeyPoint> taken = panorama.featureMatching.getSIFT_Features_i();
  ASSERT_EQ(taken.size(), keypoints1.size());
  for (size_t k = 0; k < taken.size(); ++k)
    ASSERT_TRUE(taken[k].pt == keypoints1[k].pt && taken[k].size == keypoints1[k].size &&
                taken[k].angle == keypoints1[k].angle) << k;
  // Taken over, not recomputed: the very same descriptor buffer.
  EXPECT_EQ(panorama.featureMatching.getSIFT_Descriptor_i().data, descriptors1.data);
  EXPECT_NE(panorama.featureMatching.getSIFT_Descriptor_j().data, descriptors1.data);
  EXPECT_EQ(panorama.cameraMotion.getban_ExisteH(), 1);
}

TEST(FramePairRegistration, UniformFirstFrameFailsAndTheNextPairDetectsAgain) {
  const Pan pan = RenderPan(2, 1.0);
  const cv::Mat uniform(kFrameSize, CV_8UC3, cv::Scalar(128, 128, 128));
  Panorama panorama;
  EXPECT_EQ(Register(panorama, uniform, pan.frames[0], kCorners), "\nCorrespondences < 8...");
  EXPECT_TRUE(panorama.cameraMotion.getban_ExisteH() == 0 && panorama.featureMatching.getPointerCorners_j() == nullptr);

  EXPECT_EQ(Register(panorama, pan.frames[0], pan.frames[1], kCorners), "");
  EXPECT_EQ(panorama.cameraMotion.getban_ExisteH(), 1);
  EXPECT_LE(testsupport::MaxCornerError(panorama.cameraMotion.getHomography(), pan.Between(0, 1),
                                        kFrameSize.width, kFrameSize.height),
            1.0);
}

TEST(FramePairRegistration, UnknownFeatureMethodComputesNothingAndFails) {
  const Pan pan = RenderPan(2, 1.0);
  Panorama panorama;
  EXPECT_EQ(Register(panorama, pan.frames[0], pan.frames[1], 2), "\nCorrespondences < 8...");
  EXPECT_EQ(panorama.cameraMotion.getban_ExisteH(), 0);
  EXPECT_EQ(cv::norm(panorama.cameraMotion.getHomography(), cv::Mat::eye(3, 3, CV_64F)), 0.0);
  EXPECT_TRUE(panorama.featureMatching.Cpoints_i.empty() && panorama.featureMatching.getPointerCorners_j() == nullptr &&
              panorama.featureMatching.getSIFT_Features_j().empty());
}

TEST(FramePairRegistration, UnknownRegistrationModeDoesNothing) {
  const Pan pan = RenderPan(2, 1.0);
  Panorama panorama;
  panorama.Id_HomographyEstimation = 2;
  const cv::Mat sentinel = (cv::Mat_<double>(3, 3) << 1, 0, 5, 0, 1, 6, 0, 0, 1);
  panorama.cameraMotion.setHomography(sentinel);
  panorama.cameraMotion.ban_ExisteH = 1;
  EXPECT_EQ(Register(panorama, pan.frames[0], pan.frames[1], kCorners), "");
  EXPECT_EQ(cv::norm(panorama.cameraMotion.getHomography(), sentinel), 0.0);
  EXPECT_EQ(panorama.cameraMotion.getban_ExisteH(), 1);
  EXPECT_EQ(panorama.featureMatching.getPointerCorners_j(), nullptr);
}

}  // namespace
