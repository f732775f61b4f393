// Refinement of the key-frame placements: key frames paired with their
// neighbours in time and a few far-off partners that overlap them, each pair
// aligned directly on its pixels, then all placements adjusted together to
// the pairs that were kept. A stage of its own: placements in, placements out.
#pragma once

#include <cstdint>
#include <functional>
#include <opencv2/core.hpp>
#include <vector>

// A key frame as the composition places it.
struct PlacedKeyFrame {
  int32_t id = 0;
  cv::Mat image;         // the stored frame (shared, not a copy)
  cv::Mat H_FrameToRef;  // its pixels onto the reference plane (3x3 CV_64F)
};
// Key frames with their placements; the reference comes first.
using Placements = std::vector<PlacedKeyFrame>;

struct RefinementSettings {
  // Key frames whose outlines overlap by at least this (percent of their
  // union, as the key-frame choice measures it) may be aligned as a pair.
  float minimumOverlapPercent = 25.0f;
  // Each key frame is paired with this many next key frames in time, and
  // with at most spatialPartners later ones beyond them, spread over those
  // that overlap it and reaching the one furthest away in time (which closes
  // loops and ties the rows of a survey together). So the pairs grow
  // linearly with the key frames.
  int temporalNeighbours = 1;
  int spatialPartners = 2;
  // Where key frames are dense (a low OVERLAP threshold is not what makes
  // them; OVERLAP 100 makes every frame one), only anchors are paired so:
  // the first key frame, then each that overlaps the last anchor by this or
  // less. Every other key frame is paired once, with the anchor before it,
  // and that pair, nearly the same view twice, is aligned on the finest
  // level only, by the one-pass step (finestOnePass), from every
  // anchorPairStride-th pixel of every anchorPairStride-th row (they overlap
  // almost entirely, so a share of the pixels measures the step as well).
  // With OVERLAP at or below anchorOverlapPercent, every key frame is an
  // anchor.
  float anchorOverlapPercent = 80.0f;
  int anchorPairStride = 2;
  // Memory for the pairs aligned at once (each takes about
  // kAlignmentBytesPerPixel per frame pixel): never more pairs in flight
  // than fit, nor than threads, and at least one. Of what the pairs leave,
  // at most pyramidBytes holds the key frames' pyramids between their pairs
  // (about 7 bytes per frame pixel each, 4 for a key frame paired with its
  // anchor only); a batch ends where they would need more.
  std::int64_t workingBytes = std::int64_t{256} << 20;
  std::int64_t pyramidBytes = std::int64_t{16} << 20;
  int threads = 0;  // 0: OpenCV's thread count
  // Pairs are aligned in batches of at most this many, in the key frames'
  // order; afterBatch (when set) runs between batches, when no pixels are
  // read.
  int batchPairs = 16;
  // Align grey levels with the lens's falloff divided out, the falloff
  // estimated from the key frames under their starting placements as the
  // blend does (vignetting otherwise stays put while the scene moves and
  // pulls every pair towards no motion).
  bool correctFalloff = true;
  // A falloff is divided out only when it darkens the frame corners by more
  // than this share; a weaker estimate is as likely noise as vignetting.
  double minimumCornerFalloff = 0.05;
  int falloffFrames = 48;  // key frames the falloff is estimated from, at most
  std::function<void()> afterBatch;
};
constexpr std::int64_t kAlignmentBytesPerPixel = 72;

struct RefinedPair {
  int32_t idA = 0;  // idA < idB
  int32_t idB = 0;
  float overlapPercent = 0.0f;
  // Band-pass correlation of the full-resolution overlap before and after
  // the alignment (NaN when it could not be measured).
  double nccBefore = 0.0;
  double nccAfter = 0.0;
  // Accepted by the alignment's checks (no failed level, no jump to a
  // repetition of the texture, enough correlation) and raised the correlation.
  bool kept = false;
};

struct RefinementResult {
  int pairsTried = 0;
  int pairsKept = 0;
  // Mean transfer error (frame pixels) of the kept pairs under the tree's
  // placements and under the adjusted ones.
  double residualBefore = 0.0;
  double residualAfter = 0.0;
  // Key frames whose adjusted placement failed the tree's determinant and
  // orientation gate and kept the tree's placement.
  int placementsRefused = 0;
  bool adjusted = false;  // false: the tree's placements were kept
  // Processor time (user and system, all threads) the stage took, measured
  // by the panorama's wrapper.
  double processorSeconds = 0.0;
  std::vector<RefinedPair> pairs;
};

// A pair of key frames to align: indices into the key frames.
struct KeyFramePair {
  size_t a = 0;  // the earlier in time
  size_t b = 0;
  float overlapPercent = 0.0f;
  bool toAnchor = false;  // b is paired only with its anchor a
};

// The pairs to align among key frames of frameSize placed by frameToRef,
// given in time order: at most temporalNeighbours + spatialPartners per
// anchor and one per other key frame, each overlapping by at least the
// minimum, in the order of a.
std::vector<KeyFramePair> ChooseRefinementPairs(const std::vector<cv::Mat>& frameToRef,
                                                cv::Size frameSize,
                                                const RefinementSettings& settings);

// New placements for keyFrames (the reference first, which stays where it
// is; all of frameSize), and in *result (when not null) what was done.
// Deterministic whatever the thread count.
Placements RefinePlacements(const Placements& keyFrames, cv::Size frameSize,
                            const RefinementSettings& settings, RefinementResult* result);
