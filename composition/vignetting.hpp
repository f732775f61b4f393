// The lens's radial falloff (vignetting) and each key frame's exposure,
// estimated from the key frames themselves. The falloff is fixed to the
// camera while the scene moves under it, so where two placed frames overlap,
// the ratio of their pixels at one scene point is the ratio of their
// exposures times the ratio of the falloff at the two radii. A least-squares
// fit over many such ratios in the log domain gives both.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

namespace vignetting {

// V(rho) = exp(c1 rho^2 + c2 rho^4 + c3 rho^6), V(0) = 1, where rho is the
// distance from the frame centre over the half diagonal (1 at the corners).
struct Falloff {
  cv::Vec3d c;  // all zero: no falloff
  // V at rho^2.
  double At(double rho2) const;
};

// rho^2 of frame pixel (x, y) in a frame of the given size.
double RhoSquared(double x, double y, cv::Size size);

struct Photometry {
  Falloff falloff;
  // Exposure of each frame relative to the others; their geometric mean is 1.
  std::vector<double> gains;
};

// images: the frames (8-bit, one or three channels, all of one size);
// frameToRef: each frame's pixels onto a common plane. Frames that overlap no
// other keep gain 1; without enough overlap to constrain it, or when the fit
// gives an implausible curve, the falloff stays flat. Each frame is compared
// with its nearest overlapping frames, on about maxSamples samples in all
// (kRatioBytes each; a pair gets a few dozen whatever the bound).
Photometry EstimatePhotometry(const std::vector<cv::Mat>& images,
                              const std::vector<cv::Matx33d>& frameToRef,
                              size_t maxSamples = 200000);
constexpr size_t kRatioBytes = 24;

}  // namespace vignetting
