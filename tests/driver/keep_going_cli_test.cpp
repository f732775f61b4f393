// --keep-going as a user runs it: a two-shot video with a flat glitch frame
// in the first shot gives two mosaics (each refined and blended too), the
// report's segments describe them
// (and validate against the schema, paths under --output-dir included),
// and without the option the run still ends at the glitch.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include "tests/support/test_support.hpp"

namespace {

using testsupport::RunResult;

TEST(KeepGoingCli, TwoShotsGiveTwoMosaicsAndTheReportDescribesThem) {
  const testsupport::ScratchDir work("vmosaic_keep_going_");
  const cv::Size size(320, 240);
  std::vector<cv::Mat> frames =
      testsupport::SidewaysPan(24, size, 0.5, 700, 800, 14).frames;  // the first shot
  frames[8].setTo(cv::Scalar::all(128));
  const cv::Mat moss = render::LoadScene("moss_2560x1600.jpg");
  ASSERT_FALSE(moss.empty());
  for (int f = 0; f < 24; ++f) {  // the second shot
    frames.push_back(render::RenderFrame(
        moss, render::PhotoToFrame(testsupport::Pose(600 + 14 * f, 700, 0.5), size), size));
  }
  ASSERT_TRUE(render::WriteVideo(work.file("shots.mkv"), frames, 25));

  const RunResult plain = testsupport::RunVmosaic({"shots.mkv", "70"}, work.path);
  ASSERT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_THAT(plain.err, testing::HasSubstr("frame 8 could not be inserted"));

  const RunResult run =
      testsupport::RunVmosaic({"--keep-going", "--refine", "--blend", "--json", "run.json",
                               "--output-dir", "runs", "shots.mkv", "70"},
                              work.path);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_THAT(run.err, testing::HasSubstr("vmosaic: frame 8 skipped (flat frame)\n"));
  const std::string root = testsupport::SourceRoot();
  const RunResult check =
      testsupport::RunProgram("/usr/bin/python3",
                              {root + "/tests/driver/check_run_report.py", "run.json",
                               root + "/doc/run-report.schema.json"},
                              work.path);
  ASSERT_EQ(check.exitCode, 0) << check.err;
  // One line per segment: first and last frame, key frames, canvas, outputs.
  const RunResult segments = testsupport::RunProgram(
      "/usr/bin/python3",
      {"-c",
       "import json\nfor s in json.load(open('run.json'))['segments']:\n"
       "  print(s['first_frame'], s['last_frame'], len(s['key_frames']), s['canvas']['width'],"
       " s['canvas']['height'], ' '.join(s['outputs']))"},
      work.path);
  std::istringstream lines(segments.out);
  int first, last, keyFrames, width, height, count = 0;
  std::string outputs;
  while (lines >> first >> last >> keyFrames >> width >> height && std::getline(lines, outputs)) {
    SCOPED_TRACE(outputs);
    ++count;
    const std::string ending = count == 1 ? ".png" : "_2.png";
    EXPECT_EQ(outputs, " runs/pano_Mean" + ending + " runs/pano_Blend" + ending);
    EXPECT_TRUE(count == 1 ? first == 0 && last == 23 : first == 24 && last == 47);
    EXPECT_GE(keyFrames, 2);
    for (const char* kind : {"runs/pano_Mean", "runs/pano_Blend"})
      EXPECT_EQ(cv::imread(work.file(kind + ending)).size(), cv::Size(width, height)) << kind;
  }
  EXPECT_EQ(count, 2) << segments.out << segments.err;
}

}  // namespace
