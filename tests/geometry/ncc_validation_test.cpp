// Patch correlation and the pairing of key-frame features with current-frame
// features: the border margin, flat and inverted patches, unusable inputs.
// The search-radius and "used" rules are checked against a straightforward
// search in ncc_grid_differential_test.cpp.
#include "geometry/ncc_validation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "tests/support/test_support.hpp"

namespace {

using Points = std::vector<cv::Point2f>;
constexpr int kPatchSide = 9;
const cv::Mat kIdentity = cv::Mat::eye(3, 3, CV_64F);

cv::Mat Noise(cv::Size size, uint64_t seed, int channels = 3) {
  cv::Mat image(size, CV_8UC(channels));
  cv::RNG(seed).fill(image, cv::RNG::UNIFORM, 0, 256);
  return image;
}

// Equal channels: the grey conversion keeps the values.
cv::Mat Bgr(const cv::Mat& grey) {
  cv::Mat bgr;
  cv::merge(std::vector<cv::Mat>(3, grey), bgr);
  return bgr;
}

cv::Rect PatchAt(cv::Point2f p) {
  return {static_cast<int>(p.x - 4), static_cast<int>(p.y - 4), kPatchSide, kPatchSide};
}

// The partners found (current-frame side); the key side must be as long.
Points Validate(const Points& refs, const Points& cands, const cv::Mat& H, const cv::Mat& key,
                const cv::Mat& cur) {
  Points outKey, outCur;
  geometry::ValidateCorrespondences_NCC(refs, cands, &outKey, &outCur, H, key, cur, key.cols,
                                        key.rows);
  EXPECT_EQ(outKey.size(), outCur.size());
  return outCur;
}

TEST(NormalizedCrossCorrelationTest, GainOffsetInversionFlatnessAndRedWeightOfTheFirstChannel) {
  const cv::Mat values = Noise({kPatchSide, kPatchSide}, 3, 1) / 3;  // below 86: no saturation
  EXPECT_NEAR(NormalizedCrossCorrelation(Bgr(values), Bgr(values * 2 + 30)), 1.0f, 1e-5f);
  EXPECT_NEAR(NormalizedCrossCorrelation(Bgr(values), Bgr(255 - values)), -1.0f, 1e-5f);
  const cv::Mat patch = testsupport::TestPhoto()(cv::Rect(1000, 700, kPatchSide, kPatchSide));
  EXPECT_NEAR(NormalizedCrossCorrelation(patch, patch), 1.0f, 1e-5f);
  const cv::Mat flat(kPatchSide, kPatchSide, CV_8UC3, cv::Scalar(90, 120, 30));
  for (const auto& [a, b] :
       {std::pair{flat, flat}, std::pair{flat, patch}, std::pair{patch, flat}}) {
    EXPECT_TRUE(std::isnan(NormalizedCrossCorrelation(a, b)));
  }
  EXPECT_THROW(NormalizedCrossCorrelation(patch, patch.rowRange(0, 8)), cv::Exception);
  // Channel 0 holds P, channel 2 holds Q: grey is 0.299 P + 0.114 Q (with
  // the weights the other way round the correlation would be about 0.67).
  const cv::Mat P = Noise({kPatchSide, kPatchSide}, 6, 1),
                Q = Noise({kPatchSide, kPatchSide}, 7, 1);
  cv::Mat A, mixed;
  cv::merge(std::vector<cv::Mat>{P, cv::Mat::zeros(P.size(), CV_8U), Q}, A);
  cv::addWeighted(P, 0.299, Q, 0.114, 0.0, mixed);
  EXPECT_GT(NormalizedCrossCorrelation(A, Bgr(mixed)), 0.99f);
}

// A feature, or a candidate for the feature at (10, 40) in a current image
// arranged to show that feature's patch at the candidate, is used only
// strictly inside the 4 px margin.
TEST(NccBorderTest, FeaturesAndCandidatesMustLieStrictlyInsideTheMargin) {
  const cv::Mat key = Noise({100, 80}, 21);
  const cv::Point2f ref(10, 40);
  for (const auto& [p, inside] : {std::pair{cv::Point2f(4, 40), false},
                                  {{4.01f, 40}, true},
                                  {{96, 40}, false},
                                  {{95.99f, 40}, true},
                                  {{50, 4}, false},
                                  {{50, 4.01f}, true},
                                  {{50, 76}, false},
                                  {{50, 75.99f}, true}}) {
    EXPECT_EQ(Validate({p}, {p}, kIdentity, key, key).size(), inside ? 1u : 0u) << p;
    if (p.y != 40 || p.x > 50)
      continue;
    const cv::Point move = PatchAt(p).tl() - PatchAt(ref).tl();
    cv::Mat cur;
    cv::warpAffine(key, cur, testsupport::Translation(move.x, move.y).rowRange(0, 2), key.size(),
                   cv::INTER_NEAREST, cv::BORDER_REFLECT);
    EXPECT_EQ(Validate({ref}, {p}, kIdentity, key, cur).size(), inside ? 1u : 0u) << p;
  }
  // Just below 8, p.x + 4 rounds up to 12 in float: a patch sized from both
  // ends would be 10 wide and leave the image next to the right border.
  const float p8 = std::nextafter(8.0f, 0.0f);
  const cv::Point2f p(p8, p8), c(55.5f, 55.5f);
  const cv::Mat small = Noise({60, 60}, 23);
  cv::Mat cur = Noise({60, 60}, 24);
  small(PatchAt(p)).copyTo(cur(PatchAt(c)));
  EXPECT_EQ(Validate({p}, {c}, testsupport::Translation(c.x - p.x, c.y - p.y), small, cur),
            Points{c});
}

TEST(NccScoreTest, FlatAndInvertedPatchesAreNeverChosen) {
  const cv::Mat flat(80, 80, CV_8UC3, cv::Scalar(40, 80, 120));
  EXPECT_TRUE(Validate({{40, 40}}, {{40, 40}}, kIdentity, flat, flat).empty());
  // A flat candidate examined first neither wins nor spoils the best score.
  const cv::Mat key = Noise({100, 100}, 31);
  const cv::Point2f p(50, 50), flatCandidate(50, 59.5f);
  cv::Mat cur = key.clone();
  cur(PatchAt(flatCandidate)).setTo(cv::Scalar(10, 200, 30));
  EXPECT_TRUE(Validate({p}, {flatCandidate}, kIdentity, key, cur).empty());
  EXPECT_EQ(Validate({p}, {flatCandidate, p}, kIdentity, key, cur), Points{p});
  const Points corners = {{20, 20}, {50, 50}, {80, 30}};
  EXPECT_TRUE(Validate(corners, corners, kIdentity, key, cv::Scalar::all(255) - key).empty());
  EXPECT_EQ(Validate(corners, corners, kIdentity, key, key), corners);
}

TEST(NccInputTest, EmptyListsAndUnusablePredictionsGiveNoPairsAndOutputsAreAppended) {
  const cv::Mat key = Noise({100, 100}, 51);
  const Points corners = {{50, 50}, {30, 70}};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const cv::Mat vanishing = (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, 0, -1.0 / 50, 0, 1);  // w = 0
  EXPECT_TRUE(Validate({}, corners, kIdentity, key, key).empty());
  EXPECT_TRUE(Validate(corners, {}, kIdentity, key, key).empty());
  EXPECT_TRUE(Validate({{50, 50}}, corners, vanishing, key, key).empty());
  EXPECT_TRUE(Validate(corners, corners, cv::Mat(3, 3, CV_64F, cv::Scalar(nan)), key, key).empty());
  const cv::Point2f nanCorner(std::numeric_limits<float>::quiet_NaN(), 50);
  EXPECT_TRUE(Validate({nanCorner}, {nanCorner}, kIdentity, key, key).empty());
  Points outKey{{1, 2}}, outCur{{3, 4}};
  geometry::ValidateCorrespondences_NCC({{50, 50}}, {{50, 50}}, &outKey, &outCur, kIdentity, key,
                                        key, 100, 100);
  EXPECT_TRUE(outKey == (Points{{1, 2}, {50, 50}}) && outCur == (Points{{3, 4}, {50, 50}}));
}

}  // namespace
