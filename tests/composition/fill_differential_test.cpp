// The canvas fill restricted to the frame's footprint, spread over threads,
// growing in place, against the straightforward fill (every pixel from the
// frame's corner to the canvas's far corner, fresh layers every step): the
// layers must agree to the bit, on rendered pans and on seeded random
// homographies, tilted ones included (whose horizon may cross the canvas).
#include <gtest/gtest.h>

#include <cstring>
#include <opencv2/core.hpp>
#include <random>
#include <vector>

#include "composition/composition.hpp"
#include "geometry/homography_mapping.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

constexpr int kW = 160;
constexpr int kH = 120;
constexpr float kAlpha = 0.5f;
constexpr int kMedianMargin = 5;

bool SameBits(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return false;
  for (int r = 0; r < a.rows; ++r) {
    if (std::memcmp(a.ptr(r), b.ptr(r), a.cols * a.elemSize()) != 0) return false;
  }
  return true;
}

bool Sampled(int x, int y, int margin) {
  return x >= margin && x < kW - 1 - margin && y >= margin && y < kH - 1 - margin;
}

// The straightforward growing-canvas step (colour), on a second Composition
// whose own size arithmetic and copy are used unchanged.
void ReferenceWarp(Composition& c, cv::Mat* pano, const cv::Mat& frame, const cv::Mat& refToFrame,
                   const cv::Mat& frameToRef) {
  c.CalculateNewSizeOfPanorama(frameToRef, kW, kH);
  ASSERT_GT(c.new_imageW, 0);
  // Fresh layers: assigning zeros to a layer that shares the canvas's pixels
  // would clear the canvas itself.
  for (cv::Mat* layer : {&c.newPano, &c.newPanoAcum, &c.newWeightsAcum, &c.newMask}) layer->release();
  c.newPano = cv::Mat::zeros(c.new_imageH, c.new_imageW, CV_8UC3);
  c.newPanoAcum = cv::Mat::zeros(c.new_imageH, c.new_imageW, CV_64FC3);
  c.newWeightsAcum = cv::Mat::zeros(c.new_imageH, c.new_imageW, CV_64FC1);
  c.newMask = cv::Mat::zeros(c.new_imageH, c.new_imageW, CV_8UC1);
  c.CopyPanToNewPan(pano);
  if (c.minpos_x < 0) c.minposAcum_x += c.minpos_x;
  if (c.minpos_y < 0) c.minposAcum_y += c.minpos_y;
  const cv::Mat h = refToFrame.clone();
  for (int r = std::max(0, c.minpos_y); r < c.newPano.rows; ++r) {
    for (int col = std::max(0, c.minpos_x); col < c.newPano.cols; ++col) {
      int x = 0, y = 0;
      ApplyHomography(&x, &y, col + c.minposAcum_x, r + c.minposAcum_y, h.ptr<double>());
      if (!Sampled(x, y, 0)) continue;
      const cv::Vec3b s = frame.at<cv::Vec3b>(y, x);
      const double w = c.weights.at<double>(y, x);
      cv::Vec3b& p = c.newPano.at<cv::Vec3b>(r, col);
      cv::Vec3d& a = c.newPanoAcum.at<cv::Vec3d>(r, col);
      if (c.newMask.at<uchar>(r, col) >= 128) {
        for (int k = 0; k < 3; ++k) {
          const float v = kAlpha * p[k] + (1.0f - kAlpha) * s[k];
          p[k] = static_cast<uchar>(std::clamp(static_cast<int>(v), 0, 255));
          a[k] += s[k] * w;
        }
        c.newWeightsAcum.at<double>(r, col) += w;
      } else {
        p = s;
        c.newMask.at<uchar>(r, col) = 255;
        for (int k = 0; k < 3; ++k) a[k] = s[k] * w;
        c.newWeightsAcum.at<double>(r, col) = w;
      }
    }
  }
  *pano = c.newPano;
  c.mask = c.newMask;
  c.panoAcum = c.newPanoAcum;
  c.weightsAcum = c.newWeightsAcum;
  c.pano_imageW = c.new_imageW;
  c.pano_imageH = c.new_imageH;
}

// The straightforward median fill: from the two-corner box corner to the end.
void ReferenceFPano(const Composition& c, cv::Mat& fpano, cv::Mat& fmask, const cv::Mat& frame,
                    const cv::Mat& refToFrame, const cv::Mat& frameToRef) {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0, x2 = 0, y2 = 0, x3 = 0, y3 = 0;
  const cv::Mat g = frameToRef.clone();
  ApplyHomography(&x0, &y0, 0, 0, g.ptr<double>());
  ApplyHomography(&x1, &y1, kW - 1, kH - 1, g.ptr<double>());
  ApplyHomography(&x2, &y2, 0, kH - 1, g.ptr<double>());
  ApplyHomography(&x3, &y3, kW - 1, 0, g.ptr<double>());
  const int cs = static_cast<int>(std::max<int64_t>(0, int64_t{std::min(x0, x2)} - c.minposAcum_x));
  const int rs = static_cast<int>(std::max<int64_t>(0, int64_t{std::min(y0, y3)} - c.minposAcum_y));
  const cv::Mat h = refToFrame.clone();
  for (int r = rs; r < fpano.rows; ++r) {
    for (int col = cs; col < fpano.cols; ++col) {
      int x = 0, y = 0;
      ApplyHomography(&x, &y, col + c.minposAcum_x, r + c.minposAcum_y, h.ptr<double>());
      if (!Sampled(x, y, kMedianMargin)) continue;
      fpano.at<cv::Vec3b>(r, col) = frame.at<cv::Vec3b>(y, x);
      fmask.at<uchar>(r, col) = 255;
    }
  }
}

