// --work-scale end to end, through the library: a camera panning, zooming
// and rolling over the test photo, rendered with known homographies.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "tests/support/test_support.hpp"
#include "vmosaic/vmosaic.hpp"

namespace {

const cv::Size kSize(640, 480);
// Largest corner distance (full-resolution pixels) between a key frame's
// placement relative to the first key frame and the true one.
constexpr double kMaxCornerErrorPx = 3.0;
// PSNR against the truth the half-scale mean may lose: its links come from
// 320x240 frames (about three times the full-scale corner error); with
// --refine, which aligns at full resolution, no more than 0.5 dB.
constexpr double kMaxPsnrLossDb = 1.5, kMaxRefinedPsnrLossDb = 0.5;

cv::Mat Homography(const vmosaic::KeyFrame& key) {
  return cv::Mat(3, 3, CV_64F, const_cast<double*>(key.frameToCanvas.data())).clone();
}

TEST(WorkScale, HalfScaleRegistrationPlacesFullResolutionFramesAsTheTruth) {
  const testsupport::Pan pan = testsupport::RenderPan(30, kSize, testsupport::Pose(800, 700, 0.8),
                                                      testsupport::Pose(1150, 760, 0.9, 0.1));
  auto run = [&pan](double scale, bool refine) {
    vmosaic::Options options;
    options.overlap = 80;
    options.writeImages = false;
    options.workScale = scale;
    options.refine = refine;
    vmosaic::Observer quiet;
    size_t next = 0;
    return vmosaic::Mosaic(
        [&](vmosaic::Image* image) {
          if (next == pan.frames.size())
            return false;
          const cv::Mat& frame = pan.frames[next++];
          *image = {frame.cols, frame.rows, {frame.datastart, frame.dataend}};
          return true;
        },
        options, quiet);
  };
  // The mean against the photo rendered onto its canvas through the first
  // key frame's placement, inside the covered pixels.
  auto psnr = [&pan](const vmosaic::Result& r) {
    const cv::Mat mean(r.mean.height, r.mean.width, CV_8UC3,
                       const_cast<uint8_t*>(r.mean.bytes.data()));
    const vmosaic::KeyFrame& first = r.keyFrames.front();
    cv::Mat truth, covered;
    cv::warpPerspective(testsupport::TestPhoto(), truth,
                        Homography(first) * cv::Mat(pan.photoToFrame[size_t(first.frame)]),
                        mean.size());
    cv::inRange(mean, cv::Scalar::all(1), cv::Scalar::all(255), covered);
    cv::erode(covered, covered, cv::Mat(), cv::Point(-1, -1), 8);
    return testsupport::PsnrOverMask(mean, truth, covered);
  };
  const vmosaic::Result full = run(1.0, false), half = run(0.5, false), refined = run(0.5, true);
  for (const vmosaic::Result* r : {&full, &half, &refined})
    ASSERT_EQ(r->status, 0) << r->message;
  ASSERT_GE(half.keyFrames.size(), 3u);
  // A full-resolution canvas, with the extent of the full-scale run's (whose
  // last key frame may be another).
  EXPECT_NEAR(half.mean.width, full.mean.width, 0.02 * full.mean.width);
  EXPECT_NEAR(half.mean.height, full.mean.height, 0.02 * full.mean.height);
  const vmosaic::KeyFrame& first = half.keyFrames.front();
  for (const vmosaic::KeyFrame& key : half.keyFrames) {
    ASSERT_TRUE(key.placed);
    EXPECT_LT(testsupport::MaxCornerError(Homography(first).inv() * Homography(key),
                                          pan.Between(size_t(key.frame), size_t(first.frame)),
                                          kSize.width, kSize.height),
              kMaxCornerErrorPx)
        << "video frame " << key.frame;
  }
  const double fullPsnr = psnr(full);
  EXPECT_GT(fullPsnr, 25.0);
  EXPECT_GT(psnr(half), fullPsnr - kMaxPsnrLossDb);
  EXPECT_GT(psnr(refined), fullPsnr - kMaxRefinedPsnrLossDb);
  EXPECT_NE(half.reportJson.find("\"frame_limit\": 0, \"work_scale\": 0.5}"), std::string::npos);
  EXPECT_EQ(full.reportJson.find("work_scale"), std::string::npos);
  EXPECT_EQ(run(0.5, false).mean.bytes, half.mean.bytes);  // deterministic
}

}  // namespace
