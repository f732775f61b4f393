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

#include "tests/reliability/reliability_support.hpp"

namespace {

using reliability::EndsWithTotalTime;
using reliability::ExpectCleanExit;
using testing::HasSubstr;
using testsupport::NumberOfNodes;
using testsupport::RunResult;
using testsupport::ScratchDir;

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
                int limitSeconds = reliability::kRunLimitSeconds) const {
    return testsupport::RunVmosaic(args, work_.path, limitSeconds);
  }
  std::string Work(const std::string& name) const { return work_.file(name); }

  // A result of an earlier run, to be kept by runs that fail.
  std::string PlaceEarlierResult() const { return testsupport::PlaceEarlierResult(work_.path); }
  void ExpectEarlierResultKept(const std::string& earlier) const {
    reliability::ExpectEarlierResultKept(work_.path, earlier);
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
  for (size_t i = bytes.size() / 2, to = i + bytes.size() / 10; i < to; ++i) bytes[i] = static_cast<char>(byte(random));
}

// Lossless FFV1 in Matroska has its index at the front: a cut or scrambled
// file still yields its first frames, which are composed. H.264 in MP4 as
// written here keeps its index at the end: a cut file has no index and is
// refused. A scrambled one is decoded as far as the decoder gets: when it
// cannot deliver even the first frame (frame-threaded decoding reads ahead
// into the damage) the input is refused like a frameless video, otherwise
// what it delivers is composed.
TEST_F(BadInputTest, DamagedVideosAreComposedUpToTheDamageOrRefused) {
  for (const char* video : {"pan.mkv", "pan.mp4"}) {
    for (auto [kind, edit] : {std::pair{"cut_", CutInHalf}, std::pair{"scrambled_", ScrambleTheMiddle}}) {
      SCOPED_TRACE(std::string(kind) + video);
      const std::string earlier = PlaceEarlierResult();
      const RunResult run = Run({EditedCopy(video, kind + std::string(video), edit), "100"});
      if (std::string(video) == "pan.mp4" && run.exitCode == 1) {
        ExpectCleanExit(run, 1);
        EXPECT_THAT(run.out, testing::MatchesRegex(std::string(kNotFound) + "|" + kNotInput));
        ExpectEarlierResultKept(earlier);
        continue;
      }
      ExpectCleanExit(run, 0);
      EXPECT_GE(NumberOfNodes(run.out), 2) << run.out;
      EXPECT_LE(NumberOfNodes(run.out), kPanFrames) << run.out;
      ExpectComposedMosaic(run);
    }
  }
}

// --- Content that registers badly -------------------------------------------------

TEST_F(BadInputTest, NoiseVideoEndsWithoutWaitingAndWritesAWholeImage) {
  std::vector<cv::Mat> noise(6);
  cv::RNG random(7);  // seeded
  for (cv::Mat& frame : noise) random.fill(frame = cv::Mat(kFrameSize, CV_8UC3), cv::RNG::UNIFORM, 0, 256);
  ASSERT_TRUE(render::WriteVideo(Work("noise.mkv"), noise, kFps));
  const RunResult run = Run({Work("noise.mkv"), "100"});
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
  const auto poses = render::Interpolate(testsupport::Pose(1280, 800, 2.0), testsupport::Pose(1280, 800, 0.01), kFrames);
  ASSERT_TRUE(render::WriteVideo(Work("zoom.mkv"), render::RenderSequence(testsupport::TestPhoto(), poses, kFrameSize), kFps));
  const RunResult run = Run({Work("zoom.mkv"), "100"});
  ExpectCleanExit(run, 0);
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
  cv::resize(testsupport::TestPhoto(), photo, kLarge + cv::Size(4 * kShiftPx, 4 * kShiftPx));
  const std::string path = Work("large.avi");
  {
    cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), kFps, kLarge);
    ASSERT_TRUE(writer.isOpened());
    for (int i = 0; i < 2; ++i) writer.write(photo(cv::Rect(cv::Point(i * kShiftPx, 0), kLarge)).clone());
  }
  // A minute alone; sharing the cores with other tests it may take a few.
  const RunResult run = Run({path, "100"}, 240);
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
// A frame limit at or below 0, or not a number, means no limit; a huge one
// is never reached. A feature method out of range registers nothing.
TEST_F(BadInputTest, ArgumentsOutOfRangeGiveDefinedRuns) {
  struct Case {
    std::vector<std::string> args;  // after the video
    int nodes;                      // -1: the pair is not registered
  };
  const std::string kNoPair = "\nNo existe Hij....";
  for (const Case& c : {Case{{"-5"}, 1}, Case{{"abc"}, 1}, Case{{"1e9"}, 1},
                        Case{{"99999999999999999999"}, kPanFrames}, Case{{"1000000000"}, kPanFrames},
                        Case{{"100", "0", "0", "-1"}, kPanFrames}, Case{{"100", "0", "0", "x"}, kPanFrames},
                        Case{{"100", "0", "0", "-99999999999999999999"}, kPanFrames},
                        Case{{"100", "0", "0", "99999999999999999999"}, kPanFrames},
                        Case{{"100", "7"}, -1}, Case{{"100", "-1"}, -1}}) {
    std::vector<std::string> args{Video(c.nodes < 0 ? "two.mkv" : "pan.mkv")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(testing::PrintToString(args));
    const RunResult run = Run(args);
    ExpectCleanExit(run, 0);
    if (c.nodes < 0) {
      EXPECT_THAT(run.out, HasSubstr(kNoPair));
    } else {
      EXPECT_EQ(NumberOfNodes(run.out), c.nodes) << run.out;
    }
    EXPECT_TRUE(EndsWithTotalTime(run.out)) << run.out;
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
