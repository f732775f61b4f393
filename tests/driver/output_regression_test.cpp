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

testsupport::RunResult RunIn(const std::string& dir, const std::vector<std::string>& args) {
  const testsupport::RunResult run = testsupport::RunVmosaic(args, dir, 600);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_FALSE(run.timedOut);
  return run;
}

TEST(OutputRegression, TwoRunsWriteTheSameBytes) {
  const std::string videos = testsupport::MakeTempDir("vmosaic-det-");
  render::CameraPose a;
  a.centreX = 900.0;
  a.centreY = 700.0;
  a.zoom = 1.5;  // fewer SIFT keypoints per frame keep the SIFT run short
  render::CameraPose b = a;
  b.centreX += 120.0;
  b.centreY += 15.0;
  b.angle = 0.03;
  const std::string video = videos + "/survey.mkv";
  ASSERT_TRUE(render::WriteVideo(
      video,
      render::RenderSequence(testsupport::TestPhoto(), render::Interpolate(a, b, 12),
                             cv::Size(320, 240), 1.5, 7),
      10.0));
  for (const char* features : {"0", "1"}) {
    SCOPED_TRACE(std::string("feature method ") + features);
    const std::string first = testsupport::MakeTempDir("vmosaic-det-a-");
    const std::string second = testsupport::MakeTempDir("vmosaic-det-b-");
    RunIn(first, {video, "85", features, "1"});
    RunIn(second, {video, "85", features, "1"});
    for (const char* name : {"/pano_Mean.png", "/pano_Median.png"}) {
      const std::string bytes = testsupport::ReadFile(first + name);
      ASSERT_FALSE(bytes.empty()) << name;
      EXPECT_EQ(bytes, testsupport::ReadFile(second + name)) << name;
    }
  }
}

// The sample video's mosaics as this version makes them. A change here means
// the output changed: only intended changes of behaviour may update it.
constexpr const char* kSampleMeanHash = "376230e8669f0db0";
constexpr const char* kSampleMedianHash = "d83211f01eb18573";

TEST(OutputRegression, SampleVideoMosaicsArePinned) {
  const std::string dir = testsupport::MakeTempDir("vmosaic-pin-");
  const testsupport::RunResult run =
      RunIn(dir, {testsupport::SourceRoot() + "/data/sample.mp4", "80", "0", "1"});
  const cv::Mat mean = cv::imread(dir + "/pano_Mean.png", cv::IMREAD_UNCHANGED);
  const cv::Mat median = cv::imread(dir + "/pano_Median.png", cv::IMREAD_UNCHANGED);
  ASSERT_FALSE(mean.empty());
  ASSERT_FALSE(median.empty());
  EXPECT_EQ(Hex(PixelHash(mean)), kSampleMeanHash) << mean.cols << "x" << mean.rows;
  EXPECT_EQ(Hex(PixelHash(median)), kSampleMedianHash) << median.cols << "x" << median.rows;
}

}  // namespace
