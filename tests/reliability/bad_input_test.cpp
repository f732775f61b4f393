// The program on inputs and arguments it cannot use as they are: each run is a
// subprocess with a time limit that must end by itself (no signal, no hang)
// with the documented status and message, and must leave no partial or
// corrupted result: a pano_Mean.png from an earlier run stays byte-identical
// when a run fails before writing. (Missing paths, directories, unreadable,
// empty and text files, frameless and one-frame videos, a uniform video and a
// change of frame size are covered by the driver's CLI tests; here they are
// only checked for keeping an earlier result.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <random>

#include "tests/support/test_support.hpp"

namespace {

using testing::HasSubstr;
using testsupport::NumberOfNodes;
using testsupport::RunResult;
using testsupport::ScratchDir;

constexpr int kRunLimitSeconds = 90;  // a run that needs longer has hung

// The run ended by itself, in time, with the given status.
void ExpectCleanExit(const RunResult& run, int status) {
  EXPECT_FALSE(run.timedOut) << "did not finish within " << kRunLimitSeconds << " s";
  EXPECT_EQ(run.termSignal, 0) << "ended by signal; stderr:\n" << run.err;
  EXPECT_EQ(run.exitCode, status) << "stdout:\n" << run.out << "\nstderr:\n" << run.err;
}

bool EndsWithTotalTime(const std::string& out) {
  return testing::Value(out, testing::ContainsRegex("\nTotal processing time: [0-9]+\\.[0-9]{6} seconds$"));
}


const cv::Size kFrameSize(320, 240);
constexpr double kZoom = 0.5;            // frame pixels per photo pixel
constexpr double kPanStepPhotoPx = 20.0;  // 10 frame pixels per frame
constexpr int kPanFrames = 24;
constexpr double kFps = 10.0;

const char* const kNotFound = "Video File is not found\\.\\.\\.";
const char* const kNotInput = "\nNot Input\\.\\.\\.";

class BadInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    videos_ = new ScratchDir("vmosaic_bad_input_videos_");
    ASSERT_FALSE(videos_->path.empty());
    const std::vector<cv::Mat> pan =
        testsupport::SidewaysPan(kPanFrames, kFrameSize, kZoom, 700, 800, kPanStepPhotoPx).frames;
    ASSERT_TRUE(render::WriteVideo(Video("pan.mkv"), pan, kFps));
    ASSERT_TRUE(render::WriteVideo(Video("pan.mp4"), pan, kFps));
    ASSERT_TRUE(render::WriteVideo(Video("two.mkv"), {pan[0], pan[1]}, kFps));
  }
  static void TearDownTestSuite() {
    delete videos_;
    videos_ = nullptr;
  }
  static std::string Video(const std::string& name) { return videos_->file(name); }
  RunResult Run(const std::vector<std::string>& args,
                int limitSeconds = kRunLimitSeconds) const {
    return testsupport::RunVmosaic(args, work_.path, limitSeconds);
  }
  std::string Work(const std::string& name) const { return work_.file(name); }

  // A result of an earlier run, to be kept by runs that fail.
  std::string PlaceEarlierResult() const { return testsupport::PlaceEarlierResult(work_.path); }
  void ExpectEarlierResultKept(const std::string& earlier) const {
    EXPECT_EQ(testsupport::ReadFile(Work("pano_Mean.png")), earlier)
        << "pano_Mean.png of the earlier run was changed";
    EXPECT_FALSE(testsupport::FileExists(Work("pano_Median.png")));
    EXPECT_THAT(testsupport::TemporaryFiles(work_.path), testing::IsEmpty());
  }
  // The run composed and wrote a mosaic that decodes as a whole image.
  void ExpectComposedMosaic(const RunResult& run) const {
    EXPECT_TRUE(EndsWithTotalTime(run.out)) << run.out;
    const cv::Mat mean = cv::imread(Work("pano_Mean.png"), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(mean.empty()) << "no readable pano_Mean.png";
    EXPECT_EQ(mean.type(), CV_8UC3);
    EXPECT_GE(mean.cols, kFrameSize.width);
    EXPECT_GE(mean.rows, kFrameSize.height);
    EXPECT_THAT(testsupport::TemporaryFiles(work_.path), testing::IsEmpty());
  }
  // A bytewise copy of a rendered video with `edit` applied to its bytes.
  std::string EditedCopy(const std::string& video, const std::string& name,
                         void (*edit)(std::string&)) const {
    std::string bytes = testsupport::ReadFile(Video(video));
    edit(bytes);
    std::ofstream(Work(name), std::ios::binary) << bytes;
    return Work(name);
  }

  static ScratchDir* videos_;
  ScratchDir work_{"vmosaic_bad_input_run_"};
};

