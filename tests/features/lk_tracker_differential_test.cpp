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
void PrintTo(Kernel k, std::ostream* os) {
  *os << KernelName(k);
}
}  // namespace lk

namespace {

using Points = std::vector<cv::Point2f>;
const cv::Size kWindow(21, 21);
constexpr int kMaxLevel = 5;
constexpr double kMinEig = 1e-4;

struct Result {
  Points next;
  std::vector<unsigned char> status;
  std::vector<float> err;
};

// The first point where the two results differ, for the failure message.
std::string FirstDifference(const Result& e, const Result& a) {
  for (size_t k = 0; k < std::min(e.next.size(), a.next.size()); ++k) {
    if (std::memcmp(&e.next[k], &a.next[k], sizeof(cv::Point2f)) || e.status[k] != a.status[k] ||
        std::memcmp(&e.err[k], &a.err[k], sizeof(float))) {
      return cv::format("point %zu: (%.9g, %.9g) %d %.9g vs (%.9g, %.9g) %d %.9g", k, e.next[k].x,
                        e.next[k].y, e.status[k], e.err[k], a.next[k].x, a.next[k].y, a.status[k],
                        a.err[k]);
    }
  }
  return "sizes differ";
}

struct Case {
  std::string name;
  cv::Mat prev, next;
  Points points, guesses;  // guesses empty: no initial flow
  cv::TermCriteria criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.3};
};

// Compares one call; returns the number of points tracked by OpenCV (status 1).
int ExpectSame(lk::Tracker& tracker, lk::Kernel kernel, const Case& c) {
  const int flags = c.guesses.empty() ? 0 : cv::OPTFLOW_USE_INITIAL_FLOW;
  // Entries the tracker leaves alone (the error of a point lost at the
  // finest level) keep this value, which both sides must keep.
  Result expected{c.guesses, {}, std::vector<float>(c.points.size(), -12345.5f)}, actual = expected;
  cv::calcOpticalFlowPyrLK(c.prev, c.next, c.points, expected.next, expected.status, expected.err,
                           kWindow, kMaxLevel, c.criteria, flags, kMinEig);
  tracker.Track(c.prev, c.next, c.points, &actual.next, &actual.status, &actual.err, kWindow,
                kMaxLevel, c.criteria, flags, kMinEig, kernel);
  EXPECT_EQ(tracker.LastKernel(), kernel) << c.name;
  const auto sameBytes = [](const auto& x, const auto& y) {
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(x[0])) == 0;
  };
  EXPECT_TRUE(sameBytes(expected.next, actual.next) && sameBytes(expected.status, actual.status) &&
              sameBytes(expected.err, actual.err))
      << c.name << " (" << c.points.size() << " points): " << FirstDifference(expected, actual);
  int tracked = 0;
  for (unsigned char s : expected.status)
    tracked += s;
  return tracked;
}

// Every 7.3 pixels from 40 pixels before the frame to 40 beyond it.
Points Grid(cv::Size size) {
  Points points;
  for (float y = -40.25f; y < static_cast<float>(size.height) + 40.f; y += 7.3f) {
    for (float x = -40.75f; x < static_cast<float>(size.width) + 40.f; x += 7.3f)
      points.emplace_back(x, y);
  }
  return points;
}

Points Corners(const cv::Mat& frame) {
  return FeatureExtraction().goodFeaturesToTrack(frame, 0, frame.cols, frame.rows);
}

// Points moved by the true homography, then off by up to +-3 pixels (seeded).
Points Guesses(const Points& points, const cv::Mat& H) {
  Points mapped;
  cv::perspectiveTransform(points, mapped, H);
  cv::RNG rng(20261207);
  for (cv::Point2f& p : mapped)
    p += cv::Point2f(static_cast<float>(rng.uniform(-3.0, 3.0)),
                     static_cast<float>(rng.uniform(-3.0, 3.0)));
  return mapped;
}

