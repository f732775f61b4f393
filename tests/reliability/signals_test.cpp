// Interrupting a run. The first SIGINT (Ctrl-C) while frames are read ends
// the input as Esc does: what was read is composed and written, with a note
// on standard error. A second SIGINT, or SIGTERM, stops at once by that
// signal and leaves no partial result: an earlier pano_Mean.png is untouched
// and no temporary file remains, even when the signal lands while an image
// is being written.
//
// The tests synchronise on what the process observably does, not on time:
// the read position of its video file (/proc/PID/fdinfo), its note on
// standard error, and the creation of its temporary file (inotify).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability/reliability_support.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

using reliability::ScratchDir;

const cv::Size kFrameSize(160, 120);
constexpr double kZoom = 0.25;           // frame pixels per photo pixel
constexpr double kPanStepPhotoPx = 4.0;  // one frame pixel per frame
constexpr int kLongVideoFrames = 500;    // still being read when interrupted
constexpr double kFps = 25.0;
// Interrupt once this share of the video file has been read: well inside
// the frame loop, far from its end.
constexpr double kReadShareBeforeSignal = 0.2;
constexpr auto kPollInterval = std::chrono::microseconds(200);
constexpr auto kRunLimit = std::chrono::seconds(reliability::kRunLimitSeconds);

const char* const kInterruptNote = "vmosaic: interrupted; composing the frames read so far";

// vmosaic started in workDir with standard input on /dev/null; standard
// output and error go to files outside workDir, so that workDir holds only
// what the program writes there.
class Process {
 public:
  Process(const std::vector<std::string>& args, const std::string& workDir,
          const std::string& logDir)
      : outPath_(logDir + "/stdout.txt"), errPath_(logDir + "/stderr.txt") {
    const std::string program = testsupport::VmosaicBinary();
    pid_ = fork();
    if (pid_ != 0) return;
    if (chdir(workDir.c_str()) != 0) _exit(127);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  ~Process() {
    if (pid_ > 0 && !finished_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t Pid() const { return pid_; }
  bool Finished() {
    if (!finished_ && waitpid(pid_, &status_, WNOHANG) == pid_) finished_ = true;
    return finished_;
  }
  // The wait status, or -1 when the run did not end within the limit.
  int Wait() {
    const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    while (!Finished()) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
  }
  // Waits until the process has read at least minBytes of the file at path
  // (the position of its descriptor); false when it ended first.
  bool WaitUntilRead(const std::string& path, long long minBytes) {
    const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Finished()) return false;
      if (ReadPosition(path) >= minBytes) return true;
      std::this_thread::sleep_for(kPollInterval);
    }
    return false;
  }
  // Waits until standard error contains text; false when the run ended first.
  bool WaitForError(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Err().find(text) != std::string::npos) return true;
      if (Finished()) return false;
      std::this_thread::sleep_for(kPollInterval);
    }
    return false;
  }
  std::string Out() const { return testsupport::ReadFile(outPath_); }
  std::string Err() const { return testsupport::ReadFile(errPath_); }

 private:
  // Largest read position among the process's descriptors open on path.
  long long ReadPosition(const std::string& path) const {
    const std::string proc = "/proc/" + std::to_string(pid_);
    long long position = -1;
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", error)) {
      std::error_code linkError;
      const auto target = std::filesystem::read_symlink(fd.path(), linkError);
      if (linkError || target != path) continue;
      std::ifstream info(proc + "/fdinfo/" + fd.path().filename().string());
      std::string key;
      long long value = 0;
      while (info >> key >> value) {
        if (key == "pos:") position = std::max(position, value);
      }
    }
    return position;
  }

  std::string outPath_;
  std::string errPath_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool finished_ = false;
};

bool EndedBy(int status, int signalNumber) {
  return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == signalNumber;
}

class SignalsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    videos_ = new ScratchDir("vmosaic_signals_videos_");
    ASSERT_FALSE(videos_->path.empty());
    ASSERT_TRUE(render::WriteVideo(
        LongVideo(), reliability::RenderPan(kLongVideoFrames, kFrameSize, kZoom, kPanStepPhotoPx),
        kFps));
  }
  static void TearDownTestSuite() {
    delete videos_;
    videos_ = nullptr;
  }
  void SetUp() override {
    work_ = std::make_unique<ScratchDir>("vmosaic_signals_run_");
    logs_ = std::make_unique<ScratchDir>("vmosaic_signals_logs_");
    ASSERT_FALSE(work_->path.empty());
    ASSERT_FALSE(logs_->path.empty());
  }

  static std::string LongVideo() {
    // As /proc shows it: the folder's real path (TMPDIR may be a link).
    return std::filesystem::canonical(videos_->path).string() + "/long.mkv";
  }
  static long long ReadMark() {
    return static_cast<long long>(static_cast<double>(std::filesystem::file_size(LongVideo())) *
                                  kReadShareBeforeSignal);
  }
  std::string PlaceEarlierResult() const {
    const cv::Mat earlier(16, 24, CV_8UC3, cv::Scalar(10, 200, 30));
    EXPECT_TRUE(cv::imwrite(work_->file("pano_Mean.png"), earlier));
    return testsupport::ReadFile(work_->file("pano_Mean.png"));
  }
  void ExpectNoPartialResult(const std::string& earlier) const {
    EXPECT_EQ(testsupport::ReadFile(work_->file("pano_Mean.png")), earlier)
        << "the earlier pano_Mean.png was replaced";
    EXPECT_FALSE(testsupport::FileExists(work_->file("pano_Median.png")));
    const std::vector<std::string> left = reliability::LeftoverTemporaryFiles(work_->path);
    EXPECT_TRUE(left.empty()) << "left behind: " << left.front();
  }

  static ScratchDir* videos_;
  std::unique_ptr<ScratchDir> work_;
  std::unique_ptr<ScratchDir> logs_;
};

