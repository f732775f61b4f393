// --work-scale end to end, through the library: a camera panning, zooming
// and rolling over the test photo, rendered with known homographies. Frames
// registered at half size must still give key-frame placements in
// full-resolution pixels close to the truth, a full-resolution canvas, and a
// mean as faithful as the full-scale run's.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "tests/support/test_support.hpp"
#include "vmosaic/vmosaic.hpp"

namespace {

const cv::Size kSize(640, 480);
constexpr int kFrames = 30;
// Largest corner distance (full-resolution pixels) between a key frame's
// placement relative to the reference and the true one.
constexpr double kMaxCornerErrorPx = 3.0;
// PSNR against the truth the half-scale mean may lose: its links come from
// 320x240 frames (about three times the full-scale run's corner error); with
// --refine, aligned at full resolution, it may lose no more than 0.5 dB.
constexpr double kMaxPsnrLossDb = 1.5;
constexpr double kMaxRefinedPsnrLossDb = 0.5;

cv::Mat ToMat(const vmosaic::Image& image) {
  return cv::Mat(image.height, image.width, CV_8UC3, const_cast<uint8_t*>(image.bytes.data()));
}

cv::Mat Homography(const vmosaic::KeyFrame& key) {
  return cv::Mat(3, 3, CV_64F, const_cast<double*>(key.frameToCanvas.data())).clone();
}

class WorkScale : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    pan_ = new testsupport::Pan(testsupport::RenderPan(
        kFrames, kSize, testsupport::Pose(800, 700, 0.8), testsupport::Pose(1150, 760, 0.9, 0.1)));
  }
  static void TearDownTestSuite() { delete pan_; }

  static vmosaic::Result Run(double scale, bool refine = false) {
    vmosaic::Options options;
    options.overlap = 80;
    options.writeImages = false;
    options.workScale = scale;
    options.refine = refine;
    size_t next = 0;
    vmosaic::Observer quiet;
    return vmosaic::Mosaic(
        [&](vmosaic::Image* image) {
          if (next == pan_->frames.size())
            return false;
          const cv::Mat& frame = pan_->frames[next++];
          image->width = frame.cols;
          image->height = frame.rows;
          image->bytes.assign(frame.data, frame.data + frame.total() * 3);
          return true;
        },
        options, quiet);
  }

  // PSNR of the mean against the photo rendered onto its canvas through the
  // first key frame's placement, over the pixels every key frame's frame
  // covers well inside.
  static double PsnrAgainstTruth(const vmosaic::Result& run) {
    const cv::Mat mean = ToMat(run.mean);
    const vmosaic::KeyFrame& first = run.keyFrames.front();
    const cv::Mat photoToCanvas =
        Homography(first) * cv::Mat(pan_->photoToFrame[static_cast<size_t>(first.frame)]);
    cv::Mat truth, covered;
    cv::warpPerspective(testsupport::TestPhoto(), truth, photoToCanvas, mean.size(),
                        cv::INTER_LINEAR);
    cv::inRange(mean, cv::Scalar(1, 1, 1), cv::Scalar(255, 255, 255), covered);
    cv::erode(covered, covered, cv::Mat(), cv::Point(-1, -1), 8);
    return testsupport::PsnrOverMask(mean, truth, covered);
  }

  static testsupport::Pan* pan_;
};
testsupport::Pan* WorkScale::pan_ = nullptr;

TEST_F(WorkScale, HalfScaleRegistrationPlacesFullResolutionFramesAsTheFullScaleRun) {
  const vmosaic::Result full = Run(1.0), half = Run(0.5);
  ASSERT_EQ(full.status, 0) << full.message;
  ASSERT_EQ(half.status, 0) << half.message;
  ASSERT_GE(half.keyFrames.size(), 3u);
  // Full-resolution canvas: the extent of the full-scale run's (whose last
  // key frame may be another), far larger than half-size frames would give.
  EXPECT_NEAR(half.mean.width, full.mean.width, 0.02 * full.mean.width);
  EXPECT_NEAR(half.mean.height, full.mean.height, 0.02 * full.mean.height);
  EXPECT_GT(half.mean.width, kSize.width);
  // Every key frame placed relative to the first as the truth places it.
  const vmosaic::KeyFrame& first = half.keyFrames.front();
  const cv::Mat canvasToFirst = Homography(first).inv();
  for (const vmosaic::KeyFrame& key : half.keyFrames) {
    SCOPED_TRACE("video frame " + std::to_string(key.frame));
    ASSERT_TRUE(key.placed);
    const cv::Mat estimated = canvasToFirst * Homography(key);
    const cv::Mat truth =
        pan_->Between(static_cast<size_t>(key.frame), static_cast<size_t>(first.frame));
    EXPECT_LT(testsupport::MaxCornerError(estimated, truth, kSize.width, kSize.height),
              kMaxCornerErrorPx);
  }
  const double fullPsnr = PsnrAgainstTruth(full), halfPsnr = PsnrAgainstTruth(half);
  EXPECT_GT(fullPsnr, 25.0);
  EXPECT_GT(halfPsnr, fullPsnr - kMaxPsnrLossDb);
  const vmosaic::Result refined = Run(0.5, true);
  ASSERT_EQ(refined.status, 0) << refined.message;
  EXPECT_GT(PsnrAgainstTruth(refined), fullPsnr - kMaxRefinedPsnrLossDb);
  EXPECT_NE(half.reportJson.find("\"frame_limit\": 0, \"work_scale\": 0.5}"), std::string::npos);
  EXPECT_EQ(full.reportJson.find("work_scale"), std::string::npos);
  // The same input and scale give the same mosaic.
  const vmosaic::Result again = Run(0.5);
  EXPECT_EQ(again.mean.bytes, half.mean.bytes);
}

}  // namespace
