// The fast canvas paths against straightforward ones, to the bit: the fill
// restricted to the frame's footprint (spread over threads, growing in place)
// against a fill of every pixel from the frame's corner to the canvas's far
// corner with fresh layers every step; the median's per-frame fill; and the
// median composed in strips against the per-pixel median over full-canvas
// fills. On a rendered survey and on seeded random homographies, tilted ones
// included (whose horizon may cross the canvas).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "composition/composition.hpp"
#include "geometry/homography_mapping.hpp"
#include "tests/support/test_support.hpp"

namespace {

using testsupport::SameBits;
constexpr int kW = 160, kH = 120;
constexpr float kAlpha = 0.5f;
constexpr int kMedianMargin = 5;

bool Sampled(int x, int y, int margin) {
  return x >= margin && x < kW - 1 - margin && y >= margin && y < kH - 1 - margin;
}

// The straightforward growing-canvas step (colour), on a second Composition
// whose own size arithmetic and copy are used unchanged.
void ReferenceWarp(Composition& c, cv::Mat* pano, const cv::Mat& frame, const cv::Mat& refToFrame,
                   const cv::Mat& frameToRef) {
  c.CalculateNewSizeOfPanorama(frameToRef, kW, kH);
  ASSERT_GT(c.new_imageW, 0);
  // Fresh layers: zeros written into a layer sharing the canvas's pixels would clear the canvas.
  const cv::Size size(c.new_imageW, c.new_imageH);
  const cv::Scalar zero = cv::Scalar::all(0);
  c.newPano = cv::Mat(size, CV_8UC3, zero), c.newPanoAcum = cv::Mat(size, CV_64FC3, zero);
  c.newWeightsAcum = cv::Mat(size, CV_64FC1, zero), c.newMask = cv::Mat(size, CV_8UC1, zero);
  c.CopyPanToNewPan(pano);
  if (c.minpos_x < 0)
    c.minposAcum_x += c.minpos_x;
  if (c.minpos_y < 0)
    c.minposAcum_y += c.minpos_y;
  for (int r = std::max(0, c.minpos_y); r < c.newPano.rows; ++r) {
    for (int col = std::max(0, c.minpos_x); col < c.newPano.cols; ++col) {
      int x = 0, y = 0;
      ApplyHomography(&x, &y, col + c.minposAcum_x, r + c.minposAcum_y, refToFrame);
      if (!Sampled(x, y, 0))
        continue;
      const cv::Vec3b s = frame.at<cv::Vec3b>(y, x);
      const double w = c.weights.at<double>(y, x);
      cv::Vec3b& p = c.newPano.at<cv::Vec3b>(r, col);
      cv::Vec3d& a = c.newPanoAcum.at<cv::Vec3d>(r, col);
      const bool covered = c.newMask.at<uchar>(r, col) >= 128;
      for (int k = 0; k < 3; ++k) {
        const float v = kAlpha * p[k] + (1.0f - kAlpha) * s[k];
        p[k] = covered ? static_cast<uchar>(std::clamp(static_cast<int>(v), 0, 255)) : s[k];
        a[k] = (covered ? a[k] : 0.0) + s[k] * w;
      }
      c.newWeightsAcum.at<double>(r, col) =
          (covered ? c.newWeightsAcum.at<double>(r, col) : 0.0) + w;
      if (!covered)
        c.newMask.at<uchar>(r, col) = 255;
    }
  }
  *pano = c.newPano, c.mask = c.newMask, c.panoAcum = c.newPanoAcum,
  c.weightsAcum = c.newWeightsAcum;
  c.pano_imageW = c.new_imageW, c.pano_imageH = c.new_imageH;
}

// The straightforward median fill on the whole canvas: every pixel from the
// frame's two-corner box corner to the canvas's far corner.
void ReferenceFill(const Composition& c, cv::Mat& fpano, cv::Mat& fmask,
                   const Composition::MedianFrame& f) {
  int x0 = 0, y0 = 0, x2 = 0, y2 = 0, x3 = 0, y3 = 0;
  ApplyHomography(&x0, &y0, 0, 0, f.H_FrameToRef);
  ApplyHomography(&x2, &y2, 0, kH - 1, f.H_FrameToRef);
  ApplyHomography(&x3, &y3, kW - 1, 0, f.H_FrameToRef);
  const int cs = static_cast<int>(std::max<int64_t>(0, int64_t{std::min(x0, x2)} - c.minposAcum_x));
  const int rs = static_cast<int>(std::max<int64_t>(0, int64_t{std::min(y0, y3)} - c.minposAcum_y));
  for (int r = rs; r < fpano.rows; ++r) {
    for (int col = cs; col < fpano.cols; ++col) {
      int x = 0, y = 0;
      ApplyHomography(&x, &y, col + c.minposAcum_x, r + c.minposAcum_y, f.H_RefToFrame);
      if (!Sampled(x, y, kMedianMargin))
        continue;
      fpano.at<cv::Vec3b>(r, col) = f.image.at<cv::Vec3b>(y, x), fmask.at<uchar>(r, col) = 255;
    }
  }
}

// Per pixel and channel, the sorted covered samples; an even count takes the
// floor of the two middle values' mean.
cv::Mat ReferenceMedian(const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& masks) {
  cv::Mat out = cv::Mat::zeros(images[0].size(), CV_8UC3);
  out.forEach<cv::Vec3b>([&](cv::Vec3b& p, const int* rc) {
    for (int k = 0; k < 3; ++k) {
      std::vector<int> v;
      for (size_t i = 0; i < images.size(); ++i) {
        if (masks[i].at<uchar>(rc[0], rc[1]) >= 128)
          v.push_back(images[i].at<cv::Vec3b>(rc[0], rc[1])[k]);
      }
      std::sort(v.begin(), v.end());
      const size_t m = v.size();
      if (m > 0)
        p[k] = static_cast<uchar>(m % 2 ? v[m / 2] : (v[m / 2 - 1] + v[m / 2]) / 2);
    }
  });
  return out;
}

struct Survey {
  cv::Mat ref;
  std::vector<Composition::MedianFrame> frames;  // image, reference onto frame, inverse
};

// A serpentine over the photo (three passes, with rotation and zoom: most
// pixels covered several times, odd and even counts) and far jumps left, right,
// up and down: the canvas grows on every side, in place and by reallocation.
Survey RenderedSurvey() {
  std::vector<render::CameraPose> poses;
  for (int i = 0; i < 18; ++i) {
    const int pass = i / 6, step = i % 6, along = pass % 2 == 0 ? step : 5 - step;
    poses.push_back(testsupport::Pose(1129.7 + 61.7 * along, 729.1 + 69.1 * pass + 3.3 * step,
                                      1.0 + 0.03 * pass, 0.04 * (step - 2.5)));
  }
  for (const cv::Vec4d& m : {cv::Vec4d(-280.1, 150.9, 0.3, 1.2), cv::Vec4d(15, 260, -0.25, 0.8),
                             cv::Vec4d(500.5, -300.2, 0.6, 1.0), cv::Vec4d(0, 0, 0, 1)})
    poses.push_back(testsupport::Pose(1280 + m[0], 800 + m[1], m[3], m[2]));
  const cv::Size size(kW, kH);
  const cv::Matx33d photoToRef = render::PhotoToFrame(testsupport::Pose(1280, 800), size);
  Survey s{render::RenderFrame(testsupport::TestPhoto(), photoToRef, size), {}};
  for (const render::CameraPose& pose : poses) {
    const cv::Matx33d photoToFrame = render::PhotoToFrame(pose, size);
    const cv::Mat refToFrame(render::FrameToFrame(photoToRef, photoToFrame));
    s.frames.push_back({render::RenderFrame(testsupport::TestPhoto(), photoToFrame, size),
                        refToFrame.clone(), refToFrame.inv()});
  }
  return s;
}

// Seeded random homographies with perspective terms strong enough that some
// frames' horizons cross the canvas (their footprints are not trusted).
Survey RandomHomographies(uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> shift(-250, 250), small(-0.3, 0.3), tilt(-0.004, 0.004);
  Survey s{testsupport::TestPhoto()(cv::Rect(900, 500, kW, kH)).clone(), {}};
  for (int i = 0; i < 7; ++i) {
    const cv::Mat frameToRef = (cv::Mat_<double>(3, 3) << 1 + small(rng), small(rng), shift(rng),
                                small(rng), 1 + small(rng), shift(rng), tilt(rng), tilt(rng), 1.0);
    s.frames.push_back(
        {testsupport::TestPhoto()(cv::Rect(400 + 40 * i, 300 + 20 * i, kW, kH)).clone(),
         frameToRef.inv(), frameToRef});
  }
  return s;
}

void ExpectFastPathsMatch(const Survey& s, bool checkStrips) {
  Composition fast, slow;
  cv::Mat fastPano, slowPano;
  for (auto [c, pano] : {std::pair{&fast, &fastPano}, std::pair{&slow, &slowPano}})
    c->set_InitValues(), c->InitializeWeights(kW, kH), c->StartCanvas(pano, s.ref, kW, kH);
  const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);
  std::vector<Composition::MedianFrame> taken{{s.ref, identity, identity}};
  for (size_t i = 0; i < s.frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const Composition::MedianFrame& f = s.frames[i];
    // Beyond the canvas bound: the reference is not run either.
    if (!fast.Warping(&fastPano, s.ref, f.image, f.H_RefToFrame, f.H_FrameToRef, 1, 1, kAlpha, kW,
                      kH))
      continue;
    taken.push_back(f);
    ReferenceWarp(slow, &slowPano, f.image, f.H_RefToFrame, f.H_FrameToRef);
    ASSERT_EQ(cv::Vec2i(fast.minposAcum_x, fast.minposAcum_y),
              cv::Vec2i(slow.minposAcum_x, slow.minposAcum_y));
    for (const auto& [a, b] : {std::pair{&fastPano, &slowPano},
                               {&fast.mask, &slow.mask},
                               {&fast.panoAcum, &slow.panoAcum},
                               {&fast.weightsAcum, &slow.weightsAcum}})
      ASSERT_TRUE(SameBits(*a, *b));
  }
  ASSERT_GE(taken.size(), 3u);
  cv::Mat fastMean, slowMean;
  fast.computeMeanPanorama(&fastMean), slow.computeMeanPanorama(&slowMean);
  EXPECT_TRUE(SameBits(fastMean, slowMean));