ScratchDir* SignalsTest::videos_ = nullptr;

// With threshold 100 every frame is a key frame, so the node count tells how
// many frames were read before the interruption.
TEST_F(SignalsTest, FirstInterruptComposesTheFramesReadSoFar) {
  Process run({LongVideo(), "100"}, work_->path, logs_->path);
  ASSERT_TRUE(run.WaitUntilRead(LongVideo(), ReadMark())) << run.Err();
  ASSERT_EQ(kill(run.Pid(), SIGINT), 0);
  const int status = run.Wait();
  ASSERT_NE(status, -1) << "did not end after SIGINT";
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "\n" << run.Err();
  EXPECT_EQ(WEXITSTATUS(status), 0) << run.Err();
  EXPECT_NE(run.Err().find(kInterruptNote), std::string::npos) << run.Err();
  EXPECT_TRUE(reliability::EndsWithTotalTime(run.Out())) << run.Out();
  const int nodes = reliability::NumberOfNodes(run.Out());
  EXPECT_GE(nodes, 2) << run.Out();
  EXPECT_LT(nodes, kLongVideoFrames) << "the whole video was read:\n" << run.Out();
  const cv::Mat mean = cv::imread(work_->file("pano_Mean.png"));
  ASSERT_FALSE(mean.empty());
  // One frame pixel of pan per frame: the mosaic spans the frames read.
  EXPECT_NEAR(mean.cols, kFrameSize.width + nodes - 1, 3);
  EXPECT_TRUE(reliability::LeftoverTemporaryFiles(work_->path).empty());
}

// The second Ctrl-C arrives once the first has ended the input (its note is
// out), while the mosaic is being composed.
TEST_F(SignalsTest, SecondInterruptStopsAtOnceWithoutAResult) {
  const std::string earlier = PlaceEarlierResult();
  Process run({LongVideo(), "100", "0", "1"}, work_->path, logs_->path);
  ASSERT_TRUE(run.WaitUntilRead(LongVideo(), ReadMark())) << run.Err();
  ASSERT_EQ(kill(run.Pid(), SIGINT), 0);
  ASSERT_TRUE(run.WaitForError(kInterruptNote)) << run.Err();
  ASSERT_EQ(kill(run.Pid(), SIGINT), 0);
  const int status = run.Wait();
  EXPECT_TRUE(EndedBy(status, SIGINT)) << "status " << status << "\n" << run.Err();
  ExpectNoPartialResult(earlier);
}

TEST_F(SignalsTest, TerminateWhileReadingStopsAtOnceWithoutAResult) {
  const std::string earlier = PlaceEarlierResult();
  Process run({LongVideo(), "100"}, work_->path, logs_->path);
  ASSERT_TRUE(run.WaitUntilRead(LongVideo(), ReadMark())) << run.Err();
  ASSERT_EQ(kill(run.Pid(), SIGTERM), 0);
  const int status = run.Wait();
  EXPECT_TRUE(EndedBy(status, SIGTERM)) << "status " << status << "\n" << run.Err();
  EXPECT_EQ(run.Err().find(kInterruptNote), std::string::npos);
  EXPECT_EQ(run.Out().find("\nTotal processing time"), std::string::npos) << run.Out();
  ExpectNoPartialResult(earlier);
}

// SIGTERM the moment the temporary file of pano_Mean.png appears (inotify):
// the image being written is removed and the earlier result stays. The
// frames are large so that encoding the mosaic takes far longer than the
// signal needs to arrive.
TEST_F(SignalsTest, TerminateWhileWritingRemovesTheTemporaryFile) {
  const cv::Size kWideFrame(1280, 720);
  constexpr int kWideFrames = 8;
  constexpr double kWideStepPhotoPx = 160.0;  // zoom 1: 160 frame pixels per frame
  constexpr int kWatchSliceMs = 50;
  const std::string video = work_->path + "_wide.mkv";
  ASSERT_TRUE(render::WriteVideo(
      video, reliability::RenderPan(kWideFrames, kWideFrame, 1.0, kWideStepPhotoPx), kFps));
  const std::string earlier = PlaceEarlierResult();
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, work_->path.c_str(), IN_CREATE), 0);
  Process run({video, "100"}, work_->path, logs_->path);
  bool caught = false;
  const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
  alignas(inotify_event) char events[4096];
  while (!caught && !run.Finished() && std::chrono::steady_clock::now() < deadline) {
    pollfd ready{watch, POLLIN, 0};
    if (poll(&ready, 1, kWatchSliceMs) <= 0) continue;
    const ssize_t got = read(watch, events, sizeof events);
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if (event->len > 0 &&
          std::string(event->name).find("pano_Mean.png.tmp") != std::string::npos) {
        ASSERT_EQ(kill(run.Pid(), SIGTERM), 0);
        caught = true;
        break;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  close(watch);
  std::filesystem::remove(video);
  ASSERT_TRUE(caught) << "no temporary file was seen\n" << run.Err();
  const int status = run.Wait();
  if (status != -1 && WIFEXITED(status)) {
    GTEST_SKIP() << "the image was complete before SIGTERM arrived";
  }
  EXPECT_TRUE(EndedBy(status, SIGTERM)) << "status " << status << "\n" << run.Err();
  ExpectNoPartialResult(earlier);
}

}  // namespace
