// What refining the key-frame placements did (Panorama::RefineKeyFrames):
// every overlapping key-frame pair aligned photometrically, then all
// placements adjusted together to agree with the pairs that were kept.
#pragma once

#include <cstdint>
#include <vector>

struct RefinementSettings {
  // Key frames whose outlines overlap by at least this (percent of their
  // union, as the key-frame choice measures it) are aligned as a pair.
  float minimumOverlapPercent = 25.0f;
};

struct RefinedPair {
  int32_t idA = 0;  // idA < idB
  int32_t idB = 0;
  float overlapPercent = 0.0f;
  // Band-pass correlation of the full-resolution overlap before and after
  // the alignment (NaN when it could not be measured).
  double nccBefore = 0.0;
  double nccAfter = 0.0;
  bool kept = false;  // converged and raised the correlation
};

struct RefinementResult {
  int pairsTried = 0;
  int pairsKept = 0;
  // Mean transfer error (frame pixels) of the kept pairs under the tree's
  // placements and under the adjusted ones.
  double residualBefore = 0.0;
  double residualAfter = 0.0;
  bool adjusted = false;  // false: the tree's placements were kept
  std::vector<RefinedPair> pairs;
};
