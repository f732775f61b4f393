// ioVideo on video files: the sliding (previous, current) pair, the frame
// size taken from the first frame, lossless delivery, and the inputs that
// cannot be opened.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "io/io_video.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

const cv::Size kFrameSize(320, 240);
constexpr double kFps = 10.0;
constexpr double kZoom = 0.5;            // frame pixels per photo pixel
constexpr double kPanStepPhotoPx = 12.0;  // camera motion between frames
constexpr int kIdDatabase = 2;           // what Panorama hands over
constexpr int kIdScaleProcess = 1;       // three-channel colour mode

using testsupport::SameBits;

// Input_Video takes the path the way main hands it over: argv[1].
int Open(ioVideo& video, const std::string& path) {
  std::string program = "vmosaic";
  std::string argument = path;
  char* argv[] = {program.data(), argument.data(), nullptr};
  return video.Input_Video(2, argv, kIdDatabase, kIdScaleProcess);
}

class IoVideoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new testsupport::ScratchDir("io_video_test_");
    dir_ = scratch_->path;
    frames_ = testsupport::SidewaysPan(kPanFrames, kFrameSize, kZoom, 900.0, 800.0, kPanStepPhotoPx).frames;
    ASSERT_TRUE(render::WriteVideo(dir_ + "/pan.mkv", frames_, kFps));
    ASSERT_TRUE(render::WriteVideo(dir_ + "/single.mkv", {frames_.front()}, kFps));
  }
  static void TearDownTestSuite() { delete scratch_; }

  static constexpr int kPanFrames = 8;
  static testsupport::ScratchDir* scratch_;
  static std::string dir_;
  static std::vector<cv::Mat> frames_;
};

testsupport::ScratchDir* IoVideoTest::scratch_ = nullptr;
std::string IoVideoTest::dir_;
std::vector<cv::Mat> IoVideoTest::frames_;

TEST_F(IoVideoTest, OneFrameVideoEndsAtTheFirstReadAndKeepsThatFrame) {
  ioVideo video;
  ASSERT_EQ(Open(video, dir_ + "/single.mkv"), 1);
  EXPECT_EQ(video.imageW, kFrameSize.width);
  EXPECT_EQ(video.imageH, kFrameSize.height);
  EXPECT_TRUE(SameBits(video.getframe_Current(), frames_.front()));

  EXPECT_EQ(video.Read_NextFrame(kIdDatabase, kIdScaleProcess), 0);
  EXPECT_TRUE(video.getframe_Current().empty());
  EXPECT_TRUE(SameBits(video.getframe_Previous(), frames_.front()));
}

TEST_F(IoVideoTest, DeliversLosslessFramesBitExactAsASlidingPair) {
  ioVideo video;
  ASSERT_EQ(Open(video, dir_ + "/pan.mkv"), 1);
  EXPECT_EQ(video.imageW, kFrameSize.width);
  EXPECT_EQ(video.imageH, kFrameSize.height);
  ASSERT_TRUE(SameBits(video.getframe_Current(), frames_[0]));

  for (int i = 1; i < kPanFrames; ++i) {
    ASSERT_EQ(video.Read_NextFrame(kIdDatabase, kIdScaleProcess), 1) << "frame " << i;
    const cv::Mat current = video.getframe_Current();
    const cv::Mat previous = video.getframe_Previous();
    EXPECT_EQ(current.type(), CV_8UC3);
    EXPECT_TRUE(SameBits(previous, frames_[i - 1])) << "previous at step " << i;
    EXPECT_TRUE(SameBits(current, frames_[i])) << "current at step " << i;
    // The previous frame is a copy, not the decoder's buffer of the current one.
    EXPECT_NE(previous.data, current.data);
  }

  EXPECT_EQ(video.Read_NextFrame(kIdDatabase, kIdScaleProcess), 0);
  EXPECT_TRUE(video.getframe_Current().empty());
  EXPECT_TRUE(SameBits(video.getframe_Previous(), frames_.back()));
}

TEST_F(IoVideoTest, VideoWithoutFramesOpensButHasNoFirstFrame) {
  const std::string path = dir_ + "/no_frames.avi";
  {
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'),
                           kFps, kFrameSize);
    ASSERT_TRUE(writer.isOpened());
  }
  ioVideo video;
  EXPECT_EQ(Open(video, path), 0);
}

TEST_F(IoVideoTest, PathLongerThanFiveHundredCharactersOpens) {
  std::string dir = dir_;
  const std::string segment(60, 'd');
  while (dir.size() < 600) {
    dir += "/" + segment;
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
  }
  const std::string path = dir + "/single.mkv";
  ASSERT_TRUE(render::WriteVideo(path, {frames_.front()}, kFps));
  ioVideo video;
  ASSERT_EQ(Open(video, path), 1);
  EXPECT_EQ(video.path_Input, path);
  EXPECT_TRUE(SameBits(video.getframe_Current(), frames_.front()));
}

TEST(IoVideoOpen, InputThatCannotBeOpenedIsReportedNotFound) {
  const std::string folder = testsupport::SourceRoot();
  for (const std::string& path : {folder + "/no_such_video.mkv", folder}) {
    ioVideo video;
    EXPECT_EQ(Open(video, path), ioVideo::kInputNotFound) << path;
  }
}

}  // namespace
