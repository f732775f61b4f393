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

// Running sums of two images' values over the pixels they share: enough
// for their means, variances and covariance.
struct PairSums {
  double n = 0, a = 0, b = 0, aa = 0, bb = 0, ab = 0;
  void Add(double va, double vb) {
    n += 1;
    a += va;
    b += vb;
    aa += va * va;
    bb += vb * vb;
    ab += va * vb;
  }
};

// Normalised cross-correlation of a and of b seen through H (a onto b), over
// the pixels of a's interior that H maps inside b's (see borderMargin), b
// sampled bilinearly: one pass, nothing but sums kept. With a stride above
// 1, from every stride-th pixel of every stride-th row (the share counted on
// those).
double MaskedNcc(const cv::Mat& a, const cv::Mat& b, const cv::Mat& H, double minimumShare,
                 int stride = 1) {
  if (!Finite(H))
    return kNaN;
  CV_Assert(a.type() == CV_32F && b.type() == CV_32F);
  const cv::Matx33d M(H);
  const cv::Rect inA = Interior(a.size()), inB = Interior(b.size());
  // Where rounding to the nearest pixel lands inside b's interior.
  const double left = inB.x - 0.5, top = inB.y - 0.5;
  const double right = inB.x + inB.width - 0.5, bottom = inB.y + inB.height - 0.5;
  PairSums sums;
  double considered = 0;
  for (int y = inA.y; y < inA.y + inA.height; y += stride) {
    const float* row = a.ptr<float>(y);
    const int x1 = inA.x + (y / stride) % stride;
    // The projection's numerators and denominator, stepped along the row.
    double nu = M(0, 0) * x1 + M(0, 1) * y + M(0, 2);
    double nv = M(1, 0) * x1 + M(1, 1) * y + M(1, 2);
    double d = M(2, 0) * x1 + M(2, 1) * y + M(2, 2);
    for (int x = x1; x < inA.x + inA.width;
         x += stride, nu += stride * M(0, 0), nv += stride * M(1, 0), d += stride * M(2, 0)) {
      considered += 1;
      if (!(d > 0))
        continue;
      const double w = 1.0 / d;
      const double u = nu * w, v = nv * w;
      if (!(u >= left && u < right && v >= top && v < bottom))
        continue;
      // u and v are positive: truncation is the floor.
      const int x0 = static_cast<int>(u), y0 = static_cast<int>(v);
      const double fx = u - x0, fy = v - y0;
      const float* p0 = b.ptr<float>(y0) + x0;
      const float* p1 = b.ptr<float>(y0 + 1) + x0;
      const double vb =
          (1 - fy) * ((1 - fx) * p0[0] + fx * p0[1]) + fy * ((1 - fx) * p1[0] + fx * p1[1]);
      sums.Add(row[x], vb);
    }
  }
  // The share of a (all of it, not only the interior) that overlaps.
  const double whole = considered * static_cast<double>(a.total()) / inA.area();
  const double n = sums.n;
  if (n < 16 || n < minimumShare * whole)
    return kNaN;
  const double meanA = sums.a / n, meanB = sums.b / n;
  const double varA = sums.aa / n - meanA * meanA, varB = sums.bb / n - meanB * meanB;
  if (!(varA > 0.0) || !(varB > 0.0))
    return kNaN;
  return (sums.ab / n - meanA * meanB) / std::sqrt(varA * varB);
}

