// The interactive four-point homography, driven for real: a virtual X server
// (Xvfb) shows the two windows and xdotool clicks and presses keys in them.
//
// Each estimate runs in a forked child process, so that a hang in a key wait
// or an abort inside the GUI toolkit is caught by a time limit, and each run
// starts with a fresh GUI state. The child writes its standard output, error
// and results into a scratch folder; the test reads the printed points as
// they appear and plans its next click from them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/highgui.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "features/camera_motion_estimation.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFrameWidth = 320;
constexpr int kFrameHeight = 240;
constexpr int kColourMode = 1;

const char* const kXvfbPath = "/usr/bin/Xvfb";
const char* const kXdotoolPath = "/usr/bin/xdotool";
const char* const kScreenGeometry = "1280x1024x24";

// Time limits (they bound a failing run; a passing one is much faster).
constexpr int kXvfbStartTimeoutMs = 15000;
constexpr int kXdotoolTimeoutS = 20;
constexpr int kPrintedLineTimeoutMs = 20000;
constexpr int kChildFinishTimeoutMs = 20000;
constexpr int kPollIntervalMs = 20;

// What the child's estimator holds before the call: a non-identity Hij and
// a flag of 1, so that a fallback to the identity and an untouched flag show.
const cv::Matx33d kPresetHij(1.0, 0.0, 5.0, 0.0, 1.0, 7.0, 0.0, 0.0, 1.0);
constexpr int kPresetFlag = 1;

// The exact fit through four integer pairs is reproduced this closely.
constexpr double kFitTolerance = 1e-6;

// The four points of image i, relative to the first (calibration) click near
// the image centre: no three on one line, all inside a 320x240 frame.
const std::vector<cv::Point> kQuadOffsets = {{0, 0}, {-100, -70}, {110, -60}, {70, 90}};

const char* const kPromptI = "\nClick and Enter key in the 4 points of the Image i:\n";
const char* const kPromptJ = "\nClick and Enter key in the 4 points of the Image j:\n";
const char* const kNoHomographyMessage = "\nNo homography from the 4 points: identity used...";

int MsSince(Clock::time_point start) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Ends a child process we started and reaps it.
void KillAndReap(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
}

// ---------------------------------------------------------------------------
// The virtual X server shared by the GUI tests of this file.

class VirtualDisplay {
 public:
  // Starts Xvfb on a free display number (Xvfb picks it and reports it on a
  // pipe once it accepts connections). Returns false with a reason.
  bool Start(std::string* why) {
    if (access(kXvfbPath, X_OK) != 0 || access(kXdotoolPath, X_OK) != 0) {
      *why = "Xvfb or xdotool is not installed (scripts/install-deps.sh --tests)";
      return false;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      *why = "no pipe for Xvfb";
      return false;
    }
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test
      const int devNull = open("/dev/null", O_RDWR);
      dup2(devNull, 0);
      dup2(devNull, 1);
      dup2(devNull, 2);
      const int kDisplayFd = 3;
      dup2(fds[1], kDisplayFd);  // dup2 clears close-on-exec
      execl(kXvfbPath, kXvfbPath, "-displayfd", std::to_string(kDisplayFd).c_str(), "-screen",
            "0", kScreenGeometry, "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
      close(fds[0]);
      *why = "fork failed";
      return false;
    }
    std::string number;
    const Clock::time_point start = Clock::now();
    while (number.find('\n') == std::string::npos) {
      const int left = kXvfbStartTimeoutMs - MsSince(start);
      pollfd pfd{fds[0], POLLIN, 0};
      if (left <= 0 || poll(&pfd, 1, left) <= 0) break;
      char buffer[32];
      const ssize_t got = read(fds[0], buffer, sizeof(buffer));
      if (got <= 0) break;
      number.append(buffer, static_cast<size_t>(got));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
      Stop();
      *why = "Xvfb did not start";
      return false;
    }
    name_ = ":" + number.substr(0, number.find('\n'));
    return true;
  }

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      const Clock::time_point start = Clock::now();
      while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (MsSince(start) > 2000) {
          KillAndReap(pid_);
          break;
        }
        SleepMs(kPollIntervalMs);
      }
    }
    pid_ = -1;
  }

  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

