// Refinement of the key-frame placements before composition: aligns every
// overlapping pair of key frames directly on their pixels, adjusts all
// placements to the kept pairs at once (the reference stays fixed) and hands
// the result to the composition.
#include "panorama/refinement.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <opencv2/core/utility.hpp>

#include "geometry/global_adjustment.hpp"
#include "geometry/overlap.hpp"
#include "geometry/pairwise_alignment.hpp"
#include "panorama/panorama.hpp"

RefinementResult Panorama::RefineKeyFrames(const RefinementSettings& settings) {
  RefinementResult result;
  const std::vector<PlacedKeyFrame> placed = PlacedKeyFrames();  // the reference first
  const size_t n = placed.size();
  std::vector<cv::Mat> frameToRef;
  for (const PlacedKeyFrame& k : placed)
    frameToRef.push_back(k.H_FrameToRef);

  // Pairs in the order of their ids; a's pixels onto b's under the current placements.
  struct Candidate {
    size_t a;
    size_t b;
    cv::Mat H;
  };
  std::vector<size_t> byId(n);
  for (size_t i = 0; i < n; ++i)
    byId[i] = i;
  std::sort(byId.begin(), byId.end(),
            [&](size_t x, size_t y) { return placed[x].id < placed[y].id; });
  std::vector<Candidate> candidates;
  for (size_t x = 0; x < n; ++x) {
    for (size_t y = x + 1; y < n; ++y) {
      const size_t a = byId[x];
      const size_t b = byId[y];
      const cv::Mat H = frameToRef[b].inv() * frameToRef[a];
      const float overlap = geometry::CalculateOverlapPercentage(H, imageW, imageH);
      if (!(overlap >= settings.minimumOverlapPercent))
        continue;
      candidates.push_back(Candidate{a, b, H / H.at<double>(2, 2)});
      RefinedPair pair;
      pair.idA = placed[a].id;
      pair.idB = placed[b].id;
      pair.overlapPercent = overlap;
      result.pairs.push_back(pair);
    }
  }

  // Each pair is independent: align them on all cores, results by index.
  std::vector<geometry::PairwiseAlignment> aligned(candidates.size());
  cv::parallel_for_(cv::Range(0, static_cast<int>(candidates.size())), [&](const cv::Range& r) {
    for (int i = r.start; i < r.end; ++i) {
      const Candidate& c = candidates[static_cast<size_t>(i)];
      aligned[static_cast<size_t>(i)] =
          geometry::AlignPair(placed[c.a].image, placed[c.b].image, c.H);
    }
  });

  std::vector<geometry::PairConstraint> constraints;
  for (size_t i = 0; i < candidates.size(); ++i) {
    RefinedPair& pair = result.pairs[i];
    pair.nccBefore = aligned[i].nccBefore;
    pair.nccAfter = aligned[i].nccAfter;
    pair.kept = aligned[i].improved();
    if (!pair.kept)
      continue;
    ++result.pairsKept;
    constraints.push_back(geometry::PairConstraint{
        static_cast<int>(candidates[i].a), static_cast<int>(candidates[i].b), aligned[i].H});
  }
  result.pairsTried = static_cast<int>(candidates.size());
  if (constraints.empty())
    return result;

  const geometry::GlobalAdjustment adjustment =
      geometry::AdjustPlacements(frameToRef, 0, constraints, cv::Size(imageW, imageH));
  result.residualBefore = adjustment.residualBefore;
  result.residualAfter = adjustment.residualAfter;
  result.adjusted = adjustment.adjusted;
  if (!adjustment.adjusted)
    return result;
  std::map<int32_t, cv::Mat> adjusted;
  for (size_t i = 1; i < n; ++i)
    adjusted[placed[i].id] = adjustment.frameToReference[i];
  SetFrameToReference(std::move(adjusted));
  return result;
}
