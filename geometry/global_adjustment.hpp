// Global adjustment of frame placements: given every frame's homography onto
// a common reference plane and measured homographies between overlapping
// frames, finds the placements that agree best with all measurements at
// once, so that errors of single links no longer add up along a chain.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace geometry {

// A measured homography between two frames (indices into the placements).
struct PairConstraint {
  int from = 0;
  int to = 0;
  cv::Mat H;  // from's pixels onto to's (3x3 CV_64F)
};

struct GlobalAdjustmentSettings {
  // Points sampled per constraint: a grid of this many columns and rows over
  // the first frame, of which the points that land inside the second are used.
  int gridColumns = 8;
  int gridRows = 6;
  // A constraint with fewer points inside both frames is not used.
  int minimumPoints = 8;
  // Transfer errors beyond this (pixels) count linearly, not squared.
  double robustScale = 2.0;
  int maxIterations = 100;
  // A weak pull of each correction back to the starting placement, per pixel
  // that a frame corner moves, against a transfer error of one pixel at one
  // sampled point: negligible where many points constrain a frame, it keeps
  // a weakly constrained frame near where it started.
  double priorWeight = 1e-3;
  // An adjusted placement is kept only when the change from the starting one
  // keeps the frame's orientation and scales its area by more than this (the
  // frame tree's gate on its links); otherwise that frame keeps its start.
  double minimumDeterminant = 0.2;
};

struct GlobalAdjustment {
  // Every frame's pixels onto the reference plane (the starting placements
  // when the adjustment did not lower the error).
  std::vector<cv::Mat> frameToReference;
  // Mean transfer error over all sampled points of all used constraints,
  // under the starting and the adjusted placements: a point of the first
  // frame carried by the placements into the second, against where the
  // measurement puts it, in the second frame's pixels.
  double residualBefore = 0.0;
  double residualAfter = 0.0;
  int constraintsUsed = 0;
  // Frames whose adjusted placement failed the gate and kept their start.
  int placementsRefused = 0;
  bool adjusted = false;  // false: the starting placements were kept
};

// The gate on an adjusted placement of a frame of frameSize (both arguments
// map its pixels onto the reference plane): every corner stays in front of
// the camera, the outline stays a convex quadrilateral of the starting
// orientation, and the change start^-1 * adjusted has a determinant above
// minimumDeterminant (normalised to 1 in its last entry).
bool PlacementAcceptable(const cv::Mat& start, const cv::Mat& adjusted, cv::Size frameSize,
                         double minimumDeterminant);

// Adjusts the placements of all frames except the reference, which stays
// where it is, as do frames that no chain of constraints ties to it. Frames
// are frameSize. The solve is sparse (one block per frame), so its cost
// grows with the constraints, not with the square of the frames.
// Deterministic.
GlobalAdjustment AdjustPlacements(const std::vector<cv::Mat>& frameToReference, int reference,
                                  const std::vector<PairConstraint>& constraints,
                                  cv::Size frameSize,
                                  const GlobalAdjustmentSettings& settings = {});

}  // namespace geometry
