// The fidelity benchmark's yardstick on cases whose scores are known exactly.
#include "bench/fidelity_metrics.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "tools/render/scene_renderer.hpp"

namespace {

cv::Mat Scene() {
  cv::Mat scene;
  cv::resize(render::LoadScene("objects"), scene, cv::Size(320, 200), 0, 0, cv::INTER_AREA);
  return scene;
}

TEST(FidelityMetrics, PsnrIsCappedForIdenticalImagesAndExactForAUniformError) {
  const cv::Mat truth = Scene(), all(truth.size(), CV_8UC1, cv::Scalar(255));
  EXPECT_EQ(fidelity::Psnr(truth, truth, all), fidelity::kPsnrCap);
  const cv::Mat half = truth * 0.5;
  EXPECT_NEAR(fidelity::Psnr(half + cv::Scalar::all(5), half, all),
              10 * std::log10(255.0 * 255.0 / 25.0), 1e-9);
  // Only covered pixels count: an error outside the mask changes nothing.
  cv::Mat spoiled = half.clone(), mask = all.clone();
  spoiled(cv::Rect(0, 0, 10, 10)).setTo(cv::Scalar::all(255));
  mask(cv::Rect(0, 0, 10, 10)).setTo(0);
  EXPECT_EQ(fidelity::Psnr(spoiled, half, mask), fidelity::kPsnrCap);
}

TEST(FidelityMetrics, TileGainDiscountsExposureButNotMisalignment) {
  const cv::Mat truth = Scene() * 0.4, all(truth.size(), CV_8UC1, cv::Scalar(255));
  // A different gain and offset in the middle tile: each tile's fit removes it.
  cv::Mat exposed = truth * 2 + cv::Scalar::all(1), shifted;
  cv::Mat(truth.colRange(128, 256) * 1.5 + cv::Scalar::all(7)).copyTo(exposed.colRange(128, 256));
  EXPECT_LT(fidelity::Psnr(exposed, truth, all), 20.0);
  EXPECT_GT(fidelity::TileGainPsnr(exposed, truth, all, 128), 45.0);
  cv::warpAffine(truth, shifted, cv::Matx23d(1, 0, 2, 0, 1, 0), truth.size(), cv::INTER_LINEAR,
                 cv::BORDER_REFLECT);
  EXPECT_LT(fidelity::TileGainPsnr(shifted, truth, all, 128), 30.0);
  EXPECT_EQ(fidelity::CoveredMask(cv::Mat::zeros(4, 4, CV_8UC3)).at<uchar>(1, 1), 0);
}

TEST(FidelityMetrics, CornerErrorAndMedian) {
  EXPECT_DOUBLE_EQ(fidelity::CornerError(cv::Matx33d(1, 0, 3, 0, 1, 4, 0, 0, 1), cv::Matx33d::eye(),
                                         cv::Size(640, 480)),
                   5.0);
  // Corners (0,0), (10,0), (10,10), (0,10) move 0, 10, 14.14, 10 under a doubling.
  EXPECT_NEAR(fidelity::CornerError(cv::Matx33d(2, 0, 0, 0, 2, 0, 0, 0, 1), cv::Matx33d::eye(),
                                    cv::Size(10, 10)),
              (20 + std::sqrt(200.0)) / 4, 1e-12);
  EXPECT_DOUBLE_EQ(fidelity::Median({3, 1, 2, 10}), 2.5);
  EXPECT_TRUE(std::isnan(fidelity::Median({})));
}

}  // namespace