// ---------------------------------------------------------------------------
// One estimate in a child process.

struct EnvSetting {
  std::string name;
  bool set = false;  // false: unset the variable
  std::string value;
};

struct ChildOutcome {
  bool finished = false;  // the child exited by itself in time
  int exitCode = -1;
  int termSignal = 0;
  bool resultWritten = false;
  cv::Matx33d Hij;
  int banExisteH = -1;
  bool framesUnchanged = false;
  std::string out;
  std::string err;
};

std::string ReadWholeFile(const std::string& path) { return testsupport::ReadFile(path); }

// Child side: runs the estimate and writes what the parent checks.
[[noreturn]] void RunEstimateAndExit(const cv::Mat& frame_i, const cv::Mat& frame_j,
                                     const std::string& dir, const std::vector<EnvSetting>& env) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  for (const EnvSetting& e : env) {
    if (e.set) {
      setenv(e.name.c_str(), e.value.c_str(), 1);
    } else {
      unsetenv(e.name.c_str());
    }
  }
  const int in = open("/dev/null", O_RDONLY);
  const int out = open((dir + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open((dir + "/err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  try {
    const cv::Mat original_i = frame_i.clone();
    const cv::Mat original_j = frame_j.clone();
    CameraMotionEstimation estimator;
    estimator.setOperator(testsupport::StdStreams());
    estimator.Hij = cv::Mat(kPresetHij).clone();
    estimator.ban_ExisteH = kPresetFlag;
    estimator.HomographyEstimation_UserInteraction(frame_i, frame_j, kColourMode, kFrameWidth,
                                                   kFrameHeight);
    const bool unchanged = cv::norm(frame_i, original_i, cv::NORM_INF) == 0.0 &&
                           cv::norm(frame_j, original_j, cv::NORM_INF) == 0.0;
    std::fflush(stdout);
    FILE* result = std::fopen((dir + "/result.txt").c_str(), "w");
    if (result == nullptr) _exit(4);
    std::fprintf(result, "%d %d %d", estimator.ban_ExisteH, unchanged ? 1 : 0,
                 estimator.Hij.type() == CV_64F && estimator.Hij.size() == cv::Size(3, 3) ? 1 : 0);
    if (estimator.Hij.type() == CV_64F && estimator.Hij.size() == cv::Size(3, 3)) {
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) std::fprintf(result, " %.17g", estimator.Hij.at<double>(r, c));
      }
    }
    std::fprintf(result, "\n");
    std::fclose(result);
  } catch (...) {
    _exit(3);
  }
  _exit(0);  // skip the GUI toolkit's teardown and the test framework's exit handlers
}

class EstimateInChild {
 public:
  EstimateInChild(const cv::Mat& frame_i, const cv::Mat& frame_j,
                  const std::vector<EnvSetting>& env = {})
      : dir_(testsupport::MakeTempDir("vmosaic_ui_")) {
    std::fflush(nullptr);  // nothing buffered may be written twice
    pid_ = fork();
    if (pid_ == 0) RunEstimateAndExit(frame_i, frame_j, dir_, env);
  }
  ~EstimateInChild() {
    KillAndReap(pid_);
    for (const char* file : {"/out.txt", "/err.txt", "/result.txt"}) {
      std::remove((dir_ + file).c_str());
    }
    if (!dir_.empty()) rmdir(dir_.c_str());
  }
  EstimateInChild(const EstimateInChild&) = delete;
  EstimateInChild& operator=(const EstimateInChild&) = delete;

  bool started() const { return pid_ > 0 && !dir_.empty(); }
  const std::string& dir() const { return dir_; }
  bool Running() {
    if (pid_ <= 0) return false;
    if (waitpid(pid_, &status_, WNOHANG) == pid_) {
      reaped_ = pid_;
      pid_ = -1;
      return false;
    }
    return true;
  }

