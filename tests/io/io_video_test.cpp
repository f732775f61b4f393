// ioVideo on video files: the sliding (previous, current) pair, the frame
// size taken from the first frame, lossless delivery, and a long path.
// (Inputs that cannot be opened, and a video without frames, are rows of
// tests/reliability/hostile_input_test.cpp with the program's messages.)
#include "io/io_video.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

const cv::Size kFrameSize(320, 240);
constexpr int kIdDatabase = 2;      // what Panorama hands over
constexpr int kIdScaleProcess = 1;  // three-channel colour mode

using testsupport::SameBits;

// Input_Video takes the path the way main hands it over: argv[1].
int Open(ioVideo& video, std::string path) {
  std::string program = "vmosaic";
  char* argv[] = {program.data(), path.data(), nullptr};
  return video.Input_Video(2, argv, kIdDatabase, kIdScaleProcess);
}

// A one-frame video ends at the first read and keeps that frame as
// previous; the one-frame video sits at the end of a path of more than 500
// characters.
TEST(IoVideoTest, DeliversLosslessFramesBitExactAsASlidingPair) {
  const testsupport::ScratchDir scratch("io_video_test_");
  const std::vector<cv::Mat> frames =
      testsupport::SidewaysPan(8, kFrameSize, 0.5, 900.0, 800.0, 12.0).frames;
  std::string longDir = scratch.path;
  while (longDir.size() < 600)
    ASSERT_EQ(mkdir((longDir += "/" + std::string(60, 'd')).c_str(), 0755), 0) << longDir;
  for (const auto& [path, count] :
       {std::pair{longDir + "/single.mkv", 1}, {scratch.file("pan.mkv"), 8}}) {
    SCOPED_TRACE(count);
    ASSERT_TRUE(render::WriteVideo(
        path, std::vector<cv::Mat>(frames.begin(), frames.begin() + count), 10.0));
    ioVideo video;
    ASSERT_EQ(Open(video, path), 1);
    EXPECT_TRUE(video.path_Input == path && cv::Size(video.imageW, video.imageH) == kFrameSize)
        << video.path_Input;
    ASSERT_TRUE(SameBits(video.getframe_Current(), frames[0]));
    for (int i = 1; i < count; ++i) {
      ASSERT_EQ(video.Read_NextFrame(kIdDatabase, kIdScaleProcess), 1) << "frame " << i;
      const cv::Mat current = video.getframe_Current(), previous = video.getframe_Previous();
      EXPECT_EQ(current.type(), CV_8UC3);
      EXPECT_TRUE(SameBits(previous, frames[i - 1])) << "previous at step " << i;
      EXPECT_TRUE(SameBits(current, frames[i])) << "current at step " << i;
      // The previous frame is a copy, not the decoder's buffer of the current one.
      EXPECT_NE(previous.data, current.data);
    }
    EXPECT_EQ(video.Read_NextFrame(kIdDatabase, kIdScaleProcess), 0);
    EXPECT_TRUE(video.getframe_Current().empty());
    EXPECT_TRUE(SameBits(video.getframe_Previous(), frames[count - 1]));
  }
}

}  // namespace
