// The vmosaic program as a user runs it: a subprocess in a scratch folder,
// standard input closed, on small videos rendered from the test photo with
// a known camera path. Checks exit status, the exact standard output line by
// line and the files written. (Inputs that cannot be read are in
// tests/reliability/bad_input_test.cpp.)
#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <regex>

#include "tests/support/test_support.hpp"

namespace {

using testing::MatchesRegex;
using testsupport::HasLines;
using testsupport::kFloat;
using testsupport::kInt;
using testsupport::RunResult;
using testsupport::ScratchDir;

const cv::Size kFrameSize(320, 240);
constexpr int kPanFrames = 12;
const std::string kTreeTime = "Time processing AVL Binary Tree Construction: " + kFloat + " seconds";
const std::string kComposeTime = "Time processing CalculateCenteredPanorama: " + kFloat + " seconds";
const std::string kTotalTime = "Total processing time: " + kFloat + " seconds";

// A sideways pan at half zoom: 10 frame pixels per frame. The threshold
// video's 640-pixel frames move 32 pixels per frame: their outline overlap is
// (639 - d) / (639 + d), 90.46 % for d = 32 (90.17 to 90.75 % a pixel off),
// 81.8 % for d = 64, so 90.7 or 91 make every frame a key frame and 90
// every second one.
std::vector<cv::Mat> RenderPan(int frames, double step, cv::Size size = kFrameSize) {
  return testsupport::SidewaysPan(frames, size, 0.5 * size.width / kFrameSize.width, 700, 800, step).frames;
}

// A completed run ends with the two timing lines; the printed total is the
// sum of the two spans (each rounded to 1 us).
void ExpectCompletedRun(const RunResult& run) {
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_THAT(run.out, HasLines(testing::Each(testsupport::OwnMessage())));
  const std::vector<std::string> lines = testsupport::Lines(run.out);
  ASSERT_GE(lines.size(), 4u) << run.out;
  EXPECT_THAT(lines[lines.size() - 2], MatchesRegex(kComposeTime));
  EXPECT_THAT(lines.back(), MatchesRegex(kTotalTime));
  const auto seconds = [](const std::string& line) { return std::stod(line.substr(line.rfind(": ") + 2)); };
  double tree = -1;
  for (const std::string& line : lines) tree = line.rfind("Time processing AVL", 0) == 0 ? seconds(line) : tree;
  EXPECT_GT(tree, 0.0);
  EXPECT_NEAR(seconds(lines.back()), tree + seconds(lines[lines.size() - 2]), 2.5e-6);
}

// The run's output with the timing numbers blanked, for comparing runs.
std::string WithoutTimes(const std::string& out) {
  return std::regex_replace(out, std::regex(": " + kFloat + " seconds"), ": <t> seconds");
}

class VmosaicCliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    videos_ = new ScratchDir("vmosaic_cli_videos_");
    ASSERT_TRUE(render::WriteVideo(Video("pan.mkv"), RenderPan(kPanFrames, 20), 10));
    ASSERT_TRUE(render::WriteVideo(Video("threshold.mkv"), RenderPan(13, 32, {640, 160}), 10));
    ASSERT_TRUE(render::WriteVideo(Video("flat.mkv"), std::vector<cv::Mat>(4, cv::Mat(kFrameSize, CV_8UC3, cv::Scalar(90, 120, 150))), 10));
  }
  static void TearDownTestSuite() { delete videos_; }
  static std::string Video(const std::string& name) { return videos_->file(name); }
  RunResult Run(const std::vector<std::string>& args) const { return testsupport::RunVmosaic(args, work_.path); }
  bool Wrote(const std::string& name) const { return testsupport::FileExists(work_.file(name)); }

  static inline ScratchDir* videos_ = nullptr;
  ScratchDir work_{"vmosaic_cli_run_"};
};

