// The interactive four-point homography, driven through a scripted operator
// that stands in for the person at the keyboard: before each key press it
// delivers the clicks scripted for it to the window shown last. And the
// program's display probe, with and without an X server.
#include <gtest/gtest.h>
#include <signal.h>

#include <opencv2/highgui.hpp>

#include "features/camera_motion_estimation.hpp"
#include "io/console.hpp"
#include "tests/support/test_support.hpp"

namespace {

using Points = std::vector<cv::Point>;
const cv::Matx33d kPresetHij(1, 0, 5, 0, 1, 7, 0, 0, 1);  // a fallback to the identity shows

class ScriptedOperator : public io::Operator {
 public:
  explicit ScriptedOperator(std::vector<Points> clicksBeforeKey, bool display = true)
      : clicks_(std::move(clicksBeforeKey)), display_(display) {}
  void Out(const std::string& text) override { out += text; }
  void Err(const std::string& text) override { err += text; }
  bool DisplayAvailable() override { return display_; }
  std::string DisplayName() override { return "no-colon-here"; }
  void Show(const std::string& window, const cv::Mat& image, ClickHandler onClick) override {
    shown.emplace_back(window, image.clone());
    onClick_ = onClick;
  }
  int WaitForKey() override {
    for (const cv::Point& p : keys_ < clicks_.size() ? clicks_[keys_] : Points{}) onClick_(p);
    ++keys_;
    return ' ';
  }
  std::string out, err;
  std::vector<std::pair<std::string, cv::Mat>> shown;

