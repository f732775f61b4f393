// NCC validation through the candidate grid against the straightforward
// search over the whole candidate list: the same pairs in the same order, on
// corners of rendered frames (dense, clustered lists) and on seeded random
// point lists with duplicates, points near the border and far predictions.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>
#include <random>
#include <vector>

#include "geometry/homography_mapping.hpp"
#include "geometry/ncc_validation.hpp"
#include "tests/support/test_support.hpp"
#include "tools/render/scene_renderer.hpp"

namespace {

constexpr int kW = 320;
constexpr int kH = 240;

bool Inside(cv::Point2f p) {
  return 4.0f < p.x && p.x < static_cast<float>(kW - 4) && 4.0f < p.y &&
         p.y < static_cast<float>(kH - 4);
}

cv::Mat Patch(const cv::Mat& image, cv::Point2f p) {
  return image(cv::Rect(static_cast<int>(p.x - 4.0f), static_cast<int>(p.y - 4.0f), 9, 9));
}

// Every candidate in list order, as the validation is described.
void StraightforwardNcc(const std::vector<cv::Point2f>& refs, const std::vector<cv::Point2f>& cands,
                        std::vector<cv::Point2f>* outKey, std::vector<cv::Point2f>* outCur,
                        const cv::Mat& H, const cv::Mat& keyImage, const cv::Mat& curImage) {
  std::vector<char> used(cands.size(), 0);
  for (const cv::Point2f& p : refs) {
    if (!Inside(p)) continue;
    const cv::Point2f q = ApplyHomography(H, p);
    const cv::Mat refPatch = Patch(keyImage, p);
    float best = 0.0f;
    int radius = 10;
    size_t partner = cands.size();
    for (size_t k = 0; k < cands.size(); ++k) {
      if (used[k] || !Inside(cands[k])) continue;
      const float d = twoPointDistance(q, cands[k]);
      if (!(static_cast<float>(radius) > d)) continue;
      const float score = NormalizedCrossCorrelation(refPatch, Patch(curImage, cands[k]));
      if (score > best) {
        best = score;
        partner = k;
      }
      radius = static_cast<int>(d);
    }
    if (partner == cands.size()) continue;
    used[partner] = 1;
    outKey->push_back(p);
    outCur->push_back(cands[partner]);
  }
}

void ExpectSamePairs(const std::vector<cv::Point2f>& refs, const std::vector<cv::Point2f>& cands,
                     const cv::Mat& H, const cv::Mat& keyImage, const cv::Mat& curImage,
                     size_t minPairs) {
  std::vector<cv::Point2f> fastKey, fastCur, slowKey, slowCur;
  geometry::ValidateCorrespondences_NCC(refs, cands, &fastKey, &fastCur, H, keyImage, curImage,
                                        kW, kH);
  StraightforwardNcc(refs, cands, &slowKey, &slowCur, H, keyImage, curImage);
  ASSERT_GE(slowKey.size(), minPairs);
  EXPECT_EQ(fastKey, slowKey);
  EXPECT_EQ(fastCur, slowCur);

  std::vector<cv::KeyPoint> refKp, candKp, kpKey, kpCur;
  for (const cv::Point2f& p : refs) refKp.emplace_back(p, 3.0f);
  for (const cv::Point2f& p : cands) candKp.emplace_back(p, 3.0f);
  geometry::ValidateCorrespondencesKeyPoints_NCC(refKp, candKp, &kpKey, &kpCur, H, keyImage,
                                                 curImage, kW, kH);
  ASSERT_EQ(kpKey.size(), slowKey.size());
  for (size_t i = 0; i < kpKey.size(); ++i) {
    EXPECT_EQ(kpKey[i].pt, slowKey[i]);
    EXPECT_EQ(kpCur[i].pt, slowCur[i]);
  }
}

std::vector<cv::Point2f> Corners(const cv::Mat& frame) {
  cv::Mat grey;
  cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
  std::vector<cv::Point2f> corners;
  cv::goodFeaturesToTrack(grey, corners, 5000, 0.001, 5.0, cv::Mat(), 5, false, 0.04);
  return corners;
}

TEST(NccGridDifferential, RenderedFramesGiveTheSamePairs) {
  const cv::Mat photo = testsupport::TestPhoto();
  ASSERT_FALSE(photo.empty());
  const cv::Size size(kW, kH);
  const render::CameraPose keyPose{1000, 700};
  const cv::Matx33d photoToKey = render::PhotoToFrame(keyPose, size);
  cv::Mat key = render::RenderFrame(photo, photoToKey, size);
  render::AddNoise(key, 1.0, 3);
  const std::vector<cv::Point2f> keyCorners = Corners(key);
  // Shifts, a rotation and a zoom; the prediction is the truth or slightly off.
  const double poses[][4] = {{25.0, 3.0, 0.0, 1.0}, {60.5, -20.2, 0.08, 1.0}, {-40.0, 35.0, -0.05, 1.15}};
  for (const auto& m : poses) {
    render::CameraPose pose = keyPose;
    pose.centreX += m[0];
    pose.centreY += m[1];
    pose.angle = m[2];
    pose.zoom = m[3];
    const cv::Matx33d photoToCur = render::PhotoToFrame(pose, size);
    cv::Mat cur = render::RenderFrame(photo, photoToCur, size);
    render::AddNoise(cur, 1.0, 4);
    const cv::Mat truth(render::FrameToFrame(photoToKey, photoToCur));
    cv::Mat offset = (cv::Mat_<double>(3, 3) << 1, 0, 3.5, 0, 1, -2.5, 0, 0, 1);
    for (const cv::Mat& H : {truth, cv::Mat(offset * truth)}) {
      ExpectSamePairs(keyCorners, Corners(cur), H, key, cur, 50);
    }
  }
}

TEST(NccGridDifferential, RandomListsGiveTheSamePairs) {
  const cv::Mat photo = testsupport::TestPhoto();
  ASSERT_FALSE(photo.empty());
  const cv::Mat key = photo(cv::Rect(700, 400, kW, kH)).clone();
  const cv::Mat cur = photo(cv::Rect(712, 405, kW, kH)).clone();
  const cv::Mat shift = (cv::Mat_<double>(3, 3) << 1, 0, -12, 0, 1, -5, 0, 0, 1);
  for (uint32_t seed : {5u, 6u, 7u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> x(-3.0f, kW + 3.0f), y(-3.0f, kH + 3.0f),
        jitter(-6.0f, 6.0f);
    std::vector<cv::Point2f> refs, cands;
    for (int i = 0; i < 600; ++i) refs.emplace_back(x(rng), y(rng));
    for (const cv::Point2f& p : refs) {
      cands.emplace_back(p.x - 12.0f + jitter(rng), p.y - 5.0f + jitter(rng));
      if (cands.size() % 7 == 0) cands.push_back(cands.back());  // duplicates
    }
    std::shuffle(cands.begin(), cands.end(), rng);
    refs.emplace_back(4.5f, 4.5f);  // just inside the margin
    ExpectSamePairs(refs, cands, shift, key, cur, 100);
    // A prediction sent to infinity or far away finds nothing in both.
    const cv::Mat far = (cv::Mat_<double>(3, 3) << 1, 0, 1e9, 0, 1, 0, 0, 0, 1);
    const cv::Mat horizon = (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, 0, 0, 0, 0);
    ExpectSamePairs(refs, cands, far, key, cur, 0);
    ExpectSamePairs(refs, cands, horizon, key, cur, 0);
  }
}

}  // namespace
