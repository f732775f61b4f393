// The refinement's choice of pairs on placements alone: linear in the key
// frames however slowly the camera moves, every key frame tied to the next,
// each pair overlapping enough, and partners far away in time chosen where
// the path comes back over the same ground. Then the placements refined from
// those pairs, on rendered key frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "panorama/refinement.hpp"
#include "tests/support/test_support.hpp"

namespace {

const cv::Size kSize(640, 480);

// Checks what holds for every choice: a bounded number of distinct pairs,
// each overlapping enough, and every key frame tied to the first through them.
std::vector<KeyFramePair> Choose(const std::vector<cv::Mat>& placements) {
  const RefinementSettings settings;
  const std::vector<KeyFramePair> pairs = ChooseRefinementPairs(placements, kSize, settings);
  const size_t perFrame =
      static_cast<size_t>(settings.temporalNeighbours + settings.spatialPartners);
  EXPECT_LE(pairs.size(), perFrame * placements.size());
  std::set<std::pair<size_t, size_t>> distinct;
  std::vector<size_t> group(placements.size());
  for (size_t i = 0; i < group.size(); ++i)
    group[i] = i;
  const auto root = [&](size_t i) {
    while (group[i] != i)
      i = group[i];
    return i;
  };
  for (const KeyFramePair& p : pairs) {
    EXPECT_LT(p.a, p.b);
    EXPECT_GE(p.overlapPercent, settings.minimumOverlapPercent);
    distinct.emplace(p.a, p.b);
    group[root(p.b)] = root(p.a);
  }
  EXPECT_EQ(distinct.size(), pairs.size());
  for (size_t i = 0; i < group.size(); ++i)
    EXPECT_EQ(root(i), root(0)) << "key frame " << i << " is tied to no other";
  return pairs;
}

// Every frame a key frame, 2 pixels apart: each overlaps about 190 later
// ones, yet the pairs stay within a few per key frame and some span more
// than 150 key frames.
TEST(RefinementPairs, CreepingPanStaysLinearAndReachesFarPartners) {
  std::vector<cv::Mat> placements;
  for (int i = 0; i < 400; ++i)
    placements.push_back(testsupport::Translation(2.0 * i, 0));
  size_t furthest = 0;
  for (const KeyFramePair& p : Choose(placements))
    furthest = std::max(furthest, p.b - p.a);
  EXPECT_GE(furthest, 150u);
}

// Two rows, the second back over the first 100 pixels lower: frames of the
// first row are paired with frames of the second, 20 or more key frames
// later.
TEST(RefinementPairs, SerpentineTiesTheRowsTogether) {
  std::vector<cv::Mat> placements;
  for (int i = 0; i < 60; ++i)
    placements.push_back(testsupport::Translation(150.0 * i, 0));
  for (int i = 0; i < 60; ++i)
    placements.push_back(testsupport::Translation(150.0 * (59 - i), 100));
  std::set<size_t> tiedAcross;
  for (const KeyFramePair& p : Choose(placements)) {
    if (p.a < 60 && p.b >= 60 && p.b - p.a >= 20)
      tiedAcross.insert(p.a);
  }
  EXPECT_GE(tiedAcross.size(), 50u);
}

// Rendered key frames placed a few pixels off: the refinement brings them
// closer to the truth, and neither the threads nor a working memory so small
// that every key frame's pyramids are dropped and built again change a bit.
TEST(RefinePlacements, SameResultWithAnyThreadsOrMemory) {
  const cv::Size size(320, 240);
  const testsupport::Pan pan = testsupport::SidewaysPan(8, size, 0.5, 800, 800, 60);
  Placements start;
  for (size_t i = 0; i < pan.frames.size(); ++i) {
    const cv::Mat truth = pan.Between(i, 0);
    const cv::Mat off = i == 0 ? cv::Mat::eye(3, 3, CV_64F) : testsupport::Translation(i, -0.5 * i);
    start.push_back(PlacedKeyFrame{static_cast<int32_t>(i), pan.frames[i], off * truth});
  }
  RefinementSettings settings;
  const auto refine = [&](int threads, std::int64_t workingBytes) {
    settings.threads = threads;
    settings.workingBytes = workingBytes;
    RefinementResult result;
    const Placements refined = RefinePlacements(start, size, settings, &result);
    EXPECT_GT(result.pairsKept, 0);
    return refined;
  };
  const Placements once = refine(1, std::int64_t{256} << 20);
  for (const auto& [threads, bytes] : {std::pair<int, std::int64_t>{2, 256 << 20}, {2, 1}}) {
    const Placements again = refine(threads, bytes);
    for (size_t i = 0; i < once.size(); ++i)
      EXPECT_TRUE(testsupport::SameBits(once[i].H_FrameToRef, again[i].H_FrameToRef)) << i;
  }
  for (size_t i = 1; i < once.size(); ++i) {
    const cv::Mat truth = pan.Between(i, 0);
    EXPECT_LT(
        testsupport::MaxCornerError(once[i].H_FrameToRef, truth, size.width, size.height),
        0.5 * testsupport::MaxCornerError(start[i].H_FrameToRef, truth, size.width, size.height))
        << i;
  }
}

}  // namespace
