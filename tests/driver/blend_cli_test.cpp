// --blend as a user runs it: pano_Blend.png beside the mean, standard output
// as without the option, the report's list of files, and a failed write.
// (That help, man page and README name it: tests/driver/shipping_test.cpp.)
#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

using testsupport::RunResult;
using testsupport::ScratchDir;

const cv::Size kFrame(160, 120);

std::string WithoutNumbers(const std::string& text) {
  return std::regex_replace(text, std::regex("[0-9.]+"), "#");
}

class BlendCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<cv::Mat> pan = testsupport::SidewaysPan(10, kFrame, 0.3, 900, 800, 45).frames;
    ASSERT_TRUE(render::WriteVideo(dir_.file("pan.mkv"), pan, 10));
    still_ = pan.front();
    ASSERT_TRUE(render::WriteVideo(dir_.file("still.mkv"), {still_, still_, still_}, 10));
  }
  RunResult Run(const std::vector<std::string>& args, const std::string& work) const {
    std::filesystem::create_directory(work);
    return testsupport::RunVmosaic(args, work);
  }
  ScratchDir dir_{"vmosaic_blend_cli_"};
  cv::Mat still_;
};

TEST_F(BlendCliTest, WritesTheBlendOnTheMeansCanvasAndLeavesStandardOutputAlone) {
  const std::string plain = dir_.file("plain"), blended = dir_.file("blended");
  const RunResult without = Run({dir_.file("pan.mkv"), "90"}, plain);
  const RunResult with =
      Run({"--blend", "--json", blended + "/run.json", dir_.file("pan.mkv"), "90"}, blended);
  ASSERT_EQ(without.exitCode, 0) << without.err;
  ASSERT_EQ(with.exitCode, 0) << with.err;
  EXPECT_EQ(WithoutNumbers(with.out), WithoutNumbers(without.out));
  EXPECT_TRUE(std::regex_search(with.err, std::regex("(^|\n)Time composing the blended panorama: [0-9.]+ seconds\n")))
      << with.err;
  EXPECT_FALSE(testsupport::FileExists(plain + "/pano_Blend.png"));
  const cv::Mat mean = cv::imread(blended + "/pano_Mean.png"), blend = cv::imread(blended + "/pano_Blend.png");
  ASSERT_FALSE(blend.empty());
  EXPECT_EQ(blend.size(), mean.size());
  EXPECT_GT(testsupport::PsnrOverMask(blend, mean, cv::Mat(mean.size(), CV_8U, cv::Scalar(255))), 25.0);
  EXPECT_THAT(testsupport::ReadFile(blended + "/run.json"),
              testing::HasSubstr("\"outputs\": [\"pano_Mean.png\", \"pano_Blend.png\"]"));
}

TEST_F(BlendCliTest, OneKeyFrameIsWrittenAsItIs) {
  const std::string work = dir_.file("still");
  const RunResult run = Run({"--blend", dir_.file("still.mkv"), "50"}, work);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_NE(run.out.find("Number of nodes: 1"), std::string::npos) << run.out;
  const cv::Mat blend = cv::imread(work + "/pano_Blend.png");
  ASSERT_EQ(blend.size(), still_.size());
  EXPECT_EQ(cv::norm(blend, still_, cv::NORM_INF), 0.0);
}

TEST_F(BlendCliTest, FailedWriteLeavesNothingPartialAndExitsWithOne) {
  const std::string work = dir_.file("blocked");
  std::filesystem::create_directories(work + "/pano_Blend.png");  // a folder where the file goes
  const RunResult run = Run({"--blend", "--json", "run.json", dir_.file("pan.mkv"), "90"}, work);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("could not write pano_Blend.png"), std::string::npos) << run.err;
  EXPECT_TRUE(std::filesystem::is_directory(work + "/pano_Blend.png"));
  for (const auto& entry : std::filesystem::directory_iterator(work)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "pano_Blend.png" || name == "pano_Mean.png" || name == "run.json") << name;
  }
  EXPECT_EQ(testsupport::ReadFile(work + "/run.json").find("pano_Blend.png"), std::string::npos);
}

}  // namespace
