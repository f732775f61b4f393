// NCC validation through the candidate grid against the straightforward
// search over the whole candidate list: the same pairs in the same order, on
// corners of rendered frames (dense, clustered lists) and on seeded random
// lists with duplicates, points near the border and far predictions. The
// straightforward search is the oracle for the search-radius rule (the radius
// starts at 10 and becomes the integer part of each examined distance) and the
// "used" rule (an earlier feature takes a shared best candidate).
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <random>

#include "geometry/homography_mapping.hpp"
#include "geometry/ncc_validation.hpp"
#include "tests/support/test_support.hpp"

namespace {

using Points = std::vector<cv::Point2f>;
constexpr int kW = 320;
constexpr int kH = 240;

bool Inside(cv::Point2f p) {
  return 4.0f < p.x && p.x < kW - 4.0f && 4.0f < p.y && p.y < kH - 4.0f;
}

cv::Mat Patch(const cv::Mat& image, cv::Point2f p) {
  return image(cv::Rect(static_cast<int>(p.x - 4.0f), static_cast<int>(p.y - 4.0f), 9, 9));
}

void ExpectSamePairs(const Points& refs, const Points& cands, const cv::Mat& H, const cv::Mat& key,
                     const cv::Mat& cur, size_t minPairs) {
  // Every candidate in list order, as the validation is described.
  Points slowKey, slowCur;
  std::vector<char> used(cands.size(), 0);
  for (const cv::Point2f& p : refs) {
    if (!Inside(p))
      continue;
    const cv::Point2f q = ApplyHomography(H, p);
    float best = 0.0f;
    int radius = 10;
    size_t partner = cands.size();
    for (size_t k = 0; k < cands.size(); ++k) {
      const float d = twoPointDistance(q, cands[k]);
      if (used[k] || !Inside(cands[k]) || !(static_cast<float>(radius) > d))
        continue;
      const float score = NormalizedCrossCorrelation(Patch(key, p), Patch(cur, cands[k]));
      if (score > best)
        best = score, partner = k;
      radius = static_cast<int>(d);
    }
    if (partner < cands.size())
      used[partner] = 1, slowKey.push_back(p), slowCur.push_back(cands[partner]);
  }
  Points fastKey, fastCur;
  geometry::ValidateCorrespondences_NCC(refs, cands, &fastKey, &fastCur, H, key, cur, kW, kH);
  ASSERT_GE(slowKey.size(), minPairs);
  EXPECT_EQ(fastKey, slowKey);
  EXPECT_EQ(fastCur, slowCur);
  // The keypoint form pairs the same positions and copies whole keypoints
  // (the size field carries each one's index in its input list).
  std::vector<cv::KeyPoint> refKp, candKp, kpKey, kpCur;
  for (size_t k = 0; k < refs.size(); ++k)
    refKp.emplace_back(refs[k], static_cast<float>(k), 1, 2, 3, 4);
  for (size_t k = 0; k < cands.size(); ++k)
    candKp.emplace_back(cands[k], static_cast<float>(k), 1, 2, 3, 4);
  geometry::ValidateCorrespondencesKeyPoints_NCC(refKp, candKp, &kpKey, &kpCur, H, key, cur, kW,
                                                 kH);
  ASSERT_EQ(kpKey.size(), slowKey.size());
  for (size_t i = 0; i < kpKey.size(); ++i) {
    EXPECT_TRUE(kpKey[i].pt == slowKey[i] && kpCur[i].pt == slowCur[i] &&
                cands[static_cast<size_t>(kpCur[i].size)] == kpCur[i].pt && kpCur[i].octave == 3 &&
                kpKey[i].class_id == 4)
        << i;
  }
}

Points Corners(const cv::Mat& frame) {
  cv::Mat grey;
  cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
  Points corners;
  cv::goodFeaturesToTrack(grey, corners, 5000, 0.001, 5.0, cv::Mat(), 5, false, 0.04);
  return corners;
}

TEST(NccGridDifferential, RenderedFramesGiveTheSamePairs) {
  // Shifts, a rotation and a zoom; the prediction is the truth or slightly off.
  for (const render::CameraPose& pose :
       {testsupport::Pose(1025, 703), testsupport::Pose(1060.5, 679.8, 1.0, 0.08),
        testsupport::Pose(960, 735, 1.15, -0.05)}) {
    const testsupport::Pan pan =
        testsupport::RenderPan(2, {kW, kH}, testsupport::Pose(1000, 700), pose, 1.0);
    const cv::Mat truth = pan.Between(0, 1);
    for (const cv::Mat& H : {truth, cv::Mat(testsupport::Translation(3.5, -2.5) * truth)}) {
      ExpectSamePairs(Corners(pan.frames[0]), Corners(pan.frames[1]), H, pan.frames[0],
                      pan.frames[1], 50);
    }
  }
}

TEST(NccGridDifferential, RandomListsGiveTheSamePairs) {
  const cv::Mat key = testsupport::TestPhoto()(cv::Rect(700, 400, kW, kH)).clone();
  const cv::Mat cur = testsupport::TestPhoto()(cv::Rect(712, 405, kW, kH)).clone();
  for (uint32_t seed : {5u, 6u, 7u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> x(-3.0f, kW + 3.0f), y(-3.0f, kH + 3.0f), jitter(-6, 6);
    Points refs, cands;
    for (int i = 0; i < 600; ++i)
      refs.emplace_back(x(rng), y(rng));
    for (const cv::Point2f& p : refs) {
      cands.emplace_back(p.x - 12.0f + jitter(rng), p.y - 5.0f + jitter(rng));
      if (cands.size() % 7 == 0)
        cands.push_back(cands.back());  // duplicates
    }
    std::shuffle(cands.begin(), cands.end(), rng);
    refs.emplace_back(4.5f, 4.5f);  // just inside the margin
    ExpectSamePairs(refs, cands, testsupport::Translation(-12, -5), key, cur, 100);
    // A prediction sent far away or to infinity finds nothing in both.
    ExpectSamePairs(refs, cands, testsupport::Translation(1e9, 0), key, cur, 0);
    ExpectSamePairs(refs, cands, (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, 0, 0, 0, 0), key, cur,
                    0);
  }
}

}  // namespace
