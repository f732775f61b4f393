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
  Composition comp;
  comp.set_InitValues();
  comp.InitializeWeights(kW, kH);
  cv::Mat pano;
  // The reference first (identity, for the median), then every frame.
  const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);
  std::vector<Composition::MedianFrame> taken{{ref, identity, identity}};
  for (const Shot& s : shots) {
    const cv::Matx33d photoToFrame = render::PhotoToFrame({refPose.centreX + s.dx, refPose.centreY + s.dy}, frameSize);
    const cv::Mat refToFrame(render::FrameToFrame(photoToRef, photoToFrame));
    taken.push_back({render::RenderFrame(photo, photoToFrame, frameSize), refToFrame, refToFrame.inv(cv::DECOMP_LU)});
    ASSERT_TRUE(comp.Warping(&pano, ref, taken.back().image, refToFrame, taken.back().H_FrameToRef, 1, 1, kAlpha, kW, kH));
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

  std::vector<cv::Mat> fpanos, fmasks;
  for (const Composition::MedianFrame& f : taken) {
    fpanos.push_back(cv::Mat::zeros(pano.size(), CV_8UC3));
    fmasks.push_back(cv::Mat::zeros(pano.size(), CV_8UC1));
    comp.FillNewPan_RGB_FPano(fpanos.back(), fmasks.back(), f.image, f.H_RefToFrame, f.H_FrameToRef, kMedianMargin,
                              kW, kH, pano.cols, pano.rows);
  }
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
