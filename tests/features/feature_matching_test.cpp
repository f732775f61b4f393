// Corner tracking and its filters, SIFT matching and its ratio test, and the
// registration of rendered frame pairs by both feature methods.
#include "features/feature_matching.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "features/camera_motion_estimation.hpp"
#include "features/feature_extraction.hpp"
#include "geometry/homography_mapping.hpp"
#include "tests/features/rendered_pair.hpp"

namespace {

using featuretest::kFrameSize;
using featuretest::RenderedPair;

constexpr int kW = 640;
constexpr int kH = 480;
constexpr int kColourMode = 1;

// ---------------------------------------------------------------------------
// The filters on exact values.

TEST(VarianceVectorFloat, IsThePopulationVarianceAboutTheGivenMean) {
  EXPECT_FLOAT_EQ(Variance_vector_float({1.0f, 2.0f, 3.0f, 4.0f}, 2.5f), 1.25f);
  // About another mean than the values' own.
  EXPECT_FLOAT_EQ(Variance_vector_float({1.0f, 3.0f}, 0.0f), 5.0f);
  EXPECT_EQ(Variance_vector_float({}, 0.0f), 0.0f);
}

// n corners at (10k, 0) moved right by the given displacements.
struct Tracked {
  std::vector<cv::Point2f> from, to;
  std::vector<unsigned char> status;
  std::vector<float> err;
  void Add(float displacement, unsigned char s = 1, float e = 0.0f) {
    const cv::Point2f p(10.0f * static_cast<float>(from.size()), 0.0f);
    from.push_back(p);
    to.push_back(p + cv::Point2f(displacement, 0.0f));
    status.push_back(s);
    err.push_back(e);
  }
  std::vector<int> Select() const { return SelectTrackedCorners(from, to, status, err); }
};

// (displacement, status, error) per corner and the indices kept: status
// non-zero, error at most 550, displacement not above mean + deviation of
// the corners passing the first two filters.
TEST(TrackingFilters, KeepWhatPassesStatusErrorAndDisplacement) {
  const std::vector<std::vector<cv::Vec3f>> corners = {
      {{0, 1, 0}, {0, 0, 0}, {0, 1, 0}},
      {{0, 1, 550}, {0, 1, std::nextafter(550.0f, 1000.0f)}, {0, 1, 549}},
      {{0, 1, 0}, {2, 1, 0}},                // mean 1, deviation 1: 2 is at the limit
      {{0, 1, 0}, {0, 1, 0}, {0, 1, 0}, {3, 1, 0}},  // limit 2.049
      {{1, 1, 0}, {3, 0, 0}, {1, 1, 0}},     // a dropped corner does not count
      std::vector<cv::Vec3f>(10, {0, 1, 0}), std::vector<cv::Vec3f>(10, {1, 0, 0})};
  const std::vector<std::vector<int>> kept = {{0, 2}, {0, 2}, {0, 1}, {0, 1, 2}, {0, 2},
                                              {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {}};
  for (size_t c = 0; c < corners.size(); ++c) {
    Tracked t;
    for (const cv::Vec3f& v : corners[c]) t.Add(v[0], static_cast<unsigned char>(v[1]), v[2]);
    EXPECT_EQ(t.Select(), kept[c]) << "case " << c;
  }
}

TEST(TrackingFilters, ThreeSelectedPairsAreNotHandedOnFourAre) {
  const std::vector<cv::Point2f> from = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}};
  const std::vector<cv::Point2f> to = {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}};
  std::vector<cv::Point2f> out_i = {{9, 9}}, out_j = {{9, 9}};
  CollectCorrespondences(from, to, {0, 2, 4}, &out_i, &out_j);
  EXPECT_TRUE(out_i.empty() && out_j.empty());
  CollectCorrespondences(from, to, {0, 2, 3, 4}, &out_i, &out_j);
  EXPECT_EQ(out_i, (std::vector<cv::Point2f>{{0, 0}, {2, 0}, {3, 0}, {4, 0}}));
  EXPECT_EQ(out_j, (std::vector<cv::Point2f>{{0, 1}, {2, 1}, {3, 1}, {4, 1}}));
}

