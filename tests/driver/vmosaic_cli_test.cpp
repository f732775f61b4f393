// The vmosaic program as a user runs it: a subprocess in a scratch folder,
// standard input closed, on small videos rendered from the test photo with
// a known camera path. Checks exit status, the exact standard output and the
// files written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

using testsupport::RunResult;

constexpr int kRunLimitSeconds = 120;  // a run that needs longer has hung
const cv::Size kFrameSize(320, 240);
constexpr double kFps = 10.0;
constexpr double kZoom = 0.5;  // frame pixels per photo pixel
constexpr double kStartX = 700.0;
constexpr double kStartY = 800.0;
constexpr int kPanFrames = 12;
constexpr double kPanStepPhotoPx = 20.0;  // 10 frame pixels per frame

// The overlap of two 640-pixel-wide frames shifted sideways by d whole
// pixels, measured on their outlines, is (639 - d) / (639 + d): 90.46 % for
// d = 32, and still between 90.17 % and 90.75 % when the estimate is a pixel
// off either way; 81.8 % for d = 64. At 32 frame pixels per frame, every
// frame becomes a key frame with a threshold of 90.7 or 91, and every second
// one with a threshold of 90.
constexpr int kThresholdFrames = 13;
constexpr double kThresholdStepPhotoPx = 32.0;  // 32 frame pixels (zoom 1 at this width)
const cv::Size kThresholdFrameSize(640, 160);

const char* const kNotFound = "Video File is not found...";
const char* const kNotInput = "\nNot Input...";
const char* const kEmptyTree = "\nBinary Tree empty...";

// Output templates: "%d" stands for one or more digits, "%f" for a number as
// printf's %f writes it (digits, a point, six digits), "%s" for one or more
// characters other than blanks; everything else is literal. Matches text
// from pos on and returns where the match ends (npos if none), appending
// the values of the fields to *fields when given.
size_t MatchAt(const std::string& text, size_t pos, const std::string& pattern,
               std::vector<std::string>* fields = nullptr) {
  const auto digitsFrom = [&text](size_t from) {
    size_t end = from;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    return end;
  };
  for (size_t k = 0; k < pattern.size(); ++k) {
    if (pattern[k] == '%' && k + 1 < pattern.size()) {
      const char kind = pattern[++k];
      size_t end = pos;
      if (kind == 'd') {
        end = digitsFrom(pos);
        if (end == pos) return std::string::npos;
      } else if (kind == 'f') {
        end = digitsFrom(pos);
        if (end == pos || end >= text.size() || text[end] != '.') return std::string::npos;
        const size_t fractionEnd = digitsFrom(end + 1);
        if (fractionEnd - (end + 1) != 6) return std::string::npos;
        end = fractionEnd;
      } else {  // 's'
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
        if (end == pos) return std::string::npos;
      }
      if (fields) fields->push_back(text.substr(pos, end - pos));
      pos = end;
    } else {
      if (pos >= text.size() || text[pos] != pattern[k]) return std::string::npos;
      ++pos;
    }
  }
  return pos;
}

bool MatchesWhole(const std::string& text, const std::string& pattern,
                  std::vector<std::string>* fields = nullptr) {
  return MatchAt(text, 0, pattern, fields) == text.size();
}

const char* const kTreeTimeLine = "\nTime processing AVL Binary Tree Construction: %f seconds";
const char* const kClosingLines =
    "\nTime processing CalculateCenteredPanorama: %f seconds\nTotal processing time: %f seconds";

// Every line the program may print on standard output (its messages begin
// with a line feed and do not end with one, so each is one line here).
bool IsOwnMessage(const std::string& line) {
  static const std::vector<std::string> kMessages = {
      "",
      "Video File is not found...",
      "Not Input...",
      "Time processing AVL Binary Tree Construction: %f seconds",
      "Time processing CalculateCenteredPanorama: %f seconds",
      "Total processing time: %f seconds",
      "Number of nodes: %d",
      "AVL_root:        %d",
      "r*:              %d",
      "Mean Pano...",
      "Median Pano...",
      "Binary Tree empty...",
      "Correspondences < 8...",
      "No existe Hij....",
      "H_33: %s != 1.0  ",
      "AVL Node not inserted: %d",
      "No homography found...",
      "No homography from the 4 points: identity used...",
  };
  for (const std::string& message : kMessages) {
    if (MatchesWhole(line, message)) return true;
  }
  return false;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return lines;
    start = end + 1;
  }
}

