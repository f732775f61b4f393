// Interrupting a run, with a pseudo-terminal as its standard input. Esc typed
// there, or the first SIGINT (Ctrl-C) while frames are read, ends the input:
// what was read is composed and written. A second SIGINT, or SIGTERM, stops
// at once by that signal and leaves no partial result: an earlier
// pano_Mean.png is untouched and no temporary file remains (a signal while an
// image is written: tests/reliability/hostile_input_test.cpp). The terminal's
// mode is put back however the run ends.
//
// The tests synchronise on what the process observably does, not on time:
// the terminal switched to key mode, the read position of its video file
// (/proc/PID/fdinfo) and its note on standard error.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>

#include "tests/reliability/reliability_support.hpp"

namespace {

using testing::HasSubstr;
using testsupport::Process;
using testsupport::ScratchDir;
namespace fs = std::filesystem;

const cv::Size kFrameSize(160, 120);
constexpr int kLongVideoFrames = 500;  // still being read when interrupted
const char* const kInterruptNote = "vmosaic: interrupted; composing the frames read so far";

bool InKeyMode(const termios& mode) {
  return (mode.c_lflag & (ICANON | ECHO)) == 0;
}
bool InLineMode(const termios& mode) {
  return (mode.c_lflag & ICANON) && (mode.c_lflag & ECHO);
}

// Largest read position among the process's descriptors open on path.
long long ReadPosition(pid_t pid, const std::string& path) {
  const std::string proc = "/proc/" + std::to_string(pid);
  long long position = -1;
  std::error_code error;
  for (const auto& fd : fs::directory_iterator(proc + "/fd", error)) {
    std::error_code linkError;
    if (fs::read_symlink(fd.path(), linkError) != path)
      continue;
    std::ifstream info(proc + "/fdinfo/" + fd.path().filename().string());
    std::string key;
    for (long long value = 0; info >> key >> value;)
      position = key == "pos:" ? std::max(position, value) : position;
  }
  return position;
}

class SignalsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {  // one frame pixel of pan per frame
    videos_ = new ScratchDir("vmosaic_signals_videos_");
    ASSERT_TRUE(render::WriteVideo(
        LongVideo(),
        testsupport::SidewaysPan(kLongVideoFrames, kFrameSize, 0.25, 700, 800, 4).frames, 25));
  }
  static void TearDownTestSuite() { delete videos_; }
  // As /proc shows it: the folder's real path (the temporary folder may be a link).
  static std::string LongVideo() { return fs::canonical(videos_->path).string() + "/long.mkv"; }

  // Starts a run on the pseudo-terminal and waits until it reads keys from
  // it and has read a fifth of the video.
  std::unique_ptr<Process> StartAndWaitInsideTheLoop(const std::vector<std::string>& args) {
    auto run = std::make_unique<Process>(testsupport::VmosaicBinary(), args, work_.path,
                                         Process::Options{true, {}, {}});
    const long long mark = static_cast<long long>(fs::file_size(LongVideo()) / 5);
    EXPECT_TRUE(run->WaitUntil([&] { return InKeyMode(run->TerminalMode()); })) << run->Err();
    EXPECT_TRUE(run->WaitUntil([&] { return ReadPosition(run->pid(), LongVideo()) >= mark; }))
        << run->Err();
    return run;
  }

  static inline ScratchDir* videos_ = nullptr;
  ScratchDir work_{"vmosaic_signals_run_"};
};

// Esc typed before the first frame pair: the loop ends at its first key poll,
// so no pair is processed and there is nothing to compose: a failed run.
TEST_F(SignalsTest, EscOnTheTerminalEndsTheInputAndTheModeIsRestored) {
  Process run(testsupport::VmosaicBinary(), {LongVideo(), "100"}, work_.path, {true, {}, {}});
  run.Type("\x1b");
  const testsupport::RunResult result = run.Wait();
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_THAT(result.err, HasSubstr("vmosaic: nothing was composed"));
  EXPECT_TRUE(InLineMode(run.TerminalMode()) &&
              result.out.find("\nBinary Tree empty...") != std::string::npos)
      << result.out;
  EXPECT_FALSE(testsupport::FileExists(work_.file("pano_Mean.png")));
}

// With threshold 100 every frame is a key frame, so the node count tells how
// many frames were read before the interruption.
TEST_F(SignalsTest, FirstInterruptComposesTheFramesReadSoFar) {
  auto run = StartAndWaitInsideTheLoop({LongVideo(), "100"});
  ASSERT_EQ(kill(run->pid(), SIGINT), 0);
  const testsupport::RunResult result = run->Wait();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_TRUE(InLineMode(run->TerminalMode()));
  EXPECT_THAT(result.err, HasSubstr(kInterruptNote));
  EXPECT_TRUE(reliability::EndsWithTotalTime(result.out)) << result.out;
  const int nodes = testsupport::NumberOfNodes(result.out);
  EXPECT_GE(nodes, 2) << result.out;
  EXPECT_LT(nodes, kLongVideoFrames) << "the whole video was read";
  EXPECT_NEAR(cv::imread(work_.file("pano_Mean.png")).cols, kFrameSize.width + nodes - 1,
              3);  // spans the frames read
  EXPECT_THAT(testsupport::TemporaryFiles(work_.path), testing::IsEmpty());
}

// A second Ctrl-C, sent once the first has ended the input (its note is
// out) while the mosaic is composed, or SIGTERM (or SIGXFSZ sent by another
// process, unlike the kernel's own for a write) while frames are read.
TEST_F(SignalsTest, SecondInterruptOrTerminateStopsAtOnceWithoutAResult) {
  for (const int stop : {SIGINT, SIGTERM, SIGXFSZ}) {
    SCOPED_TRACE(stop);
    const std::string earlier = testsupport::PlaceEarlierResult(work_.path);
    auto run = StartAndWaitInsideTheLoop({LongVideo(), "100", "0", "1"});
    if (stop == SIGINT) {
      ASSERT_EQ(kill(run->pid(), SIGINT), 0);
      ASSERT_TRUE(
          run->WaitUntil([&] { return run->Err().find(kInterruptNote) != std::string::npos; }));
    }
    ASSERT_EQ(kill(run->pid(), stop), 0);
    const testsupport::RunResult result = run->Wait();
    EXPECT_EQ(result.termSignal, stop);
    EXPECT_TRUE(InLineMode(run->TerminalMode()));
    // SIGTERM or SIGXFSZ while reading: neither the note nor a completed run.
    EXPECT_TRUE(stop == SIGINT || (result.err.find(kInterruptNote) == std::string::npos &&
                                   result.out.find("\nTotal processing time") == std::string::npos))
        << result.out << result.err;
    reliability::ExpectEarlierResultKept(work_.path, earlier);
  }
}

}  // namespace
