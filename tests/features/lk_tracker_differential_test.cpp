// The exact tracker against cv::calcOpticalFlowPyrLK: on thousands of points
// of frames rendered from the test photo, every next position, status and
// error must be identical bit for bit (memcmp), for each vector kernel this
// processor runs. The point sets cover detected corners, a dense grid that
// reaches beyond the frame border, flat regions (too little texture at some
// or all levels), motions too large to follow, guesses given as initial flow,
// and iteration limits small enough that points stop at them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <string>
#include <vector>

#include "features/feature_extraction.hpp"
#include "features/lk_tracker.hpp"
#include "tests/features/rendered_pair.hpp"

namespace lk {
// Test names and values print the kernel by name.
void PrintTo(Kernel k, std::ostream* os) { *os << KernelName(k); }
}  // namespace lk

namespace {

const cv::Size kWindow(21, 21);
constexpr int kMaxLevel = 5;
constexpr double kMinEig = 1e-4;

struct Result {
  std::vector<cv::Point2f> next;
  std::vector<unsigned char> status;
  std::vector<float> err;
};

// Entries the tracker leaves alone (the error of a point lost at the finest
// level) keep this value, which both sides must keep.
constexpr float kUntouched = -12345.5f;

Result Start(const std::vector<cv::Point2f>& guesses, size_t n) {
  Result r;
  r.next = guesses;
  r.err.assign(n, kUntouched);
  return r;
}

template <typename T>
bool SameBytes(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

std::string FirstDifference(const Result& e, const Result& a) {
  for (size_t k = 0; k < e.next.size() && k < a.next.size(); ++k) {
    if (std::memcmp(&e.next[k], &a.next[k], sizeof(cv::Point2f)) != 0 ||
        e.status[k] != a.status[k] || std::memcmp(&e.err[k], &a.err[k], sizeof(float)) != 0) {
      char text[200];
      std::snprintf(text, sizeof(text), "point %zu: (%.9g, %.9g) %d %.9g vs (%.9g, %.9g) %d %.9g",
                    k, e.next[k].x, e.next[k].y, e.status[k], e.err[k], a.next[k].x,
                    a.next[k].y, a.status[k], a.err[k]);
      return text;
    }
  }
  return "sizes differ";
}

struct Case {
  std::string name;
  cv::Mat prev, next;
  std::vector<cv::Point2f> points, guesses;  // guesses empty: no initial flow
  cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.3};
};

// Compares one call; returns the number of points tracked by OpenCV (status 1).
int ExpectSame(lk::Tracker& tracker, lk::Kernel kernel, const Case& c) {
  const int flags = c.guesses.empty() ? 0 : cv::OPTFLOW_USE_INITIAL_FLOW;
  Result expected = Start(c.guesses, c.points.size()), actual = expected;
  cv::calcOpticalFlowPyrLK(c.prev, c.next, c.points, expected.next, expected.status, expected.err,
                           kWindow, kMaxLevel, c.criteria, flags, kMinEig);
  tracker.Track(c.prev, c.next, c.points, &actual.next, &actual.status, &actual.err, kWindow,
                kMaxLevel, c.criteria, flags, kMinEig, kernel);
  EXPECT_EQ(tracker.LastKernel(), kernel) << c.name;
  const bool same = SameBytes(expected.next, actual.next) &&
                    SameBytes(expected.status, actual.status) &&
                    SameBytes(expected.err, actual.err);
  EXPECT_TRUE(same) << c.name << " (" << c.points.size()
                    << " points): " << FirstDifference(expected, actual);
  int tracked = 0;
  for (unsigned char s : expected.status) tracked += s;
  return tracked;
}

// Every 7.3 pixels from 40 pixels before the frame to 40 beyond it.
std::vector<cv::Point2f> Grid(cv::Size size) {
  std::vector<cv::Point2f> points;
  for (float y = -40.25f; y < static_cast<float>(size.height) + 40.f; y += 7.3f) {
    for (float x = -40.75f; x < static_cast<float>(size.width) + 40.f; x += 7.3f) points.emplace_back(x, y);
  }
  return points;
}

std::vector<cv::Point2f> Corners(const cv::Mat& frame) {
  FeatureExtraction extraction;
  return extraction.goodFeaturesToTrack(frame, 0, frame.cols, frame.rows);
}

// Points moved by the true homography, then off by up to +-3 pixels (seeded).
std::vector<cv::Point2f> Guesses(const std::vector<cv::Point2f>& points, const cv::Mat& H) {
  std::vector<cv::Point2f> mapped;
  cv::perspectiveTransform(points, mapped, H);
  cv::RNG rng(20261207);
  for (cv::Point2f& p : mapped) {
    p.x += static_cast<float>(rng.uniform(-3.0, 3.0));
    p.y += static_cast<float>(rng.uniform(-3.0, 3.0));
  }
  return mapped;
}

render::CameraPose Moved(render::CameraPose pose) {
  pose.centreX += 9.5;
  pose.angle = 0.01;
  return pose;
}

cv::Mat Render(const render::CameraPose& pose, cv::Size size) {
  return render::RenderFrame(featuretest::Photo(), render::PhotoToFrame(pose, size), size);
}

// A frame with flat grey and flat black rectangles painted over the scene.
cv::Mat WithFlatRegions(cv::Mat frame) {
  cv::rectangle(frame, cv::Rect(100, 80, 160, 140), cv::Scalar(90, 90, 90), cv::FILLED);
  cv::rectangle(frame, cv::Rect(frame.cols - 200, frame.rows - 150, 200, 150), cv::Scalar::all(0),
                cv::FILLED);
  return frame;
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  const featuretest::RenderedPair pairs[] = {featuretest::TranslationPair(), featuretest::RotationPair(), featuretest::PerspectivePair()};
  for (const featuretest::RenderedPair& p : pairs) {
    const std::vector<cv::Point2f> corners = Corners(p.frame_i);
    cases.push_back({p.name + " corners", p.frame_i, p.frame_j, corners, {}});
    cases.push_back({p.name + " corners, initial flow", p.frame_i, p.frame_j, corners,
                     Guesses(corners, p.trueHij)});
    cases.push_back({p.name + " grid", p.frame_i, p.frame_j, Grid(p.frame_i.size()), {}});
  }
  const featuretest::RenderedPair& t = pairs[0];
  const cv::Mat flatI = WithFlatRegions(t.frame_i.clone()), flatJ = WithFlatRegions(t.frame_j.clone());
  cases.push_back({"flat regions, grid", flatI, flatJ, Grid(flatI.size()), {}});
  const std::vector<cv::Point2f> grid = Grid(t.frame_i.size());
  cases.push_back({"flat regions, initial flow", flatI, flatJ, grid, Guesses(grid, t.trueHij)});
  Case limit{"iteration limit 2, no step limit", t.frame_i, t.frame_j, Corners(t.frame_i), {}};
  limit.criteria = cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 2, 0.0);
  cases.push_back(limit);
  limit.name = "iteration limit 7 only";
  limit.criteria = cv::TermCriteria(cv::TermCriteria::COUNT, 7, 0.0);
  cases.push_back(limit);