// ---------------------------------------------------------------------------
// The tracker on real frames.

bool IsSubsequence(const std::vector<cv::Point2f>& part, const std::vector<cv::Point2f>& whole) {
  size_t w = 0;
  for (const cv::Point2f& p : part) {
    while (w < whole.size() && whole[w] != p) ++w;
    if (w == whole.size()) return false;
    ++w;
  }
  return true;
}

// How many pairs lie within half a pixel of where the true motion takes their first point.
size_t Accurate(const cv::Mat& trueHij, const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b) {
  constexpr double kTrackingTolerancePx = 0.5;
  size_t accurate = 0;
  for (size_t m = 0; m < a.size(); ++m) {
    const cv::Point2f truth = ApplyHomography(trueHij, a[m]);
    accurate += std::hypot(truth.x - b[m].x, truth.y - b[m].y) <= kTrackingTolerancePx ? 1 : 0;
  }
  return accurate;
}

TEST(CornerTracking, TracksATranslationAndKeepsEveryTrackedPosition) {
  const RenderedPair pair = featuretest::TranslationPair();
  FeatureExtraction extraction;
  FeatureMatching matching;
  const std::vector<cv::Point2f> corners =
      extraction.goodFeaturesToTrack(pair.frame_i, kColourMode, kW, kH);
  matching.setCorners_i(corners);
  matching.goodFeaturesToTrackMatching(pair.frame_i, pair.frame_j, kColourMode, kW, kH);

  EXPECT_EQ(matching.num_Corners, static_cast<int>(corners.size()));
  ASSERT_NE(matching.getPointerCorners_j(), nullptr);
  const std::vector<cv::Point2f> tracked = matching.getCorners_j();
  ASSERT_EQ(tracked.size(), corners.size());
  ASSERT_EQ(matching.Cpoints_i.size(), matching.Cpoints_j.size());
  EXPECT_EQ(static_cast<int>(matching.Cpoints_i.size()), matching.num_GoodCorners);
  EXPECT_GT(matching.Cpoints_i.size(), corners.size() / 2);
  EXPECT_TRUE(IsSubsequence(matching.Cpoints_i, corners));

  // Each pair is a corner and its own tracked position, and that position
  // is where the true motion takes the corner.
  size_t next = 0;
  for (size_t m = 0; m < matching.Cpoints_i.size(); ++m) {
    while (corners[next] != matching.Cpoints_i[m]) ++next;
    EXPECT_EQ(matching.Cpoints_j[m], tracked[next]);
  }
  EXPECT_GE(Accurate(pair.trueHij, matching.Cpoints_i, matching.Cpoints_j), matching.Cpoints_i.size() * 95 / 100);
}

