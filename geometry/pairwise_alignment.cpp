#include "geometry/pairwise_alignment.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <optional>
#include <vector>

#include "geometry/homography_mapping.hpp"

namespace geometry {

cv::Mat FloatGrey(const cv::Mat& image) {
  CV_Assert(image.depth() == CV_8U && (image.channels() == 1 || image.channels() == 3));
  cv::Mat grey;
  if (image.channels() == 3) {
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  } else {
    grey = image;
  }
  cv::Mat out;
  grey.convertTo(out, CV_32F);
  return out;
}

namespace {

// What the alignment is tuned by.
struct Tuning {
  // The band-pass version: fine detail (a Gaussian of detailSigma) minus the
  // local average (two passes of a box of surroundBox, about a Gaussian of
  // sigma 4.5 at a fraction of its cost), which removes vignetting and
  // exposure but keeps edges.
  double detailSigma = 1.0;
  int surroundBox = 11;
  // The coarsest level keeps at least this many pixels on its short side.
  int minLevelSide = 48;
  // Pixels of a kept around the overlap when correlating (overlapMargin), and
  // pixels along every image border that the correlation leaves out
  // (borderMargin): there the filters (band-pass, the correlation's own
  // smoothing and gradients) see mirrored pixels, so a scene point near b's
  // border looks different from the same point in the middle of a. Left in,
  // this one-sided difference biases every pair a little the same way (about
  // 1e-4 in scale along the motion), which adds up along a sweep.
  int overlapMargin = 4, borderMargin = 12;
  // Two coarse results whose corners agree within this (full-resolution
  // pixels) lead the finest level to the same place.
  double sameStartPx = 2.0;
};
constexpr Tuning kTuning{};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

cv::Rect Interior(cv::Size size) {
  const int m = kTuning.borderMargin;
  return cv::Rect(m, m, std::max(size.width - 2 * m, 0), std::max(size.height - 2 * m, 0));
}

cv::Mat InteriorMask(cv::Size size) {
  cv::Mat mask = cv::Mat::zeros(size, CV_8U);
  mask(Interior(size)).setTo(255);
  return mask;
}

cv::Mat BandPass(const cv::Mat& grey) {
  cv::Mat detail;
  cv::Mat surround;
  cv::GaussianBlur(grey, detail, cv::Size(), kTuning.detailSigma);
  cv::boxFilter(grey, surround, -1, cv::Size(kTuning.surroundBox, kTuning.surroundBox));
  cv::boxFilter(surround, surround, -1, cv::Size(kTuning.surroundBox, kTuning.surroundBox));
  return detail - surround;
}

std::vector<cv::Mat> Pyramid(const cv::Mat& level0, int levels) {
  std::vector<cv::Mat> pyramid{level0};
  for (int l = 1; l <= levels; ++l) {
    cv::Mat down;
    cv::pyrDown(pyramid.back(), down);
    pyramid.push_back(down);
  }
  return pyramid;
}

// Level l of a pyramid shows pixel (x, y) of level 0 at (x, y) / 2^l.
cv::Mat LevelScale(int level) {
  const double s = std::ldexp(1.0, -level);
  return (cv::Mat_<double>(3, 3) << s, 0, 0, 0, s, 0, 0, 0, 1);
}

cv::Mat Normalised(const cv::Mat& H) {
  return H / H.at<double>(2, 2);
}

bool Finite(const cv::Mat& H) {
  return cv::checkRange(H);
}

// Normalised cross-correlation of a and of b seen through H (a onto b), over
// the pixels of a that H maps inside b.
double MaskedNcc(const cv::Mat& a, const cv::Mat& b, const cv::Mat& H, double minimumShare) {
  if (!Finite(H))
    return kNaN;
  // Pixels near either border hold filtered mirror images (see borderMargin).
  const cv::Mat interior = InteriorMask(b.size());
  cv::Mat warped;
  cv::Mat mask;
  cv::warpPerspective(b, warped, H, a.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                      cv::BORDER_CONSTANT, 0);
  cv::warpPerspective(interior, mask, H, a.size(), cv::INTER_NEAREST | cv::WARP_INVERSE_MAP,
                      cv::BORDER_CONSTANT, 0);
  mask &= interior;
  const int count = cv::countNonZero(mask);
  if (count < 16 || count < minimumShare * static_cast<double>(a.total()))
    return kNaN;
  cv::Scalar meanA, stdA, meanB, stdB;
  cv::meanStdDev(a, meanA, stdA, mask);
  cv::meanStdDev(warped, meanB, stdB, mask);
  if (stdA[0] <= 0.0 || stdB[0] <= 0.0)
    return kNaN;
  const double meanAB = cv::mean(a.mul(warped), mask)[0];
  return (meanAB - meanA[0] * meanB[0]) / (stdA[0] * stdB[0]);
}

// The part of a (size) that H (a onto b) maps into b, with a margin: the
// correlation is computed there only, not over all of a.
cv::Rect OverlapBox(const cv::Mat& H, cv::Size size, int margin) {
  const cv::Rect whole(0, 0, size.width, size.height);
  const std::optional<MappedBox> mapped = MapFrameBox(cv::Matx33d(cv::Mat(H.inv())), size, 0.0);
  if (!mapped)
    return whole;  // b's outline wraps behind a: keep all of a
  const auto [x0, y0, x1, y1] = *mapped;
  if (!std::isfinite(x0 + y0 + x1 + y1))
    return whole;
  const auto clampTo = [](double v, int hi) {
    return static_cast<int>(std::clamp(v, 0.0, static_cast<double>(hi)));
  };
  const int left = clampTo(std::floor(x0) - margin, size.width);
  const int top = clampTo(std::floor(y0) - margin, size.height);
  const int right = clampTo(std::ceil(x1) + margin + 1, size.width);
  const int bottom = clampTo(std::ceil(y1) + margin + 1, size.height);
  return cv::Rect(left, top, right - left, bottom - top) & whole;
}

// Largest distance between the corners of the overlap (where B puts a inside
// b) mapped by A and by B: how far apart A and B are where it matters, not
// where they are extrapolated beyond the overlap.
double OverlapShift(const cv::Mat& A, const cv::Mat& B, cv::Size size) {
  const cv::Rect box = OverlapBox(B, size, 0);
  if (box.empty())
    return std::numeric_limits<double>::infinity();
  const std::vector<cv::Point2d> corners{{static_cast<double>(box.x), static_cast<double>(box.y)},
                                         {box.x + box.width - 1.0, static_cast<double>(box.y)},
                                         {box.x + box.width - 1.0, box.y + box.height - 1.0},
                                         {static_cast<double>(box.x), box.y + box.height - 1.0}};
  std::vector<cv::Point2d> a;
  std::vector<cv::Point2d> b;
  cv::perspectiveTransform(corners, a, A);
  cv::perspectiveTransform(corners, b, B);
  double worst = 0.0;
  for (size_t i = 0; i < a.size(); ++i)
    worst = std::max(worst, cv::norm(a[i] - b[i]));
  return std::isfinite(worst) ? worst : std::numeric_limits<double>::infinity();
}

// One version of both frames' pyramids.
struct PyramidPair {
  std::vector<cv::Mat> a;
  std::vector<cv::Mat> b;
};

// Coarse-to-fine correlation alignment of a onto b from level `from` down to
// level `to`. Returns nothing when a level fails.
std::optional<cv::Mat> AlignLevels(const PyramidPair& images, const cv::Mat& initial, int from,
                                   int to, int iterations, double epsilon) {
  cv::Mat H = initial.clone();
  const cv::TermCriteria criteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, iterations,
                                  epsilon);
  for (int level = from; level >= to; --level) {
    const cv::Mat& levelA = images.a[static_cast<size_t>(level)];
    const cv::Mat S = LevelScale(level);
    const cv::Mat levelH = Normalised(S * H * S.inv());
    const cv::Rect box =
        OverlapBox(levelH, levelA.size(), kTuning.overlapMargin) & Interior(levelA.size());
    const int smallest = kTuning.minLevelSide / 4;
    if (box.width < smallest || box.height < smallest)
      return std::nullopt;
    // The warp of the cropped template: its pixel (x, y) is (x, y) + box.tl() of a.
    cv::Mat boxH;
    Normalised(levelH * cv::Mat(Translation(box.x, box.y))).convertTo(boxH, CV_32F);
    try {
      const cv::Mat& levelB = images.b[static_cast<size_t>(level)];
      cv::findTransformECC(levelA(box), levelB, boxH, cv::MOTION_HOMOGRAPHY, criteria,
                           InteriorMask(levelB.size()), 1);
    } catch (const cv::Exception&) {
      // The correlation could not be raised further: unrelated content or
      // no overlap left at this level.
      return std::nullopt;
    }
    cv::Mat boxH64;
    boxH.convertTo(boxH64, CV_64F);
    H = Normalised(S.inv() * boxH64 * cv::Mat(Translation(-box.x, -box.y)) * S);
    if (!Finite(H))
      return std::nullopt;
  }
  return H;
}

}  // namespace

