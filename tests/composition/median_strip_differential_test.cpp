// The median composed in horizontal strips against the straightforward one
// (a full-canvas fill per key frame, then the per-pixel median over all of
// them): the panoramas must agree to the bit for every strip height, on
// rendered surveys and on seeded random homographies, tilted ones included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <opencv2/core.hpp>
#include <random>
#include <string>
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
constexpr std::int64_t kNoBudget = 0;  // with an explicit strip height the budget is unused

bool SameBits(const cv::Mat& a, const cv::Mat& b) {
  if (a.size() != b.size() || a.type() != b.type()) return false;
  for (int r = 0; r < a.rows; ++r) {
    if (std::memcmp(a.ptr(r), b.ptr(r), a.cols * a.elemSize()) != 0) return false;
  }
  return true;
}

// The straightforward fill of one key frame on the whole canvas: every pixel
// from the frame's two-corner box corner to the canvas's far corner.
void StraightforwardFill(const Composition& c, cv::Mat& fpano, cv::Mat& fmask,
                         const Composition::MedianFrame& f) {
  const cv::Mat g = f.H_FrameToRef.clone();
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0, x2 = 0, y2 = 0, x3 = 0, y3 = 0;
  ApplyHomography(&x0, &y0, 0, 0, g.ptr<double>());
  ApplyHomography(&x1, &y1, kW - 1, kH - 1, g.ptr<double>());
  ApplyHomography(&x2, &y2, 0, kH - 1, g.ptr<double>());
  ApplyHomography(&x3, &y3, kW - 1, 0, g.ptr<double>());
  const int cs = static_cast<int>(std::max<int64_t>(0, int64_t{std::min(x0, x2)} - c.minposAcum_x));
  const int rs = static_cast<int>(std::max<int64_t>(0, int64_t{std::min(y0, y3)} - c.minposAcum_y));
  const cv::Mat h = f.H_RefToFrame.clone();
  for (int r = rs; r < fpano.rows; ++r) {
    for (int col = cs; col < fpano.cols; ++col) {
      int x = 0, y = 0;
      ApplyHomography(&x, &y, col + c.minposAcum_x, r + c.minposAcum_y, h.ptr<double>());
      if (!(x >= kMedianMargin && x < kW - 1 - kMedianMargin && y >= kMedianMargin &&
            y < kH - 1 - kMedianMargin)) {
        continue;
      }
      fpano.at<cv::Vec3b>(r, col) = f.image.at<cv::Vec3b>(y, x);
      fmask.at<uchar>(r, col) = 255;
    }
  }
}

// The straightforward median: per pixel and channel, sort the covered
// samples; an even count takes the floor of the two middle values' mean.
cv::Mat StraightforwardMedian(const Composition& c, const std::vector<Composition::MedianFrame>& frames,
                              cv::Size canvas) {
  std::vector<cv::Mat> images, masks;
  for (const Composition::MedianFrame& f : frames) {
    images.push_back(cv::Mat::zeros(canvas, CV_8UC3));
    masks.push_back(cv::Mat::zeros(canvas, CV_8UC1));
    StraightforwardFill(c, images.back(), masks.back(), f);
  }
  cv::Mat out = cv::Mat::zeros(canvas, CV_8UC3);
  for (int r = 0; r < canvas.height; ++r) {
    for (int col = 0; col < canvas.width; ++col) {
      for (int k = 0; k < 3; ++k) {
        std::vector<int> values;
        for (size_t i = 0; i < images.size(); ++i) {
          if (masks[i].at<uchar>(r, col) >= 128) values.push_back(images[i].at<cv::Vec3b>(r, col)[k]);
        }
        if (values.empty()) continue;
        std::sort(values.begin(), values.end());
        const size_t m = values.size();
        out.at<cv::Vec3b>(r, col)[k] = static_cast<uchar>(
            m % 2 == 1 ? values[m / 2] : (values[m / 2 - 1] + values[m / 2]) / 2);
      }
    }
  }
  return out;
}

