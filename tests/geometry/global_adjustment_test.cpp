// Global adjustment on a synthetic loop of frames: measured pair homographies
// carry noise, and placements chained along one path pile it up. Adjusting
// all placements to all measurements (the loop closed) must bring them
// closer to the truth, keep the reference where it is, and give the same
// numbers on every run.
#include "geometry/global_adjustment.hpp"

#include <gtest/gtest.h>

#include <random>

#include "tests/support/test_support.hpp"

namespace {

const cv::Size kSize(320, 240);

// Frame i of a loop of n: its pixels onto the reference plane (frame 0).
cv::Mat TruePlacement(int i, int n) {
  const double t = 2.0 * CV_PI * i / n, angle = 0.08 * std::sin(t),
               scale = 1.0 + 0.05 * std::sin(2.0 * t);
  const double c = std::cos(angle) * scale, s = std::sin(angle) * scale;
  return (cv::Mat_<double>(3, 3) << c, -s, 130.0 * std::sin(t), s, c, 100.0 * (1.0 - std::cos(t)),
          1e-5 * std::sin(t), 0.0, 1.0);
}

// A measurement of the true homography from a onto b, off by noise of about
// sigma pixels at the frame corners.
cv::Mat Measured(const cv::Mat& trueAtoB, double sigma, std::mt19937& rng) {
  std::normal_distribution<double> noise(0.0, sigma);
  const double h = 1.0 / kSize.width;
  return (cv::Mat_<double>(3, 3) << 1.0 + noise(rng) * h, noise(rng) * h, noise(rng),
          noise(rng) * h, 1.0 + noise(rng) * h, noise(rng), 0.0, 0.0, 1.0) *
         trueAtoB;
}

double CornerError(const cv::Mat& a, const cv::Mat& b) {
  return testsupport::MaxCornerError(a, b, kSize.width, kSize.height);
}

TEST(GlobalAdjustment, ClosingANoisyLoopLowersTheErrorOfEveryPlacementOnAverage) {
  constexpr int kFrames = 12;
  std::mt19937 rng(7);
  std::vector<cv::Mat> truth;
  for (int i = 0; i < kFrames; ++i)
    truth.push_back(TruePlacement(i, kFrames));
  // Neighbours and second neighbours around the loop, the last closing it.
  std::vector<geometry::PairConstraint> constraints;
  for (int i = 0; i < kFrames; ++i) {
    for (int j : {(i + 1) % kFrames, (i + 2) % kFrames})
      constraints.push_back({i, j, Measured(truth[j].inv() * truth[i], 1.5, rng)});
  }
  // Starting placements chained along the loop from the reference, as a tree
  // path would: every link's error carried into all later frames.
  std::vector<cv::Mat> chained{truth[0].clone()};
  for (int i = 1; i < kFrames; ++i)
    chained.push_back(chained.back() * constraints[2 * (i - 1)].H.inv());
  const geometry::GlobalAdjustment r = geometry::AdjustPlacements(chained, 0, constraints, kSize);
  ASSERT_TRUE(r.adjusted);
  EXPECT_EQ(r.constraintsUsed, static_cast<int>(constraints.size()));
  EXPECT_LT(r.residualAfter, r.residualBefore);
  double before = 0.0, after = 0.0;
  for (int i = 0; i < kFrames; ++i)
    before += CornerError(chained[i], truth[i]),
        after += CornerError(r.frameToReference[i], truth[i]);
  EXPECT_LT(after, 0.75 * before) << "before " << before / kFrames << " px, after "
                                  << after / kFrames << " px on average";
  EXPECT_EQ(cv::norm(r.frameToReference[0], truth[0], cv::NORM_INF), 0.0);
  const geometry::GlobalAdjustment again =
      geometry::AdjustPlacements(chained, 0, constraints, kSize);
  for (int i = 0; i < kFrames; ++i)
    EXPECT_EQ(cv::norm(again.frameToReference[i], r.frameToReference[i], cv::NORM_INF), 0.0);
}

// A frame no measurement ties to the reference keeps its starting placement.
TEST(GlobalAdjustment, FramesWithoutConstraintsKeepTheirPlacement) {
  const std::vector<cv::Mat> truth{TruePlacement(0, 12), TruePlacement(1, 12),
                                   TruePlacement(2, 12)};
  std::mt19937 rng(3);
  const std::vector<geometry::PairConstraint> constraints{
      {0, 1, Measured(truth[1].inv() * truth[0], 1.0, rng)}};
  const std::vector<cv::Mat> start{truth[0], Measured(truth[1], 3.0, rng),
                                   Measured(truth[2], 3.0, rng)};
  const geometry::GlobalAdjustment r = geometry::AdjustPlacements(start, 0, constraints, kSize);
  ASSERT_TRUE(r.adjusted);
  EXPECT_EQ(cv::norm(r.frameToReference[2], start[2], cv::NORM_INF), 0.0);
  EXPECT_LT(CornerError(r.frameToReference[1], truth[1]), CornerError(start[1], truth[1]));
}

// A constraint is sampled at the cell centres of the first frame's grid: a
// pair three pixels apart keeps every point inside both frames.
TEST(GlobalAdjustment, AConstraintSamplesItsWholeGridInsideBothFrames) {
  geometry::GlobalAdjustmentSettings settings;
  settings.minimumPoints = settings.gridColumns * settings.gridRows;
  const cv::Mat shift = (cv::Mat_<double>(3, 3) << 1, 0, -3, 0, 1, -3, 0, 0, 1);
  const geometry::GlobalAdjustment r = geometry::AdjustPlacements(
      {cv::Mat::eye(3, 3, CV_64F), shift}, 0, {{1, 0, shift}}, kSize, settings);
  EXPECT_EQ(r.constraintsUsed, 1);
}

// The gate on adjusted placements, against a start at a translation: what
// keeps the frame's orientation and most of its area passes, a collapse, a
// mirror image or a corner thrown behind the camera does not.
struct GateCase {
  const char* name;
  cv::Matx33d change;  // the adjusted placement is start * change
  bool acceptable;
};
void PrintTo(const GateCase& c, std::ostream* os) {
  *os << c.name;
}
class PlacementGateTest : public ::testing::TestWithParam<GateCase> {};

TEST_P(PlacementGateTest, RefusesDegenerateChanges) {
  const cv::Mat start = (cv::Mat_<double>(3, 3) << 1, 0, 200, 0, 1, -50, 0, 0, 1);
  const cv::Mat adjusted = start * cv::Mat(GetParam().change);
  EXPECT_EQ(geometry::PlacementAcceptable(start, adjusted, kSize, 0.2), GetParam().acceptable);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, PlacementGateTest,
    ::testing::Values(GateCase{"Unchanged", cv::Matx33d::eye(), true},
                      GateCase{"ShiftAndTurn", {0.99, -0.05, 3, 0.05, 0.99, -2, 1e-5, 0, 1}, true},
                      GateCase{"ShrunkToATenth", {0.1, 0, 140, 0, 0.1, 100, 0, 0, 1}, false},
                      GateCase{"Mirrored", {-1, 0, 319, 0, 1, 0, 0, 0, 1}, false},
                      GateCase{"CornerBehindCamera", {1, 0, 0, 0, 1, 0, -0.004, 0, 1}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A measurement that would shrink a frame to a tenth of its size: the solve
// follows it, the gate refuses the result and the frame keeps its start.
TEST(GlobalAdjustment, DegenerateAdjustedPlacementKeepsItsStart) {
  const cv::Mat shrink = (cv::Mat_<double>(3, 3) << 0.1, 0, 144, 0, 0.1, 108, 0, 0, 1);
  const std::vector<cv::Mat> start{cv::Mat::eye(3, 3, CV_64F), cv::Mat::eye(3, 3, CV_64F)};
  const geometry::GlobalAdjustment r =
      geometry::AdjustPlacements(start, 0, {{1, 0, shrink}}, kSize);
  EXPECT_EQ(r.placementsRefused, 1);
  EXPECT_FALSE(r.adjusted);
  EXPECT_EQ(cv::norm(r.frameToReference[1], start[1], cv::NORM_INF), 0.0);
}

}  // namespace
