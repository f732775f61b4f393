// ioVideo on numbered image sequences read by OpenCV's image-sequence
// backend, which hands out every image as stored: frames of another size
// than the first, and grey, BGRA or 16-bit images. (The FFmpeg backend,
// first in OpenCV's default order, rescales and converts such sequences
// itself, so this executable puts the image-sequence backend first.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "io/io_video.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

// OpenCV reads its backend order once, at the first capture; this runs
// before any test does.
struct UseImageSequenceBackend {
  UseImageSequenceBackend() { setenv("OPENCV_VIDEOIO_PRIORITY_LIST", "CV_IMAGES", 1); }
} const kUseImageSequenceBackend;

constexpr int kIdDatabase = 2;
constexpr int kIdScaleProcess = 1;
const cv::Size kFirstSize(320, 240);
const cv::Size kLaterSize(160, 120);
constexpr double kZoom = 0.5;
constexpr double kPanStepPhotoPx = 12.0;

std::vector<cv::Mat> RenderPan(int frames, cv::Size size) {
  return testsupport::SidewaysPan(frames, size, kZoom * size.width / kFirstSize.width, 900.0, 800.0,
                                  kPanStepPhotoPx).frames;
}

// Writes images as dir/img_000.png, dir/img_001.png, ... and returns the
// printf-style pattern that opens them as one input.
std::string WriteSequence(const std::string& dir, const std::vector<cv::Mat>& images) {
  for (size_t i = 0; i < images.size(); ++i) {
    CV_Assert(cv::imwrite(dir + cv::format("/img_%03zu.png", i), images[i]));
  }
  return dir + "/img_%03d.png";
}

using testsupport::SameBits;

int Open(ioVideo& video, const std::string& path) {
  std::string program = "vmosaic";
  std::string argument = path;
  char* argv[] = {program.data(), argument.data(), nullptr};
  return video.Input_Video(2, argv, kIdDatabase, kIdScaleProcess);
}

int Next(ioVideo& video) { return video.Read_NextFrame(kIdDatabase, kIdScaleProcess); }

using testsupport::ScratchDir;

TEST(IoVideoImageSequence, FrameOfAnotherSizeEndsTheInputWithANote) {
  const ScratchDir scratch("io_sequence_size_");
  const std::string& dir = scratch.path;
  constexpr int kSameSizeFrames = 3;
  std::vector<cv::Mat> images = RenderPan(kSameSizeFrames, kFirstSize);
  for (const cv::Mat& smaller : RenderPan(2, kLaterSize)) images.push_back(smaller);
  const std::string pattern = WriteSequence(dir, images);

  ioVideo video;
  ASSERT_EQ(Open(video, pattern), 1);
  EXPECT_EQ(video.imageW, kFirstSize.width);
  EXPECT_EQ(video.imageH, kFirstSize.height);
  for (int i = 1; i < kSameSizeFrames; ++i) {
    ASSERT_EQ(Next(video), 1) << "frame " << i;
    EXPECT_TRUE(SameBits(video.getframe_Current(), images[i]));
  }

  ::testing::internal::CaptureStderr();
  const int afterChange = Next(video);
  const std::string note = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(afterChange, 0);
  EXPECT_NE(note.find("frame size changed from 320x240 to 160x120"), std::string::npos) << note;
  EXPECT_TRUE(video.getframe_Current().empty());
  EXPECT_TRUE(SameBits(video.getframe_Previous(), images[kSameSizeFrames - 1]));
  // The size stays that of the first frame.
  EXPECT_EQ(video.imageW, kFirstSize.width);
  EXPECT_EQ(video.imageH, kFirstSize.height);
}

TEST(IoVideoImageSequence, GreyBgraAndSixteenBitImagesArriveAsEightBitBgr) {
  const std::vector<cv::Mat> colour = RenderPan(3, kFirstSize);

  std::vector<cv::Mat> grey, bgra, deep;
  std::vector<cv::Mat> expectedGrey;
  for (const cv::Mat& image : colour) {
    std::vector<cv::Mat> planes;
    cv::split(image, planes);
    grey.push_back(planes[1]);
    expectedGrey.push_back([&] {
      cv::Mat three;
      cv::merge(std::vector<cv::Mat>{planes[1], planes[1], planes[1]}, three);
      return three;
    }());
    cv::Mat alpha(image.size(), CV_8UC1, cv::Scalar(128));
    planes.push_back(alpha);
    cv::Mat withAlpha;
    cv::merge(planes, withAlpha);
    bgra.push_back(withAlpha);
    cv::Mat sixteen;
    image.convertTo(sixteen, CV_16UC3, 257.0);  // 255 -> 65535
    deep.push_back(sixteen);
  }

  struct Case {
    const char* name;
    const std::vector<cv::Mat>& images;
    const std::vector<cv::Mat>& expected;
  };
  for (const Case& c : {Case{"grey", grey, expectedGrey}, Case{"bgra", bgra, colour},
                        Case{"sixteen_bit", deep, colour}}) {
    SCOPED_TRACE(c.name);
    const ScratchDir scratch(std::string("io_sequence_") + c.name + "_");
    const std::string pattern = WriteSequence(scratch.path, c.images);
    ioVideo video;
    ASSERT_EQ(Open(video, pattern), 1);
    EXPECT_TRUE(SameBits(video.getframe_Current(), c.expected[0]));
    for (size_t i = 1; i < c.images.size(); ++i) {
      ASSERT_EQ(Next(video), 1) << "frame " << i;
      EXPECT_TRUE(SameBits(video.getframe_Previous(), c.expected[i - 1])) << "frame " << i;
      EXPECT_TRUE(SameBits(video.getframe_Current(), c.expected[i])) << "frame " << i;
    }
    EXPECT_EQ(Next(video), 0);
  }
}

}  // namespace
