// The integer two-nearest-neighbour search against cv::BFMatcher(NORM_L2):
// every query's two neighbours, their order and their float distances must
// be identical bit for bit, on SIFT descriptors of rendered frames and on
// hand-made rows with exact ties; and SIFT matching must give the same
// correspondences as matching through the brute-force matcher.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <utility>
#include <limits>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <string>
#include <vector>

#include "features/exact_knn.hpp"
#include "features/feature_extraction.hpp"
#include "features/feature_matching.hpp"
#include "tests/features/rendered_pair.hpp"

namespace {

using Knn = std::vector<std::vector<cv::DMatch>>;

Knn BruteForceKnn(const cv::Mat& query, const cv::Mat& train) {
  cv::BFMatcher matcher(cv::NORM_L2, false);
  Knn result;
  matcher.knnMatch(query, train, result, 2, cv::noArray(), false);
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
std::vector<std::pair<exactknn::Kernel, std::string>> AvailableKernels() {
  std::vector<std::pair<exactknn::Kernel, std::string>> kernels;
  for (const auto& [kernel, name] : {std::pair{exactknn::Kernel::kAvx2, "AVX2"}, std::pair{exactknn::Kernel::kAvx512Vnni, "AVX-512 VNNI"}}) {
    if (exactknn::KernelAvailable(kernel)) kernels.emplace_back(kernel, name);
  }
  return kernels;
}

uint32_t Bits(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, sizeof(bits));
  return bits;
}

// Stops at the first differing query so that a fault reports one line.
void ExpectIdentical(const Knn& expected, const Knn& actual, const std::string& what) {
  ASSERT_EQ(expected.size(), actual.size()) << what;
  for (size_t q = 0; q < expected.size(); ++q) {
    ASSERT_EQ(expected[q].size(), actual[q].size()) << what << " query " << q;
    for (size_t n = 0; n < expected[q].size(); ++n) {
      const cv::DMatch& e = expected[q][n];
      const cv::DMatch& a = actual[q][n];
      ASSERT_TRUE(e.queryIdx == a.queryIdx && e.trainIdx == a.trainIdx && e.imgIdx == a.imgIdx &&
                  Bits(e.distance) == Bits(a.distance))
          << what << " query " << q << " neighbour " << n << ": row " << e.trainIdx << " at "
          << e.distance << " vs row " << a.trainIdx << " at " << a.distance;
    }
  }
}

void ExpectSameAsBruteForce(const cv::Mat& query, const cv::Mat& train, const std::string& what) {
  ASSERT_TRUE(exactknn::FastSearchApplies(query, train)) << what;
  const Knn expected = BruteForceKnn(query, train);
  ExpectIdentical(expected, FastKnn(query, train), what);
  for (const auto& [kernel, name] : AvailableKernels()) {
    ExpectIdentical(expected, FastKnn(query, train, kernel), what + " (" + name + ")");
  }
}

// Whole numbers in [0, 255] like SIFT's, from a seeded generator.
cv::Mat RandomByteRows(int rows, int cols, uint64_t seed) {
  cv::Mat m(rows, cols, CV_32F);
  cv::RNG rng(seed);
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) m.at<float>(r, c) = static_cast<float>(rng.uniform(0, 256));
  return m;
}

struct SiftFrame {
  std::vector<cv::KeyPoint> keypoints;
  cv::Mat descriptors;
};

SiftFrame DescribeFrame(const cv::Mat& frame) {
  FeatureExtraction extraction;
  SiftFrame out;
  out.keypoints = extraction.SIFTFeatures(frame);
  out.descriptors = extraction.SIFTDescriptor(out.keypoints, frame);
  return out;
}

// The correspondences SIFT matching gives through the brute-force matcher
// and the ratio test (0.6 * d2 > d1 in double, more than 3 kept).
void ReferenceCorrespondences(const SiftFrame& i, const SiftFrame& j,
                              std::vector<cv::Point2f>* out_i, std::vector<cv::Point2f>* out_j) {
  out_i->clear();
  out_j->clear();
  for (const std::vector<cv::DMatch>& m : BruteForceKnn(i.descriptors, j.descriptors)) {
    if (m.size() < 2 || !(0.6 * static_cast<double>(m[1].distance) >
                          static_cast<double>(m[0].distance))) {
      continue;
    }
    out_i->push_back(i.keypoints[static_cast<size_t>(m[0].queryIdx)].pt);
    out_j->push_back(j.keypoints[static_cast<size_t>(m[0].trainIdx)].pt);
  }
  if (out_i->size() <= 3) {
    out_i->clear();
    out_j->clear();
  }
}

