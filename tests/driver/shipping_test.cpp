// vmosaic as it is shipped: the JSON run report, image-sequence input, the
// installed files, the Debian package, and the help that matches the docs.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

using testsupport::RunProgram;
using testsupport::RunResult;
using testsupport::RunVmosaic;

const cv::Size kFrameSize(320, 240);

std::vector<cv::Mat> RenderPan(int n) {
  render::CameraPose a;
  a.centreX = 1100.0;
  a.centreY = 700.0;
  render::CameraPose b = a;
  b.centreX += 12.0 * (n - 1);
  b.centreY += 3.0 * (n - 1);
  return render::RenderSequence(testsupport::TestPhoto(), render::Interpolate(a, b, n),
                                kFrameSize);
}

// Standard output without the timing figures, which differ between runs.
std::string WithoutTimes(std::string out) {
  for (size_t at = out.find(": "); at != std::string::npos; at = out.find(": ", at + 2)) {
    const size_t end = out.find(" seconds", at);
    if (end != std::string::npos && end - at < 24) out.erase(at + 2, end - at - 2);
  }
  return out;
}

class Shipping : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(testsupport::MakeTempDir("vmosaic-ship-"));
    frames_ = new std::vector<cv::Mat>(RenderPan(20));
    ASSERT_TRUE(render::WriteVideo(*dir_ + "/pan.mkv", *frames_, 10.0));
  }
  static void TearDownTestSuite() {
    delete frames_;
    delete dir_;
  }
  static std::string* dir_;
  static std::vector<cv::Mat>* frames_;
};
std::string* Shipping::dir_ = nullptr;
std::vector<cv::Mat>* Shipping::frames_ = nullptr;

struct KeyFrameEntry {
  int id = 0;
  int frame = 0;
  bool inMosaic = false;
  cv::Mat frameToCanvas;
};

TEST_F(Shipping, JsonReportIsValidAndItsHomographiesPlaceTheKeyFrames) {
  const std::string plain = testsupport::MakeTempDir("vmosaic-json-a-");
  const std::string withJson = testsupport::MakeTempDir("vmosaic-json-b-");
  const std::string video = *dir_ + "/pan.mkv";
  const RunResult a = RunVmosaic({video, "80", "0", "1"}, plain);
  // The option may stand anywhere and does not shift the positional arguments.
  const RunResult b = RunVmosaic({video, "80", "--json", "run.json", "0", "1"}, withJson);
  ASSERT_EQ(a.exitCode, 0) << a.err;
  ASSERT_EQ(b.exitCode, 0) << b.err;
  EXPECT_EQ(WithoutTimes(a.out), WithoutTimes(b.out));
  EXPECT_EQ(testsupport::ReadFile(plain + "/pano_Mean.png"),
            testsupport::ReadFile(withJson + "/pano_Mean.png"));

  const RunResult check =
      RunProgram("/usr/bin/python3",
                 {testsupport::SourceRoot() + "/tests/driver/check_run_report.py",
                  withJson + "/run.json", testsupport::SourceRoot() + "/doc/run-report.schema.json"},
                 withJson);
  ASSERT_EQ(check.exitCode, 0) << "schema validation failed:\n" << check.err;

  std::istringstream lines(check.out);
  std::string word;
  int width = 0, height = 0, originX = 0, originY = 0, reference = 0, keyFrames = 0, framesRead = 0;
  lines >> word >> width >> height >> originX >> originY >> reference >> keyFrames >> framesRead;
  ASSERT_EQ(word, "canvas");
  EXPECT_EQ(framesRead, 20);
  const cv::Mat mean = cv::imread(withJson + "/pano_Mean.png");
  ASSERT_EQ(mean.size(), cv::Size(width, height));
  ASSERT_GE(keyFrames, 2);

  for (int k = 0; k < keyFrames; ++k) {
    KeyFrameEntry entry;
    std::string first;
    lines >> entry.id >> entry.frame >> first;
    entry.inMosaic = first != "none";
    ASSERT_TRUE(entry.inMosaic);
    entry.frameToCanvas = cv::Mat(3, 3, CV_64F);
    entry.frameToCanvas.at<double>(0) = std::stod(first);
    for (int i = 1; i < 9; ++i) lines >> entry.frameToCanvas.at<double>(i);
    SCOPED_TRACE("key frame " + std::to_string(entry.id) + ", video frame " +
                 std::to_string(entry.frame));
    ASSERT_GE(entry.frame, 0);
    ASSERT_LT(entry.frame, 20);
    if (entry.id == reference) {
      const cv::Mat shift = (cv::Mat_<double>(3, 3) << 1, 0, -originX, 0, 1, -originY, 0, 0, 1);
      EXPECT_LT(cv::norm(entry.frameToCanvas, shift), 1e-9);
    }
    // The frame warped by its homography lands where the mosaic shows it.
    cv::Mat warped;
    cv::Mat covered;
    cv::warpPerspective((*frames_)[static_cast<size_t>(entry.frame)], warped,
                        entry.frameToCanvas, mean.size(), cv::INTER_NEAREST);
    cv::warpPerspective(cv::Mat(kFrameSize, CV_8UC1, cv::Scalar(255)), covered,
                        entry.frameToCanvas, mean.size(), cv::INTER_NEAREST);
    cv::erode(covered, covered, cv::Mat(), cv::Point(-1, -1), 4);
    ASSERT_GT(cv::countNonZero(covered), kFrameSize.area() / 2);
    EXPECT_GT(testsupport::PsnrOverMask(mean, warped, covered), 27.0);
  }
}

