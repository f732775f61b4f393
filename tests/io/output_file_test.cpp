// Result files written at once or not at all: targets that are refused or
// cannot be written leave an error that says why and no file behind; the
// temporary files' names; the directory part of a path as the writers use it.
#include "io/output_file.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <regex>
#include <string>

#include "io/geotiff.hpp"
#include "tests/support/test_support.hpp"

std::vector<std::string> g_createdExclusively;  // paths this process opened with O_EXCL

// Every open of the writer passes here on its way to the C library's.
extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  if ((flags & O_EXCL) != 0)
    g_createdExclusively.push_back(path);
  static const auto real =
      reinterpret_cast<int (*)(const char*, int, ...)>(dlsym(RTLD_NEXT, "open"));
  return real(path, flags, mode);
}

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
  // A path just within PATH_MAX in folders that do not exist: the temporary
  // name beside it would not be.
  std::string deep = work.path;
  while (deep.size() < 4080)
    deep += "/" + std::string(std::min<size_t>(200, 4080 - deep.size()), 'd');
  const RefusedTarget cases[] = {
      {"directory", "folder", "Is a directory"},
      {"missing_folder", "absent/pano.png", "No such file or directory"},
      {"temporary_name_too_long", deep + "/pano.png", "File name too long"},
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

// The temporary file is ".<name>.tmp" and six letters or digits in the
// target's folder (a letter outside them would show in one of 64 names).
TEST(OutputFile, TemporaryNamesAreTheTargetsNameAndSixLetters) {
  const testsupport::ScratchDir work("vmosaic_output_names_");
  g_createdExclusively.clear();
  for (int i = 0; i < 64; ++i)
    ASSERT_TRUE(io::WriteFileAtomically(work.file("r.json"), {'{', '}'}, nullptr));
  ASSERT_EQ(g_createdExclusively.size(), 64u);
  const std::regex temporary(".*/\\.r\\.json\\.tmp[A-Za-z0-9]{6}");
  for (const std::string& name : g_createdExclusively)
    EXPECT_TRUE(std::regex_match(name, temporary)) << name;
}

TEST(OutputFile, DirectoryOfAPath) {
  EXPECT_EQ(io::DirectoryOf("pano.png"), ".");
  EXPECT_EQ(io::DirectoryOf("/pano.png"), "/");
  EXPECT_EQ(io::DirectoryOf("runs/a/pano.png"), "runs/a");
}

}  // namespace