ScratchDir* BadInputTest::videos_ = nullptr;

// --- Inputs that give no frame pair: an earlier result survives ---------------

TEST_F(BadInputTest, UnusableInputsFailWithStatusOneAndKeepAnEarlierResult) {
  std::ofstream(Work("empty.mp4")).close();
  std::ofstream(Work("notes.mp4")) << "not a video, just some words\n";
  std::filesystem::create_directory(Work("folder.mp4"));
  std::filesystem::copy_file(Video("pan.mkv"), Work("locked.mkv"));
  ASSERT_EQ(chmod(Work("locked.mkv").c_str(), 0), 0);
  cv::VideoWriter(Work("no_frames.avi"), cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), kFps, kFrameSize)
      .release();
  const std::string either = std::string(kNotFound) + "|" + kNotInput;
  const std::pair<std::string, std::string> cases[] = {  // input, message (a regex)
      {"missing.mp4", kNotFound}, {"folder.mp4", kNotFound}, {"empty.mp4", either},
      {"notes.mp4", either},      {"no_frames.avi", kNotInput},
      // Permissions do not stop root from reading.
      {"locked.mkv", geteuid() == 0 ? ".*" : kNotFound}};
  for (const auto& [input, message] : cases) {
    SCOPED_TRACE(input);
    const std::string earlier = PlaceEarlierResult();
    const RunResult run = Run({Work(input), "90", "0", "1"});
    if (message == ".*") continue;
    ExpectCleanExit(run, 1);
    EXPECT_THAT(run.out, testing::MatchesRegex(message));
    ExpectEarlierResultKept(earlier);
  }
}

// One frame (or a frame limit of 1) composes nothing, so nothing is written
// and an earlier result is not replaced by an empty one.
TEST_F(BadInputTest, RunsWithoutAFramePairWriteNothing) {
  const std::string single = Work("single.mkv");
  ASSERT_TRUE(render::WriteVideo(
      single, testsupport::SidewaysPan(1, kFrameSize, kZoom, 700, 800, kPanStepPhotoPx).frames, kFps));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{single, "90", "0", "1"},
        std::vector<std::string>{Video("pan.mkv"), "90", "0", "1", "1"}}) {
    SCOPED_TRACE(args.front() + " with " + std::to_string(args.size()) + " arguments");
    const std::string earlier = PlaceEarlierResult();
    const RunResult run = Run(args);
    ExpectCleanExit(run, 0);
    const std::string seconds = " " + testsupport::kFloat + " seconds";
    EXPECT_THAT(run.out, testsupport::HasLines(testing::ElementsAre(
                             "", testing::MatchesRegex("Time processing AVL Binary Tree Construction:" + seconds),
                             "Binary Tree empty...",
                             testing::MatchesRegex("Time processing CalculateCenteredPanorama:" + seconds),
                             testing::MatchesRegex("Total processing time:" + seconds))));
    ExpectEarlierResultKept(earlier);
  }
}

TEST_F(BadInputTest, TwoFramesMakeOnePairAndAMosaic) {
  const RunResult run = Run({Video("two.mkv"), "100"});
  ExpectCleanExit(run, 0);
  EXPECT_EQ(NumberOfNodes(run.out), 2) << run.out;
  ExpectComposedMosaic(run);
  // The second frame is 10 pixels to the right of the first.
  const cv::Mat mean = cv::imread(Work("pano_Mean.png"));
  EXPECT_NEAR(mean.cols, kFrameSize.width + 10, 2);
}

// --- Damaged files ------------------------------------------------------------

void CutInHalf(std::string& bytes) { bytes.resize(bytes.size() / 2); }

// Overwrites a tenth of the file, from its middle on, with seeded noise.
void ScrambleTheMiddle(std::string& bytes) {
  std::mt19937 random(20240611u);
  std::uniform_int_distribution<int> byte(0, 255);
  const size_t from = bytes.size() / 2;
  const size_t to = from + bytes.size() / 10;
  for (size_t i = from; i < to && i < bytes.size(); ++i) bytes[i] = static_cast<char>(byte(random));
}

