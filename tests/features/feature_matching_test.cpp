// Corner tracking and its filters, and SIFT matching and its ratio test.
#include "features/feature_matching.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "features/feature_extraction.hpp"
#include "geometry/homography_mapping.hpp"
#include "tests/features/rendered_pair.hpp"

namespace {

using featuretest::RenderedPair;
using Points = std::vector<cv::Point2f>;

constexpr int kW = 640;
constexpr int kH = 480;
constexpr int kColourMode = 1;

// ---------------------------------------------------------------------------
// The filters on exact values.

// Corners at (10k, 0), each (displacement right, status, error), and the
// indices kept: status non-zero, error at most 550, displacement not above
// mean + deviation of the corners passing the first two filters.
TEST(TrackingFilters, KeepWhatPassesStatusErrorAndDisplacement) {
  const std::vector<std::vector<cv::Vec3f>> corners = {
      {{0, 1, 0}, {0, 0, 0}, {0, 1, 0}},
      {{0, 1, 550}, {0, 1, std::nextafter(550.0f, 1000.0f)}, {0, 1, 549}},
      {{0, 1, 0}, {2, 1, 0}},                        // mean 1, deviation 1: 2 is at the limit
      {{0, 1, 0}, {0, 1, 0}, {0, 1, 0}, {3, 1, 0}},  // limit 2.049
      {{1, 1, 0}, {3, 0, 0}, {1, 1, 0}},             // a dropped corner does not count
      std::vector<cv::Vec3f>(10, {0, 1, 0}),
      std::vector<cv::Vec3f>(10, {1, 0, 0})};
  const std::vector<std::vector<int>> kept = {
      {0, 2}, {0, 2}, {0, 1}, {0, 1, 2}, {0, 2}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {}};
  for (size_t c = 0; c < corners.size(); ++c) {
    Points from, to;
    std::vector<unsigned char> status;
    std::vector<float> err;
    for (const cv::Vec3f& v : corners[c]) {
      from.emplace_back(10.0f * static_cast<float>(from.size()), 0.0f);
      to.push_back(from.back() + cv::Point2f(v[0], 0.0f));
      status.push_back(static_cast<unsigned char>(v[1]));
      err.push_back(v[2]);
    }
    EXPECT_EQ(SelectTrackedCorners(from, to, status, err), kept[c]) << "case " << c;
  }
}

TEST(TrackingFilters, ThreeSelectedPairsAreNotHandedOnFourAre) {
  const Points from = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}},
               to = {{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}};
  Points out_i = {{9, 9}}, out_j = {{9, 9}};
  CollectCorrespondences(from, to, {0, 2, 4}, &out_i, &out_j);
  EXPECT_TRUE(out_i.empty() && out_j.empty());
  CollectCorrespondences(from, to, {0, 2, 3, 4}, &out_i, &out_j);
  EXPECT_EQ(out_i, (Points{{0, 0}, {2, 0}, {3, 0}, {4, 0}}));
  EXPECT_EQ(out_j, (Points{{0, 1}, {2, 1}, {3, 1}, {4, 1}}));
}

// ---------------------------------------------------------------------------
// The tracker on real frames.

// Pairs from tracking `corners`: more than half of them kept, their first
// points in the order of `corners`, and at least 95 % of them within half a
// pixel of where the true motion takes their first point.
void ExpectGoodPairs(const RenderedPair& pair, const Points& corners, const Points& a,
                     const Points& b) {
  ASSERT_EQ(a.size(), b.size());
  EXPECT_GT(a.size(), corners.size() / 2);
  size_t w = 0, accurate = 0;
  for (size_t m = 0; m < a.size(); ++m, ++w) {
    while (w < corners.size() && corners[w] != a[m])
      ++w;
    ASSERT_LT(w, corners.size()) << "pair " << m << " is not a corner in order";
    accurate += cv::norm(ApplyHomography(pair.trueHij, a[m]) - b[m]) <= 0.5 ? 1 : 0;
  }
  EXPECT_GE(accurate, a.size() * 95 / 100);
}

