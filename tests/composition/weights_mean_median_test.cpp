// Gaussian weight table, weighted mean, weight map and per-channel median.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/core.hpp>
#include <vector>

#include "composition/composition.hpp"
#include "tests/support/test_support.hpp"

namespace {

using testsupport::Translation;

constexpr int kW = 640;
constexpr int kH = 480;
constexpr float kAlpha = 0.5f;

TEST(GaussianWeights, TableOf640x480PeaksAtCentreAndFallsToTheCorners) {
  Composition comp;
  comp.InitializeWeights(kW, kH);
  ASSERT_EQ(comp.weights.size(), cv::Size(kW, kH));
  ASSERT_EQ(comp.weights.type(), CV_64FC1);
  EXPECT_EQ(comp.weights.at<double>(240, 320), 1.0);
  // s = 140: exp(-(320^2 + 240^2) / (2 * 140^2)).
  EXPECT_NEAR(comp.weights.at<double>(0, 0), std::exp(-160000.0 / 39200.0), 1e-12);
  // Symmetric about the centre pixel, and largest there.
  EXPECT_EQ(comp.weights.at<double>(240, 320 - 17), comp.weights.at<double>(240, 320 + 17));
  EXPECT_EQ(comp.weights.at<double>(240 - 9, 320), comp.weights.at<double>(240 + 9, 320));
  double lo = 0, hi = 0;
  cv::minMaxLoc(comp.weights, &lo, &hi);
  EXPECT_EQ(hi, 1.0);
  EXPECT_GT(lo, 0.0);

  // Built once: a later call, even with another size, keeps the table.
  comp.InitializeWeights(100, 50);
  EXPECT_EQ(comp.weights.size(), cv::Size(kW, kH));
}

TEST(GaussianWeights, MultiplyByWeightsScalesEveryChannelWithinTheGivenSize) {
  Composition comp;
  comp.InitializeWeights(4, 2);
  cv::Mat image(3, 5, CV_64FC3, cv::Scalar(2, 4, 8));
  comp.MultiplyByWeights(&image, comp.weights, 4, 2);
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(image.at<cv::Vec3d>(i / 4, i % 4), cv::Vec3d(2, 4, 8) * comp.weights.at<double>(i / 4, i % 4));
  EXPECT_EQ(image.at<cv::Vec3d>(2, 1), cv::Vec3d(2, 4, 8));
  EXPECT_EQ(image.at<cv::Vec3d>(0, 4), cv::Vec3d(2, 4, 8));
}

// Reference all 200; a black frame whose top-left corner lands on the
// reference's centre, so that pixel mixes weights 1 and ~0.0169.
struct CentreCornerScene {
  Composition comp;
  cv::Mat pano;
  CentreCornerScene() {
    comp.set_InitValues();
    comp.InitializeWeights(kW, kH);
    const cv::Mat ref(kH, kW, CV_8UC3, cv::Scalar::all(200));
    const cv::Mat black = cv::Mat::zeros(kH, kW, CV_8UC3);
    EXPECT_TRUE(comp.Warping(&pano, ref, black, Translation(-320, -240), Translation(320, 240), 1,
                             1, kAlpha, kW, kH));
  }
};

TEST(MeanPanorama, WeightedMeanTruncatesAndLeavesUncoveredBlack) {
  CentreCornerScene scene;
  // Right edge is the last corner's own column: 639 + 320.
  ASSERT_EQ(scene.pano.size(), cv::Size(959, 719));
  const double sumAtCentre = scene.comp.weightsAcum.at<double>(240, 320);
  EXPECT_NEAR(sumAtCentre, 1.0 + scene.comp.weights.at<double>(0, 0), 1e-12);
  scene.comp.computeMeanPanorama(&scene.pano);
  ASSERT_EQ(scene.pano.type(), CV_8UC3);
  EXPECT_EQ(scene.pano.at<cv::Vec3b>(240, 320), cv::Vec3b(196, 196, 196));  // 200 / 1.0169
  // Covered by the reference alone: its own value (or one less by truncation).
  const cv::Vec3b refOnly = scene.pano.at<cv::Vec3b>(10, 10);
  EXPECT_GE(refOnly[0], 199);
  EXPECT_LE(refOnly[0], 200);
  // Covered by the black frame alone.
  EXPECT_EQ(scene.pano.at<cv::Vec3b>(600, 900), cv::Vec3b(0, 0, 0));
  // Top right lies outside both frames.
  EXPECT_EQ(scene.comp.weightsAcum.at<double>(50, 900), 0.0);
  EXPECT_EQ(scene.pano.at<cv::Vec3b>(50, 900), cv::Vec3b(0, 0, 0));
}

TEST(MeanPanorama, MeanOfAllEqualSamplesIsThatValueOrOneLess) {
  Composition comp;
  comp.panoAcum = cv::Mat(2, 3, CV_64FC3);
  comp.weightsAcum = cv::Mat(2, 3, CV_64FC1);
  const double w[6] = {1.0, 0.0169, 0.3, 1e-5, 0.77, 0.123456};
  for (int i = 0; i < 6; ++i) {
    const double total = w[i] + 0.1 * (i + 1);
    comp.weightsAcum.at<double>(i / 3, i % 3) = total;
    comp.panoAcum.at<cv::Vec3d>(i / 3, i % 3) =
        cv::Vec3d(255 * w[i] + 255 * 0.1 * (i + 1), 7 * total, 0.0);
  }
  cv::Mat out;
  comp.computeMeanPanorama(&out);
  ASSERT_EQ(out.size(), cv::Size(3, 2));
  for (int i = 0; i < 6; ++i) {
    const cv::Vec3b v = out.at<cv::Vec3b>(i / 3, i % 3);
    EXPECT_GE(v[0], 254);
    EXPECT_GE(v[1], 6);
    EXPECT_LE(v[1], 7);
    EXPECT_EQ(v[2], 0);
  }
}

TEST(WeightMap, SpansZeroTo255WithTheMostWeightedPixelBrightest) {
  CentreCornerScene scene;
  double highest = 0;
  cv::Point brightest;
  cv::minMaxLoc(scene.comp.weightsAcum, nullptr, &highest, nullptr, &brightest);
  cv::Mat map;
  scene.comp.copyWeightsToImage(&map);
  ASSERT_EQ(map.type(), CV_8UC1);
  ASSERT_EQ(map.size(), scene.pano.size());
  EXPECT_EQ(map.at<uchar>(brightest), 255);
  EXPECT_EQ(map.at<uchar>(50, 900), 0);  // uncovered
  // The black frame's centre alone has weight 1: scaled and rounded.
  EXPECT_EQ(map.at<uchar>(480, 640), cvRound(255.0 / highest));
}

TEST(Median, GetMedianTakesTheMiddleOrFloorOfTheMiddleTwo) {
  const std::pair<std::vector<unsigned char>, int> cases[] = {
      {{7}, 7}, {{10, 11}, 10}, {{100, 103}, 101}, {{254, 255}, 254}, {{1, 2, 9}, 2}, {{10, 20, 30, 41}, 25}};
  for (const auto& [values, median] : cases) EXPECT_EQ(get_median(values), median);
}

// Per pixel and channel: the median over the frames whose mask is at least 128; none gives black.
TEST(Median, PerChannelMedianOverCoveringFramesOnly) {
  using Sample = std::pair<cv::Vec3b, uchar>;  // value, mask
  const std::pair<std::vector<Sample>, cv::Vec3b> cases[] = {
      {{{{100, 100, 10}, 255}, {{103, 100, 41}, 255}}, {101, 100, 25}},
      {{{{30, 5, 1}, 255}, {{10, 6, 2}, 128}, {{200, 200, 200}, 127}, {{41, 7, 3}, 255},
        {{20, 8, 4}, 200}, {{0, 0, 0}, 0}},
       {25, 6, 2}},
      {{{{9, 99, 199}, 0}, {{17, 33, 250}, 255}}, {17, 33, 250}},
      {{{{9, 99, 199}, 0}, {{17, 33, 250}, 127}}, {0, 0, 0}}};
  for (const auto& [samples, expected] : cases) {
    std::vector<cv::Mat> images, masks;
    for (const auto& [value, mask] : samples) {
      images.push_back(cv::Mat(1, 1, CV_8UC3, cv::Scalar(value[0], value[1], value[2])));
      masks.push_back(cv::Mat(1, 1, CV_8UC1, cv::Scalar(mask)));
    }
    Composition comp;
    cv::Mat out;
    comp.computeMedianPanorama(&out, images, masks);
    ASSERT_EQ(out.type(), CV_8UC3);
    EXPECT_EQ(out.at<cv::Vec3b>(0, 0), expected) << samples.size();
  }
}

TEST(Median, ImagesOfTheCanvasSizeGiveAMedianOfThatSize) {
  std::vector<cv::Mat> images, masks;
  for (int i = 0; i < 3; ++i) {
    images.push_back(cv::Mat(4, 6, CV_8UC3, cv::Scalar::all(10 * (i + 1))));
    masks.push_back(cv::Mat::zeros(4, 6, CV_8UC1));
  }
  masks[0].colRange(0, 4).setTo(255);
  masks[1].colRange(2, 6).setTo(255);
  masks[2].colRange(3, 6).setTo(255);
  Composition comp;
  cv::Mat out;
  comp.computeMedianPanorama(&out, images, masks);
  ASSERT_EQ(out.size(), cv::Size(6, 4));
  EXPECT_EQ(out.at<cv::Vec3b>(2, 0), cv::Vec3b(10, 10, 10));  // frame 0 alone
  EXPECT_EQ(out.at<cv::Vec3b>(2, 2), cv::Vec3b(15, 15, 15));  // 10, 20
  EXPECT_EQ(out.at<cv::Vec3b>(2, 3), cv::Vec3b(20, 20, 20));  // 10, 20, 30
  EXPECT_EQ(out.at<cv::Vec3b>(2, 5), cv::Vec3b(25, 25, 25));  // 20, 30

  comp.computeMedianPanorama(&out, {}, {});
  EXPECT_TRUE(out.empty());
}

}  // namespace
