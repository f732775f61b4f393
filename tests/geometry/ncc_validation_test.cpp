// Patch correlation and the pairing of key-frame features with current-frame
// features: the search-radius rule, the border margin, the "used" rule, flat
// and inverted patches, and a rendered frame pair with known motion.
#include "geometry/ncc_validation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "geometry/homography_mapping.hpp"
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

cv::Mat Bgr(const cv::Mat& grey) {  // equal channels: the grey conversion keeps the values
  cv::Mat bgr;
  cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
  return bgr;
}

cv::Rect PatchAt(cv::Point2f p) {
  return cv::Rect(static_cast<int>(p.x - 4), static_cast<int>(p.y - 4), kPatchSide, kPatchSide);
}

struct Pairs {
  Points key, cur;
  bool operator==(const Pairs& o) const { return key == o.key && cur == o.cur; }
};

Pairs Validate(const Points& refs, const Points& cands, const cv::Mat& H, const cv::Mat& key,
               const cv::Mat& cur) {
  Pairs pairs;
  geometry::ValidateCorrespondences_NCC(refs, cands, &pairs.key, &pairs.cur, H, key, cur, key.cols,
                                        key.rows);
  EXPECT_EQ(pairs.key.size(), pairs.cur.size());
  return pairs;
}

// The current image: the key image moved so that the patch at candidate c
// shows exactly what the patch at reference p shows.
cv::Mat CurrentShowing(const cv::Mat& key, cv::Point2f p, cv::Point2f c) {
  const cv::Point move = PatchAt(c).tl() - PatchAt(p).tl();
  cv::Mat out;
  cv::warpAffine(key, out, testsupport::Translation(move.x, move.y).rowRange(0, 2), key.size(),
                 cv::INTER_NEAREST, cv::BORDER_REFLECT);
  return out;
}

TEST(NormalizedCrossCorrelationTest, GainOffsetInversionFlatnessAndRedWeightOfTheFirstChannel) {
  const cv::Mat values = Noise({kPatchSide, kPatchSide}, 3, 1) / 3;  // below 86: no saturation
  EXPECT_NEAR(NormalizedCrossCorrelation(Bgr(values), Bgr(values * 2 + 30)), 1.0f, 1e-5f);
  EXPECT_NEAR(NormalizedCrossCorrelation(Bgr(values), Bgr(255 - values)), -1.0f, 1e-5f);
  const cv::Mat patch = testsupport::TestPhoto()(cv::Rect(1000, 700, kPatchSide, kPatchSide));
  EXPECT_NEAR(NormalizedCrossCorrelation(patch, patch), 1.0f, 1e-5f);
  EXPECT_LT(NormalizedCrossCorrelation(patch, cv::Scalar::all(255) - patch), -0.99f);
  const cv::Mat flat(kPatchSide, kPatchSide, CV_8UC3, cv::Scalar(90, 120, 30));
  for (const auto& [a, b] : {std::pair{flat, flat}, std::pair{flat, patch}, std::pair{patch, flat}}) {
    EXPECT_TRUE(std::isnan(NormalizedCrossCorrelation(a, b)));
  }
  EXPECT_THROW(NormalizedCrossCorrelation(patch, patch.rowRange(0, 8)), cv::Exception);
  // Channel 0 holds P, channel 2 holds Q: grey is 0.299 P + 0.114 Q (with
  // the weights the other way round the correlation would be about 0.67).
  const cv::Mat P = Noise({kPatchSide, kPatchSide}, 6, 1), Q = Noise({kPatchSide, kPatchSide}, 7, 1);
  cv::Mat A, mixed;
  cv::merge(std::vector<cv::Mat>{P, cv::Mat::zeros(P.size(), CV_8U), Q}, A);
  cv::addWeighted(P, 0.299, Q, 0.114, 0.0, mixed);
  EXPECT_GT(NormalizedCrossCorrelation(A, Bgr(mixed)), 0.99f);
}

// Reference (50, 50) predicted onto itself; the current image is arranged so
// that exactly the candidate at trueIndex shows the reference patch. The
// radius starts at 10 and becomes the integer part of each examined distance.
cv::Point2f PartnerWhenTrueMatchIs(const Points& candidates, size_t trueIndex) {
  const cv::Mat key = Noise({100, 100}, 11);
  const cv::Point2f p(50, 50);
  const Pairs pairs = Validate({p}, candidates, kIdentity, key, CurrentShowing(key, p, candidates[trueIndex]));
  return pairs.cur.empty() ? cv::Point2f(-1, -1) : pairs.cur[0];
}