AlignmentPyramids BuildAlignmentPyramids(const cv::Mat& grey, int levels, int intensityFrom) {
  CV_Assert(grey.type() == CV_32F && levels >= 0);
  AlignmentPyramids out;
  const std::vector<cv::Mat> plain = Pyramid(grey, levels);
  for (size_t l = 0; l < plain.size(); ++l) {
    // Into new images: level 0 is grey itself. The coarse band-pass levels
    // start from the smoothed ones: the reduced images alias, and their
    // finest detail pulls the coarse search astray.
    cv::Mat smoothed;
    if (l > 0 || intensityFrom <= 0)
      cv::GaussianBlur(plain[l], smoothed, cv::Size(5, 5), 0);
    out.bandPass.push_back(BandPass(l == 0 ? plain[l] : smoothed));
    out.intensity.push_back(static_cast<int>(l) >= intensityFrom ? smoothed : cv::Mat());
  }
  return out;
}

AlignmentLevels LevelsToAlign(cv::Size frameSize, const PairwiseAlignmentSettings& settings) {
  AlignmentLevels levels;
  while ((frameSize.width >> levels.finest) > settings.maxAlignedWidth)
    ++levels.finest;
  levels.coarsest = levels.finest;
  while (levels.coarsest < std::max(settings.coarsestLevel, levels.finest) &&
         (std::min(frameSize.width, frameSize.height) >> (levels.coarsest + 1)) >=
             kTuning.minLevelSide) {
    ++levels.coarsest;
  }
  return levels;
}