cv::Mat Render(render::CameraPose pose, cv::Size size, bool moved = false) {
  if (moved)
    pose.centreX += 9.5, pose.angle = 0.01;
  return render::RenderFrame(testsupport::TestPhoto(), render::PhotoToFrame(pose, size), size);
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
  const featuretest::RenderedPair pairs[] = {
      featuretest::TranslationPair(), featuretest::RotationPair(), featuretest::PerspectivePair()};
  for (const featuretest::RenderedPair& p : pairs) {
    const Points corners = Corners(p.frame_i);
    cases.push_back({p.name + " corners", p.frame_i, p.frame_j, corners, {}});
    cases.push_back({p.name + " corners, initial flow", p.frame_i, p.frame_j, corners,
                     Guesses(corners, p.trueHij)});
    cases.push_back({p.name + " grid", p.frame_i, p.frame_j, Grid(p.frame_i.size()), {}});
  }
  // Detected corners sit on whole pixels, which the finest level takes a
  // shorter way; every third one moved off them mixes both ways in a group.
  Points mixed = cases[0].points;
  for (size_t k = 0; k < mixed.size(); k += 3)
    mixed[k].x += 0.25f;
  cases.push_back(
      {"corners, some off whole pixels", pairs[0].frame_i, pairs[0].frame_j, mixed, {}});
  const featuretest::RenderedPair& t = pairs[0];
  const cv::Mat flatI = WithFlatRegions(t.frame_i.clone()),
                flatJ = WithFlatRegions(t.frame_j.clone());
  const Points grid = Grid(t.frame_i.size());
  cases.push_back({"flat regions, grid", flatI, flatJ, grid, {}});
  cases.push_back({"flat regions, initial flow", flatI, flatJ, grid, Guesses(grid, t.trueHij)});
  for (const auto& [name, criteria] :
       {std::pair{"iteration limit 2, no step limit",
                  cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 2, 0.0)},
        std::pair{"iteration limit 7 only", cv::TermCriteria(cv::TermCriteria::COUNT, 7, 0.0)}}) {
    cases.push_back({name, t.frame_i, t.frame_j, cases[0].points, {}, criteria});
  }

  // Large motions (points leave the frame or are lost), other sizes (odd
  // sizes, six levels at 1280x720), noise.
  const render::CameraPose base = featuretest::BasePose(1.0),
                           far = testsupport::Pose(1280 + 150, 800 - 90, 1.0, 0.2);
  const cv::Mat farI = Render(base, featuretest::kFrameSize);
  Points farPoints = Corners(farI);
  // Positions no window can hold: not a number, far beyond the int range.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  farPoints.insert(farPoints.end(), {{nan, 5.f}, {5.f, nan}, {1e20f, 3.f}, {-3e9f, 10.f}});
  cases.push_back({"large motion", farI, Render(far, featuretest::kFrameSize), farPoints, {}});
  // A frame smaller than the window at the second level: one level only.
  const cv::Size tiny(48, 36);
  cases.push_back({"48x36 grid", Render(base, tiny), Render(base, tiny, true), Grid(tiny), {}});
  for (const cv::Size size : {cv::Size(1280, 720), cv::Size(643, 361)}) {
    cv::Mat i = Render(base, size), j = Render(base, size, true);
    render::AddNoise(j, 2.0, 7);
    const std::string name = std::to_string(size.width) + "x" + std::to_string(size.height);
    cases.push_back({name + " corners", i, j, Corners(i), {}});
    cases.push_back({name + " grid, initial flow", i, j, Grid(size), Grid(size)});
  }
  return cases;
}

class LkTrackerDifferential : public ::testing::TestWithParam<lk::Kernel> {
  void SetUp() override {
    if (!lk::KernelAvailable(GetParam()))
      GTEST_SKIP() << lk::KernelName(GetParam()) << " absent";
  }
};

