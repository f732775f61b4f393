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
#include "tools/render/scene_renderer.hpp"

namespace {

constexpr int kPatchSide = 9;  // pixels
constexpr int kHalfPatch = 4;  // pixels

cv::Mat RandomTexture(cv::Size size, uint64_t seed) {
  cv::Mat image(size, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  return image;
}

// Three equal channels, so the grey conversion returns the values unchanged.
cv::Mat GreyPatch(const cv::Mat& values8u) {
  cv::Mat bgr;
  cv::cvtColor(values8u, bgr, cv::COLOR_GRAY2BGR);
  return bgr;
}

// out(x, y) = image(x - dx, y - dy): content moves by (dx, dy) pixels.
cv::Mat Shifted(const cv::Mat& image, int dx, int dy) {
  const cv::Mat M = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, dy);
  cv::Mat out;
  cv::warpAffine(image, out, M, image.size(), cv::INTER_NEAREST, cv::BORDER_REFLECT);
  return out;
}

cv::Point PatchCorner(cv::Point2f p) {
  return cv::Point(static_cast<int>(p.x - kHalfPatch), static_cast<int>(p.y - kHalfPatch));
}

cv::Rect PatchRect(cv::Point2f p) { return cv::Rect(PatchCorner(p), cv::Size(kPatchSide, kPatchSide)); }

// The current image: the key image moved so that the patch cut at candidate
// c shows exactly what the patch cut at reference p shows.
cv::Mat CurrentShowingAt(const cv::Mat& key, cv::Point2f p, cv::Point2f c) {
  const cv::Point move = PatchCorner(c) - PatchCorner(p);
  return Shifted(key, move.x, move.y);
}

struct Pairs {
  std::vector<cv::Point2f> key;
  std::vector<cv::Point2f> cur;
};

Pairs Validate(const std::vector<cv::Point2f>& references,
               const std::vector<cv::Point2f>& candidates, const cv::Mat& H, const cv::Mat& key,
               const cv::Mat& cur) {
  Pairs pairs;
  geometry::ValidateCorrespondences_NCC(references, candidates, &pairs.key, &pairs.cur, H, key,
                                        cur, key.cols, key.rows);
  return pairs;
}

const cv::Mat kIdentity = cv::Mat::eye(3, 3, CV_64F);

// --- NormalizedCrossCorrelation ---------------------------------------------

TEST(NormalizedCrossCorrelationTest, IdenticalPatchScoresOne) {
  const cv::Mat photo = testsupport::TestPhoto();
  ASSERT_FALSE(photo.empty());
  const cv::Mat patch = photo(cv::Rect(1000, 700, kPatchSide, kPatchSide));
  EXPECT_NEAR(NormalizedCrossCorrelation(patch, patch), 1.0f, 1e-5f);
}

TEST(NormalizedCrossCorrelationTest, IgnoresGainAndOffset) {
  cv::Mat values(kPatchSide, kPatchSide, CV_8U);
  cv::RNG(3).fill(values, cv::RNG::UNIFORM, 0, 100);
  const cv::Mat brighter = values * 2 + 30;  // no saturation below 256
  EXPECT_NEAR(NormalizedCrossCorrelation(GreyPatch(values), GreyPatch(brighter)), 1.0f, 1e-5f);
}

TEST(NormalizedCrossCorrelationTest, InvertedPatchScoresMinusOne) {
  cv::Mat values(kPatchSide, kPatchSide, CV_8U);
  cv::RNG(4).fill(values, cv::RNG::UNIFORM, 0, 256);
  const cv::Mat inverted = 255 - values;
  EXPECT_NEAR(NormalizedCrossCorrelation(GreyPatch(values), GreyPatch(inverted)), -1.0f, 1e-5f);

  const cv::Mat photo = testsupport::TestPhoto();
  ASSERT_FALSE(photo.empty());
  const cv::Mat patch = photo(cv::Rect(1400, 900, kPatchSide, kPatchSide));
  cv::Mat photoInverted = cv::Scalar::all(255) - patch;
  EXPECT_LT(NormalizedCrossCorrelation(patch, photoInverted), -0.99f);
}

TEST(NormalizedCrossCorrelationTest, FlatPatchIsNotANumber) {
  const cv::Mat flat(kPatchSide, kPatchSide, CV_8UC3, cv::Scalar(90, 120, 30));
  const cv::Mat textured = RandomTexture(cv::Size(kPatchSide, kPatchSide), 5);
  EXPECT_TRUE(std::isnan(NormalizedCrossCorrelation(flat, flat)));
  EXPECT_TRUE(std::isnan(NormalizedCrossCorrelation(flat, textured)));
  EXPECT_TRUE(std::isnan(NormalizedCrossCorrelation(textured, flat)));
}

TEST(NormalizedCrossCorrelationTest, FirstChannelCarriesTheRedWeight) {
  // Channel 0 holds P and channel 2 holds Q. Grey with the red weight on
  // channel 0 is 0.299 P + 0.114 Q, which the second patch shows; with the
  // weights the other way round the correlation would be about 0.67.
  cv::Mat P(kPatchSide, kPatchSide, CV_8U);
  cv::Mat Q(kPatchSide, kPatchSide, CV_8U);
  cv::RNG rng(6);
  rng.fill(P, cv::RNG::UNIFORM, 0, 256);
  rng.fill(Q, cv::RNG::UNIFORM, 0, 256);
  cv::Mat A;
  cv::merge(std::vector<cv::Mat>{P, cv::Mat::zeros(P.size(), CV_8U), Q}, A);
  cv::Mat mixed;
  cv::addWeighted(P, 0.299, Q, 0.114, 0.0, mixed);
  EXPECT_GT(NormalizedCrossCorrelation(A, GreyPatch(mixed)), 0.99f);
}

TEST(NormalizedCrossCorrelationTest, RejectsPatchesOfDifferentSize) {
  const cv::Mat a = RandomTexture(cv::Size(9, 9), 1);
  const cv::Mat b = RandomTexture(cv::Size(9, 8), 2);
  EXPECT_THROW(NormalizedCrossCorrelation(a, b), cv::Exception);
}

// --- Search radius ----------------------------------------------------------

// Reference (50, 50) predicted onto itself; candidates at distances 8, 9, 3
// and 2.5, in this list order. The current image is arranged so that exactly
// one candidate's patch equals the reference patch.
class SearchRadiusTest : public ::testing::Test {
 protected:
  const cv::Mat key_ = RandomTexture(cv::Size(100, 100), 11);
  const cv::Point2f p_{50.0f, 50.0f};

