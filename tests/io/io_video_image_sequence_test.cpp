// ioVideo on numbered image sequences read by OpenCV's image-sequence
// backend, which hands out every image as stored: frames of another size
// than the first, and grey, BGRA or 16-bit images. (The FFmpeg backend,
// first in OpenCV's default order, rescales and converts such sequences
// itself, so this executable puts the image-sequence backend first.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "io/image_header.hpp"
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

std::vector<cv::Mat> RenderPan(int frames, cv::Size size) {
  return testsupport::SidewaysPan(frames, size, 0.5 * size.width / kFirstSize.width, 900.0, 800.0,
                                  12.0)
      .frames;
}

using testsupport::SameBits;

// Every case ends after its expected frames: a frame of another size than the
// first, or of a depth that is neither 8 nor 16 bits, ends the input with a
// note on standard error.
TEST(IoVideoImageSequence, GreyBgraSixteenBitArriveAsEightBitBgrAndAnotherSizeEndsTheInput) {
  const std::vector<cv::Mat> colour = RenderPan(3, kFirstSize);
  std::vector<cv::Mat> grey, bgra, deep, expectedGrey, resized = colour, floating{colour[0]};
  for (const cv::Mat& image : colour) {
    std::vector<cv::Mat> planes;
    cv::split(image, planes);
    grey.push_back(planes[1]);
    cv::merge(std::vector<cv::Mat>{planes[1], planes[1], planes[1]}, expectedGrey.emplace_back());
    planes.push_back(cv::Mat(image.size(), CV_8UC1, cv::Scalar(128)));
    cv::merge(planes, bgra.emplace_back());
    image.convertTo(deep.emplace_back(), CV_16UC3, 257.0);  // 255 -> 65535
  }
  colour[1].convertTo(floating.emplace_back(), CV_32FC3);  // as TIFF: a depth no frame has
  for (const cv::Mat& smaller : RenderPan(2, {160, 120}))
    resized.push_back(smaller);

  const std::vector<cv::Mat> firstOnly{colour[0]};
  using Images = const std::vector<cv::Mat>*;
  const std::tuple<const char*, Images, Images, const char*> cases[] = {
      // name, images, expected, note
      {"grey", &grey, &expectedGrey, ""},
      {"bgra", &bgra, &colour, ""},
      {"sixteen_bit", &deep, &colour, ""},
      {"size_change", &resized, &colour, "frame size changed from 320x240 to 160x120"},
      {"float", &floating, &firstOnly, "unsupported frame format; input ends here"}};
  for (const auto& [name, images, expected, note] : cases) {
    SCOPED_TRACE(name);
    const testsupport::ScratchDir scratch(std::string("io_sequence_") + name + "_");
    const char* extension = images == &floating ? "tif" : "png";
    for (size_t i = 0; i < images->size(); ++i)
      ASSERT_TRUE(cv::imwrite(scratch.file(cv::format("img_%03zu.", i) + extension), (*images)[i]));
    std::string program = "vmosaic", pattern = scratch.file(std::string("img_%03d.") + extension);
    char* argv[] = {program.data(), pattern.data(), nullptr};
    ioVideo video;
    ASSERT_EQ(video.Input_Video(2, argv, kIdDatabase, kIdScaleProcess), 1);
    EXPECT_TRUE(SameBits(video.getframe_Current(), (*expected)[0]));
    for (size_t i = 1; i < expected->size(); ++i) {
      ASSERT_EQ(video.Read_NextFrame(kIdDatabase, kIdScaleProcess), 1) << "frame " << i;
      EXPECT_TRUE(SameBits(video.getframe_Previous(), (*expected)[i - 1])) << "frame " << i;
      EXPECT_TRUE(SameBits(video.getframe_Current(), (*expected)[i])) << "frame " << i;
    }
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(video.Read_NextFrame(kIdDatabase, kIdScaleProcess), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(*note == '\0' ? err.empty() : err.find(note) != std::string::npos)
        << err;  // a normal end says nothing
    EXPECT_TRUE(video.getframe_Current().empty());
    EXPECT_TRUE(SameBits(video.getframe_Previous(), expected->back()));
    EXPECT_EQ(cv::Size(video.imageW, video.imageH), kFirstSize);  // the first frame's size stays
  }
}

// The size a PNG, JPEG or BMP header declares, read without decoding, is
// the size encoded; a header cut short declares nothing.
TEST(ImageHeader, DeclaredSizeIsTheEncodedSize) {
  const cv::Mat image = RenderPan(1, {37, 23})[0];
  for (const char* extension : {".png", ".jpg", ".bmp"}) {
    std::vector<uchar> bytes;
    ASSERT_TRUE(cv::imencode(extension, image, bytes));
    io::DeclaredSize declared;
    ASSERT_TRUE(io::ReadDeclaredSize(bytes.data(), bytes.size(), &declared)) << extension;
    EXPECT_EQ(cv::Size(static_cast<int>(declared.width), static_cast<int>(declared.height)),
              image.size())
        << extension;
    EXPECT_FALSE(io::ReadDeclaredSize(bytes.data(), 20, &declared)) << extension;
  }
}

// A JPEG whose EXIF orientation is 6 (turn 90 degrees clockwise), as phones
// write them: the frame is turned upright as cv::imread turns it.
TEST(IoVideoImageSequence, ExifOrientationIsHonouredAsImreadHonoursIt) {
  const testsupport::ScratchDir scratch("io_sequence_exif_");
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", RenderPan(1, kFirstSize)[0], jpeg));
  // APP1 after the start marker: "Exif", a big-endian TIFF header, one entry.
  const unsigned char exif[] = {0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0, 0,    'M', 'M',
                                0,    0x2A, 0, 0,  0,   8,   0,   1,   1, 0x12, 0,   3,
                                0,    0,    0, 1,  0,   6,   0,   0,   0, 0,    0,   0};
  jpeg.insert(jpeg.begin() + 2, std::begin(exif), std::end(exif));
  const std::string member = scratch.file("img_000.jpg");
  std::ofstream(member, std::ios::binary)
      .write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
  std::string program = "vmosaic", pattern = scratch.file("img_%03d.jpg");
  char* argv[] = {program.data(), pattern.data(), nullptr};
  ioVideo video;
  ASSERT_EQ(video.Input_Video(2, argv, kIdDatabase, kIdScaleProcess), 1);
  EXPECT_EQ(cv::Size(video.imageW, video.imageH), cv::Size(240, 320));
  EXPECT_TRUE(SameBits(video.getframe_Current(), cv::imread(member)));
}

}  // namespace
