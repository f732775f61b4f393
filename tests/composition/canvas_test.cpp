// Canvas growth, origin moves, nearest-pixel fill and the growth bound.
//
// Frames are 100 x 100 and shifted by whole pixels. Their pixel at (row r,
// column c) holds (c, r, tag), so every canvas sample names the frame pixel
// it came from.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "composition/composition.hpp"
#include "tests/support/test_support.hpp"

namespace {

using testsupport::Translation;

constexpr int kW = 100;
constexpr int kH = 100;
constexpr float kAlpha = 0.5f;  // the preview blend weight in use
constexpr double kSumTolerance = 1e-9;

cv::Mat CodedFrame(unsigned char tag) {
  cv::Mat f(kH, kW, CV_8UC3);
  for (int r = 0; r < kH; ++r)
    for (int c = 0; c < kW; ++c)
      f.at<cv::Vec3b>(r, c) = cv::Vec3b(static_cast<uchar>(c), static_cast<uchar>(r), tag);
  return f;
}

struct Canvas {
  Composition comp;
  cv::Mat pano;
  cv::Mat ref = CodedFrame(1);

  Canvas() {
    comp.set_InitValues();
    comp.InitializeWeights(kW, kH);
  }
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

void ExpectLayersHaveCanvasSize(const Canvas& cv) {
  for (const cv::Mat* m : {&cv.pano, &cv.comp.mask, &cv.comp.panoAcum, &cv.comp.weightsAcum})
    EXPECT_EQ(m->size(), cv::Size(cv.comp.pano_imageW, cv.comp.pano_imageH));
}

// Copies of the preview, sums, weights and mask, to compare canvas states bit for bit.
std::vector<cv::Mat> Layers(const Canvas& cv) {
  return {cv.pano.clone(), cv.comp.panoAcum.clone(), cv.comp.weightsAcum.clone(), cv.comp.mask.clone()};
}
void ExpectSameLayers(const Canvas& cv, const std::vector<cv::Mat>& expected) {
  const std::vector<cv::Mat> now = Layers(cv);
  for (size_t i = 0; i < now.size(); ++i) EXPECT_TRUE(testsupport::SameBits(now[i], expected[i])) << i;
}

// Median fill of a coded frame into a fresh canvas of cols x rows; returns {fpano, fmask}.
std::pair<cv::Mat, cv::Mat> MedianFill(Composition& comp, unsigned char tag, const cv::Mat& refToFrame,
                                       const cv::Mat& frameToRef, int margin, int cols, int rows) {
  cv::Mat fpano = cv::Mat::zeros(rows, cols, CV_8UC3), fmask = cv::Mat::zeros(rows, cols, CV_8UC1);
  comp.FillNewPan_RGB_FPano(fpano, fmask, CodedFrame(tag), refToFrame, frameToRef, margin, kW, kH, cols, rows);
  return {fpano, fmask};
}

TEST(CanvasGrowth, IdentityOnEmptyCanvasKeepsFrameSizeAndLastRowColumnFromReference) {
  Canvas cv;
  ASSERT_TRUE(cv.AddShifted(CodedFrame(201), 0, 0));
  EXPECT_EQ(cv::Vec4i(cv.comp.pano_imageW, cv.comp.pano_imageH, cv.comp.minposAcum_x, cv.comp.minposAcum_y),
            cv::Vec4i(kW, kH, 0, 0));
  ExpectLayersHaveCanvasSize(cv);
  EXPECT_EQ(cv::countNonZero(cv.comp.mask == 255), kW * kH);
  // Interior: preview blend of 1 and 201 at alpha 0.5; sums of both samples.
  EXPECT_EQ(cv.Pix(40, 70), cv::Vec3b(70, 40, 101));
  EXPECT_NEAR(cv.Weight(40, 70), 2 * cv.FrameWeight(40, 70), kSumTolerance);
  EXPECT_NEAR(cv.comp.panoAcum.at<cv::Vec3d>(40, 70)[2], 202 * cv.FrameWeight(40, 70),
              kSumTolerance);
  // The frame's last column and row are never sampled: the reference stays.
  EXPECT_EQ(cv.Pix(40, kW - 1), cv::Vec3b(kW - 1, 40, 1));
  EXPECT_EQ(cv.Pix(kH - 1, 40), cv::Vec3b(40, kH - 1, 1));
  EXPECT_NEAR(cv.Weight(kH - 1, 40), cv.FrameWeight(kH - 1, 40), kSumTolerance);
}

TEST(CanvasGrowth, LeftThenRightFrameGrowAndSampleAsWorkedOut) {
  Canvas cv;
  // 30 px left of the reference: corners map to -29 (rounding toward zero) and 69.
  ASSERT_TRUE(cv.AddShifted(CodedFrame(2), -30, 0));
  EXPECT_EQ(cv::Vec6i(cv.comp.minpos_x, cv.comp.new_imageW, cv.comp.pano_imageW, cv.comp.pano_imageH,
                      cv.comp.minposAcum_x, cv.comp.minposAcum_y),
            cv::Vec6i(-29, 129, 129, kH, -29, 0));
  ExpectLayersHaveCanvasSize(cv);
  // Canvas column 0 is reference x -29: frame column 1 (column 0 is not drawn).
  for (int r : {0, 50, 98}) EXPECT_EQ(cv.Pix(r, 0), cv::Vec3b(1, r, 2)) << r;
  // The frame's last row is not sampled, and nothing else covers it there.
  EXPECT_EQ(cv.comp.mask.at<uchar>(kH - 1, 0), 0);
  EXPECT_EQ(cv.Pix(kH - 1, 0), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(cv.Weight(kH - 1, 0), 0.0);
  // The old canvas moved 29 columns right; beyond the new frame it is untouched.
  for (int x : {69, 80, 99}) EXPECT_EQ(cv.Pix(20, 29 + x), cv::Vec3b(x, 20, 1)) << x;
  // Reference x 0 is covered by both: blend of columns 0 and 30.
  EXPECT_EQ(cv.Pix(20, 29), cv::Vec3b(15, 20, 1));
  EXPECT_NEAR(cv.Weight(20, 29), cv.FrameWeight(20, 0) + cv.FrameWeight(20, 30), kSumTolerance);

  // 50 px right of the reference.
  ASSERT_TRUE(cv.AddShifted(CodedFrame(3), 50, 0));
  EXPECT_EQ(cv::Vec4i(cv.comp.minpos_x, cv.comp.new_imageW, cv.comp.pano_imageW, cv.comp.minposAcum_x),
            cv::Vec4i(79, 178, 178, -29));
  ExpectLayersHaveCanvasSize(cv);
  // The last column is reference x 148, frame column 98.
  EXPECT_EQ(cv.Pix(10, 177), cv::Vec3b(98, 10, 3));
  // Earlier content kept its place.
  EXPECT_EQ(cv.Pix(10, 0), cv::Vec3b(1, 10, 2));
  // Reference x 50 (canvas 79) gathers reference, left frame and right frame.
  EXPECT_NEAR(cv.Weight(50, 79),
              cv.FrameWeight(50, 50) + cv.FrameWeight(50, 80) + cv.FrameWeight(50, 0),
              kSumTolerance);
  EXPECT_NEAR(cv.comp.panoAcum.at<cv::Vec3d>(50, 79)[0],
              50 * cv.FrameWeight(50, 50) + 80 * cv.FrameWeight(50, 80), kSumTolerance);
  // Between the reference's end and the right frame nothing is uncovered.
  EXPECT_EQ(cv::countNonZero(cv.comp.mask.row(10)), 178);
}

TEST(CanvasGrowth, FrameAboveGrowsUpwardAndFrameInsideKeepsSize) {
  Canvas cv;
  ASSERT_TRUE(cv.AddShifted(CodedFrame(2), 0, -20));
  EXPECT_EQ(cv::Vec4i(cv.comp.minpos_y, cv.comp.pano_imageH, cv.comp.pano_imageW, cv.comp.minposAcum_y),
            cv::Vec4i(-19, 119, kW, -19));
  EXPECT_EQ(cv.Pix(0, 30), cv::Vec3b(30, 1, 2));      // canvas row 0: frame row 1
  EXPECT_EQ(cv.Pix(118, 30), cv::Vec3b(30, 99, 1));   // last row: the reference's
  ExpectLayersHaveCanvasSize(cv);

  const double before = cv.Weight(60, 40);
  ASSERT_TRUE(cv.AddShifted(CodedFrame(3), 0, -10));
  EXPECT_EQ(cv::Vec3i(cv.comp.pano_imageW, cv.comp.pano_imageH, cv.comp.minposAcum_y), cv::Vec3i(kW, 119, -19));
  // Canvas (60, 40) is reference (40, 41): frame pixel (40, 51).
  EXPECT_NEAR(cv.Weight(60, 40), before + cv.FrameWeight(51, 40), kSumTolerance);
  EXPECT_EQ(cv.comp.mask.at<uchar>(60, 40), 255);
  ExpectLayersHaveCanvasSize(cv);
}

TEST(CanvasFill, MaskOf128CountsAsCoveredAnd127DoesNot) {
  Composition comp;
  comp.InitializeWeights(kW, kH);
  comp.Alpha_Blending = kAlpha;
  comp.newPano = cv::Mat(kH, kW, CV_8UC3, cv::Scalar::all(100));
  comp.newMask = cv::Mat::zeros(kH, kW, CV_8UC1);
  comp.newMask.col(10).setTo(127);
  comp.newMask.col(11).setTo(128);
  comp.newPanoAcum = cv::Mat::zeros(kH, kW, CV_64FC3);
  comp.newPanoAcum.col(11).setTo(cv::Scalar::all(5.0));
  comp.newWeightsAcum = cv::Mat::zeros(kH, kW, CV_64FC1);
  comp.newWeightsAcum.col(11).setTo(0.5);
  const cv::Mat frame(kH, kW, CV_8UC3, cv::Scalar::all(201));
  comp.FillNewPan_RGB(frame, Translation(0, 0), 0, kW, kH);

  // Column 10 (mask 127) is replaced and its sums restart; column 11 (128) blends, 150.5 truncated.
  for (const auto& [c, value, mask, sum0, weight0] :
       {std::tuple{10, 201, 255, 0.0, 0.0}, std::tuple{11, 150, 128, 5.0, 0.5}}) {
    const double w = comp.weights.at<double>(40, c);
    EXPECT_EQ(comp.newPano.at<cv::Vec3b>(40, c), cv::Vec3b::all(static_cast<uchar>(value))) << c;
    EXPECT_EQ(comp.newMask.at<uchar>(40, c), mask) << c;
    EXPECT_NEAR(comp.newPanoAcum.at<cv::Vec3d>(40, c)[1], sum0 + 201 * w, kSumTolerance) << c;
    EXPECT_NEAR(comp.newWeightsAcum.at<double>(40, c), weight0 + w, kSumTolerance) << c;
  }
}

TEST(CanvasFill, MedianFillWithMarginFiveSamplesInteriorOnly) {
  Composition comp;
  comp.set_InitValues();
  const auto [fpano, fmask] = MedianFill(comp, 9, Translation(0, 0), Translation(0, 0), 5, kW, kH);
  // Columns and rows 5 ... w - 7.
  const cv::Rect sampled(5, 5, kW - 11, kH - 11);
  EXPECT_EQ(cv::countNonZero(fmask), sampled.area());
  EXPECT_EQ(cv::countNonZero(fmask(sampled) == 255), sampled.area());
  EXPECT_TRUE(testsupport::SameBits(fpano(sampled), CodedFrame(9)(sampled)));
  EXPECT_EQ(fpano.at<cv::Vec3b>(4, 50), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(fpano.at<cv::Vec3b>(50, kW - 6), cv::Vec3b(0, 0, 0));
}

TEST(CanvasFill, MedianFillOfFrameReachingLeftOfCanvasStartsAtColumnZero) {
  Composition comp;
  comp.set_InitValues();
  comp.minposAcum_x = -29;  // canvas column 0 is reference x -29
  // Frame 40 px left of the reference: its box starts 10 columns before the canvas.
  const auto [fpano, fmask] = MedianFill(comp, 4, Translation(40, 0), Translation(-40, 0), 0, 129, kH);
  EXPECT_EQ(fpano.at<cv::Vec3b>(30, 0), cv::Vec3b(11, 30, 4));   // reference x -29
  EXPECT_EQ(fpano.at<cv::Vec3b>(30, 87), cv::Vec3b(98, 30, 4));  // reference x 58
  EXPECT_EQ(fmask.at<uchar>(30, 88), 0);                          // frame column 99
  EXPECT_EQ(cv::countNonZero(fmask), 88 * (kH - 1));
}

TEST(CanvasFill, ScanStartsAtTheTwoCornerBoxCorner) {
  // A mirror image: the left corners land on reference x 99, the right ones
  // on 0, so the box's left edge is 99 and only that column is scanned.
  const cv::Mat mirror = (cv::Mat_<double>(3, 3) << -1, 0, kW - 1, 0, 1, 0, 0, 0, 1);
  Composition comp;
  comp.set_InitValues();
  const auto [fpano, fmask] = MedianFill(comp, 6, mirror, mirror, 0, kW, kH);
  EXPECT_EQ(cv::countNonZero(fmask), kH - 1);
  EXPECT_EQ(cv::countNonZero(fmask.col(kW - 1)), kH - 1);
  EXPECT_EQ(fpano.at<cv::Vec3b>(30, kW - 1), cv::Vec3b(0, 30, 6));

  Canvas cv;
  ASSERT_TRUE(cv.AddWith(CodedFrame(6), mirror, mirror));
  EXPECT_EQ(cv.comp.pano_imageW, kW);
  EXPECT_EQ(cv.comp.minpos_x, kW - 1);
  EXPECT_NEAR(cv.Weight(30, kW - 1), cv.FrameWeight(30, kW - 1) + cv.FrameWeight(30, 0),
              kSumTolerance);
  EXPECT_NEAR(cv.Weight(30, kW - 2), cv.FrameWeight(30, kW - 2), kSumTolerance);
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
  const cv::Mat huge = (cv::Mat_<double>(3, 3) << 1000, 0, 0, 0, 1000, 0, 0, 0, 1);
  const cv::Mat wide = (cv::Mat_<double>(3, 3) << 100, 0, 0, 0, 100, 0, 0, 0, 1);  // area only
  const cv::Mat singular = cv::Mat::zeros(3, 3, CV_64F);
  // The inverse of a near-singular reference-to-frame map, as the walks compute it.
  const cv::Mat nearSingularRefToFrame =
      (cv::Mat_<double>(3, 3) << 1, 1, 0, 1, 1 + 1e-9, 0, 0, 0, 1);
  const std::pair<cv::Mat, std::string> cases[] = {
      {huge, "vmosaic: key frame skipped: the canvas would grow to 99029x99000 pixels\n"},
      {wide, "vmosaic: key frame skipped: the canvas would grow to 9929x9900 pixels\n"},
      {singular, ""},
      {nearSingularRefToFrame.inv(cv::DECOMP_LU), ""}};
  for (const auto& [frameToRef, message] : cases) {
    cv::Mat refToFrame;
    cv::invert(frameToRef, refToFrame, cv::DECOMP_LU);
    cv.comp.setOperator(testsupport::StdStreams());
    testing::internal::CaptureStderr();
    const bool added = cv.AddWith(CodedFrame(7), refToFrame, frameToRef);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(added) << frameToRef;
    if (!message.empty()) { EXPECT_EQ(err, message); }
    EXPECT_EQ(err.rfind("vmosaic: key frame skipped: the canvas would grow to ", 0), 0u) << err;
    // Nothing huge was allocated and the canvas state is as before.
    EXPECT_LE(cv.comp.newPano.total(), before[0].total());
    EXPECT_EQ(cv::Vec4i(cv.comp.pano_imageW, cv.comp.pano_imageH, cv.comp.minposAcum_x, cv.comp.minposAcum_y),
              cv::Vec4i(129, kH, -29, 0));
    ExpectSameLayers(cv, before);
  }

  ASSERT_TRUE(cv.AddShifted(CodedFrame(3), 50, 0));
  EXPECT_EQ(cv.comp.pano_imageW, 178);
  ExpectSameLayers(cv, Layers(control));
}

TEST(CanvasBound, DegenerateFirstFrameLeavesTheReferenceCanvas) {
  Canvas cv;
  const cv::Mat huge = (cv::Mat_<double>(3, 3) << 1000, 0, 0, 0, 1000, 0, 0, 0, 1);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(cv.AddWith(CodedFrame(7), huge.inv(), huge));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(cv.comp.ban_initSize, 0);
  EXPECT_TRUE(testsupport::SameBits(cv.pano, cv.ref));
  ExpectLayersHaveCanvasSize(cv);

  ASSERT_TRUE(cv.AddShifted(CodedFrame(2), -30, 0));
  EXPECT_EQ(cv.comp.pano_imageW, 129);
  EXPECT_EQ(cv.Pix(20, 0), cv::Vec3b(1, 20, 2));
}

TEST(CanvasStart, NewCompositionRestartsFromTheReference) {
  Canvas cv;
  ASSERT_TRUE(cv.AddShifted(CodedFrame(2), -30, 0));
  ASSERT_TRUE(cv.AddShifted(CodedFrame(3), 50, 0));
  const cv::Mat firstPano = cv.pano.clone();

  // Restart without releasing the grown canvas: it must not be cut down to
  // the frame size and reused; the start comes from the reference again.
  cv.comp.set_InitValues();
  ASSERT_TRUE(cv.AddShifted(CodedFrame(2), -30, 0));
  ASSERT_TRUE(cv.AddShifted(CodedFrame(3), 50, 0));
  EXPECT_TRUE(testsupport::SameBits(cv.pano, firstPano));

  // The start step alone, as for a reference that is the tree root.
  Composition alone;
  alone.set_InitValues();
  cv::Mat pano;
  alone.StartCanvas(&pano, cv.ref, kW, kH);
  EXPECT_EQ(alone.ban_initSize, 0);
  EXPECT_TRUE(testsupport::SameBits(pano, cv.ref));
  EXPECT_TRUE(testsupport::SameBits(alone.weightsAcum, alone.weights));
  EXPECT_NEAR(alone.panoAcum.at<cv::Vec3d>(50, 50)[0], 50.0, kSumTolerance);  // weight 1
  // The mean of the reference's centre alone is its own sample, exactly.
  alone.computeMeanPanorama(&pano);
  EXPECT_EQ(pano.at<cv::Vec3b>(50, 50), cv.ref.at<cv::Vec3b>(50, 50));
}

TEST(CanvasModes, TwoImageModeWarpsBesideTheReferenceAndOtherModesDoNothing) {
  Canvas cv;
  const cv::Mat frame = CodedFrame(5);
  // Frame pixel x shows reference x + 100.
  EXPECT_TRUE(cv.comp.Warping(&cv.pano, cv.ref, frame, Translation(-100, 0), Translation(100, 0), 1,
                              0, kAlpha, kW, kH));
  ASSERT_EQ(cv.pano.size(), cv::Size(2 * kW, kH));
  EXPECT_TRUE(testsupport::SameBits(cv.pano(cv::Rect(0, 0, kW, kH)), cv.ref));
  EXPECT_TRUE(testsupport::SameBits(cv.pano(cv::Rect(kW, 0, kW - 1, kH)), frame(cv::Rect(0, 0, kW - 1, kH))));
  EXPECT_TRUE(cv.comp.panoAcum.empty());

  const cv::Mat before = cv.pano.clone();
  EXPECT_TRUE(cv.comp.Warping(&cv.pano, cv.ref, frame, Translation(0, 0), Translation(0, 0), 1, 2,
                              kAlpha, kW, kH));
  EXPECT_TRUE(testsupport::SameBits(cv.pano, before));
  EXPECT_EQ(cv.comp.ban_initSize, 1);
}

TEST(CanvasModes, GreyCompositionBlendsOneChannelWithoutSums) {
  Composition comp;
  comp.set_InitValues();
  comp.InitializeWeights(kW, kH);
  const cv::Mat ref(kH, kW, CV_8UC1, cv::Scalar(10));
  const cv::Mat frame(kH, kW, CV_8UC1, cv::Scalar(31));
  cv::Mat pano;
  ASSERT_TRUE(comp.Warping(&pano, ref, frame, Translation(20, 0), Translation(-20, 0), 0, 1, kAlpha,
                           kW, kH));
  ASSERT_EQ(pano.type(), CV_8UC1);
  ASSERT_EQ(pano.size(), cv::Size(119, kH));
  EXPECT_EQ(pano.at<uchar>(50, 0), 31);    // frame only
  EXPECT_EQ(pano.at<uchar>(50, 60), 20);   // (10 + 31) / 2 truncated
  EXPECT_EQ(pano.at<uchar>(50, 118), 10);  // reference only
  EXPECT_TRUE(comp.panoAcum.empty());
}

}  // namespace