  cv::Point2f PartnerWhenTrueMatchIs(const std::vector<cv::Point2f>& candidates,
                                     std::size_t trueIndex) {
    const Pairs pairs = Validate({p_}, candidates, kIdentity, key_,
                                 CurrentShowingAt(key_, p_, candidates[trueIndex]));
    EXPECT_EQ(pairs.key.size(), pairs.cur.size());
    if (pairs.cur.empty()) return cv::Point2f(-1, -1);
    EXPECT_EQ(pairs.key[0], p_);
    return pairs.cur[0];
  }
};

TEST_F(SearchRadiusTest, ExaminesOnlyCandidatesInsideTheTruncatedRadius) {
  const std::vector<cv::Point2f> candidates = {
      {58.0f, 50.0f},   // distance 8: examined, radius becomes 8
      {50.0f, 59.0f},   // distance 9: 8 > 9 fails, never examined
      {47.0f, 50.0f},   // distance 3: examined, radius becomes 3
      {50.0f, 47.5f}};  // distance 2.5: examined
  EXPECT_EQ(PartnerWhenTrueMatchIs(candidates, 0), candidates[0]);
  EXPECT_NE(PartnerWhenTrueMatchIs(candidates, 1), candidates[1]);
  EXPECT_EQ(PartnerWhenTrueMatchIs(candidates, 2), candidates[2]);
  EXPECT_EQ(PartnerWhenTrueMatchIs(candidates, 3), candidates[3]);
}

TEST_F(SearchRadiusTest, RadiusIsTheIntegerPartOfTheLastDistance) {
  const cv::Point2f at89(58.9f, 50.0f);
  const cv::Point2f at85(50.0f, 58.5f);
  // After 8.9 the radius is 8, so 8.5 is not examined.
  EXPECT_NE(PartnerWhenTrueMatchIs({at89, at85}, 1), at85);
  EXPECT_EQ(PartnerWhenTrueMatchIs({at89, at85}, 0), at89);
  // In the other order 8.5 comes first and is examined.
  EXPECT_EQ(PartnerWhenTrueMatchIs({at85, at89}, 0), at85);
}

TEST_F(SearchRadiusTest, CandidatesAtTheInitialRadiusAreNotExamined) {
  EXPECT_NE(PartnerWhenTrueMatchIs({{60.0f, 50.0f}}, 0), cv::Point2f(60.0f, 50.0f));
  EXPECT_EQ(PartnerWhenTrueMatchIs({{59.9f, 50.0f}}, 0), cv::Point2f(59.9f, 50.0f));
}

// --- Border margin ----------------------------------------------------------

TEST(NccValidationBorderTest, FeaturesMustLieStrictlyInsideTheMargin) {
  const cv::Mat key = RandomTexture(cv::Size(100, 80), 21);
  auto pairsAt = [&](cv::Point2f p) { return Validate({p}, {p}, kIdentity, key, key).cur.size(); };
  EXPECT_EQ(pairsAt({4.0f, 40.0f}), 0u);
  EXPECT_EQ(pairsAt({4.01f, 40.0f}), 1u);
  EXPECT_EQ(pairsAt({96.0f, 40.0f}), 0u);  // imageW - 4
  EXPECT_EQ(pairsAt({95.99f, 40.0f}), 1u);
  EXPECT_EQ(pairsAt({50.0f, 4.0f}), 0u);
  EXPECT_EQ(pairsAt({50.0f, 4.01f}), 1u);
  EXPECT_EQ(pairsAt({50.0f, 76.0f}), 0u);  // imageH - 4
  EXPECT_EQ(pairsAt({50.0f, 75.99f}), 1u);
}

TEST(NccValidationBorderTest, CandidatesMustLieStrictlyInsideTheMargin) {
  const cv::Mat key = RandomTexture(cv::Size(100, 80), 22);
  const cv::Point2f p(10.0f, 40.0f);
  for (float x : {4.0f, 4.01f}) {
    const cv::Point2f c(x, 40.0f);
    const Pairs pairs = Validate({p}, {c}, kIdentity, key, CurrentShowingAt(key, p, c));
    EXPECT_EQ(pairs.cur.size(), x > 4.0f ? 1u : 0u) << x;
  }
}

TEST(NccValidationBorderTest, PatchesStayInsideTheImageForEveryInsidePosition) {
  // Just below 8, p.x + 4 rounds up to 12 in float, so a patch sized from
  // trunc(p.x + 4) - trunc(p.x - 4) + 1 would be 10 wide and the candidate
  // patch next to the right border would leave the image.
  const float p8 = std::nextafter(8.0f, 0.0f);
  ASSERT_EQ(static_cast<int>(p8 + 4.0f) - static_cast<int>(p8 - 4.0f) + 1, 10);

  const cv::Size size(60, 60);
  const cv::Mat key = RandomTexture(size, 23);
  const cv::Point2f p(p8, p8);
  const cv::Point2f c(size.width - 4.5f, size.height - 4.5f);
  cv::Mat cur = RandomTexture(size, 24);
  key(PatchRect(p)).copyTo(cur(PatchRect(c)));
  const cv::Mat H = (cv::Mat_<double>(3, 3) << 1, 0, c.x - p.x, 0, 1, c.y - p.y, 0, 0, 1);

  Pairs pairs;
  ASSERT_NO_THROW(pairs = Validate({p}, {c}, H, key, cur));
  ASSERT_EQ(pairs.cur.size(), 1u);
  EXPECT_EQ(pairs.key[0], p);
  EXPECT_EQ(pairs.cur[0], c);
}

// --- Scores that must never win ---------------------------------------------

TEST(NccValidationScoreTest, FlatPatchesAreNeverChosen) {
  const cv::Mat flat(cv::Size(80, 80), CV_8UC3, cv::Scalar(40, 80, 120));
  EXPECT_TRUE(Validate({{40, 40}}, {{40, 40}}, kIdentity, flat, flat).cur.empty());

  // A flat candidate examined first neither wins nor spoils the best score.
  const cv::Mat key = RandomTexture(cv::Size(100, 100), 31);
  const cv::Point2f p(50.0f, 50.0f);
  const cv::Point2f flatCandidate(50.0f, 59.5f);  // distance 9.5
  cv::Mat cur = key.clone();
  cur(PatchRect(flatCandidate)).setTo(cv::Scalar(10, 200, 30));
  EXPECT_TRUE(Validate({p}, {flatCandidate}, kIdentity, key, cur).cur.empty());
  const Pairs pairs = Validate({p}, {flatCandidate, p}, kIdentity, key, cur);
  ASSERT_EQ(pairs.cur.size(), 1u);
  EXPECT_EQ(pairs.cur[0], p);
}

TEST(NccValidationScoreTest, InvertedPatchesAreNeverChosen) {
  const cv::Mat key = RandomTexture(cv::Size(100, 100), 32);
  const cv::Mat inverted = cv::Scalar::all(255) - key;
  const std::vector<cv::Point2f> corners = {{20, 20}, {50, 50}, {80, 30}};
  EXPECT_TRUE(Validate(corners, corners, kIdentity, key, inverted).cur.empty());
  EXPECT_EQ(Validate(corners, corners, kIdentity, key, key).cur, corners);
}

// --- Used candidates --------------------------------------------------------

TEST(NccValidationUsedTest, EarlierReferenceFeatureGetsTheSharedBestCandidate) {
  const cv::Size size(120, 100);
  cv::Mat key = RandomTexture(size, 41);
  cv::Mat cur = RandomTexture(size, 42);
  const cv::Mat shared = RandomTexture(cv::Size(kPatchSide, kPatchSide), 43);
  const cv::Point2f p1(50, 50);
  const cv::Point2f p2(60, 50);
  const cv::Point2f best(55, 50);    // 5 from both predictions
  const cv::Point2f second(64, 50);  // 4 from p2's, 14 from p1's
  shared.copyTo(key(PatchRect(p1)));
  shared.copyTo(key(PatchRect(p2)));
  shared.copyTo(cur(PatchRect(best)));
  // A weaker but clearly positive match for the second candidate.
  cv::Mat blend;
  cv::addWeighted(shared, 0.7, cur(PatchRect(second)), 0.3, 0.0, blend);
  blend.copyTo(cur(PatchRect(second)));

  const std::vector<cv::Point2f> candidates = {best, second};
  const Pairs inOrder = Validate({p1, p2}, candidates, kIdentity, key, cur);
  EXPECT_EQ(inOrder.key, (std::vector<cv::Point2f>{p1, p2}));
  EXPECT_EQ(inOrder.cur, (std::vector<cv::Point2f>{best, second}));

  // p2 first: it takes the best candidate, and p1 has nothing left in reach.
  const Pairs reversed = Validate({p2, p1}, candidates, kIdentity, key, cur);
  EXPECT_EQ(reversed.key, (std::vector<cv::Point2f>{p2}));
  EXPECT_EQ(reversed.cur, (std::vector<cv::Point2f>{best}));
}

// --- Degenerate inputs ------------------------------------------------------

TEST(NccValidationInputTest, EmptyListsAndUnusablePredictionsGiveNoPairs) {
  const cv::Mat key = RandomTexture(cv::Size(100, 100), 51);
  const std::vector<cv::Point2f> corners = {{50, 50}, {30, 70}};
  EXPECT_TRUE(Validate({}, corners, kIdentity, key, key).cur.empty());
  EXPECT_TRUE(Validate(corners, {}, kIdentity, key, key).cur.empty());

  // w = 0 at (50, 50): the prediction is infinite.
  const cv::Mat vanishing = (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, 0, -1.0 / 50, 0, 1);
  const Pairs atInfinity = Validate({{50, 50}}, corners, vanishing, key, key);
  EXPECT_TRUE(atInfinity.cur.empty());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const cv::Mat notANumber(3, 3, CV_64F, cv::Scalar(nan));
  EXPECT_TRUE(Validate(corners, corners, notANumber, key, key).cur.empty());
  const cv::Point2f nanCorner(std::numeric_limits<float>::quiet_NaN(), 50.0f);
  EXPECT_TRUE(Validate({nanCorner}, {nanCorner}, kIdentity, key, key).cur.empty());
}

TEST(NccValidationInputTest, AppendsToTheOutputLists) {
  const cv::Mat key = RandomTexture(cv::Size(100, 100), 52);
  std::vector<cv::Point2f> outKey = {{1, 2}};
  std::vector<cv::Point2f> outCur = {{3, 4}};
  geometry::ValidateCorrespondences_NCC({{50, 50}}, {{50, 50}}, &outKey, &outCur, kIdentity, key,
                                        key, key.cols, key.rows);
  EXPECT_EQ(outKey, (std::vector<cv::Point2f>{{1, 2}, {50, 50}}));
  EXPECT_EQ(outCur, (std::vector<cv::Point2f>{{3, 4}, {50, 50}}));
}

// --- Rendered frames with known motion --------------------------------------

class RenderedPairTest : public ::testing::Test {
 protected:
  static constexpr double kMaxPartnerError = 2.0;  // pixels from the true projection