TEST(CornerTracking, SevenCornersOrAUniformFrameAreNotTracked) {
  const RenderedPair pair = featuretest::TranslationPair();
  FeatureExtraction extraction;
  FeatureMatching matching;
  std::vector<cv::Point2f> corners =
      extraction.goodFeaturesToTrack(pair.frame_i, kColourMode, kW, kH);
  ASSERT_GE(corners.size(), 8u);

  // Without an earlier tracking Corners_j stays absent.
  const cv::Mat uniform = featuretest::UniformFrame();
  matching.setCorners_i(extraction.goodFeaturesToTrack(uniform, kColourMode, kW, kH));
  matching.goodFeaturesToTrackMatching(uniform, uniform, kColourMode, kW, kH);
  EXPECT_EQ(matching.getPointerCorners_j(), nullptr);
  EXPECT_TRUE(matching.Cpoints_i.empty());
  matching.setCorners_i(std::vector<cv::Point2f>(corners.begin(), corners.begin() + 7));
  matching.goodFeaturesToTrackMatching(pair.frame_i, pair.frame_j, kColourMode, kW, kH);
  EXPECT_EQ(matching.getPointerCorners_j(), nullptr);
  EXPECT_TRUE(matching.Cpoints_i.empty());

  // After a successful tracking, seven corners leave Corners_j as it was and
  // empty the correspondences of that tracking.
  matching.setCorners_i(corners);
  matching.goodFeaturesToTrackMatching(pair.frame_i, pair.frame_j, kColourMode, kW, kH);
  ASSERT_FALSE(matching.Cpoints_i.empty());
  const std::vector<cv::Point2f> before = matching.getCorners_j();
  matching.setCorners_i(std::vector<cv::Point2f>(corners.begin(), corners.begin() + 7));
  matching.goodFeaturesToTrackMatching(pair.frame_i, pair.frame_j, kColourMode, kW, kH);
  EXPECT_EQ(matching.num_Corners, 7);
  EXPECT_TRUE(matching.Cpoints_i.empty() && matching.Cpoints_j.empty());
  EXPECT_EQ(matching.getCorners_j(), before);
}

// A grey frame with small white squares: their corners are trackable, the
// grey far from them gives the tracker nothing (status 0).
cv::Mat SparseSquaresFrame(const std::vector<cv::Point>& squareCorners) {
  cv::Mat frame(kFrameSize, CV_8UC3, cv::Scalar(90, 90, 90));
  constexpr int kSquareSidePx = 9;
  for (const cv::Point& c : squareCorners) {
    cv::rectangle(frame, cv::Rect(c.x, c.y, kSquareSidePx, kSquareSidePx),
                  cv::Scalar(250, 250, 250), cv::FILLED);
  }
  return frame;
}

TEST(CornerTracking, ThreeSurvivorsGiveNoCorrespondencesFourDo) {
  const std::vector<cv::Point> squares = {{100, 100}, {300, 100}, {500, 100}, {100, 350}};
  // At least 40 px from every square and from the border.
  const std::vector<cv::Point2f> flat = {
      {200, 240}, {400, 240}, {560, 400}, {300, 400}, {450, 350}};
  const cv::Mat frame = SparseSquaresFrame(squares);

  auto track = [&](int textured) {
    std::vector<cv::Point2f> points;
    for (int k = 0; k < textured; ++k) {
      points.emplace_back(static_cast<float>(squares[static_cast<size_t>(k)].x),
                          static_cast<float>(squares[static_cast<size_t>(k)].y));
    }
    for (int k = 0; points.size() < 8; ++k) points.push_back(flat[static_cast<size_t>(k)]);
    FeatureMatching matching;
    matching.setCorners_i(points);
    matching.goodFeaturesToTrackMatching(frame, frame, kColourMode, kW, kH);
    return matching;
  };

  const FeatureMatching four = track(4);
  EXPECT_EQ(four.num_GoodCorners, 4);
  ASSERT_EQ(four.Cpoints_i.size(), 4u);
  EXPECT_EQ(four.Cpoints_i, four.Cpoints_j);
  EXPECT_EQ(four.getCorners_j().size(), 8u);  // dropped corners included

  const FeatureMatching three = track(3);
  EXPECT_EQ(three.num_GoodCorners, 3);
  EXPECT_TRUE(three.Cpoints_i.empty() && three.Cpoints_j.empty());
}