  // Large motions (points leave the frame or are lost), other sizes (odd
  // sizes, six levels at 1280x720), noise.
  render::CameraPose base = featuretest::BasePose(1.0), far = base;
  far.centreX += 150.0;
  far.centreY -= 90.0;
  far.angle = 0.2;
  const cv::Mat farI = Render(base, featuretest::kFrameSize);
  std::vector<cv::Point2f> farPoints = Corners(farI);
  // Positions no window can hold: not a number, far beyond the int range.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  farPoints.insert(farPoints.end(), {{nan, 5.f}, {5.f, nan}, {1e20f, 3.f}, {-3e9f, 10.f}});
  cases.push_back({"large motion", farI, Render(far, featuretest::kFrameSize), farPoints, {}});
  // A frame smaller than the window at the second level: one level only.
  const cv::Size tiny(48, 36);
  const cv::Mat tinyI = Render(base, tiny), tinyJ = Render(Moved(base), tiny);
  cases.push_back({"48x36 grid", tinyI, tinyJ, Grid(tinyI.size()), {}});
  for (const cv::Size size : {cv::Size(1280, 720), cv::Size(643, 361)}) {
    cv::Mat i = Render(base, size), j = Render(Moved(base), size);
    render::AddNoise(j, 2.0, 7);
    const std::string name = std::to_string(size.width) + "x" + std::to_string(size.height);
    cases.push_back({name + " corners", i, j, Corners(i), {}});
    cases.push_back({name + " grid, initial flow", i, j, Grid(size), Grid(size)});
  }
  return cases;
}

