// The program with a terminal on standard input (a pseudo-terminal here):
// Esc typed there ends the input, and the terminal's mode is put back
// whichever way the run ends, also when it is interrupted (Ctrl-C, SIGTERM).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <opencv2/core.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

constexpr int kRunLimitSeconds = 120;
const cv::Size kFrameSize(160, 120);
constexpr double kFps = 25.0;
constexpr double kZoom = 0.25;  // frame pixels per photo pixel
constexpr double kPanStepPhotoPx = 4.0;
// Long enough that the run is still reading frames when it is interrupted.
constexpr int kLongVideoFrames = 400;
constexpr auto kPollInterval = std::chrono::microseconds(200);
constexpr char kEsc = 27;

std::vector<cv::Mat> RenderPan(int frames) {
  return testsupport::RenderSidewaysPan(frames, kFrameSize, kZoom, 600.0, 800.0, kPanStepPhotoPx);
}

bool InKeyMode(const termios& mode) { return (mode.c_lflag & (ICANON | ECHO)) == 0; }
bool InLineMode(const termios& mode) {
  return (mode.c_lflag & ICANON) != 0 && (mode.c_lflag & ECHO) != 0;
}

// vmosaic with a pseudo-terminal as its controlling terminal and standard
// input; standard output and error go to files in the working folder.
class TerminalRun {
 public:
  explicit TerminalRun(const std::string& workDir) : workDir_(workDir) {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    termios mode{};
    tcgetattr(slave_, &mode);
    mode.c_lflag |= ICANON | ECHO;
    tcsetattr(slave_, TCSANOW, &mode);
  }
  ~TerminalRun() {
    if (pid_ > 0 && !finished_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  TerminalRun(const TerminalRun&) = delete;
  TerminalRun& operator=(const TerminalRun&) = delete;

  bool Open() const { return master_ >= 0 && slave_ >= 0; }

  void Type(const std::string& keys) const {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  void Start(const std::vector<std::string>& args) {
    const std::string program = testsupport::VmosaicBinary();
    const std::string outPath = workDir_ + "/stdout.txt";
    const std::string errPath = workDir_ + "/stderr.txt";
    pid_ = fork();
    if (pid_ != 0) return;
    // Child: a session of its own with the pseudo-terminal as controlling
    // terminal, so it may change the terminal's mode.
    setsid();
    ioctl(slave_, TIOCSCTTY, 0);
    if (chdir(workDir_.c_str()) != 0) _exit(127);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(slave_, 0);
    dup2(out, 1);
    dup2(err, 2);
    close(master_);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }

  // Returns false when the program has ended before it switched the
  // terminal to key mode, or the time limit passed.
  bool WaitForKeyMode() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRunLimitSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (InKeyMode(Mode())) return true;
      if (Poll()) return false;
      std::this_thread::sleep_for(kPollInterval);
    }
    return false;
  }

  // Waits for the end of the program (killing it after the time limit);
  // returns its wait status, or -1 after a kill.
  int Wait() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRunLimitSeconds);
    while (!Poll()) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
  }

  termios Mode() const {
    termios mode{};
    tcgetattr(slave_, &mode);
    return mode;
  }
  pid_t Pid() const { return pid_; }
  std::string Out() const { return testsupport::ReadFile(workDir_ + "/stdout.txt"); }

 private:
  bool Poll() {
    if (finished_) return true;
    if (waitpid(pid_, &status_, WNOHANG) == pid_) finished_ = true;
    return finished_;
  }

  std::string workDir_;
  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  int status_ = 0;
  bool finished_ = false;
};

class VmosaicTerminalTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = testsupport::MakeTempDir("vmosaic_terminal_");
    ASSERT_FALSE(dir_.empty());
    ASSERT_TRUE(render::WriteVideo(dir_ + "/long.mkv", RenderPan(kLongVideoFrames), kFps));
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  void SetUp() override {
    work_ = testsupport::MakeTempDir("vmosaic_terminal_run_");
    ASSERT_FALSE(work_.empty());
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(work_, ignored);
  }

  static std::string dir_;
  std::string work_;
};

std::string VmosaicTerminalTest::dir_;

// Esc typed before the first frame pair: the loop ends at its first key
// poll, so no pair is processed and there is nothing to compose.
TEST_F(VmosaicTerminalTest, EscOnTheTerminalEndsTheInputAndTheModeIsRestored) {
  const std::vector<std::string> args = {dir_ + "/long.mkv", "100"};
  TerminalRun run(work_);
  ASSERT_TRUE(run.Open());
  run.Type(std::string(1, kEsc));
  run.Start(args);
  const int status = run.Wait();
  ASSERT_NE(status, -1) << "did not end within " << kRunLimitSeconds << " s";
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(InLineMode(run.Mode()));
  EXPECT_NE(run.Out().find("\nBinary Tree empty..."), std::string::npos) << run.Out();
  EXPECT_FALSE(testsupport::FileExists(work_ + "/pano_Mean.png"));
}

// A first Ctrl-C ends the input like Esc: the run composes what it read and
// exits normally, with the terminal's mode put back.
TEST_F(VmosaicTerminalTest, InterruptWhileReadingComposesAndRestoresTheTerminalMode) {
  const std::vector<std::string> args = {dir_ + "/long.mkv", "100"};
  TerminalRun run(work_);
  ASSERT_TRUE(run.Open());
  run.Start(args);
  ASSERT_TRUE(run.WaitForKeyMode()) << "the run ended before it read keys from the terminal";
  ASSERT_EQ(kill(run.Pid(), SIGINT), 0);
  const int status = run.Wait();
  ASSERT_NE(status, -1) << "did not end after SIGINT";
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(InLineMode(run.Mode()));
  EXPECT_NE(run.Out().find("\nTotal processing time: "), std::string::npos) << run.Out();
}

// SIGTERM stops at once by that signal, and its handler puts the terminal's
// mode back first.
TEST_F(VmosaicTerminalTest, TerminateWhileReadingRestoresTheTerminalMode) {
  const std::vector<std::string> args = {dir_ + "/long.mkv", "100"};
  TerminalRun run(work_);
  ASSERT_TRUE(run.Open());
  run.Start(args);
  ASSERT_TRUE(run.WaitForKeyMode()) << "the run ended before it read keys from the terminal";
  ASSERT_EQ(kill(run.Pid(), SIGTERM), 0);
  const int status = run.Wait();
  ASSERT_NE(status, -1) << "did not end after SIGTERM";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
  EXPECT_TRUE(InLineMode(run.Mode()));
  EXPECT_FALSE(testsupport::FileExists(work_ + "/pano_Mean.png"));
}

}  // namespace