TEST_F(VmosaicCliTest, PanWithMedianReportsTheReferenceAndWritesBothPanoramas) {
  const RunResult run = Run({Video("pan.mkv"), "90", "0", "1"});
  ExpectCompletedRun(run);
  // A clean pan registers without a failure message.
  EXPECT_THAT(run.out, HasLines(testing::ElementsAre("", MatchesRegex(kTreeTime), MatchesRegex("Number of nodes: " + kInt),
                                            MatchesRegex("AVL_root:        " + kInt),
                                            MatchesRegex("r\\*:              " + kInt), "Mean Pano...",
                                            "Median Pano...", MatchesRegex(kComposeTime), MatchesRegex(kTotalTime))));
  const int nodes = testsupport::NumberOfNodes(run.out);
  EXPECT_GE(nodes, 2);
  for (const char* label : {"\nAVL_root:        ", "\nr*:              "}) {
    EXPECT_GE(testsupport::NumberAfter(run.out, label), 1);
    EXPECT_LE(testsupport::NumberAfter(run.out, label), nodes);
  }
  const cv::Mat mean = cv::imread(work_.file("pano_Mean.png"), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(mean.type(), CV_8UC3);
  EXPECT_TRUE(mean.cols > kFrameSize.width && mean.rows >= kFrameSize.height);  // the pan spans more than one frame
  EXPECT_TRUE(Wrote("pano_Median.png"));
}

// With an overlap threshold of 100 every frame becomes a key frame, so the
// number of nodes counts the frames read.
TEST_F(VmosaicCliTest, FrameLimitIsReadOnlyWithExactlyFiveArguments) {
  const RunResult limited = Run({Video("pan.mkv"), "100", "0", "0", "3"});
  ExpectCompletedRun(limited);
  EXPECT_EQ(testsupport::NumberOfNodes(limited.out), 3) << limited.out;
  const RunResult six = Run({Video("pan.mkv"), "100", "0", "0", "3", "extra"});
  ExpectCompletedRun(six);
  EXPECT_EQ(testsupport::NumberOfNodes(six.out), kPanFrames) << six.out;
  EXPECT_TRUE(Wrote("pano_Mean.png"));
  EXPECT_FALSE(Wrote("pano_Median.png"));
}

TEST_F(VmosaicCliTest, FractionalThresholdCountsAsItsWholePart) {
  const RunResult fractional = Run({Video("threshold.mkv"), "90.7"}), whole = Run({Video("threshold.mkv"), "90"}),
                  above = Run({Video("threshold.mkv"), "91"});
  for (const RunResult* run : {&fractional, &whole, &above}) ExpectCompletedRun(*run);
  EXPECT_EQ(WithoutTimes(fractional.out), WithoutTimes(whole.out));
  // 90 and 91 give different key frames; without that the above proves nothing.
  EXPECT_NE(testsupport::NumberOfNodes(whole.out), testsupport::NumberOfNodes(above.out));
  EXPECT_GE(testsupport::NumberOfNodes(whole.out), 2);
}

// After a failed registration the program waits for a key only where one can
// be pressed; with standard input closed it goes on at once.
TEST_F(VmosaicCliTest, FeaturelessVideoReportsFailedRegistrationsWithoutWaiting) {
  const RunResult run = Run({Video("flat.mkv"), "100"});
  ExpectCompletedRun(run);
  EXPECT_THAT(run.out, testing::StartsWith("\nCorrespondences < 8...\nNo existe Hij...."));
}

// OpenCV's FFmpeg backend rescales an image sequence to its first size; the
// image-sequence backend delivers every image as stored.
TEST_F(VmosaicCliTest, FrameOfAnotherSizeEndsTheInputAndTheRestIsComposed) {
  std::vector<cv::Mat> images = RenderPan(5, 20);
  for (const cv::Mat& smaller : RenderPan(3, 20, {160, 120})) images.push_back(smaller);
  ASSERT_TRUE(std::filesystem::create_directory(work_.file("frames")));
  for (size_t i = 0; i < images.size(); ++i) ASSERT_TRUE(cv::imwrite(work_.file(cv::format("frames/img_%03zu.png", i)), images[i]));
  const RunResult run = testsupport::Process(testsupport::VmosaicBinary(), {"frames/img_%03d.png", "100"}, work_.path,
                                             {false, {{"OPENCV_VIDEOIO_PRIORITY_LIST", "CV_IMAGES"}}})
                            .Wait();
  ExpectCompletedRun(run);
  EXPECT_THAT(run.err, testing::HasSubstr("frame size changed from 320x240 to 160x120"));
  EXPECT_EQ(testsupport::NumberOfNodes(run.out), 5) << run.out;
  EXPECT_TRUE(Wrote("pano_Mean.png"));
}

}  // namespace
