// The exact corner detector against cv::goodFeaturesToTrack: the same points
// in the same order, bit for bit, for each kernel this processor runs and for
// both ways OpenCV may filter (with and without its AVX2 code). The images
// cover rendered frames of several sizes (odd, barely above the smallest
// handled), noise, flat frames and flat regions, a repeated pattern whose
// many equal responses test the order among equals, and the parameter sets
// the program uses plus a corner limit and a minimum distance below 1.
#include <gtest/gtest.h>

#include <cstring>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "features/corner_detection.hpp"
#include "tests/features/rendered_pair.hpp"

namespace corners {
void PrintTo(Kernel k, std::ostream* os) {
  *os << KernelName(k);
}
}  // namespace corners

namespace {

using corners::Kernel;

struct Image {
  std::string name;
  cv::Mat grey;
};

cv::Mat Grey(const cv::Mat& bgr) {
  cv::Mat grey;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  return grey;
}

std::vector<Image> Images() {
  std::vector<Image> images;
  const render::CameraPose pose = featuretest::BasePose(1.0);
  for (const cv::Size size :
       {cv::Size(640, 480), cv::Size(1280, 720), cv::Size(643, 361), cv::Size(97, 61),
        cv::Size(129, 40), cv::Size(8, 8), cv::Size(9, 130)}) {
    const cv::Mat frame =
        render::RenderFrame(testsupport::TestPhoto(), render::PhotoToFrame(pose, size), size);
    images.push_back({std::to_string(size.width) + "x" + std::to_string(size.height), Grey(frame)});
  }
  cv::Mat noise(157, 203, CV_8U);
  cv::RNG(7).fill(noise, cv::RNG::UNIFORM, 0, 256);
  images.push_back({"noise", noise});
  images.push_back({"flat", cv::Mat(120, 160, CV_8U, cv::Scalar(77))});
  cv::Mat regions = images[0].grey.clone();
  cv::rectangle(regions, cv::Rect(100, 80, 160, 140), cv::Scalar(90), cv::FILLED);
  cv::rectangle(regions, cv::Rect(440, 330, 200, 150), cv::Scalar(0), cv::FILLED);
  images.push_back({"flat regions", regions});
  // Squares of 4 pixels every 12: every square gives the same responses.
  cv::Mat pattern(150, 250, CV_8U, cv::Scalar(40));
  for (int y = 3; y < pattern.rows - 4; y += 12) {
    for (int x = 5; x < pattern.cols - 4; x += 12)
      pattern(cv::Rect(x, y, 4, 4)).setTo(200);
  }
  images.push_back({"repeated squares", pattern});
  // A region of a larger image: the detector hands it to OpenCV.
  images.push_back({"region of an image", images[0].grey(cv::Rect(10, 20, 300, 200))});
  return images;
}

struct Parameters {
  int maxCorners;
  double quality, minDistance;
  int block;
};
const Parameters kParameters[] = {
    {5000, 0.001, 5.0, 5},  // corner detection of the registration
    {400, 0.01, 8.0, 3},    // key-frame index
    {50, 0.001, 5.0, 5},    // the limit reached
    {0, 0.05, 0.5, 5},      // no limit, no grid
};

class CornerDetectionDifferential : public ::testing::TestWithParam<Kernel> {
  void SetUp() override {
    if (!corners::KernelAvailable(GetParam()))
      GTEST_SKIP() << corners::KernelName(GetParam()) << " absent";
  }
  void TearDown() override { cv::setUseOptimized(true); }
};

TEST_P(CornerDetectionDifferential, SameCornersAsOpenCv) {
  size_t compared = 0, limited = 0;
  for (const bool optimised : {true, false}) {
    cv::setUseOptimized(optimised);
    for (const Image& image : Images()) {
      for (const Parameters& p : kParameters) {
        std::vector<cv::Point2f> expected;
        cv::goodFeaturesToTrack(image.grey, expected, p.maxCorners, p.quality, p.minDistance,
                                cv::noArray(), p.block, false);
        const std::vector<cv::Point2f> actual = corners::GoodFeaturesToTrack(
            image.grey, p.maxCorners, p.quality, p.minDistance, p.block, GetParam());
        const bool same = expected.size() == actual.size() &&
                          (expected.empty() ||  // an empty vector's data() may be null
                           std::memcmp(expected.data(), actual.data(),
                                       expected.size() * sizeof(cv::Point2f)) == 0);
        EXPECT_TRUE(same) << image.name << ", block " << p.block << ", limit " << p.maxCorners
                          << (optimised ? "" : ", OpenCV unoptimised") << ": " << expected.size()
                          << " corners vs " << actual.size();
        compared += expected.size();
        limited += p.maxCorners > 0 && static_cast<int>(expected.size()) == p.maxCorners;
      }
    }
  }
  std::printf("%zu corners compared\n", compared);
  EXPECT_GT(compared, 20000u);
  EXPECT_GT(limited, 4u);
}

INSTANTIATE_TEST_SUITE_P(Kernels, CornerDetectionDifferential,
                         ::testing::Values(Kernel::kPortable, Kernel::kAvx2), [](const auto& info) {
                           return std::string(corners::KernelName(info.param));
                         });

}  // namespace