  // Waits for the child to end by itself; kills it after the time limit.
  ChildOutcome Finish() {
    ChildOutcome outcome;
    const Clock::time_point start = Clock::now();
    while (Running()) {
      if (MsSince(start) > kChildFinishTimeoutMs) {
        KillAndReap(pid_);
        pid_ = -1;
        break;
      }
      SleepMs(kPollIntervalMs);
    }
    if (reaped_ > 0) {
      outcome.finished = true;
      if (WIFEXITED(status_)) outcome.exitCode = WEXITSTATUS(status_);
      if (WIFSIGNALED(status_)) outcome.termSignal = WTERMSIG(status_);
    }
    outcome.out = ReadWholeFile(dir_ + "/out.txt");
    outcome.err = ReadWholeFile(dir_ + "/err.txt");
    std::istringstream result(ReadWholeFile(dir_ + "/result.txt"));
    int unchanged = 0;
    int isHomography = 0;
    if (result >> outcome.banExisteH >> unchanged >> isHomography) {
      outcome.framesUnchanged = unchanged == 1;
      bool allRead = isHomography == 1;
      for (int k = 0; k < 9 && allRead; ++k) allRead = static_cast<bool>(result >> outcome.Hij.val[k]);
      outcome.resultWritten = allRead;
    }
    return outcome;
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  pid_t reaped_ = -1;
  int status_ = 0;
};

// ---------------------------------------------------------------------------
// Driving the windows.

bool Xdotool(const std::vector<std::string>& args, const std::string& dir, std::string* out) {
  const testsupport::RunResult run =
      testsupport::RunProgram(kXdotoolPath, args, dir, kXdotoolTimeoutS);
  if (out != nullptr) *out = run.out;
  if (run.timedOut || run.exitCode != 0) {
    ADD_FAILURE() << "xdotool failed:" << ::testing::PrintToString(args) << " " << run.err;
    return false;
  }
  return true;
}

// The id of the visible window with exactly this name, waiting for it.
std::string FindWindow(const std::string& name, const std::string& dir) {
  std::string out;
  if (!Xdotool({"search", "--sync", "--onlyvisible", "--name", "^" + name + "$"}, dir, &out)) {
    return "";
  }
  return out.substr(0, out.find('\n'));
}

cv::Size WindowSize(const std::string& window, const std::string& dir) {
  std::string out;
  if (!Xdotool({"getwindowgeometry", "--shell", window}, dir, &out)) return cv::Size();
  cv::Size size;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("WIDTH=", 0) == 0) size.width = std::atoi(line.c_str() + 6);
    if (line.rfind("HEIGHT=", 0) == 0) size.height = std::atoi(line.c_str() + 7);
  }
  return size;
}

// Left click at a position relative to the window's top-left corner.
bool ClickInWindow(const std::string& window, cv::Point at, const std::string& dir) {
  return Xdotool({"mousemove", "--window", window, std::to_string(at.x), std::to_string(at.y),
                  "click", "1"},
                 dir, nullptr);
}

// A key press delivered to the window (focus set first; without a window
// manager nothing else gives it).
bool PressKeyInWindow(const std::string& window, const std::string& dir) {
  return Xdotool({"windowfocus", "--sync", window, "key", "space"}, dir, nullptr);
}

// The positions printed so far, one per "P<n> x:<x> y:<y>" line.
std::vector<cv::Point> PrintedPoints(const std::string& out) {
  std::vector<cv::Point> points;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    int n = 0;
    cv::Point p;
    char tail = 0;
    if (std::sscanf(line.c_str(), "P%d x:%d y:%d%c", &n, &p.x, &p.y, &tail) == 3) {
      points.push_back(p);
    }
  }
  return points;
}

// Waits until the child has printed `count` points; returns them (fewer on
// time-out or when the child ended).
std::vector<cv::Point> WaitForPrintedPoints(EstimateInChild& child, size_t count) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    std::vector<cv::Point> points = PrintedPoints(ReadWholeFile(child.dir() + "/out.txt"));
    if (points.size() >= count || !child.Running() || MsSince(start) > kPrintedLineTimeoutMs) {
      return points;
    }
    SleepMs(kPollIntervalMs);
  }
}