TEST(CornerTrackingWithGuesses, RefinesTheGuessesAndLeavesTheCornerListsAlone) {
  const RenderedPair pair = featuretest::TranslationPair();
  FeatureExtraction extraction;
  FeatureMatching matching;
  const std::vector<cv::Point2f> points =
      extraction.goodFeaturesToTrack(pair.frame_i, kColourMode, kW, kH);
  std::vector<cv::Point2f> guesses;
  const cv::Point2f guessError(1.5f, -1.0f);
  for (const cv::Point2f& p : points)
    guesses.push_back(ApplyHomography(pair.trueHij, p) + guessError);
  const std::vector<cv::Point2f> sentinel = {{1, 2}, {3, 4}};
  matching.setCorners_j(sentinel);

  std::vector<cv::Point2f> out_i, out_j;
  matching.goodFeaturesToTrackMatching(&out_i, &out_j, points, guesses, pair.frame_i, pair.frame_j,
                                       kColourMode, kW, kH);
  EXPECT_EQ(matching.getCorners_j(), sentinel);
  ASSERT_EQ(out_i.size(), out_j.size());
  EXPECT_GT(out_i.size(), points.size() / 2);
  EXPECT_TRUE(IsSubsequence(out_i, points));
  EXPECT_GE(Accurate(pair.trueHij, out_i, out_j), out_i.size() * 95 / 100);

  // Fewer than 8 points: the outputs are emptied, nothing is tracked.
  matching.goodFeaturesToTrackMatching(
      &out_i, &out_j, std::vector<cv::Point2f>(points.begin(), points.begin() + 7),
      std::vector<cv::Point2f>(guesses.begin(), guesses.begin() + 7), pair.frame_i, pair.frame_j,
      kColourMode, kW, kH);
  EXPECT_TRUE(out_i.empty() && out_j.empty());
  EXPECT_EQ(matching.getCorners_j(), sentinel);
}

// ---------------------------------------------------------------------------
// SIFT matching on hand-made descriptors with exact distances.

// Query q sits at (1000 q, 0, 0); its two own training rows lie at distance
// nearest and second from it, every other row at least 1000 away. Keypoint
// positions: query q at (q, 0), its nearest row at (q, 1), its second at (q, 2).
struct HandMadeDescriptors {
  std::vector<std::pair<float, float>> distances;  // (nearest, second) per query

  void ApplyTo(FeatureMatching& m) const {
    const int n = static_cast<int>(distances.size());
    cv::Mat query = cv::Mat::zeros(n, 3, CV_32F);
    cv::Mat train = cv::Mat::zeros(2 * n, 3, CV_32F);
    m.SIFT_Features_i.clear();
    m.SIFT_Features_j.clear();
    for (int q = 0; q < n; ++q) {
      const float base = 1000.0f * static_cast<float>(q);
      query.at<float>(q, 0) = base;
      train.at<float>(2 * q, 0) = base;
      train.at<float>(2 * q, 1) = distances[static_cast<size_t>(q)].first;
      train.at<float>(2 * q + 1, 0) = base;
      train.at<float>(2 * q + 1, 2) = distances[static_cast<size_t>(q)].second;
      const float x = static_cast<float>(q);
      m.SIFT_Features_i.emplace_back(cv::Point2f(x, 0.0f), 1.0f);
      m.SIFT_Features_j.emplace_back(cv::Point2f(x, 1.0f), 1.0f);
      m.SIFT_Features_j.emplace_back(cv::Point2f(x, 2.0f), 1.0f);
    }
    m.setSIFT_Descriptor_i(query);
    m.setSIFT_Descriptor_j(train);
  }
};

constexpr float kPasses = 2.99f;  // nearest distance just below 0.6 * 5