void ExpectOnlyOwnMessages(const RunResult& run) {
  for (const std::string& line : SplitLines(run.out)) {
    EXPECT_TRUE(IsOwnMessage(line)) << "unexpected on standard output: \"" << line << "\"";
  }
}

void ExpectCleanExit(const RunResult& run, int status) {
  EXPECT_FALSE(run.timedOut) << "did not finish within " << kRunLimitSeconds << " s";
  EXPECT_EQ(run.termSignal, 0) << "ended by signal; stderr:\n" << run.err;
  EXPECT_EQ(run.exitCode, status) << "stdout:\n" << run.out << "\nstderr:\n" << run.err;
}

// The closing part of a run's output, split around the three timing lines:
// what was printed during the loop, between the tree time and the
// composition time (the reference choice, or the empty-tree message), and
// the three spans in seconds.
struct ClosingOutput {
  bool found = false;
  std::string duringLoop;
  std::string composition;
  double treeSeconds = 0.0;
  double compositionSeconds = 0.0;
  double totalSeconds = 0.0;
};

ClosingOutput ParseClosingOutput(const std::string& out) {
  ClosingOutput closing;
  const size_t treeStart = out.find("\nTime processing AVL Binary Tree Construction: ");
  const size_t closingStart = out.rfind("\nTime processing CalculateCenteredPanorama: ");
  if (treeStart == std::string::npos || closingStart == std::string::npos) return closing;
  std::vector<std::string> tree;
  std::vector<std::string> end;
  const size_t treeEnd = MatchAt(out, treeStart, kTreeTimeLine, &tree);
  if (treeEnd == std::string::npos || treeEnd > closingStart) return closing;
  if (MatchAt(out, closingStart, kClosingLines, &end) != out.size()) return closing;
  closing.found = true;
  closing.duringLoop = out.substr(0, treeStart);
  closing.composition = out.substr(treeEnd, closingStart - treeEnd);
  closing.treeSeconds = std::stod(tree[0]);
  closing.compositionSeconds = std::stod(end[0]);
  closing.totalSeconds = std::stod(end[1]);
  return closing;
}

// Parses a completed run's closing output and checks that the printed total
// is the sum of the two spans (each printed rounded to 1 us).
ClosingOutput ClosingOf(const RunResult& run) {
  constexpr double kPrintRoundingSeconds = 2.5e-6;
  const ClosingOutput closing = ParseClosingOutput(run.out);
  EXPECT_TRUE(closing.found) << "no timing lines at the end of:\n" << run.out;
  if (closing.found) {
    EXPECT_GT(closing.treeSeconds, 0.0);
    EXPECT_NEAR(closing.totalSeconds, closing.treeSeconds + closing.compositionSeconds,
                kPrintRoundingSeconds);
  }
  return closing;
}

// The run's output with the timing numbers blanked, for comparing runs.
std::string WithoutTimes(const std::string& out) {
  std::string blanked;
  size_t pos = 0;
  while (pos < out.size()) {
    const size_t end = MatchAt(out, pos, ": %f seconds");
    if (end != std::string::npos) {
      blanked += ": <t> seconds";
      pos = end;
    } else {
      blanked += out[pos++];
    }
  }
  return blanked;
}

// "\nNumber of nodes: N" of a composed run, or -1.
int NumberOfNodes(const std::string& out) {
  const size_t start = out.find("\nNumber of nodes: ");
  std::vector<std::string> nodes;
  if (start == std::string::npos ||
      MatchAt(out, start, "\nNumber of nodes: %d", &nodes) == std::string::npos) {
    return -1;
  }
  return std::stoi(nodes[0]);
}