// Lossless FFV1 in Matroska has its index at the front: a cut or scrambled
// file still yields its first frames, which are composed.
TEST_F(BadInputTest, DamagedMatroskaComposesTheFramesBeforeTheDamage) {
  for (auto [name, edit] : {std::pair{"cut.mkv", CutInHalf}, std::pair{"scrambled.mkv",
                                                                        ScrambleTheMiddle}}) {
    SCOPED_TRACE(name);
    const RunResult run = Run({EditedCopy("pan.mkv", name, edit), "100"});
    ExpectCleanExit(run, 0);
    const int nodes = NumberOfNodes(run.out);
    EXPECT_GE(nodes, 2) << run.out;
    EXPECT_LE(nodes, kPanFrames) << run.out;
    ExpectComposedMosaic(run);
  }
}

// H.264 in MP4 as written here keeps its index at the end: a cut file has no
// index and is refused. A scrambled one is decoded as far as the decoder
// gets: when it cannot deliver even the first frame (frame-threaded decoding
// reads ahead into the damage) the input is refused like a frameless video,
// otherwise what it delivers is composed.
TEST_F(BadInputTest, DamagedMp4IsRefusedOrComposedButNeverCrashes) {
  for (auto [name, edit] : {std::pair{"cut.mp4", CutInHalf}, std::pair{"scrambled.mp4",
                                                                        ScrambleTheMiddle}}) {
    SCOPED_TRACE(name);
    const std::string earlier = PlaceEarlierResult();
    const RunResult run = Run({EditedCopy("pan.mp4", name, edit), "100"});
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.termSignal, 0) << run.err;
    if (run.exitCode == 1) {
      EXPECT_THAT(run.out, testing::MatchesRegex(std::string(kNotFound) + "|" + kNotInput));
      ExpectEarlierResultKept(earlier);
    } else {
      EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
      EXPECT_GE(NumberOfNodes(run.out), 2) << run.out;
      ExpectComposedMosaic(run);
    }
  }
}

// --- Content that registers badly -------------------------------------------------

TEST_F(BadInputTest, NoiseVideoEndsWithoutWaitingAndWritesAWholeImage) {
  constexpr int kFrames = 6;
  std::vector<cv::Mat> noise;
  cv::RNG random(7);  // seeded
  for (int i = 0; i < kFrames; ++i) {
    cv::Mat frame(kFrameSize, CV_8UC3);
    random.fill(frame, cv::RNG::UNIFORM, 0, 256);
    noise.push_back(frame);
  }
  const std::string path = Work("noise.mkv");
  ASSERT_TRUE(render::WriteVideo(path, noise, kFps));
  const RunResult run = Run({path, "100"});
  ExpectCleanExit(run, 0);
  EXPECT_TRUE(EndsWithTotalTime(run.out)) << run.out;
  // Whatever registered (or fell back to the identity) is composed whole.
  if (testsupport::FileExists(Work("pano_Mean.png"))) ExpectComposedMosaic(run);
}

// The camera zooms out to almost nothing: successive frames shrink the view
// so much that the tree refuses key frames (determinant test) or the canvas
// bound skips them. Either way the run ends by itself and writes a mosaic of
// what it kept.
TEST_F(BadInputTest, ZoomToNearlyNothingEndsCleanly) {
  constexpr int kFrames = 12;
  const cv::Mat photo = testsupport::TestPhoto();
  render::CameraPose near;
  near.centreX = 1280.0;
  near.centreY = 800.0;
  near.zoom = 2.0;
  render::CameraPose far = near;
  far.zoom = 0.01;
  const std::string path = Work("zoom.mkv");
  ASSERT_TRUE(render::WriteVideo(
      path, render::RenderSequence(photo, render::Interpolate(near, far, kFrames), kFrameSize),
      kFps));
  const RunResult run = Run({path, "100"});
  ExpectCleanExit(run, 0);
  EXPECT_TRUE(EndsWithTotalTime(run.out)) << run.out;
  const int nodes = NumberOfNodes(run.out);
  EXPECT_GE(nodes, 1) << run.out;
  EXPECT_LT(nodes, kFrames) << "every frame of a collapsing zoom was kept:\n" << run.out;
  ExpectComposedMosaic(run);
}