  void SetUp() override {
    const cv::Mat photo = testsupport::TestPhoto();
    ASSERT_FALSE(photo.empty());
    const cv::Size frameSize(480, 360);
    render::CameraPose a;
    a.centreX = 1300;
    a.centreY = 850;
    render::CameraPose b = a;
    b.centreX += 22;
    b.centreY -= 9;
    b.angle = 0.02;
    b.zoom = 1.03;
    b.tiltX = 2e-5;
    const cv::Matx33d photoToA = render::PhotoToFrame(a, frameSize);
    const cv::Matx33d photoToB = render::PhotoToFrame(b, frameSize);
    key_ = render::RenderFrame(photo, photoToA, frameSize);
    cur_ = render::RenderFrame(photo, photoToB, frameSize);
    truth_ = cv::Mat(render::FrameToFrame(photoToA, photoToB));
    keyCorners_ = Corners(key_);
    curCorners_ = Corners(cur_);
  }

  static std::vector<cv::Point2f> Corners(const cv::Mat& frame) {
    cv::Mat grey;
    cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    std::vector<cv::Point2f> corners;
    cv::goodFeaturesToTrack(grey, corners, 400, 0.01, 10);
    return corners;
  }

  // Whether the current frame's detector also found the corner that p
  // shows: a candidate within kMaxPartnerError of p's true projection.
  bool TruePartnerDetected(cv::Point2f p) const {
    const cv::Point2f truth = ApplyHomography(truth_, p);
    for (const cv::Point2f& c : curCorners_) {
      if (cv::norm(truth - c) <= kMaxPartnerError) return true;
    }
    return false;
  }