std::vector<cv::Mat> RenderPan(int frames, double stepPhotoPx, cv::Size size = kFrameSize) {
  return testsupport::RenderSidewaysPan(frames, size, kZoom * size.width / kFrameSize.width, kStartX,
                                        kStartY, stepPhotoPx);
}

using testsupport::ScratchDir;

class VmosaicCliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    videos_ = new ScratchDir("vmosaic_cli_videos_");
    ASSERT_FALSE(videos_->path.empty());
    const std::vector<cv::Mat> pan = RenderPan(kPanFrames, kPanStepPhotoPx);
    ASSERT_TRUE(render::WriteVideo(Video("pan.mkv"), pan, kFps));
    ASSERT_TRUE(render::WriteVideo(Video("single.mkv"), {pan.front()}, kFps));
    ASSERT_TRUE(render::WriteVideo(Video("threshold.mkv"),
                                   RenderPan(kThresholdFrames, kThresholdStepPhotoPx,
                                             kThresholdFrameSize),
                                   kFps));
    const std::vector<cv::Mat> flat(4, cv::Mat(kFrameSize, CV_8UC3, cv::Scalar(90, 120, 150)));
    ASSERT_TRUE(render::WriteVideo(Video("flat.mkv"), flat, kFps));
  }
  static void TearDownTestSuite() {
    delete videos_;
    videos_ = nullptr;
  }
  void SetUp() override {
    work_ = std::make_unique<ScratchDir>("vmosaic_cli_run_");
    ASSERT_FALSE(work_->path.empty());
  }

  static std::string Video(const std::string& name) { return videos_->file(name); }
  RunResult Run(const std::vector<std::string>& args) const {
    return testsupport::RunVmosaic(args, work_->path, kRunLimitSeconds);
  }
  bool Wrote(const std::string& name) const { return testsupport::FileExists(work_->file(name)); }
  bool WroteNoImage() const { return !Wrote("pano_Mean.png") && !Wrote("pano_Median.png"); }

  static ScratchDir* videos_;
  std::unique_ptr<ScratchDir> work_;
};

ScratchDir* VmosaicCliTest::videos_ = nullptr;

// --- Inputs that cannot be read ---------------------------------------------

TEST_F(VmosaicCliTest, MissingFileOrDirectoryIsNotFoundWithStatusOne) {
  for (const std::string& path : {work_->file("missing.mp4"), work_->path}) {
    SCOPED_TRACE(path);
    const RunResult run = Run({path});
    ExpectCleanExit(run, 1);
    EXPECT_EQ(run.out, kNotFound);
    EXPECT_TRUE(WroteNoImage());
  }
}

TEST_F(VmosaicCliTest, UnreadableFileIsNotFound) {
  if (geteuid() == 0) GTEST_SKIP() << "running as root, where permissions do not stop reading";
  const std::string path = work_->file("locked.mkv");
  std::filesystem::copy_file(Video("pan.mkv"), path);
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  const RunResult run = Run({path});
  ExpectCleanExit(run, 1);
  EXPECT_EQ(run.out, kNotFound);
  EXPECT_TRUE(WroteNoImage());
}

TEST_F(VmosaicCliTest, EmptyOrTextFileIsRefusedWithStatusOne) {
  const std::string empty = work_->file("empty.mp4");
  const std::string text = work_->file("notes.mp4");
  std::ofstream(empty).close();
  std::ofstream(text) << "not a video, just some words\n";
  for (const std::string& path : {empty, text}) {
    SCOPED_TRACE(path);
    const RunResult run = Run({path});
    ExpectCleanExit(run, 1);
    EXPECT_TRUE(run.out == kNotFound || run.out == kNotInput) << run.out;
    EXPECT_TRUE(WroteNoImage());
  }
}

