// Direct photometric alignment of two overlapping frames: refines the
// homography between them from a rough starting estimate by maximising the
// correlation of their pixels (no features), coarse to fine on an image
// pyramid.
//
// Real footage defeats plain intensity alignment in two ways: vignetting
// (dark corners that stay put while the scene moves pull the estimate toward
// zero motion) and exposure changes. So the coarse levels are aligned twice,
// on intensity (which reaches furthest) and on a band-pass version that keeps
// neither the vignetting nor the exposure level; the finest level is always
// aligned on the band-pass version, and the result that best matches the
// band-pass overlap at full resolution wins. Gain and bias between the frames
// are absorbed by the correlation itself.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace geometry {

struct PairwiseAlignmentSettings {
  // Pyramid levels below full resolution; the coarsest is used first.
  int coarsestLevel = 3;
  // The finest level aligned is the largest one at most this wide (full
  // resolution up to this width): the cost grows with the pixels aligned.
  int maxAlignedWidth = 1024;
  // Correlation iterations per coarse level and on the finest level (each
  // costs a pass over the overlap; the finest starts close to its end), and
  // the change of the correlation below which a level is done.
  int iterations = 20;
  int finestIterations = 1;
  // A single finest iteration taken in one pass over the overlap, and the
  // correlation that judges its result summed in one pass too, instead of
  // by findTransformECC and on whole warped images: several times cheaper,
  // meant for frames of nearly the same view. Elsewhere the whole-image
  // forms are kept: the two round differently (findTransformECC's Hessian
  // is single precision), which decides between close results, and the
  // mosaics of pans and surveys came out worse with the one-pass forms.
  bool finestOnePass = false;
  // The one-pass step and correlation sum over every finestStride-th pixel
  // of every finestStride-th row (1: all).
  int finestStride = 1;
  double epsilon = 1e-3;
  // A result is refused when a corner of the overlap moves further than this
  // share of the frame diagonal from where the starting estimate put it (a
  // jump to a repetition of the texture, not a correction).
  double maxCornerShift = 0.06;
  // A result is refused when its band-pass overlap correlation stays below
  // this (unrelated or featureless content).
  double minimumNcc = 0.35;
  // The overlap must cover at least this share of the first frame.
  double minimumOverlapShare = 0.1;
};

struct PairwiseAlignment {
  cv::Mat H;  // first frame's pixels onto the second's (3x3 CV_64F)
  // A variant passed the checks: no level failed, the result stays within
  // maxCornerShift of the start and correlates at least minimumNcc. Not
  // convergence: the finest level runs finestIterations iterations only.
  bool accepted = false;
  // Band-pass correlation of the full-resolution overlap under the starting
  // estimate and under H (H is the starting estimate when nothing better was
  // found); NaN when the frames do not overlap.
  double nccBefore = 0.0;
  double nccAfter = 0.0;
  // Whether H should be trusted: accepted and a higher correlation than the
  // starting estimate.
  bool improved() const { return accepted && nccAfter > nccBefore; }
};

// Aligns a onto b (8-bit, one or three channels, the same size) starting from
// initialAtoB (a's pixels onto b's). Deterministic; safe to call from several
// threads at once.
PairwiseAlignment AlignPair(const cv::Mat& a, const cv::Mat& b, const cv::Mat& initialAtoB,
                            const PairwiseAlignmentSettings& settings = {});

// The same on grey levels (CV_32F, one channel, the same size) that the
// caller may have corrected first, for instance for the lens's falloff.
PairwiseAlignment AlignGreyPair(const cv::Mat& greyA, const cv::Mat& greyB,
                                const cv::Mat& initialAtoB,
                                const PairwiseAlignmentSettings& settings = {});

// The images the alignment correlates, for levels 0 (full resolution) to
// `levels` of the pyramid of grey (CV_32F): intensity lightly smoothed (on
// whole images, since the correlation's own smoothing would run on the
// cropped template and mirror its edges), and band-pass. Every level is an
// image of its own; grey is left as it is. Intensity below level
// intensityFrom is left empty (the finest aligned level uses band-pass only).
struct AlignmentPyramids {
  std::vector<cv::Mat> intensity;
  std::vector<cv::Mat> bandPass;
};
AlignmentPyramids BuildAlignmentPyramids(const cv::Mat& grey, int levels, int intensityFrom = 0);

// The pyramid levels the alignment works on for frames of frameSize: the
// finest aligned and the coarsest, where it starts.
struct AlignmentLevels {
  int finest = 0;
  int coarsest = 0;
};
AlignmentLevels LevelsToAlign(cv::Size frameSize, const PairwiseAlignmentSettings& settings);

// AlignGreyPair on pyramids built beforehand by BuildAlignmentPyramids (each
// up to at least LevelsToAlign's coarsest level, intensity from finest + 1),
// so that a frame aligned in several pairs is filtered once. The same result.
PairwiseAlignment AlignPyramidPair(const AlignmentPyramids& a, const AlignmentPyramids& b,
                                   const cv::Mat& initialAtoB,
                                   const PairwiseAlignmentSettings& settings = {});

// Band-pass correlation of the overlap of a and b under H (a's pixels onto
// b's), at full resolution; NaN when less than the minimum share overlaps.
double OverlapNcc(const cv::Mat& a, const cv::Mat& b, const cv::Mat& H,
                  double minimumOverlapShare = 0.1);

// The grey levels of an 8-bit image of one or three channels, as floats.
cv::Mat FloatGrey(const cv::Mat& image);

}  // namespace geometry