  int ReferencesWithTruePartner() const {
    int n = 0;
    for (const cv::Point2f& p : keyCorners_) n += TruePartnerDetected(p) ? 1 : 0;
    return n;
  }

  // Pairs whose true partner was detected; the chosen partner must be it.
  // (Where it was not detected, any positively correlated neighbour may be
  // taken: the score only has to beat 0.)
  struct Tally {
    int withTruePartner = 0;
    int correct = 0;
  };
  Tally Check(const Pairs& pairs) const {
    Tally tally;
    for (std::size_t k = 0; k < pairs.key.size(); ++k) {
      if (!TruePartnerDetected(pairs.key[k])) continue;
      ++tally.withTruePartner;
      const cv::Point2f truth = ApplyHomography(truth_, pairs.key[k]);
      if (cv::norm(truth - pairs.cur[k]) <= kMaxPartnerError) ++tally.correct;
    }
    return tally;
  }

  void ExpectTruePartnersRecovered(const cv::Mat& predicted) const {
    const Pairs pairs = Validate(keyCorners_, curCorners_, predicted, key_, cur_);
    ASSERT_EQ(pairs.key.size(), pairs.cur.size());
    const Tally tally = Check(pairs);
    const int reachable = ReferencesWithTruePartner();
    ASSERT_GT(reachable, 100);
    EXPECT_GE(tally.withTruePartner, 0.95 * reachable);
    EXPECT_GE(tally.correct, 0.99 * tally.withTruePartner);
  }