TEST(NccSearchRadiusTest, ExaminesOnlyCandidatesInsideTheTruncatedRadius) {
  // Distances 8 (radius becomes 8), 9 (never examined), 3, 2.5.
  const Points candidates = {{58, 50}, {50, 59}, {47, 50}, {50, 47.5f}};
  for (size_t k = 0; k < candidates.size(); ++k) {
    EXPECT_EQ(PartnerWhenTrueMatchIs(candidates, k) == candidates[k], k != 1) << k;
  }
  const cv::Point2f at89(58.9f, 50), at85(50, 58.5f);  // after 8.9 the radius is 8
  EXPECT_NE(PartnerWhenTrueMatchIs({at89, at85}, 1), at85);
  EXPECT_EQ(PartnerWhenTrueMatchIs({at89, at85}, 0), at89);
  EXPECT_EQ(PartnerWhenTrueMatchIs({at85, at89}, 0), at85);
  EXPECT_NE(PartnerWhenTrueMatchIs({{60, 50}}, 0), cv::Point2f(60, 50));  // at the initial radius
  EXPECT_EQ(PartnerWhenTrueMatchIs({{59.9f, 50}}, 0), cv::Point2f(59.9f, 50));
}

TEST(NccBorderTest, FeaturesAndCandidatesMustLieStrictlyInsideTheMargin) {
  const cv::Mat key = Noise({100, 80}, 21);
  for (const auto& [p, inside] : {std::pair{cv::Point2f(4, 40), false}, {{4.01f, 40}, true},
                                  {{96, 40}, false}, {{95.99f, 40}, true}, {{50, 4}, false},
                                  {{50, 4.01f}, true}, {{50, 76}, false}, {{50, 75.99f}, true}}) {
    EXPECT_EQ(Validate({p}, {p}, kIdentity, key, key).cur.size(), inside ? 1u : 0u) << p;
    const cv::Point2f ref(10, 40);
    if (p.y == 40 && p.x < 50) {  // the same rule for a candidate
      EXPECT_EQ(Validate({ref}, {p}, kIdentity, key, CurrentShowing(key, ref, p)).cur.size(), inside ? 1u : 0u);
    }
  }
}

TEST(NccBorderTest, PatchesStayInsideTheImageForEveryInsidePosition) {
  // Just below 8, p.x + 4 rounds up to 12 in float: a patch sized from both
  // ends would be 10 wide and leave the image next to the right border.
  const float p8 = std::nextafter(8.0f, 0.0f);
  const cv::Point2f p(p8, p8), c(55.5f, 55.5f);
  const cv::Mat key = Noise({60, 60}, 23);
  cv::Mat cur = Noise({60, 60}, 24);
  key(PatchAt(p)).copyTo(cur(PatchAt(c)));
  EXPECT_EQ(Validate({p}, {c}, testsupport::Translation(c.x - p.x, c.y - p.y), key, cur).cur, Points{c});
}

TEST(NccScoreTest, FlatAndInvertedPatchesAreNeverChosen) {
  const cv::Mat flat(80, 80, CV_8UC3, cv::Scalar(40, 80, 120));
  EXPECT_TRUE(Validate({{40, 40}}, {{40, 40}}, kIdentity, flat, flat).cur.empty());
  // A flat candidate examined first neither wins nor spoils the best score.
  const cv::Mat key = Noise({100, 100}, 31);
  const cv::Point2f p(50, 50), flatCandidate(50, 59.5f);
  cv::Mat cur = key.clone();
  cur(PatchAt(flatCandidate)).setTo(cv::Scalar(10, 200, 30));
  EXPECT_TRUE(Validate({p}, {flatCandidate}, kIdentity, key, cur).cur.empty());
  EXPECT_EQ(Validate({p}, {flatCandidate, p}, kIdentity, key, cur).cur, Points{p});
  const Points corners = {{20, 20}, {50, 50}, {80, 30}};
  EXPECT_TRUE(Validate(corners, corners, kIdentity, key, cv::Scalar::all(255) - key).cur.empty());
  EXPECT_EQ(Validate(corners, corners, kIdentity, key, key).cur, corners);
}