struct Survey {
  cv::Mat ref;
  std::vector<cv::Mat> frames, refToFrame, frameToRef;
};

// A serpentine survey over the photo: two rows of passes, with rotation and
// zoom, so that the canvas grows on every side and most pixels are covered
// by several frames (odd and even counts).
Survey RenderedSerpentine() {
  const cv::Mat photo = testsupport::TestPhoto();
  Survey s;
  const cv::Size size(kW, kH);
  const render::CameraPose refPose{1280, 800};
  const cv::Matx33d photoToRef = render::PhotoToFrame(refPose, size);
  s.ref = render::RenderFrame(photo, photoToRef, size);
  for (int pass = 0; pass < 3; ++pass) {
    for (int step = 0; step < 6; ++step) {
      const int along = (pass % 2 == 0) ? step : 5 - step;
      render::CameraPose pose = refPose;
      pose.centreX += -150.3 + 61.7 * along;
      pose.centreY += -70.9 + 69.1 * pass + 3.3 * step;
      pose.angle = 0.04 * (step - 2.5);
      pose.zoom = 1.0 + 0.03 * pass;
      const cv::Matx33d photoToFrame = render::PhotoToFrame(pose, size);
      s.frames.push_back(render::RenderFrame(photo, photoToFrame, size));
      s.refToFrame.push_back(cv::Mat(render::FrameToFrame(photoToRef, photoToFrame)));
      s.frameToRef.push_back(s.refToFrame.back().inv(cv::DECOMP_LU));
    }
  }
  return s;
}

// Seeded random homographies with perspective terms strong enough that some
// frames' horizons cross the canvas (their footprints are not trusted).
Survey RandomHomographies(uint32_t seed, int count) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> shift(-200.0, 200.0), small(-0.3, 0.3),
      tilt(-0.004, 0.004);
  const cv::Mat photo = testsupport::TestPhoto();
  Survey s;
  s.ref = photo(cv::Rect(900, 500, kW, kH)).clone();
  for (int i = 0; i < count; ++i) {
    cv::Mat frameToRef = (cv::Mat_<double>(3, 3) << 1 + small(rng), small(rng), shift(rng),
                          small(rng), 1 + small(rng), shift(rng), tilt(rng), tilt(rng), 1.0);
    s.frames.push_back(photo(cv::Rect(400 + 40 * i, 300 + 20 * i, kW, kH)).clone());
    s.frameToRef.push_back(frameToRef);
    s.refToFrame.push_back(frameToRef.inv(cv::DECOMP_LU));
  }
  return s;
}

// Builds the mean canvas (which fixes the canvas size and origin) and the
// median's frame list: the reference first, then the frames the canvas took.
std::vector<Composition::MedianFrame> ComposeCanvas(const Survey& s, Composition& c, cv::Mat& pano) {
  c.set_InitValues();
  c.InitializeWeights(kW, kH);
  c.StartCanvas(&pano, s.ref, kW, kH);
  const cv::Mat identity = cv::Mat::eye(3, 3, CV_64F);
  std::vector<Composition::MedianFrame> frames{{s.ref, identity, identity}};
  for (size_t i = 0; i < s.frames.size(); ++i) {
    if (c.Warping(&pano, s.ref, s.frames[i], s.refToFrame[i], s.frameToRef[i], 1, 1, kAlpha, kW,
                  kH)) {
      frames.push_back({s.frames[i], s.refToFrame[i], s.frameToRef[i]});
    }
  }
  return frames;
}