  cv::Mat key_;
  cv::Mat cur_;
  cv::Mat truth_;  // maps the key frame onto the current frame
  std::vector<cv::Point2f> keyCorners_;
  std::vector<cv::Point2f> curCorners_;
};

TEST_F(RenderedPairTest, PartnersLieAtTheTrueProjection) { ExpectTruePartnersRecovered(truth_); }

TEST_F(RenderedPairTest, CorrelationCorrectsAnInexactPrediction) {
  // The chain homography is only approximate: with a 3-pixel prediction
  // error the true partners are still found.
  const cv::Mat offset = (cv::Mat_<double>(3, 3) << 1, 0, 3, 0, 1, 0, 0, 0, 1);
  ExpectTruePartnersRecovered(offset * truth_);
}

TEST_F(RenderedPairTest, KeyPointVariantPairsTheSamePositionsAndCopiesKeyPoints) {
  auto toKeyPoints = [](const std::vector<cv::Point2f>& points) {
    std::vector<cv::KeyPoint> keyPoints;
    for (std::size_t k = 0; k < points.size(); ++k) {
      keyPoints.emplace_back(points[k], 7.0f, 12.5f, static_cast<float>(k), 1, 3);
    }
    return keyPoints;
  };
  const std::vector<cv::KeyPoint> keyPoints = toKeyPoints(keyCorners_);
  const std::vector<cv::KeyPoint> curPoints = toKeyPoints(curCorners_);
  std::vector<cv::KeyPoint> outKey;
  std::vector<cv::KeyPoint> outCur;
  geometry::ValidateCorrespondencesKeyPoints_NCC(keyPoints, curPoints, &outKey, &outCur, truth_,
                                                 key_, cur_, key_.cols, key_.rows);

  const Pairs pairs = Validate(keyCorners_, curCorners_, truth_, key_, cur_);
  ASSERT_EQ(outKey.size(), pairs.key.size());
  ASSERT_EQ(outCur.size(), pairs.cur.size());
  ASSERT_FALSE(outKey.empty());
  for (std::size_t k = 0; k < outKey.size(); ++k) {
    EXPECT_EQ(outKey[k].pt, pairs.key[k]);
    EXPECT_EQ(outCur[k].pt, pairs.cur[k]);
    // The whole keypoint travels: response holds its index in the input.
    EXPECT_EQ(keyCorners_[static_cast<std::size_t>(outKey[k].response)], outKey[k].pt);
    EXPECT_EQ(curCorners_[static_cast<std::size_t>(outCur[k].response)], outCur[k].pt);
    EXPECT_EQ(outCur[k].size, 7.0f);
    EXPECT_EQ(outCur[k].octave, 1);
    EXPECT_EQ(outCur[k].class_id, 3);
  }
}

}  // namespace
