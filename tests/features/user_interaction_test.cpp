// The interactive four-point homography, driven for real: a virtual X server
// (Xvfb) shows the two windows and xdotool clicks and presses keys in them.
// Each estimate runs in a forked child, so that a hang in a key wait or an
// abort inside the GUI toolkit is caught by a time limit and every run starts
// with a fresh GUI state; the test reads the points the child prints and
// plans its next click from them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <opencv2/highgui.hpp>

#include "features/camera_motion_estimation.hpp"
#include "tests/support/test_support.hpp"

namespace {

using testsupport::ScratchDir;
constexpr int kW = 320;
constexpr int kH = 240;
const char* const kPromptI = "\nClick and Enter key in the 4 points of the Image i:\n";
const char* const kPromptJ = "\nClick and Enter key in the 4 points of the Image j:\n";
const char* const kNoHomography = "\nNo homography from the 4 points: identity used...";
// What the estimator holds before the call: a fallback to the identity and an
// untouched flag both show.
const cv::Matx33d kPresetHij(1, 0, 5, 0, 1, 7, 0, 0, 1);

struct Outcome {
  bool finished = false;  // exited by itself, in time, with status 0
  int flag = -1;
  int framesUnchanged = 0;
  cv::Matx33d Hij;
  std::string out, err;
};

class EstimateInChild {
 public:
  // env: variables to set (or, with a null value, to unset) in the child.
  EstimateInChild(const cv::Mat& frame_i, const cv::Mat& frame_j,
                  const std::vector<std::pair<std::string, const char*>>& env = {}) {
    std::fflush(nullptr);  // nothing buffered may be written twice
    pid_ = fork();
    if (pid_ != 0) return;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (const auto& [name, value] : env) value ? setenv(name.c_str(), value, 1) : unsetenv(name.c_str());
    if (!std::freopen(dir_.file("out").c_str(), "w", stdout) || !std::freopen(dir_.file("err").c_str(), "w", stderr)) _exit(2);
    const cv::Mat original_i = frame_i.clone(), original_j = frame_j.clone();
    CameraMotionEstimation estimator;
    estimator.Hij = cv::Mat(kPresetHij).clone();
    estimator.ban_ExisteH = 1;
    estimator.HomographyEstimation_UserInteraction(frame_i, frame_j, 1, kW, kH);
    std::fflush(stdout);
    std::ofstream result(dir_.file("result"));
    result.precision(17);
    result << estimator.ban_ExisteH << ' '
           << (testsupport::SameBits(frame_i, original_i) && testsupport::SameBits(frame_j, original_j));
    for (int k = 0; k < 9; ++k) result << ' ' << estimator.Hij.at<double>(k / 3, k % 3);
    result.close();
    _exit(0);  // skip the GUI toolkit's teardown and the test framework's exit handlers
  }
  ~EstimateInChild() {
    if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
  }
  bool Running() {
    if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
  }
  std::string Out() const { return testsupport::ReadFile(dir_.file("out")); }
  Outcome Finish() {
    Outcome outcome;
    for (int ms = 0; ms < 20000 && Running(); ms += 10) usleep(10000);
    outcome.finished = !Running() && WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
    std::ifstream result(dir_.file("result"));
    result >> outcome.flag >> outcome.framesUnchanged;
    for (double& v : outcome.Hij.val) result >> v;
    outcome.out = Out();
    outcome.err = testsupport::ReadFile(dir_.file("err"));
    return outcome;
  }