// One confirmed point: the clicks (image coordinates, shown at `offset`
// inside the window), then a key; returns what the child printed for it.
cv::Point ConfirmPoint(EstimateInChild& child, const std::string& window,
                       const std::vector<cv::Point>& imageClicks, cv::Point offset,
                       size_t pointsBefore) {
  for (const cv::Point& click : imageClicks) {
    if (!ClickInWindow(window, click + offset, child.dir())) return cv::Point(-1, -1);
  }
  if (!PressKeyInWindow(window, child.dir())) return cv::Point(-1, -1);
  const std::vector<cv::Point> printed = WaitForPrintedPoints(child, pointsBefore + 1);
  if (printed.size() != pointsBefore + 1) {
    ADD_FAILURE() << "the child printed " << printed.size() << " points, expected "
                  << pointsBefore + 1;
    return cv::Point(-1, -1);
  }
  return printed.back();
}

// Clicks a first point of image i at the window's centre and learns from the
// printed position where the image sits inside the window (OpenCV's Qt
// windows may carry a tool bar above it). Returns the printed point.
bool CalibrateOnFirstPoint(EstimateInChild& child, const std::string& window, cv::Point* first,
                           cv::Point* offset) {
  const cv::Size size = WindowSize(window, child.dir());
  if (size.area() == 0) return false;
  const cv::Point centre(size.width / 2, size.height / 2);
  *first = ConfirmPoint(child, window, {centre}, cv::Point(0, 0), 0);
  *offset = centre - *first;
  return first->x > 0 && first->y > 0;
}

cv::Matx33d Normalised(const cv::Matx33d& H) { return H * (1.0 / H(2, 2)); }

double MaxAbsDifference(const cv::Matx33d& a, const cv::Matx33d& b) {
  double worst = 0.0;
  for (int k = 0; k < 9; ++k) worst = std::max(worst, std::abs(a.val[k] - b.val[k]));
  return worst;
}

cv::Point2d Map(const cv::Matx33d& H, cv::Point p) {
  const cv::Vec3d q = H * cv::Vec3d(p.x, p.y, 1.0);
  return cv::Point2d(q[0] / q[2], q[1] / q[2]);
}

std::string ExpectedStdout(const std::vector<cv::Point>& i, const std::vector<cv::Point>& j) {
  std::string text = kPromptI;
  char line[64];
  for (size_t n = 0; n < i.size(); ++n) {
    std::snprintf(line, sizeof(line), "P%zu x:%d y:%d\n", n + 1, i[n].x, i[n].y);
    text += line;
  }
  text += kPromptJ;
  for (size_t n = 0; n < j.size(); ++n) {
    std::snprintf(line, sizeof(line), "P%zu x:%d y:%d\n", n + 1, j[n].x, j[n].y);
    text += line;
  }
  return text;
}

// Two frames of the lake photo: j looks a little to the right of i.
std::pair<cv::Mat, cv::Mat> RenderFramePair() {
  const cv::Mat photo = testsupport::TestPhoto();
  if (photo.empty()) return {};
  const cv::Size size(kFrameWidth, kFrameHeight);
  render::CameraPose pose_i;
  pose_i.centreX = photo.cols * 0.5;
  pose_i.centreY = photo.rows * 0.5;
  pose_i.zoom = 0.25;
  render::CameraPose pose_j = pose_i;
  pose_j.centreX += 80.0;
  return {render::RenderFrame(photo, render::PhotoToFrame(pose_i, size), size),
          render::RenderFrame(photo, render::PhotoToFrame(pose_j, size), size)};
}

// ---------------------------------------------------------------------------

class UserInteractionGuiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // No OpenCV worker threads in this process: the children are forked.
    cv::setNumThreads(1);
    frames_ = RenderFramePair();
    if (!display_.Start(&skipReason_)) return;
    setenv("DISPLAY", display_.name().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    unsetenv("WAYLAND_DISPLAY");
  }
  static void TearDownTestSuite() { display_.Stop(); }

  void SetUp() override {
    if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
    ASSERT_FALSE(frames_.first.empty()) << "test photo not found";
  }

  // The four points of image i around the calibration click.
  static std::vector<cv::Point> QuadAround(cv::Point first) {
    std::vector<cv::Point> quad;
    for (const cv::Point& d : kQuadOffsets) quad.push_back(first + d);
    return quad;
  }

  static VirtualDisplay display_;
  static std::string skipReason_;
  static std::pair<cv::Mat, cv::Mat> frames_;
};

