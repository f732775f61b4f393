// The interactive four-point homography, driven through a scripted operator
// that stands in for the person at the keyboard: before each key press it
// delivers the clicks scripted for it to the window shown last. And the
// program's display probe, with and without an X server.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <opencv2/highgui.hpp>

#include "features/camera_motion_estimation.hpp"
#include "io/console.hpp"
#include "tests/support/test_support.hpp"

namespace {

using Points = std::vector<cv::Point>;
const cv::Matx33d kPresetHij(1, 0, 5, 0, 1, 7, 0, 0, 1);  // a fallback to the identity shows

struct ScriptedOperator : io::Operator {
  explicit ScriptedOperator(std::vector<Points> clicksBeforeKey, bool display = true)
      : clicks(std::move(clicksBeforeKey)), display(display) {}
  void Out(const std::string& text) override { out += text; }
  void Err(const std::string& text) override { err += text; }
  bool DisplayAvailable() override { return display; }
  std::string DisplayName() override { return "no-colon-here"; }
  void Show(const std::string& window, const cv::Mat& image, ClickHandler handler) override {
    shown.emplace_back(window, image.clone());
    onClick = handler;
  }
  int WaitForKey() override {
    for (const cv::Point& p : keys < clicks.size() ? clicks[keys] : Points{})
      onClick(p);
    ++keys;
    return ' ';
  }
  std::vector<Points> clicks;
  bool display;
  size_t keys = 0;
  ClickHandler onClick;
  std::string out, err;
  std::vector<std::pair<std::string, cv::Mat>> shown;
};

// Runs the interaction on two frames (or a plain frame) with Hij preset.
void Interact(ScriptedOperator& person, CameraMotionEstimation& estimator, const cv::Mat& i,
              const cv::Mat& j) {
  estimator.setOperator(person);
  estimator.Hij = cv::Mat(kPresetHij).clone();
  estimator.ban_ExisteH = 1;
  estimator.HomographyEstimation_UserInteraction(i, j, 1, 320, 240);
}

struct Session {
  const char* name;
  Points quad_i, quad_j;
  bool strayClicks,
      identityFallback;  // stray clicks: those before the last one of a point do not count
};

void PrintTo(const Session& s, std::ostream* os) {
  *os << s.name;
}

class UserInteraction : public testing::TestWithParam<Session> {};

TEST_P(UserInteraction, ClickedPointsGiveTheirHomography) {
  const Session& s = GetParam();
  const testsupport::Pan pan = testsupport::RenderPan(
      2, {320, 240}, testsupport::Pose(1280, 800, 0.25), testsupport::Pose(1360, 800, 0.25));
  const cv::Mat original_i = pan.frames[0].clone(), original_j = pan.frames[1].clone();
  std::vector<Points> script;
  std::string expected;
  for (const Points* quad : {&s.quad_i, &s.quad_j}) {
    expected += cv::format("\nClick and Enter key in the 4 points of the Image %c:\n",
                           quad == &s.quad_i ? 'i' : 'j');
    for (size_t n = 0; n < 4; ++n) {
      script.push_back({(*quad)[n]});
      if (s.strayClicks && n == 1)
        script.back().insert(script.back().begin(), {(*quad)[n] + cv::Point(30, 25), {3, 4}});
      expected += cv::format("P%zu x:%d y:%d\n", n + 1, (*quad)[n].x, (*quad)[n].y);
    }
  }
  ScriptedOperator person(script);
  CameraMotionEstimation estimator;
  Interact(person, estimator, pan.frames[0], pan.frames[1]);
  EXPECT_EQ(
      person.out,
      expected + (s.identityFallback ? "\nNo homography from the 4 points: identity used..." : ""));
  EXPECT_EQ(estimator.ban_ExisteH, 1);  // the flag of the last automatic estimate stays
  EXPECT_TRUE(testsupport::SameBits(pan.frames[0], original_i) &&
              testsupport::SameBits(pan.frames[1], original_j));
  // Each window shown first as is, then once more per point with a red marker on it.
  ASSERT_EQ(person.shown.size(), 10u);
  for (size_t k = 0; k < 10; ++k) {
    EXPECT_EQ(person.shown[k].first, k < 5 ? "Image i" : "Image j");
    if (k % 5) {
      EXPECT_EQ(person.shown[k].second.at<cv::Vec3b>((k < 5 ? s.quad_i : s.quad_j)[k % 5 - 1]),
                cv::Vec3b(0, 0, 255));
    }
  }
  const cv::Matx33d H(estimator.Hij);
  if (s.identityFallback) {
    EXPECT_EQ(H, cv::Matx33d::eye());
  }
  for (size_t n = 0; n < 4 && !s.identityFallback; ++n) {
    const cv::Vec3d q = H * cv::Vec3d(s.quad_i[n].x, s.quad_i[n].y, 1);
    EXPECT_LT(cv::norm(cv::Point2d(q[0] / q[2], q[1] / q[2]) - cv::Point2d(s.quad_j[n])), 1e-6)
        << "point " << n;
  }
}

const Points kQuad = {{160, 120}, {60, 50}, {270, 60}, {230, 210}};

INSTANTIATE_TEST_SUITE_P(Sessions, UserInteraction,
                         testing::Values(Session{"SamePointsGiveIdentity", kQuad, kQuad, false,
                                                 false},
                                         Session{"PerspectiveQuadIsFitExactlyOnlyLastClickCounts",
                                                 kQuad,
                                                 {{150, 118}, {40, 40}, {290, 70}, {220, 230}},
                                                 true,
                                                 false},
                                         // Three points on one line: no proper homography.
                                         Session{"CollinearClicksFallBackToIdentity",
                                                 {{160, 120}, {220, 150}, {80, 80}, {140, 190}},
                                                 kQuad,
                                                 false,
                                                 true}),
                         [](const auto& info) { return info.param.name; });

TEST(UserInteractionNoDisplay, FallsBackToIdentityWithAMessage) {
  ScriptedOperator person({}, false);
  CameraMotionEstimation estimator;
  const cv::Mat frame(240, 320, CV_8UC3, cv::Scalar(40, 90, 160));
  Interact(person, estimator, frame, frame);
  EXPECT_EQ(person.err,
            "vmosaic: the interactive homography needs a display, and none could be opened "
            "(DISPLAY=\"no-colon-here\"); the identity is used instead\n");
  EXPECT_TRUE(person.out.empty() && person.shown.empty());
  EXPECT_EQ(cv::Matx33d(estimator.Hij), cv::Matx33d::eye());
}

// The program's probe: no display when DISPLAY is unset, names no server or
// is malformed; a display once an X server listens there.
TEST(SlowDisplayProbe, FindsAnXServerOnlyWhereOneListens) {
  unsetenv("WAYLAND_DISPLAY");
  io::ConsoleOperator console;
  for (const char* display :
       {static_cast<const char*>(nullptr), ":987", "no-colon-here", "localhost:987"}) {
    display ? setenv("DISPLAY", display, 1) : unsetenv("DISPLAY");
    EXPECT_FALSE(console.DisplayAvailable()) << (display ? display : "unset");
  }
  int n = 90;
  while (testsupport::FileExists("/tmp/.X11-unix/X" + std::to_string(n)) ||
         testsupport::FileExists("/tmp/.X" + std::to_string(n) + "-lock"))
    ++n;
  if (!testsupport::FileExists("/usr/bin/Xvfb"))
    GTEST_SKIP() << "no Xvfb (scripts/install-deps.sh --tests)";
  const bool socketFolderWasThere = testsupport::FileExists("/tmp/.X11-unix");
  testsupport::Process xvfb("/usr/bin/Xvfb", {":" + std::to_string(n), "-nolisten", "tcp"}, "/");
  ASSERT_TRUE(xvfb.WaitUntil(
      [&] { return testsupport::FileExists("/tmp/.X11-unix/X" + std::to_string(n)); }, 15));
  setenv("DISPLAY", (":" + std::to_string(n)).c_str(), 1);
  EXPECT_TRUE(console.DisplayAvailable());
  kill(xvfb.pid(), SIGTERM);  // lets Xvfb remove its socket and lock (a kill would not)
  xvfb.Wait(60);
  // The server made the socket folder: /tmp is left as found (rmdir fails
  // harmlessly while another server uses it).
  if (!socketFolderWasThere)
    rmdir("/tmp/.X11-unix");
  unsetenv("DISPLAY");
}

TEST(UserInteractionMouseTest, OnlyLeftButtonPressSetsPoint) {
  CameraMotionEstimation estimator;
  estimator.Point_Mouse = cv::Point(3, 4);
  for (int event : {cv::EVENT_MOUSEMOVE, cv::EVENT_RBUTTONDOWN, cv::EVENT_LBUTTONUP})
    CameraMotionEstimation::on_mouse(event, 50, 60, 0, &estimator);
  EXPECT_EQ(estimator.Point_Mouse, cv::Point(3, 4));
  CameraMotionEstimation::on_mouse(cv::EVENT_LBUTTONDOWN, 120, 80, cv::EVENT_FLAG_CTRLKEY,
                                   &estimator);
  EXPECT_EQ(estimator.Point_Mouse, cv::Point(120, 80));
}

}  // namespace
