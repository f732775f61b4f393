// Damaged videos and very large frames: each run is a subprocess with a time limit that must end by
// itself (no signal, no hang) with the documented status and message, and must leave no partial or
// corrupted result. (Unusable files, odd names, runs without a frame pair and arguments out of
// range are rows of hostile_input_test.cpp; a result that cannot be written is in
// tests/driver/blend_cli_test.cpp.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <random>

#include "tests/reliability/reliability_support.hpp"

namespace {

using reliability::EndsWithTotalTime;
using reliability::ExpectCleanExit;
using testsupport::NumberOfNodes;
using testsupport::RunResult;

const cv::Size kFrameSize(320, 240);
constexpr int kPanFrames = 24;

class BadInputTest : public ::testing::Test {
 protected:
  RunResult Run(const std::vector<std::string>& args,
                int limitSeconds = reliability::kRunLimitSeconds) const {
    return testsupport::RunVmosaic(args, work_.path, limitSeconds);
  }
  std::string Work(const std::string& name) const { return work_.file(name); }
  testsupport::ScratchDir work_{"vmosaic_bad_input_run_"};
};

void CutInHalf(std::string& bytes) {
  bytes.resize(bytes.size() / 2);
}

// Overwrites a tenth of the file, from its middle on, with seeded noise.
void ScrambleTheMiddle(std::string& bytes) {
  std::mt19937 random(20240611u);
  std::uniform_int_distribution<int> byte(0, 255);
  for (size_t i = bytes.size() / 2, to = i + bytes.size() / 10; i < to; ++i)
    bytes[i] = static_cast<char>(byte(random));
}

// Lossless FFV1 in Matroska has its index at the front: a cut or scrambled
// file still yields its first frames, which are composed. H.264 in MP4 as
// written here keeps its index at the end: a cut file has no index and is
// refused. A scrambled one is decoded as far as the decoder gets: when it
// cannot deliver even the first frame (frame-threaded decoding reads ahead
// into the damage) the input is refused like a frameless video, otherwise
// what it delivers is composed.
TEST_F(BadInputTest, DamagedVideosAreComposedUpToTheDamageOrRefused) {
  const std::vector<cv::Mat> pan =
      testsupport::SidewaysPan(kPanFrames, kFrameSize, 0.5, 700, 800, 20).frames;
  for (const std::string video : {"pan.mkv", "pan.mp4"}) {
    ASSERT_TRUE(render::WriteVideo(Work(video), pan, 10));
    for (auto [kind, edit] :
         {std::pair{"cut_", CutInHalf}, std::pair{"scrambled_", ScrambleTheMiddle}}) {
      SCOPED_TRACE(kind + video);
      std::string bytes = testsupport::ReadFile(Work(video));
      edit(bytes);
      std::ofstream(Work(kind + video), std::ios::binary) << bytes;
      const std::string earlier = testsupport::PlaceEarlierResult(work_.path);
      const RunResult run = Run({Work(kind + video), "100"});
      if (video == "pan.mp4" && run.exitCode == 1) {
        ExpectCleanExit(run, 1);
        EXPECT_THAT(run.out,
                    testing::MatchesRegex("Video File is not found\\.\\.\\.|\nNot Input\\.\\.\\."));
        reliability::ExpectEarlierResultKept(work_.path, earlier);
        continue;
      }
      ExpectCleanExit(run, 0);
      EXPECT_TRUE(EndsWithTotalTime(run.out)) << run.out;
      EXPECT_GE(NumberOfNodes(run.out), 2) << run.out;
      EXPECT_LE(NumberOfNodes(run.out), kPanFrames) << run.out;
      const cv::Mat mean = cv::imread(Work("pano_Mean.png"), cv::IMREAD_UNCHANGED);
      EXPECT_EQ(mean.type(), CV_8UC3);
      EXPECT_TRUE(mean.cols >= kFrameSize.width && mean.rows >= kFrameSize.height) << mean.size;
      EXPECT_THAT(testsupport::TemporaryFiles(work_.path), testing::IsEmpty());
    }
  }
}

// 8K frames (7680x4320): two frames shifted sideways, one pair. The slowest
// case of the suite (minutes and gigabytes); the sanitizer run leaves it out.
TEST_F(BadInputTest, SlowVeryLargeFramesAreComposed) {
  const cv::Size kLarge(7680, 4320);
  constexpr int kShiftPx = 64;
  cv::Mat photo;
  cv::resize(testsupport::TestPhoto(), photo, kLarge + cv::Size(4 * kShiftPx, 4 * kShiftPx));
  cv::VideoWriter writer(Work("large.avi"), cv::CAP_FFMPEG,
                         cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10, kLarge);
  for (int i = 0; i < 2; ++i)
    writer.write(photo(cv::Rect(cv::Point(i * kShiftPx, 0), kLarge)).clone());
  writer.release();
  // A minute alone; sharing the cores with other tests it may take a few.
  const RunResult run = Run({Work("large.avi"), "100"}, 240);
  ExpectCleanExit(run, 0);
  EXPECT_EQ(NumberOfNodes(run.out), 2) << run.out;
  const cv::Mat mean = cv::imread(Work("pano_Mean.png"));
  EXPECT_NEAR(mean.cols, kLarge.width + kShiftPx, 4);
  EXPECT_NEAR(mean.rows, kLarge.height, 4);
}

}  // namespace
