// The output files are a function of the input and the arguments alone: two
// runs give the same bytes, and the sample video's mosaics are pinned so that
// no later change (an optimisation above all) alters a pixel unnoticed.
#include <gtest/gtest.h>

#include <cstdint>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

// FNV-1a over the image's size, type and pixels, in hexadecimal.
std::string PixelHash(const cv::Mat& image) {
  uint64_t hash = 14695981039346656037ull;
  auto mix = [&hash](const void* data, size_t n) {
    for (size_t i = 0; i < n; ++i)
      hash = (hash ^ static_cast<const unsigned char*>(data)[i]) * 1099511628211ull;
  };
  const int header[3] = {image.cols, image.rows, image.type()};
  mix(header, sizeof header);
  for (int r = 0; r < image.rows; ++r)
    mix(image.ptr(r), image.cols * image.elemSize());
  return cv::format("%016llx", static_cast<unsigned long long>(hash));
}

void RunIn(const std::string& dir, const std::vector<std::string>& args) {
  const testsupport::RunResult run = testsupport::RunVmosaic(args, dir, 600);
  EXPECT_EQ(run.exitCode, 0) << run.err;
}

TEST(OutputRegression, TwoRunsWriteTheSameBytes) {
  const testsupport::ScratchDir videos("vmosaic-det-");
  const std::string video = videos.file("survey.mkv");
  // Zoom 1.5: fewer SIFT keypoints per frame keep the SIFT run short.
  ASSERT_TRUE(
      render::WriteVideo(video,
                         testsupport::RenderPan(12, {320, 240}, testsupport::Pose(900, 700, 1.5),
                                                testsupport::Pose(1020, 715, 1.5, 0.03), 1.5)
                             .frames,
                         10.0));
  // With SIFT (feature method 1); the default method's runs are pinned below.
  const testsupport::ScratchDir first("vmosaic-det-a-"), second("vmosaic-det-b-");
  RunIn(first.path, {video, "85", "1", "1"});
  RunIn(second.path, {video, "85", "1", "1"});
  for (const char* name : {"pano_Mean.png", "pano_Median.png"}) {
    const std::string bytes = testsupport::ReadFile(first.file(name));
    ASSERT_FALSE(bytes.empty()) << name;
    EXPECT_EQ(bytes, testsupport::ReadFile(second.file(name))) << name;
  }
}

// The sample video's mosaics as this version makes them. A change here means
// the output changed: only intended changes of behaviour may update it.
constexpr const char* kSampleMeanHash = "376230e8669f0db0";
constexpr const char* kSampleMedianHash = "d83211f01eb18573";

TEST(OutputRegression, SampleVideoMosaicsArePinned) {
  const testsupport::ScratchDir dir("vmosaic-pin-");
  RunIn(dir.path, {testsupport::SourceRoot() + "/data/sample.mp4", "80", "0", "1"});
  for (const auto& [name, hash] :
       {std::pair{"pano_Mean.png", kSampleMeanHash}, {"pano_Median.png", kSampleMedianHash}}) {
    const cv::Mat image = cv::imread(dir.file(name), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(image.empty()) << name;
    EXPECT_EQ(PixelHash(image), hash) << name << " " << image.cols << "x" << image.rows;
  }
}

}  // namespace