VirtualDisplay UserInteractionGuiTest::display_;
std::string UserInteractionGuiTest::skipReason_;
std::pair<cv::Mat, cv::Mat> UserInteractionGuiTest::frames_;

// The same four points clicked in both windows: Hij is the identity, the
// printed lines are the clicked positions, the frames are untouched.
TEST_F(UserInteractionGuiTest, SamePointsInBothImagesGiveIdentity) {
  EstimateInChild child(frames_.first, frames_.second);
  ASSERT_TRUE(child.started());
  const std::string window_i = FindWindow("Image i", child.dir());
  ASSERT_FALSE(window_i.empty());
  cv::Point first;
  cv::Point offset;
  ASSERT_TRUE(CalibrateOnFirstPoint(child, window_i, &first, &offset));
  const std::vector<cv::Point> quad = QuadAround(first);
  for (size_t n = 1; n < quad.size(); ++n) {
    ASSERT_EQ(ConfirmPoint(child, window_i, {quad[n]}, offset, n), quad[n]);
  }
  const std::string window_j = FindWindow("Image j", child.dir());
  ASSERT_FALSE(window_j.empty());
  for (size_t n = 0; n < quad.size(); ++n) {
    ASSERT_EQ(ConfirmPoint(child, window_j, {quad[n]}, offset, quad.size() + n), quad[n]);
  }

  const ChildOutcome outcome = child.Finish();
  ASSERT_TRUE(outcome.finished);
  ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
  ASSERT_TRUE(outcome.resultWritten);
  EXPECT_EQ(outcome.out, ExpectedStdout(quad, quad));
  EXPECT_LT(MaxAbsDifference(Normalised(outcome.Hij), cv::Matx33d::eye()), kFitTolerance);
  EXPECT_EQ(outcome.banExisteH, kPresetFlag);
  EXPECT_TRUE(outcome.framesUnchanged);
}

// Image j's points are image i's shifted by a known offset; several clicks
// before one key press keep only the last. Hij is that translation.
TEST_F(UserInteractionGuiTest, ShiftedPointsGiveTranslationAndOnlyLastClickCounts) {
  const cv::Point shift(17, -9);
  const cv::Point decoy(-30, 25);
  EstimateInChild child(frames_.first, frames_.second);
  ASSERT_TRUE(child.started());
  const std::string window_i = FindWindow("Image i", child.dir());
  ASSERT_FALSE(window_i.empty());
  cv::Point first;
  cv::Point offset;
  ASSERT_TRUE(CalibrateOnFirstPoint(child, window_i, &first, &offset));
  const std::vector<cv::Point> quad_i = QuadAround(first);
  std::vector<cv::Point> quad_j;
  for (const cv::Point& p : quad_i) quad_j.push_back(p + shift);

  // Point 2 of image i after a stray click elsewhere.
  ASSERT_EQ(ConfirmPoint(child, window_i, {quad_i[1] + decoy, quad_i[1]}, offset, 1), quad_i[1]);
  for (size_t n = 2; n < quad_i.size(); ++n) {
    ASSERT_EQ(ConfirmPoint(child, window_i, {quad_i[n]}, offset, n), quad_i[n]);
  }
  const std::string window_j = FindWindow("Image j", child.dir());
  ASSERT_FALSE(window_j.empty());
  // Point 1 of image j after two stray clicks.
  ASSERT_EQ(ConfirmPoint(child, window_j, {quad_j[0] - decoy, quad_j[0] + decoy, quad_j[0]},
                         offset, 4),
            quad_j[0]);
  for (size_t n = 1; n < quad_j.size(); ++n) {
    ASSERT_EQ(ConfirmPoint(child, window_j, {quad_j[n]}, offset, 4 + n), quad_j[n]);
  }

  const ChildOutcome outcome = child.Finish();
  ASSERT_TRUE(outcome.finished);
  ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
  ASSERT_TRUE(outcome.resultWritten);
  EXPECT_EQ(outcome.out, ExpectedStdout(quad_i, quad_j));
  const cv::Matx33d translation(1.0, 0.0, shift.x, 0.0, 1.0, shift.y, 0.0, 0.0, 1.0);
  EXPECT_LT(MaxAbsDifference(Normalised(outcome.Hij), translation), kFitTolerance);
  for (size_t n = 0; n < quad_i.size(); ++n) {
    const cv::Point2d mapped = Map(outcome.Hij, quad_i[n]);
    EXPECT_NEAR(mapped.x, quad_j[n].x, kFitTolerance);
    EXPECT_NEAR(mapped.y, quad_j[n].y, kFitTolerance);
  }
  EXPECT_EQ(outcome.banExisteH, kPresetFlag);
  EXPECT_TRUE(outcome.framesUnchanged);
}