void ExpectSamePoints(const std::vector<cv::Point2f>& expected,
                      const std::vector<cv::Point2f>& actual, const std::string& what) {
  ASSERT_EQ(expected.size(), actual.size()) << what;
  EXPECT_EQ(0, std::memcmp(expected.data(), actual.data(), expected.size() * sizeof(cv::Point2f))) << what;
}

// Both directions of a frame pair, neighbour lists and then the matching
// output.
void CheckFramePair(const SiftFrame& i, const SiftFrame& j, const std::string& what) {
  ExpectSameAsBruteForce(i.descriptors, j.descriptors, what + " i->j");
  ExpectSameAsBruteForce(j.descriptors, i.descriptors, what + " j->i");

  FeatureMatching matching;
  matching.setSIFT_Features_i(i.keypoints);
  matching.setSIFT_Features_j(j.keypoints);
  matching.setSIFT_Descriptor_i(i.descriptors);
  matching.setSIFT_Descriptor_j(j.descriptors);
  matching.SIFTFeaturesMatching();
  std::vector<cv::Point2f> expected_i;
  std::vector<cv::Point2f> expected_j;
  ReferenceCorrespondences(i, j, &expected_i, &expected_j);
  EXPECT_GT(expected_i.size(), 20u) << what << ": a real pair should match well";
  ExpectSamePoints(expected_i, matching.Cpoints_i, what + " Cpoints_i");
  ExpectSamePoints(expected_j, matching.Cpoints_j, what + " Cpoints_j");
  EXPECT_EQ(static_cast<int>(expected_i.size()), matching.num_GoodMatches) << what;
}

// The fast search needs AVX2; each available kernel is checked on its own.
class ExactKnnDifferential : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string names;
    for (const auto& kernel : AvailableKernels()) names += " " + kernel.second;
    std::cout << "integer kernels run:" << (names.empty() ? " none" : names) << "\n";
  }
  void SetUp() override {
    if (!exactknn::KernelAvailable(exactknn::Kernel::kAvx2)) {
      GTEST_SKIP() << "this processor lacks AVX2: the fast search is not used";
    }
  }
};

}  // namespace

// Zoomed-in frames (about 2000 keypoints each) under three camera motions,
// plus a pair with a large shift so that most queries have no true match.
TEST_F(ExactKnnDifferential, SiftDescriptorsOfZoomedFramePairs) {
  using namespace featuretest;
  std::vector<RenderedPair> pairs = {TranslationPair(kSiftZoom), RotationPair(kSiftZoom),
                                     PerspectivePair(kSiftZoom)};
  render::CameraPose far = BasePose(kSiftZoom);
  far.centreX += 100.0;
  pairs.push_back(RenderPair("far shift", BasePose(kSiftZoom), far));
  for (const RenderedPair& pair : pairs) {
    CheckFramePair(DescribeFrame(pair.frame_i), DescribeFrame(pair.frame_j), pair.name);
  }
}

// Frames at the photo's own scale: about 20000 keypoints each, the size the
// search is for.
TEST_F(ExactKnnDifferential, SlowSiftDescriptorsOfFullScaleFramePair) {
  const featuretest::RenderedPair pair = featuretest::RotationPair(1.0);
  const SiftFrame i = DescribeFrame(pair.frame_i);
  const SiftFrame j = DescribeFrame(pair.frame_j);
  EXPECT_GT(i.descriptors.rows, 10000);
  ExpectSameAsBruteForce(i.descriptors, j.descriptors, "full scale i->j");
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
      {with(3, 7, 12.5f), rows}, {rows, with(3, 7, 12.5f)}, {with(0, 0, 256), rows}, {rows, with(0, 0, -1)},
      {with(5, 5, NAN), rows},   {RandomByteRows(4, 257, 1), RandomByteRows(4, 257, 2)},
      {cv::Mat(), rows},         {rows, cv::Mat(0, 128, CV_32F)}, {rows, RandomByteRows(4, 64, 3)},
      {asDouble, asDouble}};
  for (const auto& [query, train] : refused) EXPECT_FALSE(exactknn::FastSearchApplies(query, train));
  // Refused input still gets the brute-force matcher's answer.
  ExpectIdentical(BruteForceKnn(with(3, 7, 12.5f), rows), FastKnn(with(3, 7, 12.5f), rows), "fractional rows");
}

