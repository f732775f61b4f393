// Canvas growth, origin moves, nearest-pixel fill and the growth bound.
//
// Frames are 100 x 100 and shifted by whole pixels. Their pixel at (row r,
// column c) holds (c, r, tag), so every canvas sample names the frame pixel
// it came from.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <string>
#include <utility>
#include <vector>

#include "composition/composition.hpp"
#include "tests/support/test_support.hpp"

namespace {

using testsupport::Translation;

constexpr int kW = 100, kH = 100;
constexpr float kAlpha = 0.5f;  // the preview blend weight in use

cv::Mat Scale(double s) {
  return (cv::Mat_<double>(3, 3) << s, 0, 0, 0, s, 0, 0, 0, 1);
}
cv::Mat CodedFrame(unsigned char tag) {
  cv::Mat f(kH, kW, CV_8UC3);
  f.forEach<cv::Vec3b>([tag](cv::Vec3b& p, const int* rc) {
    p = cv::Vec3b(static_cast<uchar>(rc[1]), static_cast<uchar>(rc[0]), tag);
  });
  return f;
}

struct Canvas {
  Composition comp;
  cv::Mat pano;
  cv::Mat ref = CodedFrame(1);

  Canvas() { comp.set_InitValues(), comp.InitializeWeights(kW, kH); }
  // Adds a frame whose pixel (x, y) shows reference point (x + dx, y + dy).
  bool AddShifted(const cv::Mat& frame, int dx, int dy) {
    return AddWith(frame, Translation(-dx, -dy), Translation(dx, dy));
  }
  bool AddWith(const cv::Mat& frame, const cv::Mat& refToFrame, const cv::Mat& frameToRef) {
    return comp.Warping(&pano, ref, frame, refToFrame, frameToRef, 1, 1, kAlpha, kW, kH);
  }
  cv::Vec3b Pix(int r, int c) const { return pano.at<cv::Vec3b>(r, c); }
  double Weight(int r, int c) const { return comp.weightsAcum.at<double>(r, c); }
  double FrameWeight(int y, int x) const { return comp.weights.at<double>(y, x); }
};

// Copies of the preview, sums, weights and mask, to compare canvas states bit for bit.
std::vector<cv::Mat> Layers(const Canvas& cv) {
  return {cv.pano.clone(), cv.comp.panoAcum.clone(), cv.comp.weightsAcum.clone(),
          cv.comp.mask.clone()};
}
void ExpectSameLayers(const Canvas& cv, const std::vector<cv::Mat>& expected) {
  const std::vector<cv::Mat> now = Layers(cv);
  for (size_t i = 0; i < now.size(); ++i)
    EXPECT_TRUE(testsupport::SameBits(now[i], expected[i])) << i;
}

// Sizes and origins as worked out by hand; the pixels, sums and weights of
// every fill are checked bit for bit in the fill differential test.
TEST(CanvasGrowth, IdentityKeepsTheSizeFramesLeftRightAndAboveGrowItAsWorkedOut) {
  Canvas same;
  ASSERT_TRUE(same.AddShifted(CodedFrame(201), 0, 0));
  EXPECT_EQ(cv::Vec4i(same.comp.pano_imageW, same.comp.pano_imageH, same.comp.minposAcum_x,
                      same.comp.minposAcum_y),
            cv::Vec4i(kW, kH, 0, 0));
  // Interior: preview blend of 1 and 201 at alpha 0.5; the frame's last
  // column is never sampled: the reference stays.
  EXPECT_TRUE(same.Pix(40, 70) == cv::Vec3b(70, 40, 101) &&
              same.Pix(40, kW - 1) == cv::Vec3b(kW - 1, 40, 1));
  // 20 px above: the canvas grows upward to row -19 (canvas row 0 is frame
  // row 1); a frame inside then keeps the size.
  ASSERT_TRUE(same.AddShifted(CodedFrame(4), 0, -20));
  EXPECT_EQ(cv::Vec4i(same.comp.minpos_y, same.comp.pano_imageH, same.comp.pano_imageW,
                      same.comp.minposAcum_y),
            cv::Vec4i(-19, 119, kW, -19));
  EXPECT_EQ(same.Pix(0, 30), cv::Vec3b(30, 1, 4));
  ASSERT_TRUE(same.AddShifted(CodedFrame(3), 0, -10));
  EXPECT_EQ(cv::Vec3i(same.comp.pano_imageW, same.comp.pano_imageH, same.comp.minposAcum_y),
            cv::Vec3i(kW, 119, -19));

  Canvas cv;
  // 30 px left of the reference: corners map to -29 (rounding toward zero) and 69.
  ASSERT_TRUE(cv.AddShifted(CodedFrame(2), -30, 0));
  EXPECT_EQ(cv::Vec6i(cv.comp.minpos_x, cv.comp.new_imageW, cv.comp.pano_imageW,
                      cv.comp.pano_imageH, cv.comp.minposAcum_x, cv.comp.minposAcum_y),
            cv::Vec6i(-29, 129, 129, kH, -29, 0));
  // Canvas column 0 is reference x -29: frame column 1 (column 0 is not drawn);
  // the old canvas moved 29 columns right.
  EXPECT_TRUE(cv.Pix(50, 0) == cv::Vec3b(1, 50, 2) && cv.Pix(20, 29 + 99) == cv::Vec3b(99, 20, 1));
  // 50 px right of the reference: the last column is reference x 148, frame column 98.
  ASSERT_TRUE(cv.AddShifted(CodedFrame(3), 50, 0));
  EXPECT_EQ(
      cv::Vec4i(cv.comp.minpos_x, cv.comp.new_imageW, cv.comp.pano_imageW, cv.comp.minposAcum_x),
      cv::Vec4i(79, 178, 178, -29));
  EXPECT_TRUE(cv.Pix(10, 177) == cv::Vec3b(98, 10, 3) && cv.Pix(10, 0) == cv::Vec3b(1, 10, 2));

  // Sheared, a frame reaches lowest at its bottom-right corner: (99, 99)
  // maps to row 108.9, rounded to 109, and the canvas grows to 109 rows.
  Canvas tilted;
  const cv::Mat shear = (cv::Mat_<double>(3, 3) << 1, 0, 0, 0.1, 1, 0, 0, 0, 1);
  ASSERT_TRUE(tilted.AddWith(CodedFrame(5), shear.inv(), shear));
  EXPECT_EQ(cv::Vec2i(tilted.comp.pano_imageH, tilted.comp.minposAcum_y), cv::Vec2i(109, 0));
}

// Planned, the layers are allocated once, at the planned canvas, and hold
// the bits the growing canvas holds; a frame the bound refuses stays out of
// the plan as it stays out of the canvas.
TEST(CanvasGrowth, APlannedCanvasIsAllocatedOnceAndHoldsTheSameLayers) {
  std::vector<cv::Mat> framesToRef;
  for (const auto& [dx, dy] : {std::pair{-30, 0}, {50, 0}, {0, -20}, {-80, 40}, {140, -60}})
    framesToRef.push_back(Translation(dx, dy));
  framesToRef.insert(framesToRef.begin() + 2, Scale(1000));
  Canvas grown, planned;
  planned.comp.plannedCanvas = Composition::PlanCanvas(framesToRef, kW, kH);
  grown.comp.setOperator(testsupport::StdStreams());
  testing::internal::CaptureStderr();
  const uchar* storage = nullptr;
  bool grownMoved = false;
  for (size_t i = 0; i < framesToRef.size(); ++i) {
    const cv::Mat frame = CodedFrame(static_cast<unsigned char>(10 + i));
    const cv::Mat refToFrame = framesToRef[i].inv(cv::DECOMP_LU);
    const uchar* grownBefore = grown.pano.datastart;
    EXPECT_EQ(planned.AddWith(frame, refToFrame, framesToRef[i]),
              grown.AddWith(frame, refToFrame, framesToRef[i]));
    grownMoved = grownMoved || (i > 0 && grown.pano.datastart != grownBefore);
    if (i == 0)
      storage = planned.pano.datastart;
    EXPECT_EQ(planned.pano.datastart, storage) << i;
  }
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(grownMoved);  // without the plan, the layers moved
  ExpectSameLayers(planned, Layers(grown));
  const Composition& g = grown.comp;
  EXPECT_EQ(planned.comp.plannedCanvas,
            cv::Rect(g.minposAcum_x, g.minposAcum_y, g.pano_imageW, g.pano_imageH));
  EXPECT_EQ(planned.pano.dataend - storage,
            static_cast<std::ptrdiff_t>(planned.comp.plannedCanvas.area()) * 3);
}

TEST(CanvasBound, DegenerateFramesAreSkippedAndTheNextFrameComposesNormally) {
  Canvas control;
  ASSERT_TRUE(control.AddShifted(CodedFrame(2), -30, 0));
  ASSERT_TRUE(control.AddShifted(CodedFrame(3), 50, 0));

  Canvas cv;
  ASSERT_TRUE(cv.AddShifted(CodedFrame(2), -30, 0));
  const std::vector<cv::Mat> before = Layers(cv);

  // Each case: the homography into the reference plane and the expected
  // message (empty where the size depends on saturated coordinates).
  // The last: the inverse of a near-singular reference-to-frame map, as the walks compute it.
  const std::pair<cv::Mat, std::string> cases[] = {
      {Scale(1000), "vmosaic: key frame skipped: the canvas would grow to 99029x99000 pixels\n"},
      {Scale(100),
       "vmosaic: key frame skipped: the canvas would grow to 9929x9900 pixels\n"},  // area only
      {cv::Mat::zeros(3, 3, CV_64F), ""},
      {cv::Mat((cv::Mat_<double>(3, 3) << 1, 1, 0, 1, 1 + 1e-9, 0, 0, 0, 1)).inv(cv::DECOMP_LU),
       ""}};
  for (const auto& [frameToRef, message] : cases) {
    cv::Mat refToFrame;
    cv::invert(frameToRef, refToFrame, cv::DECOMP_LU);
    cv.comp.setOperator(testsupport::StdStreams());
    testing::internal::CaptureStderr();
    const bool added = cv.AddWith(CodedFrame(7), refToFrame, frameToRef);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(added) << frameToRef;
    EXPECT_TRUE(message.empty()
                    ? err.rfind("vmosaic: key frame skipped: the canvas would grow to ", 0) == 0
                    : err == message)
        << err;
    // Nothing huge was allocated and the canvas state is as before.
    EXPECT_LE(cv.comp.newPano.total(), before[0].total());
    EXPECT_EQ(cv::Vec4i(cv.comp.pano_imageW, cv.comp.pano_imageH, cv.comp.minposAcum_x,
                        cv.comp.minposAcum_y),
              cv::Vec4i(129, kH, -29, 0));
    ExpectSameLayers(cv, before);
  }

  ASSERT_TRUE(cv.AddShifted(CodedFrame(3), 50, 0));
  ExpectSameLayers(cv, Layers(control));
}

TEST(CanvasBound, DegenerateFirstFrameLeavesTheReferenceCanvas) {
  Canvas cv;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(cv.AddWith(CodedFrame(7), Scale(0.001), Scale(1000)));
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(cv.comp.ban_initSize == 0 && testsupport::SameBits(cv.pano, cv.ref));
  ASSERT_TRUE(cv.AddShifted(CodedFrame(2), -30, 0));
  EXPECT_TRUE(cv.comp.pano_imageW == 129 && cv.Pix(20, 0) == cv::Vec3b(1, 20, 2));
}

TEST(CanvasStart, NewCompositionRestartsFromTheReference) {
  Canvas cv;
  cv::Mat firstPano;
  // Restart without releasing the grown canvas: it must not be cut down to
  // the frame size and reused; the start comes from the reference again.
  for (int run = 0; run < 2; ++run) {
    if (run == 1)
      firstPano = cv.pano.clone(), cv.comp.set_InitValues();
    ASSERT_TRUE(cv.AddShifted(CodedFrame(2), -30, 0) && cv.AddShifted(CodedFrame(3), 50, 0));
  }
  EXPECT_TRUE(testsupport::SameBits(cv.pano, firstPano));
}

TEST(CanvasModes, TwoImageModeWarpsBesideTheReferenceAndOtherModesDoNothing) {
  Canvas cv;
  const cv::Mat frame = CodedFrame(5);
  // Frame pixel x shows reference x + 100.
  EXPECT_TRUE(cv.comp.Warping(&cv.pano, cv.ref, frame, Translation(-100, 0), Translation(100, 0), 1,
                              0, kAlpha, kW, kH));
  ASSERT_EQ(cv.pano.size(), cv::Size(2 * kW, kH));
  EXPECT_TRUE(testsupport::SameBits(cv.pano(cv::Rect(0, 0, kW, kH)), cv.ref) &&
              cv.comp.panoAcum.empty() &&
              testsupport::SameBits(cv.pano(cv::Rect(kW, 0, kW - 1, kH)),
                                    frame(cv::Rect(0, 0, kW - 1, kH))));
  const cv::Mat before = cv.pano.clone();
  EXPECT_TRUE(cv.comp.Warping(&cv.pano, cv.ref, frame, Translation(0, 0), Translation(0, 0), 1, 2,
                              kAlpha, kW, kH));
  EXPECT_TRUE(testsupport::SameBits(cv.pano, before) && cv.comp.ban_initSize == 1);
}

TEST(CanvasModes, GreyCompositionBlendsOneChannelWithoutSums) {
  Canvas cv;
  const cv::Mat ref(kH, kW, CV_8UC1, cv::Scalar(10)), frame(kH, kW, CV_8UC1, cv::Scalar(31));
  ASSERT_TRUE(cv.comp.Warping(&cv.pano, ref, frame, Translation(20, 0), Translation(-20, 0), 0, 1,
                              kAlpha, kW, kH));
  ASSERT_TRUE(cv.pano.type() == CV_8UC1 && cv.pano.size() == cv::Size(119, kH));
  // Frame only, (10 + 31) / 2 truncated, reference only.
  EXPECT_EQ(
      cv::Vec3i(cv.pano.at<uchar>(50, 0), cv.pano.at<uchar>(50, 60), cv.pano.at<uchar>(50, 118)),
      cv::Vec3i(31, 20, 10));
  EXPECT_TRUE(cv.comp.panoAcum.empty());
}

}  // namespace