// 8K frames (7680x4320): two frames shifted sideways, one pair. The slowest
// case of the suite (about a minute and 4 GB in a release build); the
// sanitizer run leaves it out.
TEST_F(BadInputTest, SlowVeryLargeFramesAreComposed) {
  const cv::Size kLarge(7680, 4320);
  constexpr int kShiftPx = 64;
  cv::Mat photo;
  cv::resize(testsupport::TestPhoto(), photo, cv::Size(kLarge.width + 4 * kShiftPx,
                                                      kLarge.height + 4 * kShiftPx));
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 2; ++i) frames.push_back(photo(cv::Rect(cv::Point(i * kShiftPx, 0), kLarge)));
  const std::string path = Work("large.avi");
  {
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), kFps,
                           kLarge);
    ASSERT_TRUE(writer.isOpened());
    for (const cv::Mat& frame : frames) writer.write(frame.clone());
  }
  // A minute alone; sharing the cores with other tests it may take a few.
  constexpr int kLargeRunLimitSeconds = 240;
  const RunResult run = Run({path, "100"}, kLargeRunLimitSeconds);
  ExpectCleanExit(run, 0);
  EXPECT_EQ(NumberOfNodes(run.out), 2) << run.out;
  const cv::Mat mean = cv::imread(Work("pano_Mean.png"));
  ASSERT_FALSE(mean.empty());
  EXPECT_NEAR(mean.cols, kLarge.width + kShiftPx, 4);
  EXPECT_NEAR(mean.rows, kLarge.height, 4);
}

// --- Arguments ----------------------------------------------------------------

// Arguments are read as whole numbers the way atoi reads them (text that is
// not a number is 0), except that numbers beyond int saturate. With an
// overlap threshold at or below 0 no frame is ever at or below it, so only
// the root is a key frame; a huge threshold makes every frame a key frame.
TEST_F(BadInputTest, OverlapArgumentsOutOfRangeGiveDefinedTrees) {
  const std::string video = Video("pan.mkv");
  struct Case {
    const char* overlap;
    int nodes;
  };
  for (const Case c : {Case{"-5", 1}, Case{"abc", 1}, Case{"1e9", 1},
                       Case{"99999999999999999999", kPanFrames}, Case{"1000000000", kPanFrames}}) {
    SCOPED_TRACE(c.overlap);
    const RunResult run = Run({video, c.overlap});
    ExpectCleanExit(run, 0);
    EXPECT_EQ(NumberOfNodes(run.out), c.nodes) << run.out;
  }
}

TEST_F(BadInputTest, FeatureMethodOutOfRangeRegistersNothingButEnds) {
  for (const char* method : {"7", "-1"}) {
    SCOPED_TRACE(method);
    const RunResult run = Run({Video("two.mkv"), "100", method});
    ExpectCleanExit(run, 0);
    EXPECT_NE(run.out.find("\nNo existe Hij...."), std::string::npos) << run.out;
    EXPECT_TRUE(EndsWithTotalTime(run.out)) << run.out;
  }
}

// A frame limit at or below 0, or not a number, means no limit; a huge one
// is never reached.
TEST_F(BadInputTest, FrameLimitNotPositiveOrHugeMeansNoLimit) {
  for (const char* limit : {"-1", "x", "-99999999999999999999", "99999999999999999999"}) {
    SCOPED_TRACE(limit);
    const RunResult run = Run({Video("pan.mkv"), "100", "0", "0", limit});
    ExpectCleanExit(run, 0);
    EXPECT_EQ(NumberOfNodes(run.out), kPanFrames) << run.out;
  }
}

// --- Output that cannot be written -------------------------------------------

// A directory named pano_Mean.png stops the rename even as root: the run
// reports it on standard error, ends with status 1 and leaves no temporary
// file; the median, written separately, is still delivered.
TEST_F(BadInputTest, UnwritableResultIsReportedWithStatusOne) {
  ASSERT_TRUE(std::filesystem::create_directory(Work("pano_Mean.png")));
  const RunResult run = Run({Video("two.mkv"), "100", "0", "1"});
  ExpectCleanExit(run, 1);
  EXPECT_TRUE(EndsWithTotalTime(run.out)) << run.out;
  EXPECT_THAT(run.err, HasSubstr("vmosaic: could not write pano_Mean.png"));
  EXPECT_TRUE(std::filesystem::is_directory(Work("pano_Mean.png")));
  EXPECT_TRUE(std::filesystem::is_empty(Work("pano_Mean.png")));
  EXPECT_FALSE(cv::imread(Work("pano_Median.png")).empty());
  EXPECT_THAT(testsupport::TemporaryFiles(work_.path), testing::IsEmpty());
}

}  // namespace