 private:
  std::vector<Points> clicks_;
  bool display_;
  size_t keys_ = 0;
  ClickHandler onClick_;
};

struct Session {
  const char* name;
  Points quad_i, quad_j;  // empty: keys without clicks, every point (0, 0)
  bool strayClicks;       // clicks before the last one of a point do not count
  bool identityFallback;
};

void PrintTo(const Session& s, std::ostream* os) { *os << s.name; }

class UserInteraction : public testing::TestWithParam<Session> {};

TEST_P(UserInteraction, ClickedPointsGiveTheirHomography) {
  const Session& s = GetParam();
  const testsupport::Pan pan = testsupport::RenderPan(2, {320, 240}, testsupport::Pose(1280, 800, 0.25),
                                                      testsupport::Pose(1360, 800, 0.25));
  const cv::Mat original_i = pan.frames[0].clone(), original_j = pan.frames[1].clone();
  std::vector<Points> script;
  Points points[2];
  for (int image = 0; image < 2; ++image) {
    const Points& quad = image ? s.quad_j : s.quad_i;
    for (size_t n = 0; n < 4; ++n) {
      points[image].push_back(quad.empty() ? cv::Point(0, 0) : quad[n]);
      script.push_back(quad.empty() ? Points{} : Points{quad[n]});
      if (s.strayClicks && n == 1) script.back().insert(script.back().begin(), {quad[n] + cv::Point(30, 25), {3, 4}});
    }
  }
  ScriptedOperator person(script);
  CameraMotionEstimation estimator;
  estimator.setOperator(person);
  estimator.Hij = cv::Mat(kPresetHij).clone();
  estimator.ban_ExisteH = 1;
  estimator.HomographyEstimation_UserInteraction(pan.frames[0], pan.frames[1], 1, 320, 240);

  std::string expected;
  for (int image = 0; image < 2; ++image) {
    expected += image ? "\nClick and Enter key in the 4 points of the Image j:\n"
                      : "\nClick and Enter key in the 4 points of the Image i:\n";
    for (size_t n = 0; n < 4; ++n) expected += cv::format("P%zu x:%d y:%d\n", n + 1, points[image][n].x, points[image][n].y);
  }
  EXPECT_EQ(person.out, expected + (s.identityFallback ? "\nNo homography from the 4 points: identity used..." : ""));
  EXPECT_EQ(estimator.ban_ExisteH, 1);  // the flag of the last automatic estimate stays
  EXPECT_TRUE(testsupport::SameBits(pan.frames[0], original_i) && testsupport::SameBits(pan.frames[1], original_j));
  // Each window shown first as is, then once more per point with a red marker on it.
  ASSERT_EQ(person.shown.size(), 10u);
  for (size_t k = 0; k < 10; ++k) {
    const int image = k < 5 ? 0 : 1;
    EXPECT_EQ(person.shown[k].first, image ? "Image j" : "Image i");
    if (k % 5 > 0) {
      EXPECT_EQ(person.shown[k].second.at<cv::Vec3b>(points[image][k % 5 - 1]), cv::Vec3b(0, 0, 255));
    }
  }
  const cv::Matx33d H(estimator.Hij);
  if (s.identityFallback) {
    EXPECT_EQ(H, cv::Matx33d::eye());
  }
  for (size_t n = 0; n < 4 && !s.identityFallback; ++n) {
    const cv::Vec3d q = H * cv::Vec3d(points[0][n].x, points[0][n].y, 1);
    EXPECT_LT(cv::norm(cv::Point2d(q[0] / q[2], q[1] / q[2]) - cv::Point2d(points[1][n])), 1e-6) << "point " << n;
  }
}

const Points kQuad = {{160, 120}, {60, 50}, {270, 60}, {230, 210}};
Points Shifted(Points quad, cv::Point by) {
  for (cv::Point& p : quad) p += by;
  return quad;
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, UserInteraction,
    testing::Values(Session{"SamePointsGiveIdentity", kQuad, kQuad, false, false},
                    Session{"ShiftedPointsGiveTranslationOnlyLastClickCounts", kQuad, Shifted(kQuad, {17, -9}), true, false},
                    Session{"PerspectiveQuadIsFitExactly", kQuad, {{150, 118}, {40, 40}, {290, 70}, {220, 230}}, false, false},
                    // Three points on one line: no proper homography.
                    Session{"CollinearClicksFallBackToIdentity", {{160, 120}, {220, 150}, {80, 80}, {140, 190}}, kQuad, false, true},
                    Session{"KeysWithoutClicksFallBackToIdentity", {}, {}, false, true}),
    [](const auto& info) { return info.param.name; });

TEST(UserInteractionNoDisplay, FallsBackToIdentityWithAMessage) {
  ScriptedOperator person({}, false);
  CameraMotionEstimation estimator;
  estimator.setOperator(person);
  estimator.Hij = cv::Mat(kPresetHij).clone();
  const cv::Mat frame(240, 320, CV_8UC3, cv::Scalar(40, 90, 160));
  estimator.HomographyEstimation_UserInteraction(frame, frame, 1, 320, 240);
  EXPECT_EQ(person.err, "vmosaic: the interactive homography needs a display, and none could be opened "
                        "(DISPLAY=\"no-colon-here\"); the identity is used instead\n");
  EXPECT_EQ(person.out, "");
  EXPECT_TRUE(person.shown.empty());
  EXPECT_EQ(cv::Matx33d(estimator.Hij), cv::Matx33d::eye());
}

// The program's probe: no display when DISPLAY is unset, names no server or
// is malformed; a display once an X server listens there.
TEST(SlowDisplayProbe, FindsAnXServerOnlyWhereOneListens) {
  unsetenv("WAYLAND_DISPLAY");
  io::ConsoleOperator console;
  unsetenv("DISPLAY");
  EXPECT_FALSE(console.DisplayAvailable());
  for (const char* display : {":987", "no-colon-here", "localhost:987"}) {
    setenv("DISPLAY", display, 1);
    EXPECT_FALSE(console.DisplayAvailable()) << display;
  }
  int n = 90;
  while (testsupport::FileExists("/tmp/.X11-unix/X" + std::to_string(n)) || testsupport::FileExists("/tmp/.X" + std::to_string(n) + "-lock")) ++n;
  if (!testsupport::FileExists("/usr/bin/Xvfb")) GTEST_SKIP() << "no Xvfb (scripts/install-deps.sh --tests)";
  testsupport::Process xvfb("/usr/bin/Xvfb", {":" + std::to_string(n), "-nolisten", "tcp"}, "/");
  ASSERT_TRUE(xvfb.WaitUntil([&] { return testsupport::FileExists("/tmp/.X11-unix/X" + std::to_string(n)); }, 15));
  setenv("DISPLAY", (":" + std::to_string(n)).c_str(), 1);
  EXPECT_TRUE(console.DisplayAvailable());
  kill(xvfb.pid(), SIGTERM);  // lets Xvfb remove its socket and lock (a kill would not)
  xvfb.Wait(60);
  unsetenv("DISPLAY");
}

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