// The ratio boundary, the at-least-four rule, and a repeated call giving the same lists.
TEST(SiftMatching, RatioExactlyPointSixIsDroppedJustBelowKeptAndFourMatchesAreNeeded) {
  ASSERT_EQ(0.6 * 5.0, 3.0);  // the boundary is exact in double
  FeatureMatching m;
  HandMadeDescriptors{{{kPasses, 5.0f}, {kPasses, 5.0f}, {3.0f, 5.0f}, {kPasses, 5.0f}, {kPasses, 5.0f}}}.ApplyTo(m);
  for (int call = 0; call < 2; ++call) {
    m.SIFTFeaturesMatching();
    EXPECT_EQ(m.num_GoodMatches, 4);
    // Entry m of both lists comes from the same match: query q with its nearest row.
    EXPECT_EQ(m.Cpoints_i, (std::vector<cv::Point2f>{{0, 0}, {1, 0}, {3, 0}, {4, 0}}));
    EXPECT_EQ(m.Cpoints_j, (std::vector<cv::Point2f>{{0, 1}, {1, 1}, {3, 1}, {4, 1}}));
  }
  HandMadeDescriptors{{{kPasses, 5.0f}, {kPasses, 5.0f}, {4.0f, 5.0f}, {kPasses, 5.0f}}}.ApplyTo(m);
  m.SIFTFeaturesMatching();
  EXPECT_EQ(m.num_GoodMatches, 3);
  EXPECT_TRUE(m.Cpoints_i.empty() && m.Cpoints_j.empty());
}

TEST(SiftMatching, TwoQueriesMayShareTheirNearestTrainingRow) {
  FeatureMatching m;
  const cv::Mat train = (cv::Mat_<float>(2, 3) << 0, 0, 0, 100, 0, 0);
  const cv::Mat query = (cv::Mat_<float>(4, 3) << 0, 0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0);
  for (int q = 0; q < 4; ++q)
    m.SIFT_Features_i.emplace_back(cv::Point2f(static_cast<float>(q), 0), 1.0f);
  m.SIFT_Features_j = {cv::KeyPoint(cv::Point2f(7, 7), 1.0f),
                       cv::KeyPoint(cv::Point2f(8, 8), 1.0f)};
  m.setSIFT_Descriptor_i(query);
  m.setSIFT_Descriptor_j(train);
  m.SIFTFeaturesMatching();
  EXPECT_EQ(m.num_GoodMatches, 4);
  EXPECT_EQ(m.Cpoints_j, std::vector<cv::Point2f>(4, cv::Point2f(7, 7)));
}

// Inputs that must give no correspondences, and never an exception.
TEST(SiftMatching, UnusableDescriptorsGiveNoCorrespondences) {
  auto matchWith = [](cv::Mat query, cv::Mat train) {
    FeatureMatching m;
    HandMadeDescriptors{{{1.0f, 5.0f}, {1.0f, 5.0f}, {1.0f, 5.0f}, {1.0f, 5.0f}}}.ApplyTo(m);
    m.Cpoints_i = {{1, 1}};  // stale lists from an earlier call
    m.Cpoints_j = {{1, 1}};
    m.setSIFT_Descriptor_i(query);
    m.setSIFT_Descriptor_j(train);
    EXPECT_NO_THROW(m.SIFTFeaturesMatching());
    EXPECT_TRUE(m.Cpoints_i.empty() && m.Cpoints_j.empty());
    EXPECT_EQ(m.num_GoodMatches, 0);
  };
  const cv::Mat good = (cv::Mat_<float>(4, 3) << 0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 0);
  const cv::Mat goodTrain = (cv::Mat_<float>(2, 3) << 0, 0, 0, 100, 0, 0);
  matchWith(cv::Mat(), goodTrain);                // image i without keypoints
  matchWith(cv::Mat(0, 128, CV_32F), goodTrain);  // zero rows
  matchWith(good, cv::Mat());                     // image j without keypoints
  cv::Mat bytes, doubles, trainDoubles;
  good.convertTo(bytes, CV_8U);
  matchWith(bytes, goodTrain);  // wrong type on one side
  good.convertTo(doubles, CV_64F);
  goodTrain.convertTo(trainDoubles, CV_64F);
  matchWith(doubles, trainDoubles);                     // wrong type on both
  matchWith(good, cv::Mat::zeros(2, 4, CV_32F));        // unequal widths
  matchWith(good, (cv::Mat_<float>(1, 3) << 0, 0, 0));  // one neighbour only
}

