// The output files are a function of the input and the arguments alone: two
// runs give the same bytes, and the sample video's mosaics are pinned so that
// no later change (an optimisation above all) alters a pixel unnoticed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

// FNV-1a over the image's size, type and pixels.
uint64_t PixelHash(const cv::Mat& image) {
  uint64_t hash = 14695981039346656037ull;
  auto mix = [&hash](const unsigned char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      hash ^= data[i];
      hash *= 1099511628211ull;
    }
  };
  const int header[3] = {image.cols, image.rows, image.type()};
  mix(reinterpret_cast<const unsigned char*>(header), sizeof header);
  for (int r = 0; r < image.rows; ++r) {
    mix(image.ptr<unsigned char>(r), image.cols * image.elemSize());
  }
  return hash;
}

std::string Hex(uint64_t value) {
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

void RunIn(const std::string& dir, const std::vector<std::string>& args) {
  const testsupport::RunResult run = testsupport::RunVmosaic(args, dir, 600);
  EXPECT_EQ(run.exitCode, 0) << run.err;
}

TEST(OutputRegression, TwoRunsWriteTheSameBytes) {
  const testsupport::ScratchDir videos("vmosaic-det-");
  const std::string video = videos.file("survey.mkv");
  // Zoom 1.5: fewer SIFT keypoints per frame keep the SIFT run short.
  ASSERT_TRUE(render::WriteVideo(video, testsupport::RenderPan(12, {320, 240}, testsupport::Pose(900, 700, 1.5),
                                                               testsupport::Pose(1020, 715, 1.5, 0.03), 1.5).frames,
                                 10.0));
  for (const char* features : {"0", "1"}) {
    SCOPED_TRACE(std::string("feature method ") + features);
    const testsupport::ScratchDir first("vmosaic-det-a-"), second("vmosaic-det-b-");
    RunIn(first.path, {video, "85", features, "1"});
    RunIn(second.path, {video, "85", features, "1"});
    for (const char* name : {"pano_Mean.png", "pano_Median.png"}) {
      const std::string bytes = testsupport::ReadFile(first.file(name));
      ASSERT_FALSE(bytes.empty()) << name;
      EXPECT_EQ(bytes, testsupport::ReadFile(second.file(name))) << name;
    }
  }
}

// The sample video's mosaics as this version makes them. A change here means
// the output changed: only intended changes of behaviour may update it.
constexpr const char* kSampleMeanHash = "376230e8669f0db0";
constexpr const char* kSampleMedianHash = "d83211f01eb18573";

TEST(OutputRegression, SampleVideoMosaicsArePinned) {
  const testsupport::ScratchDir dir("vmosaic-pin-");
  RunIn(dir.path, {testsupport::SourceRoot() + "/data/sample.mp4", "80", "0", "1"});
  const cv::Mat mean = cv::imread(dir.file("pano_Mean.png"), cv::IMREAD_UNCHANGED);
  const cv::Mat median = cv::imread(dir.file("pano_Median.png"), cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(mean.empty());
  ASSERT_FALSE(median.empty());
  EXPECT_EQ(Hex(PixelHash(mean)), kSampleMeanHash) << mean.cols << "x" << mean.rows;
  EXPECT_EQ(Hex(PixelHash(median)), kSampleMedianHash) << median.cols << "x" << median.rows;
}

}  // namespace
