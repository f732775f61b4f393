// Frames rendered from the photo with known whole-pixel translations,
// composed into the mean and median panoramas and compared with the photo.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <vector>

#include "composition/composition.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

constexpr int kW = 320;
constexpr int kH = 240;
constexpr float kAlpha = 0.5f;
constexpr int kMedianMargin = 5;  // source margin of the median fill
// Whole-pixel shifts keep every sample exact; the mean loses at most one
// grey level to truncation.
constexpr double kMinPsnrDb = 48.0;

struct Shot {
  int dx;  // frame position in the reference plane, pixels
  int dy;
  // Reference-plane area it fills: the frame's last row and column are never
  // sampled, and the part left of or above the canvas edge (which the
  // toward-zero rounding puts at dx + 1 for negative dx) is not drawn.
  cv::Rect filled;
};

TEST(PhotoComposition, TranslatedFramesReproduceThePhotoRegion) {
  const cv::Mat photo = testsupport::TestPhoto();
  ASSERT_FALSE(photo.empty()) << "test photo not found";
  const cv::Size frameSize(kW, kH);
  const render::CameraPose refPose{1280, 800};
  const cv::Matx33d photoToRef = render::PhotoToFrame(refPose, frameSize);
  const cv::Mat ref = render::RenderFrame(photo, photoToRef, frameSize);

  const Shot shots[] = {{150, 0, cv::Rect(150, 0, kW - 1, kH - 1)},
                        {-100, 60, cv::Rect(-99, 60, kW - 2, kH - 1)},
                        {60, -90, cv::Rect(60, -89, kW - 1, kH - 2)}};
  std::vector<cv::Mat> frames, refToFrames, frameToRefs;
  for (const Shot& s : shots) {
    render::CameraPose pose = refPose;
    pose.centreX += s.dx;
    pose.centreY += s.dy;
    const cv::Matx33d photoToFrame = render::PhotoToFrame(pose, frameSize);
    frames.push_back(render::RenderFrame(photo, photoToFrame, frameSize));
    const cv::Mat refToFrame(render::FrameToFrame(photoToRef, photoToFrame));
    refToFrames.push_back(refToFrame);
    frameToRefs.push_back(refToFrame.inv(cv::DECOMP_LU));
  }

  Composition comp;
  comp.set_InitValues();
  comp.InitializeWeights(kW, kH);
  cv::Mat pano;
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_TRUE(comp.Warping(&pano, ref, frames[i], refToFrames[i], frameToRefs[i], 1, 1, kAlpha,
                             kW, kH));
  }
  // Left edge -100 rounds toward zero to -99, top -90 to -89; right 150 + 319,
  // bottom 60 + 239.
  EXPECT_EQ(comp.minposAcum_x, -99);
  EXPECT_EQ(comp.minposAcum_y, -89);
  ASSERT_EQ(pano.size(), cv::Size(469 + 99, 299 + 89));

  // Canvas (0, 0) is reference (-99, -89); reference (0, 0) is photo
  // (centre - half frame).
  const cv::Rect region(1280 - kW / 2 - 99, 800 - kH / 2 - 89, pano.cols, pano.rows);
  const cv::Mat truth = photo(region);
  const cv::Point toCanvas(99, 89);
  cv::Mat expectedCover = cv::Mat::zeros(pano.size(), CV_8UC1);
  expectedCover(cv::Rect(toCanvas, frameSize)).setTo(255);
  for (const Shot& s : shots) expectedCover(s.filled + toCanvas).setTo(255);
  const cv::Mat covered = comp.weightsAcum > 0;
  EXPECT_EQ(cv::countNonZero(covered != expectedCover), 0);
  EXPECT_EQ(cv::countNonZero(comp.mask != expectedCover), 0);

  comp.computeMeanPanorama(&pano);
  EXPECT_GE(testsupport::PsnrOverMask(pano, truth, covered), kMinPsnrDb);
  EXPECT_EQ(cv::norm(pano, cv::NORM_INF, covered == 0), 0.0) << "uncovered canvas must stay black";

  // Median: the reference first (identity), then every frame.
  std::vector<cv::Mat> fpanos, fmasks;
  auto addFrame = [&](const cv::Mat& image, const cv::Mat& refToFrame, const cv::Mat& frameToRef) {
    cv::Mat fpano = cv::Mat::zeros(pano.rows, pano.cols, CV_8UC3);
    cv::Mat fmask = cv::Mat::zeros(pano.rows, pano.cols, CV_8UC1);
    comp.FillNewPan_RGB_FPano(fpano, fmask, image, refToFrame, frameToRef, kMedianMargin, kW, kH,
                              pano.cols, pano.rows);
    fpanos.push_back(fpano);
    fmasks.push_back(fmask);
  };
  const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);
  addFrame(ref, identity, identity);
  for (size_t i = 0; i < frames.size(); ++i) addFrame(frames[i], refToFrames[i], frameToRefs[i]);
  cv::Mat median;
  comp.computeMedianPanorama(&median, fpanos, fmasks);
  ASSERT_EQ(median.size(), pano.size());
  cv::Mat medianCovered = cv::Mat::zeros(pano.size(), CV_8UC1);
  for (const cv::Mat& m : fmasks) medianCovered |= m;
  // Each frame gives its pixels 5 ... size - 7 in both directions.
  const cv::Rect interior(kMedianMargin, kMedianMargin, kW - 2 * kMedianMargin - 1,
                          kH - 2 * kMedianMargin - 1);
  cv::Mat expectedMedianCover = cv::Mat::zeros(pano.size(), CV_8UC1);
  expectedMedianCover(interior + toCanvas).setTo(255);
  for (const Shot& s : shots) {
    expectedMedianCover(interior + toCanvas + cv::Point(s.dx, s.dy)).setTo(255);
  }
  EXPECT_EQ(cv::countNonZero(medianCovered != expectedMedianCover), 0);
  EXPECT_GE(testsupport::PsnrOverMask(median, truth, medianCovered), kMinPsnrDb);
}

}  // namespace