TEST_P(LkTrackerDifferential, SameBitsAsOpenCvOnRenderedFrames) {
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
  const std::vector<cv::Mat> frames =
      testsupport::SidewaysPan(5, featuretest::kFrameSize, 1.0, 900.0, 800.0, 12.0).frames;
  lk::Tracker tracker;
  cv::Mat buffer = frames[0].clone();
  for (size_t f = 1; f < frames.size(); ++f) {
    const Points corners = Corners(frames[f - 1]);
    ExpectSame(tracker, GetParam(), {"pair " + std::to_string(f), buffer, frames[f], corners, {}});
    ExpectSame(tracker, GetParam(),
               {"key frame " + std::to_string(f), frames[0], frames[f], corners, corners});
    frames[f].copyTo(buffer);  // same memory, new content
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, LkTrackerDifferential,
                         ::testing::Values(lk::Kernel::kAvx2, lk::Kernel::kAvx512),
                         [](const auto& info) {
                           return info.param == lk::Kernel::kAvx2 ? "AVX2" : "AVX512";
                         });

// The pyramids the tracker keeps: every level and derivative, borders
// included, as cv::buildOpticalFlowPyramid builds them, for frame sizes whose
// levels end odd, even, at one pixel wide and before the level limit.
TEST(LkTracker, PyramidsAreOpenCvsBorderIncluded) {
  const auto whole = [](cv::Mat m) {
    m.adjustROI(kWindow.height, kWindow.height, kWindow.width, kWindow.width);
    return m;
  };
  for (const cv::Size size : {cv::Size(643, 361), cv::Size(640, 480), cv::Size(1, 50),
                              cv::Size(50, 2), cv::Size(1920, 1080)}) {
    cv::Mat frame(size, CV_8UC3);
    cv::RNG(size.area()).fill(frame, cv::RNG::UNIFORM, 0, 256);
    std::vector<cv::Mat> expected, actual;
    const int levels = cv::buildOpticalFlowPyramid(frame, expected, kWindow, kMaxLevel, true);
    EXPECT_EQ(lk::BuildPyramid(frame, kWindow, kMaxLevel, &actual), levels);
    ASSERT_EQ(actual.size(), expected.size()) << size;
    for (size_t k = 0; k < expected.size(); ++k) {
      EXPECT_TRUE(testsupport::SameBits(whole(expected[k]), whole(actual[k])))
          << size << ", " << (k % 2 ? "derivatives" : "image") << " of level " << k / 2;
    }
  }
}

// Frames the kernels do not handle (one channel) go to OpenCV, whichever
// kernel is asked for.
TEST(LkTracker, OtherFramesFallBackToOpenCv) {
  const featuretest::RenderedPair p = featuretest::TranslationPair();
  cv::Mat greyI, greyJ;
  cv::cvtColor(p.frame_i, greyI, cv::COLOR_BGR2GRAY);
  cv::cvtColor(p.frame_j, greyJ, cv::COLOR_BGR2GRAY);
  lk::Tracker tracker;
  ExpectSame(tracker, lk::Kernel::kOpenCv, {"grey", greyI, greyJ, Corners(p.frame_i), {}});
  Result r;
  tracker.Track(greyI, greyJ, Corners(p.frame_i), &r.next, &r.status, &r.err, kWindow, kMaxLevel,
                cv::TermCriteria(), 0, kMinEig);
  EXPECT_EQ(tracker.LastKernel(), lk::Kernel::kOpenCv);
}

// The kernels follow OpenCV 4.6's arithmetic: with any other version loaded,
// OpenCV's own tracker runs.
TEST(LkTracker, KernelsRunOnlyWithTheOpenCvVersionTheyReproduce) {
  const int versions[][3] = {{4, 6, 1}, {4, 7, 0}, {4, 5, 0}, {5, 6, 0}, {3, 6, 0}};
  for (const auto& v : versions)
    EXPECT_EQ(lk::KernelsReproduce(v[0], v[1]), v[2] == 1) << v[0] << "." << v[1];
  const bool loaded = lk::KernelsReproduce(cv::getVersionMajor(), cv::getVersionMinor());
  for (lk::Kernel kernel : {lk::Kernel::kAvx2, lk::Kernel::kAvx512})
    EXPECT_TRUE(loaded || !lk::KernelAvailable(kernel)) << lk::KernelName(kernel);
}

}  // namespace