TEST_F(VmosaicCliTest, VideoWithoutFramesIsNotInputWithStatusOne) {
  const std::string path = work_->file("no_frames.avi");
  {
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'),
                           kFps, kFrameSize);
    ASSERT_TRUE(writer.isOpened());
  }
  const RunResult run = Run({path});
  ExpectCleanExit(run, 1);
  EXPECT_EQ(run.out, kNotInput);
  EXPECT_TRUE(WroteNoImage());
}

// --- Runs that process no frame pair ------------------------------------------

TEST_F(VmosaicCliTest, OneFrameVideoComposesNothing) {
  const RunResult run = Run({Video("single.mkv")});
  ExpectCleanExit(run, 0);
  ExpectOnlyOwnMessages(run);
  const ClosingOutput closing = ClosingOf(run);
  ASSERT_TRUE(closing.found);
  EXPECT_EQ(closing.duringLoop, "");
  EXPECT_EQ(closing.composition, kEmptyTree);
  EXPECT_TRUE(WroteNoImage());
}

TEST_F(VmosaicCliTest, FrameLimitOfOneWithFiveArgumentsProcessesNoPair) {
  const RunResult run = Run({Video("pan.mkv"), "90", "0", "1", "1"});
  ExpectCleanExit(run, 0);
  ExpectOnlyOwnMessages(run);
  const ClosingOutput closing = ClosingOf(run);
  ASSERT_TRUE(closing.found);
  EXPECT_EQ(closing.duringLoop, "");
  EXPECT_EQ(closing.composition, kEmptyTree);
  EXPECT_TRUE(WroteNoImage());
}

// --- Arguments ----------------------------------------------------------------

// With an overlap threshold of 100 every frame becomes a key frame, so the
// number of nodes counts the frames read.
TEST_F(VmosaicCliTest, FrameLimitIsReadOnlyWithExactlyFiveArguments) {
  constexpr int kFrameLimit = 3;
  const RunResult limited = Run({Video("pan.mkv"), "100", "0", "0", std::to_string(kFrameLimit)});
  ExpectCleanExit(limited, 0);
  ExpectOnlyOwnMessages(limited);
  ClosingOf(limited);
  EXPECT_EQ(NumberOfNodes(limited.out), kFrameLimit) << limited.out;
  EXPECT_TRUE(Wrote("pano_Mean.png"));

  const RunResult sixArguments =
      Run({Video("pan.mkv"), "100", "0", "0", std::to_string(kFrameLimit), "extra"});
  ExpectCleanExit(sixArguments, 0);
  ExpectOnlyOwnMessages(sixArguments);
  ClosingOf(sixArguments);
  EXPECT_EQ(NumberOfNodes(sixArguments.out), kPanFrames) << sixArguments.out;
  EXPECT_TRUE(Wrote("pano_Mean.png"));
  EXPECT_FALSE(Wrote("pano_Median.png"));
}

TEST_F(VmosaicCliTest, FractionalThresholdCountsAsItsWholePart) {
  const std::string video = Video("threshold.mkv");
  const RunResult fractional = Run({video, "90.7"});
  const RunResult whole = Run({video, "90"});
  const RunResult above = Run({video, "91"});
  for (const RunResult* run : {&fractional, &whole, &above}) {
    ExpectCleanExit(*run, 0);
    ExpectOnlyOwnMessages(*run);
    ClosingOf(*run);
  }
  EXPECT_EQ(WithoutTimes(fractional.out), WithoutTimes(whole.out));
  // The video is made so that 90 and 91 give different key frames; without
  // that the comparison above would prove nothing.
  EXPECT_NE(NumberOfNodes(whole.out), NumberOfNodes(above.out))
      << "90:\n" << whole.out << "\n91:\n" << above.out;
  EXPECT_GE(NumberOfNodes(whole.out), 2);
}

TEST_F(VmosaicCliTest, HelpPrintsUsageAndSucceeds) {
  for (const char* flag : {"-h", "--help"}) {
    SCOPED_TRACE(flag);
    const RunResult run = Run({flag});
    ExpectCleanExit(run, 0);
    EXPECT_EQ(run.out.rfind("Usage: vmosaic", 0), 0u) << run.out;
    EXPECT_TRUE(WroteNoImage());
  }
}