// Eight key presses without a click: every point is (0, 0), which admits no
// homography; Hij falls back to the identity with a message, the flag of
// the last automatic estimate stays.
TEST_F(UserInteractionGuiTest, KeysWithoutClicksFallBackToIdentity) {
  EstimateInChild child(frames_.first, frames_.second);
  ASSERT_TRUE(child.started());
  const std::string window_i = FindWindow("Image i", child.dir());
  ASSERT_FALSE(window_i.empty());
  for (size_t n = 0; n < 4; ++n) {
    ASSERT_EQ(ConfirmPoint(child, window_i, {}, cv::Point(0, 0), n), cv::Point(0, 0));
  }
  const std::string window_j = FindWindow("Image j", child.dir());
  ASSERT_FALSE(window_j.empty());
  for (size_t n = 0; n < 4; ++n) {
    ASSERT_EQ(ConfirmPoint(child, window_j, {}, cv::Point(0, 0), 4 + n), cv::Point(0, 0));
  }

  const ChildOutcome outcome = child.Finish();
  ASSERT_TRUE(outcome.finished);
  ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
  ASSERT_TRUE(outcome.resultWritten);
  const std::vector<cv::Point> zeros(4, cv::Point(0, 0));
  EXPECT_EQ(outcome.out, ExpectedStdout(zeros, zeros) + kNoHomographyMessage);
  EXPECT_EQ(outcome.Hij, cv::Matx33d::eye());
  EXPECT_EQ(outcome.banExisteH, kPresetFlag);
}

// Three of image i's points on one line (clicked, not just repeated): no
// proper homography either, so the same fallback.
TEST_F(UserInteractionGuiTest, CollinearClicksFallBackToIdentity) {
  EstimateInChild child(frames_.first, frames_.second);
  ASSERT_TRUE(child.started());
  const std::string window_i = FindWindow("Image i", child.dir());
  ASSERT_FALSE(window_i.empty());
  cv::Point first;
  cv::Point offset;
  ASSERT_TRUE(CalibrateOnFirstPoint(child, window_i, &first, &offset));
  // first, first + (60, 30) and first - (80, 40) lie on one line.
  const std::vector<cv::Point> quad_i = {first, first + cv::Point(60, 30), first - cv::Point(80, 40),
                                         first + cv::Point(-20, 70)};
  for (size_t n = 1; n < quad_i.size(); ++n) {
    ASSERT_EQ(ConfirmPoint(child, window_i, {quad_i[n]}, offset, n), quad_i[n]);
  }
  const std::string window_j = FindWindow("Image j", child.dir());
  ASSERT_FALSE(window_j.empty());
  const std::vector<cv::Point> quad_j = QuadAround(first);  // a proper quadrilateral
  for (size_t n = 0; n < quad_j.size(); ++n) {
    ASSERT_EQ(ConfirmPoint(child, window_j, {quad_j[n]}, offset, 4 + n), quad_j[n]);
  }

  const ChildOutcome outcome = child.Finish();
  ASSERT_TRUE(outcome.finished);
  ASSERT_EQ(outcome.exitCode, 0) << outcome.err;
  ASSERT_TRUE(outcome.resultWritten);
  EXPECT_EQ(outcome.out, ExpectedStdout(quad_i, quad_j) + kNoHomographyMessage);
  EXPECT_EQ(outcome.Hij, cv::Matx33d::eye());
  EXPECT_EQ(outcome.banExisteH, kPresetFlag);
}

