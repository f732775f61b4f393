// The vmosaic program as a user runs it: a subprocess in a scratch folder,
// standard input closed, on a small video rendered from the test photo with
// a known camera path. Checks exit status, the exact standard output line by
// line and the files written. (The frame limit, featureless frames and
// inputs that cannot be used are rows of
// tests/reliability/hostile_input_test.cpp.)
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "tests/support/test_support.hpp"

namespace {

using testing::MatchesRegex;
using testsupport::kFloat;
using testsupport::kInt;

const cv::Size kFrameSize(320, 240);

TEST(VmosaicCliTest, PanWithMedianReportsTheReferenceAndWritesBothPanoramas) {
  const testsupport::ScratchDir work("vmosaic_cli_run_");
  // A sideways pan at half zoom: 10 frame pixels per frame.
  ASSERT_TRUE(render::WriteVideo(work.file("pan.mkv"),
                                 testsupport::SidewaysPan(12, kFrameSize, 0.5, 700, 800, 20).frames,
                                 10));
  const testsupport::RunResult run =
      testsupport::RunVmosaic({"pan.mkv", "90", "0", "1"}, work.path);
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  // A clean pan registers without a failure message.
  const std::string seconds = ": " + kFloat + " seconds";
  EXPECT_THAT(
      run.out,
      testsupport::HasLines(testing::ElementsAre(
          "", MatchesRegex("Time processing AVL Binary Tree Construction" + seconds),
          MatchesRegex("Number of nodes: " + kInt), MatchesRegex("AVL_root:        " + kInt),
          MatchesRegex("r\\*:              " + kInt), "Mean Pano...", "Median Pano...",
          MatchesRegex("Time processing CalculateCenteredPanorama" + seconds),
          MatchesRegex("Total processing time" + seconds))));
  // The printed total is the sum of the two spans (each rounded to 1 us).
  const std::vector<std::string> lines = testsupport::Lines(run.out);
  ASSERT_EQ(lines.size(), 9u);
  const auto span = [&lines](size_t i) {
    return std::stod(lines[i].substr(lines[i].rfind(": ") + 2));
  };
  EXPECT_GT(span(1), 0.0);
  EXPECT_NEAR(span(8), span(1) + span(7), 2.5e-6);
  const int nodes = testsupport::NumberOfNodes(run.out);
  EXPECT_GE(nodes, 2);
  for (const char* label : {"\nAVL_root:        ", "\nr*:              "}) {
    EXPECT_GE(testsupport::NumberAfter(run.out, label), 1);
    EXPECT_LE(testsupport::NumberAfter(run.out, label), nodes);
  }
  const cv::Mat mean = cv::imread(work.file("pano_Mean.png"), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(mean.type(), CV_8UC3);
  EXPECT_TRUE(mean.cols > kFrameSize.width &&
              mean.rows >= kFrameSize.height);  // the pan spans more than one frame
  EXPECT_TRUE(testsupport::FileExists(work.file("pano_Median.png")));
}

}  // namespace