class LkTrackerDifferential : public ::testing::TestWithParam<lk::Kernel> {};

TEST_P(LkTrackerDifferential, SameBitsAsOpenCvOnRenderedFrames) {
  if (!lk::KernelAvailable(GetParam())) GTEST_SKIP() << lk::KernelName(GetParam()) << " absent";
  std::printf("kernel: %s\n", lk::KernelName(GetParam()));
  lk::Tracker tracker;
  size_t points = 0;
  int tracked = 0;
  for (const Case& c : Cases()) {
    tracked += ExpectSame(tracker, GetParam(), c);
    points += c.points.size();
  }
  std::printf("%zu points compared, %d tracked by OpenCV\n", points, tracked);
  EXPECT_GT(points, 20000u);
  // Both outcomes must be well represented for the comparison to mean much.
  EXPECT_GT(tracked, static_cast<int>(points / 2));
  EXPECT_GT(static_cast<int>(points) - tracked, static_cast<int>(points / 20));
}

// The tracker keeps pyramids between calls: a sequence of pairs as the
// registration makes them (pair, then key frame against current frame with
// guesses), and a frame buffer refilled with another frame, must all still
// give OpenCV's results.
TEST_P(LkTrackerDifferential, PyramidsKeptBetweenCallsStayExact) {
  if (!lk::KernelAvailable(GetParam())) GTEST_SKIP() << lk::KernelName(GetParam()) << " absent";
  const std::vector<cv::Mat> frames =
      testsupport::SidewaysPan(5, featuretest::kFrameSize, 1.0, 900.0, 800.0, 12.0).frames;
  lk::Tracker tracker;
  cv::Mat buffer = frames[0].clone();
  for (size_t f = 1; f < frames.size(); ++f) {
    const std::vector<cv::Point2f> corners = Corners(frames[f - 1]);
    ExpectSame(tracker, GetParam(), {"pair " + std::to_string(f), buffer, frames[f], corners, {}});
    ExpectSame(tracker, GetParam(),
               {"key frame " + std::to_string(f), frames[0], frames[f], corners, corners});
    frames[f].copyTo(buffer);  // same memory, new content
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, LkTrackerDifferential, ::testing::Values(lk::Kernel::kAvx2, lk::Kernel::kAvx512),
                         [](const ::testing::TestParamInfo<lk::Kernel>& info) {
                           return info.param == lk::Kernel::kAvx2 ? "AVX2" : "AVX512";
                         });

// Frames the kernels do not handle (one channel) go to OpenCV.
TEST(LkTracker, OtherFramesFallBackToOpenCv) {
  const featuretest::RenderedPair p = featuretest::TranslationPair();
  cv::Mat greyI, greyJ;
  cv::cvtColor(p.frame_i, greyI, cv::COLOR_BGR2GRAY);
  cv::cvtColor(p.frame_j, greyJ, cv::COLOR_BGR2GRAY);
  lk::Tracker tracker;
  ExpectSame(tracker, lk::Kernel::kOpenCv, {"grey", greyI, greyJ, Corners(p.frame_i), {}});
  Result r = Start({}, 0);
  tracker.Track(greyI, greyJ, Corners(p.frame_i), &r.next, &r.status, &r.err, kWindow, kMaxLevel,
                cv::TermCriteria(), 0, kMinEig);
  EXPECT_EQ(tracker.LastKernel(), lk::Kernel::kOpenCv);
}

}  // namespace