struct Sequence {
  cv::Mat ref;
  std::vector<cv::Mat> frames, refToFrame, frameToRef;
};

Sequence RenderedSurvey() {
  const cv::Mat photo = testsupport::TestPhoto();
  Sequence s;
  const cv::Size size(kW, kH);
  render::CameraPose refPose{1280, 800};
  const cv::Matx33d photoToRef = render::PhotoToFrame(refPose, size);
  s.ref = render::RenderFrame(photo, photoToRef, size);
  // Left, right, up and down of the reference, rotated and zoomed: the
  // canvas grows on every side, in place and by reallocation.
  const double moves[][4] = {{90.3, 5.2, 0.05, 1.0},    {-130.7, 20.1, -0.1, 1.1},
                             {40.2, -95.6, 0.2, 0.9},   {310.5, 40.4, 0.0, 1.0},
                             {-280.1, 150.9, 0.3, 1.2}, {15.0, 260.0, -0.25, 0.8},
                             {500.5, -300.2, 0.6, 1.0}, {0.0, 0.0, 0.0, 1.0}};
  for (const auto& m : moves) {
    render::CameraPose pose = refPose;
    pose.centreX += m[0];
    pose.centreY += m[1];
    pose.angle = m[2];
    pose.zoom = m[3];
    const cv::Matx33d photoToFrame = render::PhotoToFrame(pose, size);
    s.frames.push_back(render::RenderFrame(photo, photoToFrame, size));
    s.refToFrame.push_back(cv::Mat(render::FrameToFrame(photoToRef, photoToFrame)));
    s.frameToRef.push_back(s.refToFrame.back().inv(cv::DECOMP_LU));
  }
  return s;
}

// Seeded random homographies: shifts, rotation, scale and perspective terms
// strong enough that some frames' horizons cross the canvas.
Sequence RandomHomographies(uint32_t seed, int count) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> shift(-250.0, 250.0), small(-0.3, 0.3),
      tilt(-0.004, 0.004);
  Sequence s;
  s.ref = testsupport::TestPhoto()(cv::Rect(900, 500, kW, kH)).clone();
  for (int i = 0; i < count; ++i) {
    cv::Mat frameToRef = (cv::Mat_<double>(3, 3) << 1 + small(rng), small(rng), shift(rng),
                          small(rng), 1 + small(rng), shift(rng), tilt(rng), tilt(rng), 1.0);
    s.frames.push_back(
        testsupport::TestPhoto()(cv::Rect(400 + 40 * i, 300 + 20 * i, kW, kH)).clone());
    s.frameToRef.push_back(frameToRef);
    s.refToFrame.push_back(frameToRef.inv(cv::DECOMP_LU));
  }
  return s;
}

void ExpectSameComposition(const Sequence& s) {
  Composition fast, slow;
  cv::Mat fastPano, slowPano;
  for (Composition* c : {&fast, &slow}) {
    c->set_InitValues();
    c->InitializeWeights(kW, kH);
  }
  fast.StartCanvas(&fastPano, s.ref, kW, kH);
  slow.StartCanvas(&slowPano, s.ref, kW, kH);
  for (size_t i = 0; i < s.frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const bool added = fast.Warping(&fastPano, s.ref, s.frames[i], s.refToFrame[i],
                                    s.frameToRef[i], 1, 1, kAlpha, kW, kH);
    if (!added) continue;  // beyond the canvas bound: the reference is not run either
    ReferenceWarp(slow, &slowPano, s.frames[i], s.refToFrame[i], s.frameToRef[i]);
    ASSERT_EQ(fast.minposAcum_x, slow.minposAcum_x);
    ASSERT_EQ(fast.minposAcum_y, slow.minposAcum_y);
    ASSERT_TRUE(SameBits(fastPano, slowPano));
    ASSERT_TRUE(SameBits(fast.mask, slow.mask));
    ASSERT_TRUE(SameBits(fast.panoAcum, slow.panoAcum));
    ASSERT_TRUE(SameBits(fast.weightsAcum, slow.weightsAcum));
  }
  cv::Mat fastMean, slowMean;
  fast.computeMeanPanorama(&fastMean);
  slow.computeMeanPanorama(&slowMean);
  EXPECT_TRUE(SameBits(fastMean, slowMean));

  // The median's per-frame fill on the final canvas.
  for (size_t i = 0; i < s.frames.size(); ++i) {
    SCOPED_TRACE("median frame " + std::to_string(i));
    cv::Mat fp = cv::Mat::zeros(fastPano.size(), CV_8UC3), fm = cv::Mat::zeros(fastPano.size(), CV_8UC1);
    cv::Mat sp = fp.clone(), sm = fm.clone();
    fast.FillNewPan_RGB_FPano(fp, fm, s.frames[i], s.refToFrame[i], s.frameToRef[i],
                              kMedianMargin, kW, kH, fp.cols, fp.rows);
    ReferenceFPano(slow, sp, sm, s.frames[i], s.refToFrame[i], s.frameToRef[i]);
    ASSERT_TRUE(SameBits(fp, sp));
    ASSERT_TRUE(SameBits(fm, sm));
  }
}

TEST(FillDifferential, RenderedSurveyMatchesTheStraightforwardFill) {
  ASSERT_FALSE(testsupport::TestPhoto().empty());
  const Sequence s = RenderedSurvey();
  ExpectSameComposition(s);
}

TEST(FillDifferential, RandomTiltedHomographiesMatchTheStraightforwardFill) {
  ASSERT_FALSE(testsupport::TestPhoto().empty());
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ExpectSameComposition(RandomHomographies(seed, 6));
  }
}

}  // namespace
