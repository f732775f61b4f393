// The refinement's choice of pairs on placements alone: linear in the key
// frames however slowly the camera moves, every key frame tied to the next,
// each pair overlapping enough, and partners far away in time chosen where
// the path comes back over the same ground.
#include <gtest/gtest.h>

#include <set>

#include "panorama/refinement.hpp"
#include "tests/support/test_support.hpp"

namespace {

const cv::Size kSize(640, 480);

std::vector<KeyFramePair> Choose(const std::vector<cv::Mat>& placements) {
  const RefinementSettings settings;
  const std::vector<KeyFramePair> pairs = ChooseRefinementPairs(placements, kSize, settings);
  const size_t perFrame =
      static_cast<size_t>(settings.temporalNeighbours + settings.spatialPartners);
  EXPECT_LE(pairs.size(), perFrame * placements.size());
  std::set<std::pair<size_t, size_t>> distinct;
  for (const KeyFramePair& p : pairs) {
    EXPECT_LT(p.a, p.b);
    EXPECT_GE(p.overlapPercent, settings.minimumOverlapPercent);
    distinct.emplace(p.a, p.b);
  }
  EXPECT_EQ(distinct.size(), pairs.size());
  return pairs;
}

// Every frame a key frame, 2 pixels apart: each overlaps about 190 later ones.
TEST(RefinementPairs, CreepingPanStaysLinearAndReachesFarPartners) {
  std::vector<cv::Mat> placements;
  for (int i = 0; i < 400; ++i)
    placements.push_back(testsupport::Translation(2.0 * i, 0));
  const std::vector<KeyFramePair> pairs = Choose(placements);
  std::set<size_t> tiedToNext;
  size_t furthest = 0;
  for (const KeyFramePair& p : pairs) {
    if (p.b == p.a + 1)
      tiedToNext.insert(p.a);
    furthest = std::max(furthest, p.b - p.a);
  }
  EXPECT_EQ(tiedToNext.size(), placements.size() - 1);
  EXPECT_GE(furthest, 150u);
}

// Two rows, the second back over the first 100 pixels lower: frames of the
// first row are paired with frames of the second, 100 or more key frames
// later.
TEST(RefinementPairs, SerpentineTiesTheRowsTogether) {
  std::vector<cv::Mat> placements;
  for (int i = 0; i < 60; ++i)
    placements.push_back(testsupport::Translation(20.0 * i, 0));
  for (int i = 0; i < 60; ++i)
    placements.push_back(testsupport::Translation(20.0 * (59 - i), 100));
  std::set<size_t> tiedAcross;
  for (const KeyFramePair& p : Choose(placements)) {
    if (p.a < 60 && p.b >= 60 && p.b - p.a >= 20)
      tiedAcross.insert(p.a);
  }
  EXPECT_GE(tiedAcross.size(), 50u);
}

}  // namespace
