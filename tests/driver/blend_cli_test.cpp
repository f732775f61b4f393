// --blend as a user runs it: pano_Blend.png beside the mean, standard output
// as without the option, and the report's list of files. (A destination that
// cannot be written: tests/reliability/hostile_input_test.cpp.)
// (That help, man page and README name it: tests/driver/shipping_test.cpp.)
#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <regex>

#include "tests/support/test_support.hpp"

namespace {

using testsupport::ReadFile;
using testsupport::RunResult;

class BlendCliTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(render::WriteVideo(dir_.file("pan.mkv"), pan_, 10)); }
  // vmosaic in the folder `work` (created) under the scratch folder.
  RunResult Run(const std::vector<std::string>& args, const std::string& work) const {
    std::filesystem::create_directory(dir_.file(work));
    return testsupport::RunVmosaic(args, dir_.file(work));
  }
  testsupport::ScratchDir dir_{"vmosaic_blend_cli_"};
  const std::vector<cv::Mat> pan_ =
      testsupport::SidewaysPan(10, {160, 120}, 0.3, 900, 800, 45).frames;
};

TEST_F(BlendCliTest, WritesTheBlendOnTheMeansCanvasAndLeavesStandardOutputAlone) {
  const RunResult without = Run({dir_.file("pan.mkv"), "90"}, "plain");
  const RunResult with =
      Run({"--blend", "--json", "run.json", dir_.file("pan.mkv"), "90"}, "blended");
  ASSERT_EQ(without.exitCode, 0) << without.err;
  ASSERT_EQ(with.exitCode, 0) << with.err;
  const std::regex number("[0-9.]+");
  EXPECT_EQ(std::regex_replace(with.out, number, "#"),
            std::regex_replace(without.out, number, "#"));
  EXPECT_TRUE(std::regex_search(
      with.err, std::regex("(^|\n)Time composing the blended panorama: [0-9.]+ seconds\n")))
      << with.err;
  EXPECT_FALSE(testsupport::FileExists(dir_.file("plain/pano_Blend.png")));
  const cv::Mat mean = cv::imread(dir_.file("blended/pano_Mean.png")),
                blend = cv::imread(dir_.file("blended/pano_Blend.png"));
  ASSERT_FALSE(blend.empty());
  ASSERT_EQ(blend.size(), mean.size());
  EXPECT_GT(cv::PSNR(blend, mean), 25.0);
  EXPECT_THAT(ReadFile(dir_.file("blended/run.json")),
              testing::HasSubstr("\"outputs\": [\"pano_Mean.png\", \"pano_Blend.png\"]"));
  EXPECT_EQ(testsupport::CheckRunReport(dir_.file("blended/run.json")).exitCode, 0);
}

TEST_F(BlendCliTest, OneKeyFrameIsWrittenAsItIs) {
  ASSERT_TRUE(render::WriteVideo(dir_.file("still.mkv"), {pan_[0], pan_[0], pan_[0]}, 10));
  const RunResult run = Run({"--blend", dir_.file("still.mkv"), "50"}, "still");
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ASSERT_EQ(testsupport::NumberOfNodes(run.out), 1) << run.out;
  const cv::Mat blend = cv::imread(dir_.file("still/pano_Blend.png"));
  ASSERT_EQ(blend.size(), pan_[0].size());
  EXPECT_EQ(cv::norm(blend, pan_[0], cv::NORM_INF), 0.0);
}

}  // namespace