// ---------------------------------------------------------------------------
// Without a display the estimate neither opens a window nor aborts: a clear
// error on standard error, Hij the identity, and the process goes on.

// A display number with no X server behind it.
std::string UnusedDisplayName() {
  for (int n = 900; n < 1000; ++n) {
    const std::string socketPath = "/tmp/.X11-unix/X" + std::to_string(n);
    const std::string lockPath = "/tmp/.X" + std::to_string(n) + "-lock";
    if (access(socketPath.c_str(), F_OK) != 0 && access(lockPath.c_str(), F_OK) != 0) {
      return ":" + std::to_string(n);
    }
  }
  return "";
}

void ExpectNoDisplayFallback(const std::vector<EnvSetting>& env) {
  cv::setNumThreads(1);
  const cv::Mat frame(kFrameHeight, kFrameWidth, CV_8UC3, cv::Scalar(40, 90, 160));
  EstimateInChild child(frame, frame, env);
  ASSERT_TRUE(child.started());
  const ChildOutcome outcome = child.Finish();
  ASSERT_TRUE(outcome.finished) << "the estimate did not return without a display";
  EXPECT_EQ(outcome.termSignal, 0) << outcome.err;
  EXPECT_EQ(outcome.exitCode, 0) << outcome.err;
  ASSERT_TRUE(outcome.resultWritten);
  EXPECT_NE(outcome.err.find("the interactive homography needs a display"), std::string::npos)
      << outcome.err;
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.Hij, cv::Matx33d::eye());
  EXPECT_EQ(outcome.banExisteH, kPresetFlag);
  EXPECT_TRUE(outcome.framesUnchanged);
}

const EnvSetting kXcbPlatform{"QT_QPA_PLATFORM", true, "xcb"};
const EnvSetting kNoWayland{"WAYLAND_DISPLAY", false, ""};

TEST(UserInteractionNoDisplayTest, DisplayUnset) {
  ExpectNoDisplayFallback({{"DISPLAY", false, ""}, kNoWayland, kXcbPlatform});
}

TEST(UserInteractionNoDisplayTest, DisplayWithoutServer) {
  const std::string unused = UnusedDisplayName();
  ASSERT_FALSE(unused.empty());
  ExpectNoDisplayFallback({{"DISPLAY", true, unused}, kNoWayland, kXcbPlatform});
}

TEST(UserInteractionNoDisplayTest, MalformedDisplay) {
  ExpectNoDisplayFallback({{"DISPLAY", true, "no-colon-here"}, kNoWayland, kXcbPlatform});
}

// ---------------------------------------------------------------------------

TEST(UserInteractionMouseTest, OnlyLeftButtonPressSetsPoint) {
  CameraMotionEstimation estimator;
  estimator.Point_Mouse = cv::Point(3, 4);
  CameraMotionEstimation::on_mouse(cv::EVENT_MOUSEMOVE, 50, 60, 0, &estimator);
  CameraMotionEstimation::on_mouse(cv::EVENT_RBUTTONDOWN, 50, 60, 0, &estimator);
  CameraMotionEstimation::on_mouse(cv::EVENT_LBUTTONUP, 50, 60, 0, &estimator);
  EXPECT_EQ(estimator.Point_Mouse, cv::Point(3, 4));
  CameraMotionEstimation::on_mouse(cv::EVENT_LBUTTONDOWN, 120, 80, cv::EVENT_FLAG_CTRLKEY,
                                   &estimator);
  EXPECT_EQ(estimator.Point_Mouse, cv::Point(120, 80));
  CameraMotionEstimation::on_mouse(cv::EVENT_LBUTTONDOWN, 7, 9, 0, &estimator);
  EXPECT_EQ(estimator.Point_Mouse, cv::Point(7, 9));
}

}  // namespace