// --- Whole runs -----------------------------------------------------------------

TEST_F(VmosaicCliTest, PanWithMedianReportsTheReferenceAndWritesBothPanoramas) {
  const RunResult run = Run({Video("pan.mkv"), "90", "0", "1"});
  ExpectCleanExit(run, 0);
  ExpectOnlyOwnMessages(run);
  const ClosingOutput closing = ClosingOf(run);
  ASSERT_TRUE(closing.found);
  // A clean pan registers without a failure message.
  EXPECT_EQ(closing.duringLoop, "");
  std::vector<std::string> reference;
  ASSERT_TRUE(MatchesWhole(closing.composition,
                           "\nNumber of nodes: %d\nAVL_root:        %d\nr*:              %d"
                           "\nMean Pano...\nMedian Pano...",
                           &reference))
      << closing.composition;
  const int nodes = std::stoi(reference[0]);
  EXPECT_GE(nodes, 2);
  for (int id : {std::stoi(reference[1]), std::stoi(reference[2])}) {
    EXPECT_GE(id, 1);
    EXPECT_LE(id, nodes);
  }
  EXPECT_TRUE(Wrote("pano_Mean.png"));
  EXPECT_TRUE(Wrote("pano_Median.png"));
  const cv::Mat mean = cv::imread(work_->file("pano_Mean.png"), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(mean.type(), CV_8UC3);
  // The pan spans more than one frame's width.
  EXPECT_GT(mean.cols, kFrameSize.width);
  EXPECT_GE(mean.rows, kFrameSize.height);
}

// After a failed registration the program waits for a key only where one can
// be pressed; with standard input closed it goes on at once.
TEST_F(VmosaicCliTest, FeaturelessVideoDoesNotWaitForAKeyWithoutATerminal) {
  const RunResult run = Run({Video("flat.mkv"), "100"});
  ExpectCleanExit(run, 0);
  ExpectOnlyOwnMessages(run);
  const ClosingOutput closing = ClosingOf(run);
  ASSERT_TRUE(closing.found);
  EXPECT_NE(closing.duringLoop.find("\nCorrespondences < 8..."), std::string::npos) << run.out;
  EXPECT_NE(closing.duringLoop.find("\nNo existe Hij...."), std::string::npos) << run.out;
}

// OpenCV's FFmpeg backend rescales an image sequence to its first size, so
// this run asks for OpenCV's image-sequence backend, which delivers every
// image as stored.
TEST_F(VmosaicCliTest, FrameOfAnotherSizeEndsTheInputAndTheRestIsComposed) {
  constexpr int kSameSizeFrames = 5;
  std::vector<cv::Mat> images = RenderPan(kSameSizeFrames, kPanStepPhotoPx);
  for (const cv::Mat& smaller : RenderPan(3, kPanStepPhotoPx, cv::Size(160, 120))) {
    images.push_back(smaller);
  }
  const std::string frames = work_->file("frames");
  ASSERT_TRUE(std::filesystem::create_directory(frames));
  for (size_t i = 0; i < images.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/img_%03zu.png", i);
    ASSERT_TRUE(cv::imwrite(frames + name, images[i]));
  }

  ASSERT_EQ(setenv("OPENCV_VIDEOIO_PRIORITY_LIST", "CV_IMAGES", 1), 0);
  const RunResult run = Run({frames + "/img_%03d.png", "100"});
  unsetenv("OPENCV_VIDEOIO_PRIORITY_LIST");

  ExpectCleanExit(run, 0);
  ExpectOnlyOwnMessages(run);
  EXPECT_NE(run.err.find("frame size changed from 320x240 to 160x120"), std::string::npos)
      << run.err;
  EXPECT_TRUE(ClosingOf(run).found);
  EXPECT_EQ(NumberOfNodes(run.out), kSameSizeFrames) << run.out;
  EXPECT_TRUE(Wrote("pano_Mean.png"));
}

}  // namespace
