// Frame-pair registration over rendered pans: each pair takes over the
// features of the current frame of the pair before, and failures leave the
// identity. (That the homographies follow the true motion is checked on the
// key-frame tree, tests/panorama/keyframe_insertion_test.cpp, and on the
// composed mosaics, tests/panorama/centred_panorama_test.cpp.)
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

using testsupport::Pan;

// A pan to the right with a slow roll, n frames; the frame content moves
// about 20 px per frame whatever the zoom (frame pixels per photo pixel).
Pan RenderPan(int n, double zoom) {
  return testsupport::RenderPan(
      n, kFrameSize, testsupport::Pose(1100, 800, zoom),
      testsupport::Pose(1100 + 20.0 * (n - 1) / zoom, 800 - 4.0 * (n - 1) / zoom, zoom,
                        3.0 * CV_PI / 180.0));
}

// Registers one pair the way the frame loop does (frame size first).
std::string Register(Panorama& panorama, const cv::Mat& previous, const cv::Mat& current,
                     int featureMethod) {
  panorama.imageW = previous.cols, panorama.imageH = previous.rows,
  panorama.Id_Features = featureMethod;
  panorama.setOperator(testsupport::StdStreams());
  testing::internal::CaptureStdout();
  panorama.CalculateFeatureExtractionMatching(previous, current);
  return testing::internal::GetCapturedStdout();
}
double PairError(Panorama& panorama, const cv::Mat& truth) {
  return testsupport::MaxCornerError(panorama.cameraMotion.getHomography(), truth, kFrameSize.width,
                                     kFrameSize.height);
}

// The first pair detects on its previous frame; the next starts from the
// corners the first tracked into their common frame.
TEST(FramePairRegistration, CornerPairsStartFromTheCornersTheLastPairTracked) {
  const Pan pan = RenderPan(3, 1.0);
  Panorama panorama;
  Register(panorama, pan.frames[0], pan.frames[1], kCorners);
  EXPECT_EQ(panorama.featureMatching.getCorners_i(),
            FeatureExtraction().goodFeaturesToTrack(pan.frames[0], 1, kFrameSize.width,
                                                    kFrameSize.height));
  const std::vector<cv::Point2f> trackedIntoFrame1 = panorama.featureMatching.getCorners_j();
  Register(panorama, pan.frames[1], pan.frames[2], kCorners);
  EXPECT_TRUE(panorama.featureMatching.getCorners_i() == trackedIntoFrame1 &&
              panorama.cameraMotion.getban_ExisteH() == 1);
}

// A uniform frame fails and the next pair detects again; an unknown feature
// method computes nothing and fails; an unknown registration mode does nothing.
TEST(FramePairRegistration, FailuresAndUnknownModes) {
  const Pan pan = RenderPan(2, 1.0);
  Panorama uniform;
  EXPECT_EQ(Register(uniform, cv::Mat(kFrameSize, CV_8UC3, cv::Scalar::all(128)), pan.frames[0],
                     kCorners),
            "\nCorrespondences < 8...");
  EXPECT_TRUE(uniform.cameraMotion.getban_ExisteH() == 0 &&
              uniform.featureMatching.getPointerCorners_j() == nullptr);
  EXPECT_EQ(Register(uniform, pan.frames[0], pan.frames[1], kCorners), "");
  EXPECT_TRUE(uniform.cameraMotion.getban_ExisteH() == 1 &&
              PairError(uniform, pan.Between(0, 1)) <= 1.0);

  Panorama unknownMethod;
  EXPECT_EQ(Register(unknownMethod, pan.frames[0], pan.frames[1], 2), "\nCorrespondences < 8...");
  EXPECT_TRUE(unknownMethod.cameraMotion.getban_ExisteH() == 0 &&
              PairError(unknownMethod, cv::Mat::eye(3, 3, CV_64F)) == 0.0);
  FeatureMatching& m = unknownMethod.featureMatching;
  EXPECT_TRUE(m.Cpoints_i.empty() && m.getPointerCorners_j() == nullptr &&
              m.getSIFT_Features_j().empty());

  Panorama unknownMode;
  unknownMode.Id_HomographyEstimation = 2;
  unknownMode.cameraMotion.setHomography(testsupport::Translation(5, 6));
  unknownMode.cameraMotion.ban_ExisteH = 1;
  EXPECT_EQ(Register(unknownMode, pan.frames[0], pan.frames[1], kCorners), "");
  EXPECT_TRUE(PairError(unknownMode, testsupport::Translation(5, 6)) == 0.0 &&
              unknownMode.cameraMotion.getban_ExisteH() == 1);
  EXPECT_EQ(unknownMode.featureMatching.getPointerCorners_j(), nullptr);
}

}  // namespace