TEST(NccUsedTest, EarlierReferenceFeatureGetsTheSharedBestCandidate) {
  cv::Mat key = Noise({120, 100}, 41), cur = Noise({120, 100}, 42);
  const cv::Mat shared = Noise({kPatchSide, kPatchSide}, 43);
  const cv::Point2f p1(50, 50), p2(60, 50), best(55, 50), second(64, 50);  // best: 5 from both
  for (const auto& [image, at] : {std::pair{key, p1}, {key, p2}, {cur, best}}) shared.copyTo(image(PatchAt(at)));
  cv::addWeighted(shared, 0.7, cur(PatchAt(second)), 0.3, 0.0, cur(PatchAt(second)));  // weaker match
  EXPECT_TRUE(Validate({p1, p2}, {best, second}, kIdentity, key, cur) == (Pairs{{p1, p2}, {best, second}}));
  // p2 first takes the best candidate; p1 has nothing left in reach.
  EXPECT_TRUE(Validate({p2, p1}, {best, second}, kIdentity, key, cur) == (Pairs{{p2}, {best}}));
}

TEST(NccInputTest, EmptyListsAndUnusablePredictionsGiveNoPairsAndOutputsAreAppended) {
  const cv::Mat key = Noise({100, 100}, 51);
  const Points corners = {{50, 50}, {30, 70}};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(Validate({}, corners, kIdentity, key, key).cur.empty());
  EXPECT_TRUE(Validate(corners, {}, kIdentity, key, key).cur.empty());
  const cv::Mat vanishing = (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, 0, -1.0 / 50, 0, 1);  // w = 0
  EXPECT_TRUE(Validate({{50, 50}}, corners, vanishing, key, key).cur.empty());
  EXPECT_TRUE(Validate(corners, corners, cv::Mat(3, 3, CV_64F, cv::Scalar(nan)), key, key).cur.empty());
  const cv::Point2f nanCorner(std::numeric_limits<float>::quiet_NaN(), 50);
  EXPECT_TRUE(Validate({nanCorner}, {nanCorner}, kIdentity, key, key).cur.empty());
  Pairs out{{{1, 2}}, {{3, 4}}};
  geometry::ValidateCorrespondences_NCC({{50, 50}}, {{50, 50}}, &out.key, &out.cur, kIdentity, key, key, 100, 100);
  EXPECT_TRUE(out == (Pairs{{{1, 2}, {50, 50}}, {{3, 4}, {50, 50}}}));
}

// A rendered pair with a shift, rotation, zoom and tilt: where the current
// frame's detector found a feature's true partner, that partner is chosen,
// with the true prediction and with one 3 px off.
TEST(NccRenderedPairTest, PartnersLieAtTheTrueProjection) {
  render::CameraPose b = testsupport::Pose(1322, 841, 1.03, 0.02);
  b.tiltX = 2e-5;
  const testsupport::Pan pan = testsupport::RenderPan(2, {480, 360}, testsupport::Pose(1300, 850), b);
  const cv::Mat truth = pan.Between(0, 1);
  Points corners[2];
  for (int k = 0; k < 2; ++k) {
    cv::Mat grey;
    cv::cvtColor(pan.frames[k], grey, cv::COLOR_BGR2GRAY);
    cv::goodFeaturesToTrack(grey, corners[k], 400, 0.01, 10);
  }
  const auto partnerFound = [&](cv::Point2f p) {
    return std::any_of(corners[1].begin(), corners[1].end(),
                       [&](cv::Point2f c) { return cv::norm(ApplyHomography(truth, p) - c) <= 2.0; });
  };
  const long reachable = std::count_if(corners[0].begin(), corners[0].end(), partnerFound);
  ASSERT_GT(reachable, 100);
  for (const cv::Mat& H : {truth, cv::Mat(testsupport::Translation(3, 0) * truth)}) {
    const Pairs pairs = Validate(corners[0], corners[1], H, pan.frames[0], pan.frames[1]);
    int withPartner = 0, correct = 0;
    for (size_t k = 0; k < pairs.key.size(); ++k) {
      if (!partnerFound(pairs.key[k])) continue;  // any positive neighbour may be taken
      ++withPartner;
      correct += cv::norm(ApplyHomography(truth, pairs.key[k]) - pairs.cur[k]) <= 2.0 ? 1 : 0;
    }
    EXPECT_GE(withPartner, 0.95 * reachable);
    EXPECT_GE(correct, 0.99 * withPartner);
  }
}

}  // namespace