void ExpectStripMedianMatches(const Survey& s) {
  Composition c;
  cv::Mat pano;
  const std::vector<Composition::MedianFrame> frames = ComposeCanvas(s, c, pano);
  ASSERT_GE(frames.size(), 3u);
  const cv::Mat expected = StraightforwardMedian(c, frames, pano.size());
  ASSERT_GT(cv::countNonZero(expected.reshape(1)), 0);

  // Strip heights: one row, a few rows (not dividing the canvas height),
  // exactly the canvas, taller than the canvas.
  for (int stripRows : {1, 3, 7, 64, pano.rows, pano.rows + 50}) {
    SCOPED_TRACE("strip rows " + std::to_string(stripRows));
    cv::Mat strips;
    c.computeMedianPanoramaInStrips(&strips, frames, kMedianMargin, kW, kH, pano.cols, pano.rows,
                                    kNoBudget, stripRows);
    EXPECT_TRUE(SameBits(strips, expected));
  }
  // Heights chosen from a budget: the mean canvas's preview and mask, and a
  // budget too small for a single row (one row per strip then).
  for (std::int64_t budget : {static_cast<std::int64_t>(pano.total()) * 4, std::int64_t{1}}) {
    SCOPED_TRACE("budget " + std::to_string(budget));
    cv::Mat strips;
    c.computeMedianPanoramaInStrips(&strips, frames, kMedianMargin, kW, kH, pano.cols, pano.rows,
                                    budget);
    EXPECT_TRUE(SameBits(strips, expected));
  }
}

TEST(MedianStripDifferential, RenderedSerpentineMatchesTheFullImageMedian) {
  ASSERT_FALSE(testsupport::TestPhoto().empty());
  ExpectStripMedianMatches(RenderedSerpentine());
}

TEST(MedianStripDifferential, RandomTiltedHomographiesMatchTheFullImageMedian) {
  ASSERT_FALSE(testsupport::TestPhoto().empty());
  for (uint32_t seed : {11u, 12u, 13u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ExpectStripMedianMatches(RandomHomographies(seed, 7));
  }
}

// The strip form of the fill writes, into each strip, exactly the rows the
// full form writes; a frame whose footprint misses the strip leaves it zero.
TEST(MedianStripDifferential, StripFillEqualsTheFullFillRowByRow) {
  ASSERT_FALSE(testsupport::TestPhoto().empty());
  const Survey s = RenderedSerpentine();
  Composition c;
  cv::Mat pano;
  const std::vector<Composition::MedianFrame> frames = ComposeCanvas(s, c, pano);
  for (size_t i = 0; i < frames.size(); i += 4) {
    SCOPED_TRACE("frame " + std::to_string(i));
    cv::Mat full = cv::Mat::zeros(pano.size(), CV_8UC3), fullMask = cv::Mat::zeros(pano.size(), CV_8UC1);
    c.FillNewPan_RGB_FPano(full, fullMask, frames[i].image, frames[i].H_RefToFrame,
                           frames[i].H_FrameToRef, kMedianMargin, kW, kH, pano.cols, pano.rows);
    const cv::Range rows = c.FPanoRows(frames[i].H_RefToFrame, frames[i].H_FrameToRef,
                                       kMedianMargin, kW, kH, pano.cols, pano.rows);
    ASSERT_LT(rows.start, rows.end);
    // Nothing is written outside the reported row range.
    EXPECT_EQ(cv::countNonZero(fullMask.rowRange(0, rows.start)), 0);
    EXPECT_EQ(cv::countNonZero(fullMask.rowRange(rows.end, pano.rows)), 0);
    for (int stripRows : {1, 5, 17}) {
      for (int begin = 0; begin < pano.rows; begin += stripRows) {
        const int end = std::min(pano.rows, begin + stripRows);
        cv::Mat strip = cv::Mat::zeros(end - begin, pano.cols, CV_8UC3);
        cv::Mat stripMask = cv::Mat::zeros(end - begin, pano.cols, CV_8UC1);
        c.FillNewPan_RGB_FPano(strip, stripMask, frames[i].image, frames[i].H_RefToFrame,
                               frames[i].H_FrameToRef, kMedianMargin, kW, kH, pano.cols,
                               pano.rows, begin, end);
        ASSERT_TRUE(SameBits(strip, full.rowRange(begin, end))) << "rows " << begin;
        ASSERT_TRUE(SameBits(stripMask, fullMask.rowRange(begin, end))) << "rows " << begin;
      }
    }
  }
}

}  // namespace
