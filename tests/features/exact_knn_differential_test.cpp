// The integer two-nearest-neighbour search against cv::BFMatcher(NORM_L2):
// every query's two neighbours, their order and their float distances must
// be identical bit for bit, on SIFT descriptors of rendered frames and on
// hand-made rows with exact ties; and SIFT matching must give the same
// correspondences as matching through the brute-force matcher.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <string>
#include <utility>
#include <vector>

#include "features/exact_knn.hpp"
#include "features/feature_extraction.hpp"
#include "features/feature_matching.hpp"
#include "tests/features/rendered_pair.hpp"

namespace {

using Knn = std::vector<std::vector<cv::DMatch>>;
using Kernels = std::vector<std::pair<exactknn::Kernel, std::string>>;
using Points = std::vector<cv::Point2f>;

Knn BruteForceKnn(const cv::Mat& query, const cv::Mat& train) {
  Knn result;
  cv::BFMatcher(cv::NORM_L2, false).knnMatch(query, train, result, 2, cv::noArray(), false);
  return result;
}

Knn FastKnn(const cv::Mat& query, const cv::Mat& train,
            exactknn::Kernel kernel = exactknn::Kernel::kWidest) {
  Knn result;
  exactknn::KnnMatch2(query, train, &result, kernel);
  return result;
}

// The integer kernels this processor runs; each must give the matcher's
// answer on its own.
Kernels AvailableKernels() {
  Kernels kernels;
  for (const auto& [kernel, name] : Kernels{{exactknn::Kernel::kAvx2, "AVX2"},
                                            {exactknn::Kernel::kAvx512Vnni, "AVX-512 VNNI"},
                                            {exactknn::Kernel::kAmxInt8, "AMX-INT8"}}) {
    if (exactknn::KernelAvailable(kernel))
      kernels.emplace_back(kernel, name);
  }
  return kernels;
}

// Stops at the first differing query so that a fault reports one line.
void ExpectIdentical(const Knn& expected, const Knn& actual, const std::string& what) {
  ASSERT_EQ(expected.size(), actual.size()) << what;
  for (size_t q = 0; q < expected.size(); ++q) {
    ASSERT_EQ(expected[q].size(), actual[q].size()) << what << " query " << q;
    for (size_t n = 0; n < expected[q].size(); ++n) {
      const cv::DMatch &e = expected[q][n], &a = actual[q][n];
      ASSERT_TRUE(e.queryIdx == a.queryIdx && e.trainIdx == a.trainIdx && e.imgIdx == a.imgIdx &&
                  std::memcmp(&e.distance, &a.distance, sizeof(float)) == 0)
          << what << " query " << q << " neighbour " << n << ": row " << e.trainIdx << " at "
          << e.distance << " vs row " << a.trainIdx << " at " << a.distance;
    }
  }
}

void ExpectSameAsBruteForce(const cv::Mat& query, const cv::Mat& train, const std::string& what) {
  ASSERT_TRUE(exactknn::FastSearchApplies(query, train)) << what;
  const Knn expected = BruteForceKnn(query, train);
  ExpectIdentical(expected, FastKnn(query, train), what);
  for (const auto& [kernel, name] : AvailableKernels())
    ExpectIdentical(expected, FastKnn(query, train, kernel), what + " (" + name + ")");
}

// Whole numbers in [0, 255] like SIFT's, from a seeded generator.
cv::Mat RandomByteRows(int rows, int cols, uint64_t seed) {
  cv::Mat m(rows, cols, CV_32F);
  cv::RNG rng(seed);
  for (float& v : cv::Mat_<float>(m))
    v = static_cast<float>(rng.uniform(0, 256));
  return m;
}

// Both directions of a frame pair, neighbour lists and then the matching
// output against the correspondences through the brute-force matcher and
// the ratio test (0.6 * d2 > d1 in double).
void CheckFramePair(const featuretest::RenderedPair& pair) {
  FeatureMatching matching;
  cv::Mat di, dj;
  const std::vector<cv::KeyPoint> ki =
      FeatureExtraction().SIFTFeaturesAndDescriptor(pair.frame_i, &di);
  const std::vector<cv::KeyPoint> kj =
      FeatureExtraction().SIFTFeaturesAndDescriptor(pair.frame_j, &dj);
  ExpectSameAsBruteForce(di, dj, pair.name + " i->j");
  ExpectSameAsBruteForce(dj, di, pair.name + " j->i");
  matching.setSIFT_Features_i(ki);
  matching.setSIFT_Features_j(kj);
  matching.setSIFT_Descriptor_i(di);
  matching.setSIFT_Descriptor_j(dj);
  matching.SIFTFeaturesMatching();
  Points expected_i, expected_j;
  for (const std::vector<cv::DMatch>& m : BruteForceKnn(di, dj)) {
    if (m.size() < 2 ||
        !(0.6 * static_cast<double>(m[1].distance) > static_cast<double>(m[0].distance)))
      continue;
    expected_i.push_back(ki[static_cast<size_t>(m[0].queryIdx)].pt);
    expected_j.push_back(kj[static_cast<size_t>(m[0].trainIdx)].pt);
  }
  EXPECT_GT(expected_i.size(), 20u) << pair.name << ": a real pair should match well";
  const auto same = [](const Points& e, const Points& a) {
    return e.size() == a.size() &&
           std::memcmp(e.data(), a.data(), e.size() * sizeof(cv::Point2f)) == 0;
  };
  EXPECT_TRUE(same(expected_i, matching.Cpoints_i) && same(expected_j, matching.Cpoints_j))
      << pair.name;
  EXPECT_EQ(static_cast<int>(expected_i.size()), matching.num_GoodMatches) << pair.name;
}

// The fast search needs AVX2; each available kernel is checked on its own.
class ExactKnnDifferential : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string names;
    for (const auto& kernel : AvailableKernels())
      names += " " + kernel.second;
    std::cout << "integer kernels run:" << (names.empty() ? " none" : names) << "\n";
  }
  void SetUp() override {
    if (!exactknn::KernelAvailable(exactknn::Kernel::kAvx2))
      GTEST_SKIP() << "this processor lacks AVX2: the fast search is not used";
  }
};

}  // namespace