 private:
  ScratchDir dir_{"vmosaic_ui_"};
  pid_t pid_ = -1;
  int status_ = -1;
};

std::string Xdotool(const std::vector<std::string>& args) {
  const testsupport::RunResult run = testsupport::RunProgram("/usr/bin/xdotool", args, "/", 20);
  EXPECT_EQ(run.exitCode, 0) << "xdotool " << testing::PrintToString(args) << ": " << run.err;
  return run.out.substr(0, run.out.find('\n'));
}

std::vector<cv::Point> PrintedPoints(const std::string& out) {
  std::vector<cv::Point> points;
  for (const std::string& line : testsupport::Lines(out)) {
    int n = 0;
    cv::Point p;
    if (std::sscanf(line.c_str(), "P%d x:%d y:%d", &n, &p.x, &p.y) == 3) points.push_back(p);
  }
  return points;
}

// The clicks (image coordinates, shown at `offset` inside the window), then a
// key; returns what the child printed for this point.
cv::Point ConfirmPoint(EstimateInChild& child, const std::string& window, const std::vector<cv::Point>& clicks,
                       cv::Point offset) {
  const size_t before = PrintedPoints(child.Out()).size();
  for (const cv::Point& c : clicks) {
    Xdotool({"mousemove", "--window", window, std::to_string(c.x + offset.x), std::to_string(c.y + offset.y), "click", "1"});
  }
  Xdotool({"windowfocus", "--sync", window, "key", "space"});  // no window manager gives focus
  std::vector<cv::Point> printed;
  for (int ms = 0; ms < 20000 && (printed = PrintedPoints(child.Out())).size() <= before && child.Running(); ms += 10) {
    usleep(10000);
  }
  return printed.size() == before + 1 ? printed.back() : cv::Point(-1, -1);
}

struct Session {
  const char* name;
  std::vector<cv::Point> quad_i, quad_j;  // offsets from the first click; empty: keys only
  bool strayClicks;                       // clicks before the last one of a point do not count
  bool identityFallback;
};

class SlowUserInteractionGui : public testing::TestWithParam<Session> {
 protected:
  static void SetUpTestSuite() {
    cv::setNumThreads(1);  // no OpenCV worker threads in this process: the children are forked
    for (int n = 90; n < 100 && !xvfb_; ++n) {
      if (testsupport::FileExists("/tmp/.X11-unix/X" + std::to_string(n)) ||
          testsupport::FileExists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
      display_ = ":" + std::to_string(n);
      xvfb_ = new testsupport::Process("/usr/bin/Xvfb", {display_, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"}, "/");
    }
    const std::string socket = "/tmp/.X11-unix/X" + display_.substr(1);
    if (!xvfb_ || !xvfb_->WaitUntil([&] { return testsupport::FileExists(socket); }, 15)) return;
    ready_ = access("/usr/bin/xdotool", X_OK) == 0;
    setenv("DISPLAY", display_.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    unsetenv("WAYLAND_DISPLAY");
  }
  static void TearDownTestSuite() {
    if (xvfb_) kill(xvfb_->pid(), SIGTERM), xvfb_->Wait(5);  // lets Xvfb remove its socket and lock
    delete xvfb_;
  }
  static testsupport::Process* xvfb_;
  static std::string display_;
  static bool ready_;
};
bool SlowUserInteractionGui::ready_ = false;
testsupport::Process* SlowUserInteractionGui::xvfb_ = nullptr;
std::string SlowUserInteractionGui::display_;

TEST_P(SlowUserInteractionGui, ClickedPointsGiveTheirHomography) {
  if (!ready_) GTEST_SKIP() << "no Xvfb or xdotool (scripts/install-deps.sh --tests)";
  const Session& s = GetParam();
  const testsupport::Pan pan = testsupport::RenderPan(2, {kW, kH}, testsupport::Pose(1280, 800, 0.25),
                                                      testsupport::Pose(1360, 800, 0.25));
  EstimateInChild child(pan.frames[0], pan.frames[1]);
  std::vector<cv::Point> points[2];
  cv::Point offset, first;
  for (int image = 0; image < 2; ++image) {
    const std::string window = Xdotool({"search", "--sync", "--onlyvisible", "--name", image ? "^Image j$" : "^Image i$"});
    ASSERT_FALSE(window.empty());
    const std::vector<cv::Point>& quad = image ? s.quad_j : s.quad_i;
    for (size_t n = 0; n < 4; ++n) {
      if (quad.empty()) {
        ASSERT_EQ(ConfirmPoint(child, window, {}, offset), cv::Point(0, 0));
        points[image].push_back({0, 0});
        continue;
      }
      if (image == 0 && n == 0) {  // learns where the image sits inside the window
        const std::string shell = testsupport::RunProgram("/usr/bin/xdotool", {"getwindowgeometry", "--shell", window}, "/").out;
        const cv::Point centre(testsupport::NumberAfter(shell, "WIDTH=") / 2, testsupport::NumberAfter(shell, "HEIGHT=") / 2);
        first = ConfirmPoint(child, window, {centre}, {0, 0});
        ASSERT_GT(first.x, 0);
        offset = centre - first;
        points[0].push_back(first);
        continue;
      }
      const cv::Point p = first + quad[n];
      std::vector<cv::Point> clicks = {p};
      if (s.strayClicks && n == 1) clicks.insert(clicks.begin(), {p - cv::Point(30, -25), p + cv::Point(30, -25)});
      ASSERT_EQ(ConfirmPoint(child, window, clicks, offset), p) << "image " << image << " point " << n;
      points[image].push_back(p);
    }
  }
  const Outcome outcome = child.Finish();
  ASSERT_TRUE(outcome.finished) << outcome.err;
  std::string expected;
  for (int image = 0; image < 2; ++image) {
    expected += image ? kPromptJ : kPromptI;
    for (size_t n = 0; n < 4; ++n) expected += cv::format("P%zu x:%d y:%d\n", n + 1, points[image][n].x, points[image][n].y);
  }
  EXPECT_EQ(outcome.out, expected + (s.identityFallback ? kNoHomography : ""));
  EXPECT_EQ(outcome.flag, 1);  // the flag of the last automatic estimate stays
  EXPECT_TRUE(outcome.framesUnchanged);
  for (size_t n = 0; n < 4; ++n) {
    const cv::Vec3d q = outcome.Hij * cv::Vec3d(points[0][n].x, points[0][n].y, 1);
    const cv::Point2d target = s.identityFallback ? cv::Point2d(points[0][n]) : cv::Point2d(points[1][n]);
    EXPECT_LT(cv::norm(cv::Point2d(q[0] / q[2], q[1] / q[2]) - target), 1e-6) << "point " << n;
  }
  if (s.identityFallback) {
    EXPECT_EQ(outcome.Hij, cv::Matx33d::eye());
  }
}

const std::vector<cv::Point> kQuad = {{0, 0}, {-100, -70}, {110, -60}, {70, 90}};
std::vector<cv::Point> Shifted(std::vector<cv::Point> quad, cv::Point by) {
  for (cv::Point& p : quad) p += by;
  return quad;
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, SlowUserInteractionGui,
    testing::Values(Session{"SamePointsGiveIdentity", kQuad, kQuad, false, false},
                    Session{"ShiftedPointsGiveTranslationOnlyLastClickCounts", kQuad, Shifted(kQuad, {17, -9}), true, false},
                    // Three points on one line (clicked, not repeated): no proper homography.
                    Session{"CollinearClicksFallBackToIdentity", {{0, 0}, {60, 30}, {-80, -40}, {-20, 70}}, kQuad, false, true},
                    // Every point (0, 0): no homography either.
                    Session{"KeysWithoutClicksFallBackToIdentity", {}, {}, false, true}),
    [](const auto& info) { return info.param.name; });

// Without a display the estimate neither opens a window nor aborts: a clear
// error on standard error, Hij the identity, and the process goes on.
class UserInteractionNoDisplay : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(UserInteractionNoDisplay, FallsBackToIdentityWithAMessage) {
  cv::setNumThreads(1);
  const cv::Mat frame(kH, kW, CV_8UC3, cv::Scalar(40, 90, 160));
  EstimateInChild child(frame, frame, {{"DISPLAY", GetParam().second}, {"WAYLAND_DISPLAY", nullptr}, {"QT_QPA_PLATFORM", "xcb"}});
  const Outcome outcome = child.Finish();
  ASSERT_TRUE(outcome.finished) << outcome.err;
  EXPECT_THAT(outcome.err, testing::HasSubstr("the interactive homography needs a display"));
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.Hij, cv::Matx33d::eye());
  EXPECT_EQ(outcome.flag, 1);
  EXPECT_TRUE(outcome.framesUnchanged);
}

INSTANTIATE_TEST_SUITE_P(Displays, UserInteractionNoDisplay,
                         testing::Values(std::pair<const char*, const char*>{"Unset", nullptr},
                                         std::pair<const char*, const char*>{"WithoutServer", ":987"},
                                         std::pair<const char*, const char*>{"Malformed", "no-colon-here"}),
                         [](const auto& info) { return std::string(info.param.first); });

TEST(UserInteractionMouseTest, OnlyLeftButtonPressSetsPoint) {
  CameraMotionEstimation estimator;
  estimator.Point_Mouse = cv::Point(3, 4);
  for (int event : {cv::EVENT_MOUSEMOVE, cv::EVENT_RBUTTONDOWN, cv::EVENT_LBUTTONUP}) {
    CameraMotionEstimation::on_mouse(event, 50, 60, 0, &estimator);
  }
  EXPECT_EQ(estimator.Point_Mouse, cv::Point(3, 4));
  CameraMotionEstimation::on_mouse(cv::EVENT_LBUTTONDOWN, 120, 80, cv::EVENT_FLAG_CTRLKEY, &estimator);
  EXPECT_EQ(estimator.Point_Mouse, cv::Point(120, 80));
}

}  // namespace
