// The blended mosaic against rendered frames with a known lens falloff and
// known exposures: the falloff estimate, exposure equalisation, seams without
// a step, and the same bytes on every run.
#include "composition/blend.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "composition/vignetting.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

const cv::Size kFrame(200, 150);

struct Shot {
  double x, y;  // photo point at the frame centre
  double gain;  // exposure
};

// Frames of the photo with falloff 1 - strength * rho^2 and the shots'
// gains, each placed onto the first frame's plane by its true homography.
struct Scene {
  std::vector<blend::Frame> frames;
  blend::Canvas canvas;
  cv::Mat truth;  // the photo on the canvas, without falloff or gains
};

Scene Render(const std::vector<Shot>& shots, double strength) {
  const cv::Mat photo = testsupport::TestPhoto();
  Scene scene;
  const cv::Matx33d photoToRef = render::PhotoToFrame({shots[0].x, shots[0].y}, kFrame);
  cv::Rect2d bounds(0, 0, 0, 0);
  for (const Shot& shot : shots) {
    const cv::Matx33d photoToFrame = render::PhotoToFrame({shot.x, shot.y}, kFrame);
    cv::Mat frame = render::RenderFrame(photo, photoToFrame, kFrame);
    frame.forEach<cv::Vec3b>([&](cv::Vec3b& px, const int* yx) {
      const double factor =
          shot.gain * (1.0 - strength * vignetting::RhoSquared(yx[1], yx[0], kFrame));
      for (int k = 0; k < 3; ++k)
        px[k] = cv::saturate_cast<uchar>(px[k] * factor);
    });
    const cv::Matx33d frameToRef = photoToRef * photoToFrame.inv();
    scene.frames.push_back({frame, frameToRef});
    bounds |= cv::Rect2d(frameToRef(0, 2), frameToRef(1, 2), kFrame.width - 1, kFrame.height - 1);
  }
  scene.canvas = {cv::Size(cvCeil(bounds.width) + 1, cvCeil(bounds.height) + 1),
                  cv::Point(cvFloor(bounds.x), cvFloor(bounds.y))};
  const cv::Matx33d refToCanvas(1, 0, -scene.canvas.origin.x, 0, 1, -scene.canvas.origin.y, 0, 0,
                                1);
  scene.truth = render::RenderFrame(photo, refToCanvas * photoToRef, scene.canvas.size);
  return scene;
}

// A pan right and down with exposures drifting by up to 12 %.
std::vector<Shot> Pan(int frames) {
  std::vector<Shot> shots;
  for (int k = 0; k < frames; ++k)
    shots.push_back(
        {900.0 + 45.0 * k, 700.0 + 30.0 * std::sin(k * 0.9), 1.0 + 0.12 * std::sin(k * 1.3)});
  return shots;
}

// log(mosaic / truth) over 5x5 means, where both hold enough light.
cv::Mat LogRatio(const cv::Mat& mosaic, const cv::Mat& truth, cv::Mat* valid) {
  cv::Mat a, b, ratio;
  cv::cvtColor(mosaic, a, cv::COLOR_BGR2GRAY), cv::cvtColor(truth, b, cv::COLOR_BGR2GRAY);
  cv::erode(a > 0, *valid, cv::Mat(), cv::Point(-1, -1), 4);
  *valid &= b > 25;
  a.convertTo(a, CV_32F), b.convertTo(b, CV_32F);
  cv::blur(a, a, cv::Size(5, 5)), cv::blur(b, b, cv::Size(5, 5));
  cv::log(cv::max(a, 1.0f) / cv::max(b, 1.0f), ratio);
  return ratio;
}

class FalloffEstimate : public ::testing::TestWithParam<double> {};