// Duplicate train rows (equal distances: lower row first) and duplicate
// query rows (identical lists), on row counts that do not fill the search's
// blocks.
TEST_F(ExactKnnDifferential, ExactTiesFromDuplicateRows) {
  cv::Mat train = RandomByteRows(37, 128, 21);
  train.row(4).copyTo(train.row(30));
  train.row(4).copyTo(train.row(17));
  train.row(9).copyTo(train.row(10));
  cv::Mat query = RandomByteRows(11, 128, 22);
  train.row(4).copyTo(query.row(0));   // distance 0 to rows 4, 17 and 30
  train.row(9).copyTo(query.row(1));   // distance 0 to rows 9 and 10
  query.row(2).copyTo(query.row(7));   // two identical queries
  query.row(2).copyTo(query.row(10));  // three
  ExpectSameAsBruteForce(query, train, "duplicates");

  // Every train row the same: every query's neighbours are rows 0 and 1.
  cv::Mat same(40, 128, CV_32F);
  for (int r = 0; r < same.rows; ++r) train.row(3).copyTo(same.row(r));
  ExpectSameAsBruteForce(query, same, "all train rows equal");
}

// Near 2^23 adjacent squared distances can round to one float distance. The
// matcher then sees a tie and keeps the lower train row first, even when its
// squared distance is the larger one.
TEST_F(ExactKnnDifferential, TiesCreatedByFloatRoundingOfTheSquareRoot) {
  int roundingTies = 0;
  for (int base = 200; base <= 255; ++base) {
    // Row r has its first element 3 - r and all others equal to base; the
    // query is all zeros, so row r lies at base^2 * 127 + (3 - r)^2.
    cv::Mat train(4, 128, CV_32F, cv::Scalar(base));
    for (int r = 0; r < 4; ++r) train.at<float>(r, 0) = static_cast<float>(3 - r);
    const cv::Mat query = cv::Mat::zeros(2, 128, CV_32F);
    const Knn expected = BruteForceKnn(query, train);
    if (expected[0][0].distance == expected[0][1].distance) ++roundingTies;
    ExpectSameAsBruteForce(query, train, "base " + std::to_string(base));
  }
  EXPECT_GT(roundingTies, 0) << "no case exercised a tie made by rounding";
}

// One or two train rows, a single query, an odd width, and matrices that are
// views into larger ones.
TEST_F(ExactKnnDifferential, SmallAndOddShapes) {
  // (query rows, train rows, width): one or two train rows, one query, odd widths.
  const int shapes[][3] = {{9, 1, 128}, {9, 2, 128}, {1, 50, 128}, {130, 300, 3}, {70, 33, 1}, {20, 41, 256}};
  for (const auto& [q, t, w] : shapes) {
    ExpectSameAsBruteForce(RandomByteRows(q, w, 31 + q), RandomByteRows(t, w, 32 + t),
                           std::to_string(q) + "x" + std::to_string(t) + " width " + std::to_string(w));
  }
  const cv::Mat wide = RandomByteRows(300, 200, 41);
  ExpectSameAsBruteForce(wide(cv::Rect(5, 3, 128, 150)), wide(cv::Rect(60, 100, 128, 199)),
                         "views");
  // The extremes of the byte range (the 8-bit kernel stores train bytes
  // shifted by 128): rows of 0 and 255 and their mixtures.
  cv::Mat extremes(6, 128, CV_32F, cv::Scalar(0));
  extremes.row(1).setTo(255);
  extremes(cv::Rect(0, 2, 64, 1)).setTo(255);
  extremes(cv::Rect(64, 3, 64, 1)).setTo(255);
  extremes.row(4).setTo(128);
  extremes.row(5).setTo(127);
  ExpectSameAsBruteForce(extremes, extremes, "extremes");
  ExpectSameAsBruteForce(extremes, RandomByteRows(70, 128, 44), "extremes to random");
  // Many queries and train rows that are not block multiples.
  ExpectSameAsBruteForce(RandomByteRows(1001, 128, 42), RandomByteRows(1283, 128, 43), "random");
}