// Zoomed-in frames (about 2000 keypoints each) under three camera motions,
// plus a pair with a large shift so that most queries have no true match.
TEST_F(ExactKnnDifferential, SiftDescriptorsOfZoomedFramePairs) {
  using namespace featuretest;
  render::CameraPose far = BasePose(kSiftZoom);
  far.centreX += 100.0;
  for (const RenderedPair& pair :
       {TranslationPair(kSiftZoom), RotationPair(kSiftZoom), PerspectivePair(kSiftZoom),
        RenderPair("far shift", BasePose(kSiftZoom), far)}) {
    CheckFramePair(pair);
  }
}

// SIFT's descriptors are whole numbers in [0, 255]; the fast search relies on
// it and must refuse anything else.
TEST_F(ExactKnnDifferential, FastSearchOnlyForWholeBytes) {
  const cv::Mat rows = RandomByteRows(8, 128, 11);
  EXPECT_TRUE(exactknn::FastSearchApplies(rows, rows));
  const auto with = [&](int r, int c, float v) {
    cv::Mat m = rows.clone();
    m.at<float>(r, c) = v;
    return m;
  };
  cv::Mat asDouble;
  rows.convertTo(asDouble, CV_64F);
  const std::pair<cv::Mat, cv::Mat> refused[] = {
      {with(3, 7, 12.5f), rows},
      {rows, with(3, 7, 12.5f)},
      {with(0, 0, 256), rows},
      {rows, with(0, 0, -1)},
      {with(5, 5, NAN), rows},
      {RandomByteRows(4, 257, 1), RandomByteRows(4, 257, 2)},
      {cv::Mat(), rows},
      {rows, cv::Mat(0, 128, CV_32F)},
      {rows, RandomByteRows(4, 64, 3)},
      {asDouble, asDouble}};
  for (const auto& [query, train] : refused)
    EXPECT_FALSE(exactknn::FastSearchApplies(query, train));
  // Refused input still gets the brute-force matcher's answer.
  ExpectIdentical(BruteForceKnn(with(3, 7, 12.5f), rows), FastKnn(with(3, 7, 12.5f), rows),
                  "fractional rows");
}