// A translation is tracked, from the corners alone or from guesses; seven
// corners or a uniform frame are not.
TEST(CornerTracking, TracksATranslationButNotSevenCornersOrAUniformFrame) {
  const RenderedPair pair = featuretest::TranslationPair();
  FeatureExtraction extraction;
  const Points corners = extraction.goodFeaturesToTrack(pair.frame_i, kColourMode, kW, kH);
  const Points seven(corners.begin(), corners.begin() + 7);
  FeatureMatching matching;
  const auto track = [&](const Points& from, const cv::Mat& i, const cv::Mat& j) {
    matching.setCorners_i(from);
    matching.goodFeaturesToTrackMatching(i, j, kColourMode, kW, kH);
  };
  // Without an earlier tracking Corners_j stays absent.
  const cv::Mat uniform = featuretest::UniformFrame();
  track(extraction.goodFeaturesToTrack(uniform, kColourMode, kW, kH), uniform, uniform);
  EXPECT_TRUE(matching.getPointerCorners_j() == nullptr && matching.Cpoints_i.empty());
  track(seven, pair.frame_i, pair.frame_j);
  EXPECT_TRUE(matching.getPointerCorners_j() == nullptr && matching.Cpoints_i.empty());

  track(corners, pair.frame_i, pair.frame_j);
  EXPECT_EQ(matching.num_Corners, static_cast<int>(corners.size()));
  const Points tracked = matching.getCorners_j();  // dropped corners included
  ASSERT_EQ(tracked.size(), corners.size());
  EXPECT_EQ(static_cast<int>(matching.Cpoints_i.size()), matching.num_GoodCorners);
  ExpectGoodPairs(pair, corners, matching.Cpoints_i, matching.Cpoints_j);
  // Each pair is a corner and its own tracked position.
  for (size_t m = 0, next = 0; m < matching.Cpoints_i.size(); ++m) {
    while (corners[next] != matching.Cpoints_i[m])
      ++next;
    EXPECT_EQ(matching.Cpoints_j[m], tracked[next]);
  }
  // After a successful tracking, seven corners leave Corners_j as it was and
  // empty the correspondences of that tracking.
  track(seven, pair.frame_i, pair.frame_j);
  EXPECT_EQ(matching.num_Corners, 7);
  EXPECT_TRUE(matching.Cpoints_i.empty() && matching.Cpoints_j.empty());
  EXPECT_EQ(matching.getCorners_j(), tracked);

  // Guesses off by a pixel or two are refined; the corner lists are left
  // alone, and fewer than 8 points empty the outputs.
  Points guesses, out_i, out_j;
  for (const cv::Point2f& p : corners)
    guesses.push_back(ApplyHomography(pair.trueHij, p) + cv::Point2f(1.5f, -1.0f));
  matching.goodFeaturesToTrackMatching(&out_i, &out_j, corners, guesses, pair.frame_i, pair.frame_j,
                                       kColourMode, kW, kH);
  ExpectGoodPairs(pair, corners, out_i, out_j);
  matching.goodFeaturesToTrackMatching(&out_i, &out_j, seven,
                                       Points(guesses.begin(), guesses.begin() + 7), pair.frame_i,
                                       pair.frame_j, kColourMode, kW, kH);
  EXPECT_TRUE(out_i.empty() && out_j.empty());
  EXPECT_EQ(matching.getCorners_i(), seven);
  EXPECT_EQ(matching.getCorners_j(), tracked);
}

// ---------------------------------------------------------------------------
// SIFT matching on hand-made descriptors with exact distances.

// Query q sits at (1000 q, 0, 0); its two own training rows lie at distance
// nearest and second from it, every other row at least 1000 away. Keypoint
// positions: query q at (q, 0), its nearest row at (q, 1), its second at (q, 2).
void HandMade(FeatureMatching& m, const std::vector<std::pair<float, float>>& distances) {
  const int n = static_cast<int>(distances.size());
  cv::Mat query = cv::Mat::zeros(n, 3, CV_32F), train = cv::Mat::zeros(2 * n, 3, CV_32F);
  m.SIFT_Features_i.clear();
  m.SIFT_Features_j.clear();
  for (int q = 0; q < n; ++q) {
    query.at<float>(q, 0) = train.at<float>(2 * q, 0) = train.at<float>(2 * q + 1, 0) =
        1000.0f * static_cast<float>(q);
    train.at<float>(2 * q, 1) = distances[static_cast<size_t>(q)].first;
    train.at<float>(2 * q + 1, 2) = distances[static_cast<size_t>(q)].second;
    const float x = static_cast<float>(q);
    m.SIFT_Features_i.emplace_back(cv::Point2f(x, 0.0f), 1.0f);
    m.SIFT_Features_j.emplace_back(cv::Point2f(x, 1.0f), 1.0f);
    m.SIFT_Features_j.emplace_back(cv::Point2f(x, 2.0f), 1.0f);
  }
  m.setSIFT_Descriptor_i(query);
  m.setSIFT_Descriptor_j(train);
}

