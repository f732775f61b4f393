// Cheap looks at a frame on a small grey copy: whether it is flat (a lens
// cap, a black or grey glitch) or much less sharp than the frames before it
// (a motion-blur burst), and whether a homography between two frames is
// confirmed by their pixels. They let a run pass over bad frames instead of
// building on them.
#pragma once

#include <deque>
#include <opencv2/core.hpp>

namespace screening {

// A frame at a small scale, with its contrast and sharpness.
struct FrameLook {
  cv::Mat grey;            // CV_8U, at most kLookWidthPx wide
  double scale = 1.0;      // grey pixels per frame pixel
  double contrast = 0.0;   // standard deviation of grey levels
  double sharpness = 0.0;  // variance of the Laplacian of grey
};

FrameLook Look(const cv::Mat& frame);

// Below this standard deviation of grey levels a frame carries no texture.
constexpr double kFlatContrast = 4.0;
inline bool IsFlat(const FrameLook& look) {
  return look.contrast < kFlatContrast;
}

// The sharpness of the frames lately accepted; a frame far below their
// median is blurred.
class SharpnessHistory {
 public:
  void Add(double sharpness);
  // True when sharpness is under kBlurredFraction of the known frames'
  // median, or of `reference` (a frame known good) while few are known.
  bool IsBlurred(double sharpness, double reference) const;
  static constexpr double kBlurredFraction = 0.3;
  static constexpr size_t kFrames = 9;

 private:
  std::deque<double> recent_;
};

// How well H (frame a's pixels onto frame b's) lines a up with b: the
// normalised cross-correlation of b with a warped by H, over the pixels both
// cover, and the share of b they cover (0..1). A frame without contrast
// over the overlap gives 0.
struct Agreement {
  double ncc = 0.0;
  double overlap = 0.0;
};
Agreement PairAgreement(const FrameLook& a, const FrameLook& b, const cv::Mat& H);

// The agreement that confirms a registration.
constexpr double kMinAgreementNcc = 0.5;
constexpr double kMinAgreementOverlap = 0.2;
inline bool Confirms(const Agreement& agreement) {
  return agreement.ncc >= kMinAgreementNcc && agreement.overlap >= kMinAgreementOverlap;
}

}  // namespace screening
