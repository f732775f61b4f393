// Gaussian weight table, weighted mean, weight map and per-channel median.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/core.hpp>
#include <vector>

#include "composition/composition.hpp"
#include "tests/support/test_support.hpp"

namespace {

using testsupport::Translation;

constexpr int kW = 640, kH = 480;
constexpr float kAlpha = 0.5f;

TEST(GaussianWeights, TableOf640x480PeaksAtCentreAndFallsToTheCorners) {
  Composition comp;
  comp.InitializeWeights(kW, kH);
  ASSERT_TRUE(comp.weights.size() == cv::Size(kW, kH) && comp.weights.type() == CV_64FC1);
  // s = 140: exp(-(320^2 + 240^2) / (2 * 140^2)).
  EXPECT_NEAR(comp.weights.at<double>(0, 0), std::exp(-160000.0 / 39200.0), 1e-12);
  // Symmetric about the centre pixel, and largest there.
  EXPECT_TRUE(comp.weights.at<double>(240, 320 - 17) == comp.weights.at<double>(240, 320 + 17) &&
              comp.weights.at<double>(240 - 9, 320) == comp.weights.at<double>(240 + 9, 320));
  double lo = 0, hi = 0;
  cv::minMaxLoc(comp.weights, &lo, &hi);
  EXPECT_TRUE(hi == 1.0 && lo > 0.0 && comp.weights.at<double>(240, 320) == 1.0) << lo << " " << hi;

  // Built once: a later call, even with another size, keeps the table.
  comp.InitializeWeights(100, 50);
  EXPECT_EQ(comp.weights.size(), cv::Size(kW, kH));
}

// Reference all 200; a black frame whose top-left corner lands on the
// reference's centre, so that pixel mixes weights 1 and ~0.0169.
TEST(MeanPanorama, WeightedMeanTruncatesLeavesUncoveredBlackAndScalesTheWeightMap) {
  Composition comp;
  cv::Mat pano, map;
  comp.set_InitValues(), comp.InitializeWeights(kW, kH);
  ASSERT_TRUE(comp.Warping(&pano, cv::Mat(kH, kW, CV_8UC3, cv::Scalar::all(200)),
                           cv::Mat::zeros(kH, kW, CV_8UC3), Translation(-320, -240),
                           Translation(320, 240), 1, 1, kAlpha, kW, kH));
  // Right edge is the last corner's own column: 639 + 320.
  ASSERT_EQ(pano.size(), cv::Size(959, 719));
  EXPECT_NEAR(comp.weightsAcum.at<double>(240, 320), 1.0 + comp.weights.at<double>(0, 0), 1e-12);

  comp.computeMeanPanorama(&pano);
  ASSERT_EQ(pano.type(), CV_8UC3);
  EXPECT_EQ(pano.at<cv::Vec3b>(240, 320), cv::Vec3b(196, 196, 196));  // 200 / 1.0169
  // Covered by the reference alone: its own value (or one less by truncation).
  EXPECT_TRUE(pano.at<cv::Vec3b>(10, 10)[0] >= 199 && pano.at<cv::Vec3b>(10, 10)[0] <= 200);
  // Covered by the black frame alone; the top right lies outside both frames.
  EXPECT_TRUE(pano.at<cv::Vec3b>(600, 900) == cv::Vec3b(0, 0, 0) &&
              pano.at<cv::Vec3b>(50, 900) == cv::Vec3b(0, 0, 0));
  EXPECT_EQ(comp.weightsAcum.at<double>(50, 900), 0.0);
  // The weight map spans 0 (uncovered) to 255 (the most weighted pixel); the
  // black frame's centre alone has weight 1: scaled and rounded.
  double highest = 0;
  cv::Point brightest;
  cv::minMaxLoc(comp.weightsAcum, nullptr, &highest, nullptr, &brightest);
  comp.copyWeightsToImage(&map);
  ASSERT_TRUE(map.type() == CV_8UC1 && map.size() == pano.size());
  EXPECT_TRUE(map.at<uchar>(brightest) == 255 && map.at<uchar>(50, 900) == 0);
  EXPECT_EQ(map.at<uchar>(480, 640), cvRound(255.0 / highest));
  Composition().copyWeightsToImage(&map);  // nothing composed, no map
  EXPECT_TRUE(map.empty());
}

// Per pixel and channel: the median over the frames whose mask is at least
// 128; none gives black. Canvas column k holds case k; a case with fewer
// frames leaves the others uncovered there.
TEST(Median, PerChannelMedianOverCoveringFramesOnly) {
  using Sample = std::pair<cv::Vec3b, uchar>;  // value, mask
  const std::pair<std::vector<Sample>, cv::Vec3b> cases[] = {
      {{{{100, 100, 10}, 255}, {{103, 100, 41}, 255}}, {101, 100, 25}},
      {{{{30, 5, 1}, 255},
        {{10, 6, 2}, 128},
        {{200, 200, 200}, 127},
        {{41, 7, 3}, 255},
        {{20, 8, 4}, 200},
        {{0, 0, 0}, 0}},
       {25, 6, 2}},
      {{{{9, 99, 199}, 0}, {{17, 33, 250}, 255}}, {17, 33, 250}},
      {{{{9, 99, 199}, 0}, {{17, 33, 250}, 127}}, {0, 0, 0}}};
  std::vector<cv::Mat> images, masks;
  for (int i = 0; i < 6; ++i)
    images.push_back(cv::Mat::zeros(2, 4, CV_8UC3)), masks.push_back(cv::Mat::zeros(2, 4, CV_8UC1));
  for (int k = 0; k < 4; ++k) {
    for (size_t i = 0; i < cases[k].first.size(); ++i) {
      images[i].at<cv::Vec3b>(1, k) = cases[k].first[i].first,
                                 masks[i].at<uchar>(1, k) = cases[k].first[i].second;
    }
  }
  Composition comp;
  cv::Mat out;
  comp.computeMedianPanorama(&out, images, masks);
  ASSERT_TRUE(out.type() == CV_8UC3 && out.size() == cv::Size(4, 2));
  for (int k = 0; k < 4; ++k)
    EXPECT_TRUE(out.at<cv::Vec3b>(1, k) == cases[k].second &&
                out.at<cv::Vec3b>(0, k) == cv::Vec3b())
        << k;
  comp.computeMedianPanorama(&out, {}, {});
  EXPECT_TRUE(out.empty());
  // The median of sorted values on its own: one value is its own median, none gives 0.
  EXPECT_TRUE(get_median({7}) == 7 && get_median({}) == 0 && get_median({1, 2, 9, 10}) == 5);
}

}  // namespace