TEST_F(Shipping, ImageSequenceGivesTheSameMosaicAsTheLosslessVideo) {
  const std::string sequence = testsupport::MakeTempDir("vmosaic-seq-");
  for (size_t i = 0; i < frames_->size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/img_%04zu.png", i);
    ASSERT_TRUE(cv::imwrite(sequence + name, (*frames_)[i]));
  }
  const std::string fromVideo = testsupport::MakeTempDir("vmosaic-seq-v-");
  const std::string fromImages = testsupport::MakeTempDir("vmosaic-seq-i-");
  const RunResult v = RunVmosaic({*dir_ + "/pan.mkv", "85", "0", "1"}, fromVideo);
  const RunResult s = RunVmosaic({sequence + "/img_%04d.png", "85", "0", "1"}, fromImages);
  ASSERT_EQ(v.exitCode, 0) << v.err;
  ASSERT_EQ(s.exitCode, 0) << s.err;
  EXPECT_EQ(WithoutTimes(v.out), WithoutTimes(s.out));
  for (const char* name : {"/pano_Mean.png", "/pano_Median.png"}) {
    const std::string bytes = testsupport::ReadFile(fromVideo + name);
    ASSERT_FALSE(bytes.empty()) << name;
    EXPECT_EQ(bytes, testsupport::ReadFile(fromImages + name)) << name;
  }
}

TEST(ShippingDocs, HelpNamesWhatTheManPageAndReadmeDescribe) {
  const std::string dir = testsupport::MakeTempDir("vmosaic-help-");
  const RunResult help = RunVmosaic({"--help"}, dir);
  ASSERT_EQ(help.exitCode, 0);
  const std::string man = testsupport::ReadFile(testsupport::SourceRoot() + "/doc/vmosaic.1");
  const std::string readme = testsupport::ReadFile(testsupport::SourceRoot() + "/README.md");
  for (const char* word : {"VIDEO", "OVERLAP", "FEATURES", "MEDIAN", "FRAME_LIMIT", "json",
                           "version", "help", "pano_Mean.png", "pano_Median.png", "Esc"}) {
    SCOPED_TRACE(word);
    EXPECT_NE(help.out.find(word), std::string::npos);
    EXPECT_NE(man.find(word), std::string::npos);
    EXPECT_NE(readme.find(word), std::string::npos);
  }
  const RunResult version = RunVmosaic({"--version"}, dir);
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind("vmosaic ", 0), 0u);
  EXPECT_NE(man.find(version.out.substr(0, version.out.size() - 1)), std::string::npos)
      << "the man page names another version";
  const RunResult bad = RunVmosaic({"--json"}, dir);
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_EQ(bad.out, "");
}

TEST(ShippingInstall, InstallPutsTheProgramManPageAndSampleUnderThePrefix) {
  const std::string prefix = testsupport::MakeTempDir("vmosaic-prefix-");
  const RunResult install = RunProgram(
      "/usr/bin/cmake", {"--install", testsupport::BuildRoot(), "--prefix", prefix}, prefix, 300);
  ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
  for (const char* file : {"/bin/vmosaic", "/share/man/man1/vmosaic.1",
                           "/share/vmosaic/sample.mp4", "/share/vmosaic/README.md"}) {
    EXPECT_TRUE(testsupport::FileExists(prefix + file)) << file;
  }
  const RunResult version = RunProgram(prefix + "/bin/vmosaic", {"--version"}, prefix);
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind("vmosaic ", 0), 0u);
}

TEST(ShippingPackage, DebianPackageDependsOnItsLibrariesAndRunsTheSample) {
  const std::string build = testsupport::BuildRoot();
  const std::string work = testsupport::MakeTempDir("vmosaic-deb-");
  const RunResult pack = RunProgram(
      "/usr/bin/cpack", {"-G", "DEB", "--config", build + "/CPackConfig.cmake", "-B", work},
      work, 600);
  ASSERT_EQ(pack.exitCode, 0) << pack.out << pack.err;
  const RunResult list = RunProgram("/bin/sh", {"-c", "ls " + work + "/*.deb"}, work);
  ASSERT_EQ(list.exitCode, 0);
  const std::string deb = list.out.substr(0, list.out.find('\n'));
  const RunResult depends = RunProgram("/usr/bin/dpkg-deb", {"-f", deb, "Depends"}, work);
  ASSERT_EQ(depends.exitCode, 0);
  for (const char* library : {"libopencv-core406", "libopencv-videoio406", "libc6"}) {
    EXPECT_NE(depends.out.find(library), std::string::npos) << depends.out;
  }
  const std::string root = work + "/root";
  const RunResult unpack = RunProgram("/usr/bin/dpkg-deb", {"-x", deb, root}, work);
  ASSERT_EQ(unpack.exitCode, 0) << unpack.err;
  const RunResult run = RunProgram(root + "/usr/bin/vmosaic",
                                   {root + "/usr/share/vmosaic/sample.mp4", "80", "0", "0", "40"},
                                   work, 300);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(testsupport::FileExists(work + "/pano_Mean.png"));
}

}  // namespace