// MaskedNcc computed on b warped whole onto a (bilinear, by warpPerspective)
// under the interior masks warped to the nearest pixel: a few passes over
// full images, and the figure that judges pairs aligned through every level
// (its rounding differs from MaskedNcc's in the last digits, which is enough
// to change which of two close results wins).
double WarpedNcc(const cv::Mat& a, const cv::Mat& b, const cv::Mat& H, double minimumShare) {
  if (!Finite(H))
    return kNaN;
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

// One iteration of the enhanced correlation coefficient (ECC) alignment of
// templ onto image under warp (templ's pixels onto image's, 3x3 CV_32F,
// updated), over the template pixels that land inside image's interior: the
// step findTransformECC takes, in one pass over the pixels with nothing but
// sums kept (it builds and reads back eight Jacobian images and the warped
// image and gradients, several times the cost on a full frame). False when
// the step cannot be taken (too few pixels, no contrast, or a step that would
// lower the correlation). With a stride above 1, every stride-th row and in
// it every stride-th pixel is used, staggered from row to row.
bool CorrelationStep(const cv::Mat& templ, const cv::Mat& image, int stride, cv::Mat* warp) {
  CV_Assert(templ.type() == CV_32F && image.type() == CV_32F && warp->type() == CV_32F);
  const cv::Matx33f Hf(warp->ptr<float>());
  const cv::Matx33d H(Hf(0, 0), Hf(0, 1), Hf(0, 2), Hf(1, 0), Hf(1, 1), Hf(1, 2), Hf(2, 0),
                      Hf(2, 1), 1.0);
  // Bilinear samples and central differences need one pixel around, and the
  // interior leaves out the borders as the masked correlation does.
  const cv::Rect inside = Interior(image.size());
  const double left = inside.x + 1.0, top = inside.y + 1.0;
  const double right = inside.x + inside.width - 3.0, bottom = inside.y + inside.height - 3.0;
  // Sums over the pixels used: of the Jacobian's products (JtJ), of the
  // Jacobian times 1, the image and the template, and of the images.
  cv::Matx<double, 8, 8> JtJ = cv::Matx<double, 8, 8>::zeros();
  cv::Vec<double, 8> J1, JI, JT;
  PairSums sums;  // a: the image, b: the template
  for (int y = 0; y < templ.rows; y += stride) {
    const float* t = templ.ptr<float>(y);
    for (int x = (y / stride) % stride; x < templ.cols; x += stride) {
      const double w = 1.0 / (H(2, 0) * x + H(2, 1) * y + 1.0);
      const double u = (H(0, 0) * x + H(0, 1) * y + H(0, 2)) * w;
      const double v = (H(1, 0) * x + H(1, 1) * y + H(1, 2)) * w;
      if (!(u >= left && u < right && v >= top && v < bottom))
        continue;
      const int x0 = static_cast<int>(u), y0 = static_cast<int>(v);
      const double fx = u - x0, fy = v - y0;
      // Rows y0 - 1 .. y0 + 2, columns x0 - 1 .. x0 + 2 of the image.
      double row[4][4];
      for (int r = 0; r < 4; ++r) {
        const float* p = image.ptr<float>(y0 - 1 + r) + (x0 - 1);
        for (int c = 0; c < 4; ++c)
          row[r][c] = p[c];
      }
      const auto at = [&](int r, int c) {  // bilinear at (x0 + c + fx, y0 + r + fy)
        return (1 - fy) * ((1 - fx) * row[r + 1][c + 1] + fx * row[r + 1][c + 2]) +
               fy * ((1 - fx) * row[r + 2][c + 1] + fx * row[r + 2][c + 2]);
      };
      const double I = at(0, 0);
      const double gx = 0.5 * (at(0, 1) - at(0, -1)) * w;
      const double gy = 0.5 * (at(1, 0) - at(-1, 0)) * w;
      const double g = -(gx * u + gy * v);
      const cv::Vec<double, 8> J(gx * x, gy * x, g * x, gx * y, gy * y, g * y, gx, gy);
      const double T = t[x];
      for (int i = 0; i < 8; ++i) {
        for (int j = i; j < 8; ++j)
          JtJ(i, j) += J[i] * J[j];
      }
      J1 += J;
      JI += I * J;
      JT += T * J;
      sums.Add(I, T);
    }
  }
  const double n = sums.n;
  if (n < 16)
    return false;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < i; ++j)
      JtJ(i, j) = JtJ(j, i);
  }
  // Zero-mean images: their projections and norms from the sums.
  const double meanI = sums.a / n, meanT = sums.b / n;
  const cv::Vec<double, 8> imageProjection = JI - meanI * J1;
  const cv::Vec<double, 8> templateProjection = JT - meanT * J1;
  const double imageNorm2 = sums.aa - n * meanI * meanI;
  const double templateNorm2 = sums.bb - n * meanT * meanT;
  const double correlation = sums.ab - n * meanI * meanT;
  if (!(imageNorm2 > 0) || !(templateNorm2 > 0))
    return false;
  const cv::Matx<double, 8, 8> inverse = JtJ.inv(cv::DECOMP_LU);
  const cv::Vec<double, 8> imageProjectionInverse = inverse * imageProjection;
  const double lambdaN = imageNorm2 - imageProjection.dot(imageProjectionInverse);
  const double lambdaD = correlation - templateProjection.dot(imageProjectionInverse);
  if (!(lambdaD > 0))
    return false;
  const double lambda = lambdaN / lambdaD;
  const cv::Vec<double, 8> delta = inverse * (lambda * templateProjection - imageProjection);
  if (!cv::checkRange(delta))
    return false;
  float* m = warp->ptr<float>();
  // The Jacobian's columns are h00 h10 h20 h01 h11 h21 h02 h12.
  m[0] += static_cast<float>(delta[0]);
  m[3] += static_cast<float>(delta[1]);
  m[6] += static_cast<float>(delta[2]);
  m[1] += static_cast<float>(delta[3]);
  m[4] += static_cast<float>(delta[4]);
  m[7] += static_cast<float>(delta[5]);
  m[2] += static_cast<float>(delta[6]);
  m[5] += static_cast<float>(delta[7]);
  return true;
}

// findTransformECC itself, for several iterations.
bool CorrelationIterations(const cv::Mat& templ, const cv::Mat& image, cv::Mat* warp,
                           const cv::TermCriteria& criteria) {
  try {
    cv::findTransformECC(templ, image, *warp, cv::MOTION_HOMOGRAPHY, criteria,
                         InteriorMask(image.size()), 1);
  } catch (const cv::Exception&) {
    // The correlation could not be raised further: unrelated content or no
    // overlap left at this level.
    return false;
  }
  return true;
}

// Coarse-to-fine correlation alignment of a onto b from level `from` down to
// level `to`. Returns nothing when a level fails. With onePass, a level of
// one iteration takes CorrelationStep's step (from every stride-th pixel).
std::optional<cv::Mat> AlignLevels(const PyramidPair& images, const cv::Mat& initial, int from,
                                   int to, int iterations, double epsilon, bool onePass = false,
                                   int stride = 1) {
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
    const cv::Mat& levelB = images.b[static_cast<size_t>(level)];
    if (!(onePass && iterations == 1 ? CorrelationStep(levelA(box), levelB, stride, &boxH)
                                     : CorrelationIterations(levelA(box), levelB, &boxH, criteria)))
      return std::nullopt;
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
    return settings.finestOnePass ? MaskedNcc(detailA, detailB, H, settings.minimumOverlapShare,
                                              std::max(settings.finestStride, 1))
                                  : WarpedNcc(detailA, detailB, H, settings.minimumOverlapShare);
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
        AlignLevels(band, start, finest, finest, settings.finestIterations, settings.epsilon,
                    settings.finestOnePass, std::max(settings.finestStride, 1));
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