double OverlapNcc(const cv::Mat& a, const cv::Mat& b, const cv::Mat& H,
                  double minimumOverlapShare) {
  CV_Assert(a.size() == b.size() && H.rows == 3 && H.cols == 3 && H.type() == CV_64F);
  return MaskedNcc(BandPass(FloatGrey(a)), BandPass(FloatGrey(b)), H, minimumOverlapShare);
}

PairwiseAlignment AlignPair(const cv::Mat& a, const cv::Mat& b, const cv::Mat& initialAtoB,
                            const PairwiseAlignmentSettings& settings) {
  return AlignGreyPair(FloatGrey(a), FloatGrey(b), initialAtoB, settings);
}

PairwiseAlignment AlignGreyPair(const cv::Mat& a, const cv::Mat& b, const cv::Mat& initialAtoB,
                                const PairwiseAlignmentSettings& settings) {
  CV_Assert(a.size() == b.size() && !a.empty() && a.type() == CV_32F && b.type() == CV_32F);
  const AlignmentLevels levels = LevelsToAlign(a.size(), settings);
  return AlignPyramidPair(BuildAlignmentPyramids(a, levels.coarsest, levels.finest + 1),
                          BuildAlignmentPyramids(b, levels.coarsest, levels.finest + 1),
                          initialAtoB, settings);
}

PairwiseAlignment AlignPyramidPair(const AlignmentPyramids& pyramidA,
                                   const AlignmentPyramids& pyramidB, const cv::Mat& initialAtoB,
                                   const PairwiseAlignmentSettings& settings) {
  CV_Assert(!pyramidA.bandPass.empty() && !pyramidB.bandPass.empty());
  const cv::Size size = pyramidA.bandPass[0].size();
  CV_Assert(pyramidB.bandPass[0].size() == size && !size.empty());
  CV_Assert(initialAtoB.rows == 3 && initialAtoB.cols == 3 && initialAtoB.type() == CV_64F);
  const auto [finest, coarsest] = LevelsToAlign(size, settings);
  for (const AlignmentPyramids* p : {&pyramidA, &pyramidB}) {
    CV_Assert(p->bandPass.size() > static_cast<size_t>(coarsest) &&
              p->intensity.size() > static_cast<size_t>(coarsest));
  }
  const cv::Mat& detailA = pyramidA.bandPass[0];
  const cv::Mat& detailB = pyramidB.bandPass[0];
  const auto ncc = [&](const cv::Mat& H) {
    return MaskedNcc(detailA, detailB, H, settings.minimumOverlapShare);
  };
  PairwiseAlignment result;
  result.H = initialAtoB.clone();
  result.nccBefore = ncc(initialAtoB);
  result.nccAfter = result.nccBefore;
  if (std::isnan(result.nccBefore))
    return result;

  const PyramidPair intensity{pyramidA.intensity, pyramidB.intensity};
  const PyramidPair band{pyramidA.bandPass, pyramidB.bandPass};
  // Two ways down the coarse levels: band-pass throughout is immune to
  // vignetting; intensity reaches further on large rotations and zooms over
  // repetitive texture. Both end on the band-pass finest level, which removes
  // the pull of the vignetting; when they arrive at the same place there, the
  // finest level (most of the cost) runs once.
  std::vector<cv::Mat> starts;
  for (const PyramidPair* coarse : {&band, &intensity}) {
    const std::optional<cv::Mat> H = coarsest > finest
                                         ? AlignLevels(*coarse, initialAtoB, coarsest, finest + 1,
                                                       settings.iterations, settings.epsilon)
                                         : std::optional<cv::Mat>(initialAtoB);
    if (!H)
      continue;
    const bool known = std::any_of(starts.begin(), starts.end(), [&](const cv::Mat& other) {
      return OverlapShift(*H, other, size) < kTuning.sameStartPx;
    });
    if (!known)
      starts.push_back(*H);
  }
  const double maxShift =
      settings.maxCornerShift * std::hypot(static_cast<double>(size.width), size.height);
  double best = -std::numeric_limits<double>::infinity();
  for (const cv::Mat& start : starts) {
    const std::optional<cv::Mat> H =
        AlignLevels(band, start, finest, finest, settings.finestIterations, settings.epsilon);
    if (!H || OverlapShift(*H, initialAtoB, size) > maxShift)
      continue;
    const double after = ncc(*H);
    if (std::isnan(after) || after < settings.minimumNcc || after <= best)
      continue;
    best = after;
    result.H = *H;
    result.nccAfter = after;
    result.accepted = true;
  }
  return result;
}

}  // namespace geometry