// Duplicate train rows (equal distances: lower row first) and duplicate
// query rows (identical lists), on row counts that do not fill the search's
// blocks; then every train row the same (neighbours rows 0 and 1).
TEST_F(ExactKnnDifferential, ExactTiesFromDuplicateRows) {
  cv::Mat train = RandomByteRows(37, 128, 21), query = RandomByteRows(11, 128, 22);
  for (const auto& [from, to] : {std::pair{4, 30}, {4, 17}, {9, 10}})
    train.row(from).copyTo(train.row(to));
  train.row(4).copyTo(query.row(0));  // distance 0 to rows 4, 17 and 30
  train.row(9).copyTo(query.row(1));  // distance 0 to rows 9 and 10
  query.row(2).copyTo(query.row(7));  // three identical queries
  query.row(2).copyTo(query.row(10));
  ExpectSameAsBruteForce(query, train, "duplicates");
  ExpectSameAsBruteForce(query, cv::repeat(train.row(3), 40, 1), "all train rows equal");
}

// Near 2^23 adjacent squared distances can round to one float distance. The
// matcher then sees a tie and keeps the lower train row first, even when its
// squared distance is the larger one.
TEST_F(ExactKnnDifferential, TiesCreatedByFloatRoundingOfTheSquareRoot) {
  int roundingTies = 0;
  for (int base = 200; base <= 255; ++base) {
    // Row r: first element 3 - r, all others base; the query is all zeros,
    // so row r lies at base^2 * 127 + (3 - r)^2.
    cv::Mat train(4, 128, CV_32F, cv::Scalar(base));
    for (int r = 0; r < 4; ++r)
      train.at<float>(r, 0) = static_cast<float>(3 - r);
    const cv::Mat query = cv::Mat::zeros(2, 128, CV_32F);
    const Knn expected = BruteForceKnn(query, train);
    roundingTies += expected[0][0].distance == expected[0][1].distance ? 1 : 0;
    ExpectSameAsBruteForce(query, train, "base " + std::to_string(base));
  }
  EXPECT_GT(roundingTies, 0) << "no case exercised a tie made by rounding";
}

// One or two train rows, a single query, odd widths, counts that are not
// block multiples, views into larger matrices, and the extremes of the byte
// range (the 8-bit kernel stores train bytes shifted by 128).
TEST_F(ExactKnnDifferential, SmallAndOddShapes) {
  const int shapes[][3] = {{9, 1, 128}, {9, 2, 128},   {1, 50, 128},     {130, 300, 3},
                           {70, 33, 1}, {20, 41, 256}, {1001, 1283, 128}};
  for (const auto& [q, t, w] : shapes) {
    ExpectSameAsBruteForce(
        RandomByteRows(q, w, 31 + q), RandomByteRows(t, w, 32 + t),
        std::to_string(q) + "x" + std::to_string(t) + " width " + std::to_string(w));
  }
  const cv::Mat wide = RandomByteRows(300, 200, 41);
  ExpectSameAsBruteForce(wide(cv::Rect(5, 3, 128, 150)), wide(cv::Rect(60, 100, 128, 199)),
                         "views");
  cv::Mat extremes = cv::repeat((cv::Mat_<float>(6, 1) << 0, 255, 255, 0, 128, 127), 1, 128);
  extremes(cv::Rect(64, 2, 64, 1)).setTo(0);    // half 255, half 0
  extremes(cv::Rect(64, 3, 64, 1)).setTo(255);  // and the other way round
  ExpectSameAsBruteForce(extremes, extremes, "extremes");
  ExpectSameAsBruteForce(extremes, RandomByteRows(70, 128, 44), "extremes to random");
}