TEST_P(FalloffEstimate, RecoversTheRenderedFalloffAndGainsWithinTwoPercent) {
  const double strength = GetParam();
  const std::vector<Shot> shots = Pan(7);
  const Scene scene = Render(shots, strength);
  std::vector<cv::Mat> images;
  std::vector<cv::Matx33d> placements;
  for (const blend::Frame& f : scene.frames)
    images.push_back(f.image), placements.push_back(f.frameToRef);
  const vignetting::Photometry found = vignetting::EstimatePhotometry(images, placements);
  for (double rho2 = 0.0; rho2 <= 1.0; rho2 += 0.1)
    EXPECT_NEAR(found.falloff.At(rho2) / (1.0 - strength * rho2), 1.0, 0.02) << rho2;
  ASSERT_EQ(found.gains.size(), shots.size());
  for (size_t k = 1; k < shots.size(); ++k)
    EXPECT_NEAR((found.gains[k] / found.gains[0]) / (shots[k].gain / shots[0].gain), 1.0, 0.02)
        << k;
}

INSTANTIATE_TEST_SUITE_P(Strengths, FalloffEstimate, ::testing::Values(0.0, 0.15, 0.3));

TEST(BlendMosaic, PanWithFalloffAndDriftShowsNoStepAtTheSeamsAndRepeatsItsBytes) {
  const Scene scene = Render(Pan(6), 0.3);
  const cv::Mat mosaic = blend::BlendMosaic(scene.frames, scene.canvas);
  cv::Mat valid;
  const cv::Mat ratio = LogRatio(mosaic, scene.truth, &valid);
  // Along every row, the largest change of the ratio over four columns: a
  // seam between frames of unequal brightness is a step in it.
  std::vector<double> steps;
  for (int r = 0; r < ratio.rows; r += 2) {
    double largest = -1.0;
    for (int c = 2; c + 2 < ratio.cols; ++c) {
      if (!valid.at<uchar>(r, c - 2) || !valid.at<uchar>(r, c + 2))
        continue;
      largest = std::max(largest,
                         double(std::abs(ratio.at<float>(r, c + 2) - ratio.at<float>(r, c - 2))));
    }
    if (largest >= 0.0)
      steps.push_back(largest);
  }
  ASSERT_GT(steps.size(), 40u);

  std::sort(steps.begin(), steps.end());
  EXPECT_LT(steps[steps.size() / 2], 0.012) << "median over rows of the largest step";
  EXPECT_LT(std::abs(cv::mean(ratio, valid)[0]), 0.03) << "overall brightness";
  EXPECT_GT(testsupport::PsnrOverMask(mosaic, scene.truth, valid), 30.0);
  EXPECT_EQ(cv::norm(mosaic, blend::BlendMosaic(scene.frames, scene.canvas), cv::NORM_INF), 0.0);
}

// Every frame a key frame: dozens of frames over each canvas pixel, and seams
// on a low-resolution canvas far coarser than the step between frames. The
// blender sums 16-bit levels; claims piled too high wrapped them around
// into bands of false colour.
TEST(BlendMosaic, ManyFramesOverEachPixelBlendWithoutFalseColour) {
  std::vector<Shot> shots;
  for (int k = 0; k < 90; ++k)
    shots.push_back({900.0 + 4.0 * k, 700.0, 1.0});
  const Scene scene = Render(shots, 0.0);
  const cv::Mat mosaic = blend::BlendMosaic(scene.frames, scene.canvas);
  cv::Mat grey, valid, difference, channels[3];
  cv::cvtColor(mosaic, grey, cv::COLOR_BGR2GRAY);
  cv::erode(grey > 0, valid, cv::Mat(), cv::Point(-1, -1), 4);
  cv::absdiff(mosaic, scene.truth, difference);
  cv::blur(difference, difference, cv::Size(9, 9));
  cv::split(difference, channels);
  double worst = 0.0;
  cv::minMaxLoc(cv::max(cv::max(channels[0], channels[1]), channels[2]), nullptr, &worst, nullptr,
                nullptr, valid);
  EXPECT_LT(worst, 40.0) << "a 9x9 patch far from the scene";
  EXPECT_GT(testsupport::PsnrOverMask(mosaic, scene.truth, valid), 30.0);
}

}  // namespace