  std::vector<cv::Mat> images, masks;
  for (size_t i = 0; i < taken.size(); ++i) {
    SCOPED_TRACE("median frame " + std::to_string(i));
    images.push_back(cv::Mat::zeros(fastPano.size(), CV_8UC3)),
        masks.push_back(cv::Mat::zeros(fastPano.size(), CV_8UC1));
    const Composition::MedianFrame& f = taken[i];
    ReferenceFill(slow, images.back(), masks.back(), f);
    cv::Mat fp = cv::Mat::zeros(fastPano.size(), CV_8UC3),
            fm = cv::Mat::zeros(fastPano.size(), CV_8UC1);
    fast.FillNewPan_RGB_FPano(fp, fm, f.image, f.H_RefToFrame, f.H_FrameToRef, kMedianMargin, kW,
                              kH, fp.cols, fp.rows);
    ASSERT_TRUE(SameBits(fp, images.back()) && SameBits(fm, masks.back()));
    if (!checkStrips || i % 4 != 0)
      continue;
    // The strip form writes into each strip exactly the rows the full form
    // writes, and nothing lies outside the reported row range.
    const cv::Range band =
        fast.FPanoRows(f.H_RefToFrame, f.H_FrameToRef, kMedianMargin, kW, kH, fp.cols, fp.rows);
    ASSERT_LT(band.start, band.end);
    EXPECT_TRUE(cv::countNonZero(fm.rowRange(0, band.start)) == 0 &&
                cv::countNonZero(fm.rowRange(band.end, fm.rows)) == 0);
    for (int stripRows : {1, 5, 17}) {
      for (int begin = 0; begin < fp.rows; begin += stripRows) {
        const int end = std::min(fp.rows, begin + stripRows);
        cv::Mat strip = cv::Mat::zeros(end - begin, fp.cols, CV_8UC3),
                stripMask = cv::Mat::zeros(end - begin, fp.cols, CV_8UC1);
        fast.FillNewPan_RGB_FPano(strip, stripMask, f.image, f.H_RefToFrame, f.H_FrameToRef,
                                  kMedianMargin, kW, kH, fp.cols, fp.rows, begin, end);
        ASSERT_TRUE(SameBits(strip, fp.rowRange(begin, end)) &&
                    SameBits(stripMask, fm.rowRange(begin, end)))
            << "rows " << begin;
      }
    }
  }
  const cv::Mat expected = ReferenceMedian(images, masks);
  ASSERT_GT(cv::countNonZero(expected.reshape(1)), 0);
  // Strip heights: one row, a few rows (not dividing the canvas), the canvas,
  // taller than the canvas; then heights chosen from budgets: the mean
  // canvas's preview and mask, and one too small for a single row.
  const int rows = fastPano.rows;
  for (const auto& [stripRows, budget] : {std::pair<int, int64_t>{1, 0},
                                          {3, 0},
                                          {7, 0},
                                          {64, 0},
                                          {rows, 0},
                                          {rows + 50, 0},
                                          {0, static_cast<int64_t>(fastPano.total()) * 4},
                                          {0, 1}}) {
    SCOPED_TRACE("strip rows " + std::to_string(stripRows) + ", budget " + std::to_string(budget));
    cv::Mat strips;
    fast.computeMedianPanoramaInStrips(&strips, taken, kMedianMargin, kW, kH, fastPano.cols, rows,
                                       budget, stripRows);
    EXPECT_TRUE(SameBits(strips, expected));
  }
}

TEST(FillDifferential, RenderedSurveyMatchesTheStraightforwardPathsAndStripFills) {
  ExpectFastPathsMatch(RenderedSurvey(), true);
}

TEST(FillDifferential, RandomTiltedHomographiesMatchTheStraightforwardPaths) {
  for (uint32_t seed : {1u, 2u, 3u, 11u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ExpectFastPathsMatch(RandomHomographies(seed), false);
  }
}

}  // namespace