TEST(SiftMatching, DescriptorRowsWithoutKeypointsAreSkipped) {
  FeatureMatching m;
  HandMadeDescriptors{
      {{1.0f, 5.0f}, {1.0f, 5.0f}, {1.0f, 5.0f}, {1.0f, 5.0f}, {1.0f, 5.0f}, {1.0f, 5.0f}}}
      .ApplyTo(m);
  m.SIFT_Features_i.resize(5);  // query 5 has no keypoint
  m.SIFT_Features_j.resize(8);  // rows 8..11 (queries 4 and 5) have none
  ASSERT_NO_THROW(m.SIFTFeaturesMatching());
  EXPECT_EQ(m.num_GoodMatches, 4);
  EXPECT_EQ(m.Cpoints_i.size(), m.Cpoints_j.size());
  EXPECT_EQ(m.Cpoints_i, (std::vector<cv::Point2f>{{0, 0}, {1, 0}, {2, 0}, {3, 0}}));
}

// ---------------------------------------------------------------------------
// Whole pairs: features, correspondences and the RANSAC estimate.

enum class Method { kCorners, kSift };
void PrintTo(Method m, std::ostream* os) { *os << (m == Method::kCorners ? "corners" : "SIFT"); }

void Correspond(Method method, const RenderedPair& pair, FeatureExtraction& extraction,
                FeatureMatching& matching) {
  if (method == Method::kCorners) {
    matching.setCorners_i(extraction.goodFeaturesToTrack(pair.frame_i, kColourMode, kW, kH));
    matching.goodFeaturesToTrackMatching(pair.frame_i, pair.frame_j, kColourMode, kW, kH);
    return;
  }
  const std::vector<cv::KeyPoint> keypoints_i = extraction.SIFTFeatures(pair.frame_i);
  matching.setSIFT_Features_i(keypoints_i);
  matching.setSIFT_Descriptor_i(extraction.SIFTDescriptor(keypoints_i, pair.frame_i));
  const std::vector<cv::KeyPoint> keypoints_j = extraction.SIFTFeatures(pair.frame_j);
  matching.setSIFT_Features_j(keypoints_j);
  matching.setSIFT_Descriptor_j(extraction.SIFTDescriptor(keypoints_j, pair.frame_j));
  matching.SIFTFeaturesMatching();
}

class PairRegistration : public testing::TestWithParam<Method> {};

TEST_P(PairRegistration, RecoversTheTrueHomographyWithinOnePixel) {
  constexpr double kCornerTolerancePx = 1.0;
  const double zoom = GetParam() == Method::kSift ? featuretest::kSiftZoom : 1.0;
  for (const RenderedPair& pair :
       {featuretest::TranslationPair(zoom), featuretest::RotationPair(zoom),
        featuretest::PerspectivePair(zoom)}) {
    SCOPED_TRACE(pair.name);
    FeatureExtraction extraction;
    FeatureMatching matching;
    Correspond(GetParam(), pair, extraction, matching);
    ASSERT_EQ(matching.Cpoints_i.size(), matching.Cpoints_j.size());
    ASSERT_GE(matching.Cpoints_i.size(), 8u);
    CameraMotionEstimation motion;
    motion.HomographyEstimation_DLT_RANSAC(matching.getDirCpoints_i(), matching.getDirCpoints_j(),
                                           kW, kH);
    EXPECT_EQ(motion.getban_ExisteH(), 1);
    EXPECT_LE(testsupport::MaxCornerError(motion.getHomography(), pair.trueHij, kW, kH),
              kCornerTolerancePx);
  }
}

INSTANTIATE_TEST_SUITE_P(BothMethods, PairRegistration, testing::Values(Method::kCorners, Method::kSift),
                         [](const auto& info) { return info.param == Method::kCorners ? "Corners" : "Sift"; });

}  // namespace
