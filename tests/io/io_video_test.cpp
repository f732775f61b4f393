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
constexpr int kIdDatabase = 2;      // what Panorama hands over
constexpr int kIdScaleProcess = 1;  // three-channel colour mode

using testsupport::SameBits;

// Input_Video takes the path the way main hands it over: argv[1].
int Open(ioVideo& video, std::string path) {
  std::string program = "vmosaic";
  char* argv[] = {program.data(), path.data(), nullptr};
  return video.Input_Video(2, argv, kIdDatabase, kIdScaleProcess);
}

class IoVideoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new testsupport::ScratchDir("io_video_test_");
    frames_ = testsupport::SidewaysPan(8, kFrameSize, 0.5, 900.0, 800.0, 12.0).frames;
    ASSERT_TRUE(render::WriteVideo(scratch_->file("pan.mkv"), frames_, kFps));
    ASSERT_TRUE(render::WriteVideo(scratch_->file("single.mkv"), {frames_.front()}, kFps));
  }
  static void TearDownTestSuite() { delete scratch_; }
  static inline testsupport::ScratchDir* scratch_ = nullptr;
  static inline std::vector<cv::Mat> frames_;
};

// A one-frame video ends at the first read and keeps that frame as previous.
TEST_F(IoVideoTest, DeliversLosslessFramesBitExactAsASlidingPair) {
  for (const auto& [name, count] : {std::pair<const char*, int>{"single.mkv", 1}, {"pan.mkv", 8}}) {
    SCOPED_TRACE(name);
    ioVideo video;
    ASSERT_EQ(Open(video, scratch_->file(name)), 1);
    EXPECT_EQ(cv::Size(video.imageW, video.imageH), kFrameSize);
    ASSERT_TRUE(SameBits(video.getframe_Current(), frames_[0]));
    for (int i = 1; i < count; ++i) {
      ASSERT_EQ(video.Read_NextFrame(kIdDatabase, kIdScaleProcess), 1) << "frame " << i;
      const cv::Mat current = video.getframe_Current(), previous = video.getframe_Previous();
      EXPECT_EQ(current.type(), CV_8UC3);
      EXPECT_TRUE(SameBits(previous, frames_[i - 1])) << "previous at step " << i;
      EXPECT_TRUE(SameBits(current, frames_[i])) << "current at step " << i;
      // The previous frame is a copy, not the decoder's buffer of the current one.
      EXPECT_NE(previous.data, current.data);
    }
    EXPECT_EQ(video.Read_NextFrame(kIdDatabase, kIdScaleProcess), 0);
    EXPECT_TRUE(video.getframe_Current().empty());
    EXPECT_TRUE(SameBits(video.getframe_Previous(), frames_[count - 1]));
  }
}

TEST_F(IoVideoTest, VideoWithoutFramesOpensButHasNoFirstFrame) {
  const std::string path = scratch_->file("no_frames.avi");
  ASSERT_TRUE(cv::VideoWriter(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), kFps, kFrameSize)
                  .isOpened());
  ioVideo video;
  EXPECT_EQ(Open(video, path), 0);
}

TEST_F(IoVideoTest, PathLongerThanFiveHundredCharactersOpens) {
  std::string dir = scratch_->path;
  while (dir.size() < 600) ASSERT_EQ(mkdir((dir += "/" + std::string(60, 'd')).c_str(), 0755), 0) << dir;
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