constexpr float kPasses = 2.99f;  // nearest distance just below 0.6 * 5

// The ratio boundary, the at-least-four rule, and a repeated call giving the same lists.
TEST(SiftMatching, RatioExactlyPointSixIsDroppedJustBelowKeptAndFourMatchesAreNeeded) {
  ASSERT_EQ(0.6 * 5.0, 3.0);  // the boundary is exact in double
  FeatureMatching m;
  HandMade(m, {{kPasses, 5.0f}, {kPasses, 5.0f}, {3.0f, 5.0f}, {kPasses, 5.0f}, {kPasses, 5.0f}});
  for (int call = 0; call < 2; ++call) {
    m.SIFTFeaturesMatching();
    EXPECT_EQ(m.num_GoodMatches, 4);
    // Entry m of both lists comes from the same match: query q with its nearest row.
    EXPECT_EQ(m.Cpoints_i, (Points{{0, 0}, {1, 0}, {3, 0}, {4, 0}}));
    EXPECT_EQ(m.Cpoints_j, (Points{{0, 1}, {1, 1}, {3, 1}, {4, 1}}));
  }
  HandMade(m, {{kPasses, 5.0f}, {kPasses, 5.0f}, {4.0f, 5.0f}, {kPasses, 5.0f}});
  m.SIFTFeaturesMatching();
  EXPECT_EQ(m.num_GoodMatches, 3);
  EXPECT_TRUE(m.Cpoints_i.empty() && m.Cpoints_j.empty());
}

// Inputs that must give no correspondences, and never an exception.
TEST(SiftMatching, UnusableDescriptorsGiveNoCorrespondences) {
  const cv::Mat good = (cv::Mat_<float>(4, 3) << 0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 0);
  const cv::Mat goodTrain = (cv::Mat_<float>(2, 3) << 0, 0, 0, 100, 0, 0);
  const auto as = [](const cv::Mat& m, int type) {
    cv::Mat out;
    m.convertTo(out, type);
    return out;
  };
  const std::pair<cv::Mat, cv::Mat> cases[] = {
      {cv::Mat(), goodTrain},
      {cv::Mat(0, 128, CV_32F), goodTrain},
      {good, cv::Mat()},  // no keypoints
      {as(good, CV_8U), goodTrain},
      {as(good, CV_64F), as(goodTrain, CV_64F)},  // wrong types
      {good, cv::Mat::zeros(2, 4, CV_32F)},
      {good, (cv::Mat_<float>(1, 3) << 0, 0, 0)}};  // widths, one neighbour
  for (const auto& [query, train] : cases) {
    FeatureMatching m;
    HandMade(m, std::vector<std::pair<float, float>>(4, {1.0f, 5.0f}));
    m.Cpoints_i = m.Cpoints_j = {{1, 1}};  // stale lists from an earlier call
    m.setSIFT_Descriptor_i(query);
    m.setSIFT_Descriptor_j(train);
    EXPECT_NO_THROW(m.SIFTFeaturesMatching());
    EXPECT_TRUE(m.Cpoints_i.empty() && m.Cpoints_j.empty());
    EXPECT_EQ(m.num_GoodMatches, 0);
  }
}

TEST(SiftMatching, DescriptorRowsWithoutKeypointsAreSkipped) {
  FeatureMatching m;
  HandMade(m, std::vector<std::pair<float, float>>(6, {1.0f, 5.0f}));
  m.SIFT_Features_i.resize(5);  // query 5 has no keypoint
  m.SIFT_Features_j.resize(8);  // rows 8..11 (queries 4 and 5) have none
  ASSERT_NO_THROW(m.SIFTFeaturesMatching());
  EXPECT_EQ(m.num_GoodMatches, 4);
  EXPECT_EQ(m.Cpoints_i, (Points{{0, 0}, {1, 0}, {2, 0}, {3, 0}}));
  EXPECT_EQ(m.Cpoints_j, (Points{{0, 1}, {1, 1}, {2, 1}, {3, 1}}));
}

}  // namespace
