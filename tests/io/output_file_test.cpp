// Result files written at once or not at all: targets that are refused or
// cannot be written leave an error that says why and no file behind; the
// directory part of a path as the writers use it.
#include "io/output_file.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "io/geotiff.hpp"
#include "tests/support/test_support.hpp"

namespace {

namespace fs = std::filesystem;

struct RefusedTarget {
  const char* name;
  std::string path;  // under the scratch folder unless absolute
  const char* error;
};

TEST(OutputFile, TargetsThatCannotBeWrittenSayWhyAndLeaveNothing) {
  const testsupport::ScratchDir work("vmosaic_output_file_");
  fs::create_directory(work.file("folder"));
  const RefusedTarget cases[] = {
      {"directory", "folder", "Is a directory"},
      {"missing_folder", "absent/pano.png", "No such file or directory"},
      {"path_too_long", std::string(4096, 'd') + "/pano.png", "File name too long"},
      {"full_device", "/dev/full", "No space left on device"},
  };
  const std::vector<unsigned char> bytes(1000, 7);
  for (const RefusedTarget& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.path[0] == '/' ? c.path : work.file(c.path);
    std::string error;
    EXPECT_FALSE(io::WriteFileAtomically(path, bytes, &error));
    EXPECT_EQ(error, c.error);
  }
  EXPECT_TRUE(fs::is_empty(work.file("folder")));
  EXPECT_EQ(std::distance(fs::directory_iterator(work.path), {}), 1) << "no temporary file left";

  std::string error;
  EXPECT_FALSE(io::CanWrite(work.file("folder"), &error));
  EXPECT_EQ(error, "Is a directory");
  EXPECT_TRUE(io::CanWrite("/dev/full", &error));  // written in place, the failure comes later
  const cv::Mat image(4, 4, CV_8UC3, cv::Scalar::all(9));
  EXPECT_FALSE(io::WriteImageAtomically(work.file("pano.unknown"), image, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(fs::exists(work.file("pano.unknown")));
  EXPECT_TRUE(io::WriteImageAtomically(work.file("pano.png"), image, &error)) << error;
  EXPECT_TRUE(testsupport::SameBits(cv::imread(work.file("pano.png")), image));
  EXPECT_TRUE(io::WriteFileAtomically(work.file("one_byte"), {'*'}, &error)) << error;
  EXPECT_EQ(testsupport::ReadFile(work.file("one_byte")), "*");
}

// A GeoTIFF staged tile by tile: a folder that does not exist is said, and a
// writer abandoned before it finishes removes its staging file.
TEST(OutputFile, TiledGeoTiffFailsCleanlyAndLeavesNothingWhenAbandoned) {
  const testsupport::ScratchDir work("vmosaic_output_geotiff_");
  std::string error;
  io::TiledGeoTiff missing;
  EXPECT_FALSE(missing.Open(work.file("absent/pano.tif"), 64, 64, 3, &error));
  EXPECT_THAT(error, testing::StartsWith("could not create the staging file"));
  {
    io::TiledGeoTiff abandoned;
    ASSERT_TRUE(abandoned.Open(work.file("pano.tif"), 64, 64, 1, &error)) << error;
    const cv::Mat grey(64, 64, CV_8UC1, cv::Scalar(90));
    EXPECT_TRUE(abandoned.Write({0, 0}, grey, cv::Mat(), &error)) << error;
    EXPECT_FALSE(fs::is_empty(work.path));
  }
  EXPECT_TRUE(fs::is_empty(work.path));
}

TEST(OutputFile, DirectoryOfAPath) {
  EXPECT_EQ(io::DirectoryOf("pano.png"), ".");
  EXPECT_EQ(io::DirectoryOf("/pano.png"), "/");
  EXPECT_EQ(io::DirectoryOf("runs/a/pano.png"), "runs/a");
}

}  // namespace
