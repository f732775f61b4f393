// vmosaic as it is shipped: the JSON run report, image-sequence input, the
// Debian package (whose files are what `cmake --install` puts under a
// prefix), and the help that matches the docs.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <regex>
#include <sstream>

#include "tests/support/test_support.hpp"

namespace {

using testing::HasSubstr;
using testing::StartsWith;
using testsupport::ReadFile;
using testsupport::RunProgram;
using testsupport::RunResult;
using testsupport::RunVmosaic;
using testsupport::ScratchDir;
using testsupport::SourceRoot;

const cv::Size kFrameSize(320, 240);
constexpr int kFrames = 20;

// The same frames as a PNG sequence, with --json between the positional
// arguments, give the lossless video's output and mosaics byte for byte.
TEST(Shipping, ImageSequenceWithJsonReportMatchesTheVideoAndItsHomographiesPlaceTheKeyFrames) {
  const ScratchDir plain("vmosaic-json-a-"), withJson("vmosaic-json-b-");
  const std::vector<cv::Mat> frames =
      testsupport::RenderPan(kFrames, kFrameSize, testsupport::Pose(1100, 700),
                             testsupport::Pose(1100 + 12 * (kFrames - 1), 700 + 3 * (kFrames - 1)))
          .frames;
  ASSERT_TRUE(render::WriteVideo(plain.file("pan.mkv"), frames, 10.0));
  for (size_t i = 0; i < frames.size(); ++i)
    ASSERT_TRUE(cv::imwrite(withJson.file(cv::format("img_%04zu.png", i)), frames[i]));
  const RunResult a = RunVmosaic({"pan.mkv", "80", "0", "1"}, plain.path);
  const RunResult b =
      RunVmosaic({"img_%04d.png", "80", "--json", "run.json", "0", "1"}, withJson.path);
  ASSERT_EQ(a.exitCode, 0) << a.err;
  ASSERT_EQ(b.exitCode, 0) << b.err;
  const std::regex seconds(": " + testsupport::kFloat + " seconds");
  EXPECT_EQ(std::regex_replace(a.out, seconds, ""), std::regex_replace(b.out, seconds, ""));
  for (const char* name : {"pano_Mean.png", "pano_Median.png"}) {
    const std::string bytes = ReadFile(plain.file(name));
    ASSERT_FALSE(bytes.empty()) << name;
    EXPECT_EQ(bytes, ReadFile(withJson.file(name))) << name;
  }

  // The checker validates against the schema and prints the canvas, then
  // "id frame" and the nine entries of frame_to_canvas per key frame.
  const RunResult check =
      RunProgram("/usr/bin/python3",
                 {SourceRoot() + "/tests/driver/check_run_report.py", withJson.file("run.json"),
                  SourceRoot() + "/doc/run-report.schema.json"},
                 withJson.path);
  ASSERT_EQ(check.exitCode, 0) << "schema validation failed:\n" << check.err;
  std::istringstream lines(check.out);
  std::string word;
  int width = 0, height = 0, originX = 0, originY = 0, reference = 0, keyFrames = 0, framesRead = 0;
  lines >> word >> width >> height >> originX >> originY >> reference >> keyFrames >> framesRead;
  ASSERT_EQ(word, "canvas");
  EXPECT_EQ(framesRead, kFrames);
  const cv::Mat mean = cv::imread(withJson.file("pano_Mean.png"));
  ASSERT_EQ(mean.size(), cv::Size(width, height));
  ASSERT_GE(keyFrames, 2);
  for (int k = 0, id = 0, frame = 0; k < keyFrames; ++k) {
    cv::Mat frameToCanvas(3, 3, CV_64F);
    lines >> id >> frame;
    for (int i = 0; i < 9; ++i)
      ASSERT_TRUE(lines >> frameToCanvas.at<double>(i))
          << "key frame " << id << " not in the mosaic";
    SCOPED_TRACE("key frame " + std::to_string(id) + ", video frame " + std::to_string(frame));
    ASSERT_TRUE(frame >= 0 && frame < kFrames);
    EXPECT_TRUE(id != reference ||
                cv::norm(frameToCanvas, testsupport::Translation(-originX, -originY)) < 1e-9)
        << frameToCanvas;
    // The frame warped by its homography lands where the mosaic shows it.
    cv::Mat warped, covered;
    cv::warpPerspective(frames[static_cast<size_t>(frame)], warped, frameToCanvas, mean.size(),
                        cv::INTER_NEAREST);
    cv::warpPerspective(cv::Mat(kFrameSize, CV_8UC1, 255), covered, frameToCanvas, mean.size(),
                        cv::INTER_NEAREST);
    cv::erode(covered, covered, cv::Mat(), cv::Point(-1, -1), 4);
    ASSERT_GT(cv::countNonZero(covered), kFrameSize.area() / 2);
    EXPECT_GT(testsupport::PsnrOverMask(mean, warped, covered), 27.0);
  }
}

TEST(ShippingDocs, HelpNamesWhatTheManPageAndReadmeDescribe) {
  const ScratchDir dir("vmosaic-help-");
  const RunResult help = RunVmosaic({"--help"}, dir.path), shortHelp = RunVmosaic({"-h"}, dir.path);
  for (const RunResult* run : {&help, &shortHelp})
    EXPECT_TRUE(run->exitCode == 0 && run->out.rfind("Usage: vmosaic", 0) == 0) << run->out;
  EXPECT_FALSE(testsupport::FileExists(dir.file("pano_Mean.png")));
  const std::string man = ReadFile(SourceRoot() + "/doc/vmosaic.1"),
                    readme = ReadFile(SourceRoot() + "/README.md");
  for (const char* word :
       {"VIDEO", "OVERLAP", "FEATURES", "MEDIAN", "FRAME_LIMIT", "json", "version", "help",
        "pano_Mean.png", "pano_Median.png", "Esc", "-blend", "pano_Blend.png"}) {
    for (const std::string* text : {&help.out, &man, &readme})
      EXPECT_THAT(*text, HasSubstr(word));
  }
  const RunResult version = RunVmosaic({"--version"}, dir.path);
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_THAT(version.out, StartsWith("vmosaic "));
  EXPECT_THAT(man, HasSubstr(version.out.substr(0, version.out.size() - 1)))
      << "the man page names another version";
  const RunResult bad = RunVmosaic({"--json"}, dir.path);
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_EQ(bad.out, "");
}

TEST(SlowShippingPackage, DebianPackageDependsOnItsLibrariesAndRunsTheSample) {
  const ScratchDir work("vmosaic-deb-");
  const RunResult pack = RunProgram(
      "/usr/bin/cpack",
      {"-G", "DEB", "--config", testsupport::BuildRoot() + "/CPackConfig.cmake", "-B", work.path},
      work.path, 600);
  ASSERT_EQ(pack.exitCode, 0) << pack.out << pack.err;
  const RunResult list = RunProgram("/bin/sh", {"-c", "ls " + work.path + "/*.deb"}, work.path);
  ASSERT_EQ(list.exitCode, 0);
  const std::string deb = list.out.substr(0, list.out.find('\n'));
  const RunResult depends = RunProgram("/usr/bin/dpkg-deb", {"-f", deb, "Depends"}, work.path);
  for (const char* library : {"libopencv-core406", "libopencv-videoio406", "libc6"})
    EXPECT_THAT(depends.out, HasSubstr(library));
  ASSERT_EQ(RunProgram("/usr/bin/dpkg-deb", {"-x", deb, work.file("root")}, work.path).exitCode, 0);
  for (const char* file : {"bin/vmosaic", "share/man/man1/vmosaic.1", "share/vmosaic/sample.mp4",
                           "share/vmosaic/README.md"}) {
    EXPECT_TRUE(testsupport::FileExists(work.file("root/usr/") + file)) << file;
  }
  const RunResult run = RunProgram(
      work.file("root/usr/bin/vmosaic"),
      {work.file("root/usr/share/vmosaic/sample.mp4"), "80", "0", "0", "40"}, work.path, 300);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(testsupport::FileExists(work.file("pano_Mean.png")));
}

}  // namespace
