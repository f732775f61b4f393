#include "geometry/georeference.hpp"

#include <algorithm>
#include <cmath>

namespace geometry {
namespace {

// Pairs tried by the robust start: all of them up to this many points, else
// each point with kStrides partners spread over the list (deterministic).
constexpr size_t kAllPairsUpTo = 60;
constexpr size_t kStrides = 24;
// Scales a median absolute residual to a standard deviation for normal errors.
constexpr double kMadToSigma = 1.4826;

// Least squares over the chosen points; false when they fix no similarity.
bool LeastSquares(const std::vector<cv::Point2d>& canvas, const std::vector<cv::Point2d>& ground,
                  const std::vector<size_t>& chosen, GroundFit* fit) {
  cv::Mat A(static_cast<int>(2 * chosen.size()), 4, CV_64F);
  cv::Mat y(A.rows, 1, CV_64F);
  for (size_t k = 0; k < chosen.size(); ++k) {
    const cv::Point2d& p = canvas[chosen[k]];
    const cv::Point2d& g = ground[chosen[k]];
    const int r = static_cast<int>(2 * k);
    A.at<double>(r, 0) = p.x, A.at<double>(r, 1) = p.y, A.at<double>(r, 2) = 1,
                    A.at<double>(r, 3) = 0;
    A.at<double>(r + 1, 0) = -p.y, A.at<double>(r + 1, 1) = p.x, A.at<double>(r + 1, 2) = 0,
                        A.at<double>(r + 1, 3) = 1;
    y.at<double>(r) = g.x;
    y.at<double>(r + 1) = g.y;
  }
  cv::Mat x;
  if (!cv::solve(A, y, x, cv::DECOMP_SVD))
    return false;
  fit->a = x.at<double>(0);
  fit->b = x.at<double>(1);
  fit->tx = x.at<double>(2);
  fit->ty = x.at<double>(3);
  return std::isfinite(fit->a) && std::isfinite(fit->b) && fit->MetresPerPixel() > 0.0;
}

std::vector<double> Residuals(const GroundFit& fit, const std::vector<cv::Point2d>& canvas,
                              const std::vector<cv::Point2d>& ground) {
  std::vector<double> r(canvas.size());
  for (size_t i = 0; i < canvas.size(); ++i)
    r[i] = cv::norm(fit.Apply(canvas[i]) - ground[i]);
  return r;
}

double Median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

}  // namespace

std::array<double, 6> GroundFit::GeoTransform() const {
  // East and north of corner point (P - 0.5, L - 0.5) of pixel column P, row L.
  return {tx - 0.5 * a - 0.5 * b, a, b, ty - 0.5 * b + 0.5 * a, b, -a};
}

bool NearlyCollinear(const std::vector<cv::Point2d>& ground) {
  if (ground.size() < 2)
    return true;
  cv::Point2d mean(0, 0);
  for (const cv::Point2d& g : ground)
    mean += g;
  mean *= 1.0 / static_cast<double>(ground.size());
  double sxx = 0, syy = 0, sxy = 0;
  for (const cv::Point2d& g : ground) {
    const cv::Point2d d = g - mean;
    sxx += d.x * d.x, syy += d.y * d.y, sxy += d.x * d.y;
  }
  const double n = static_cast<double>(ground.size());
  const double trace = (sxx + syy) / n, det = (sxx * syy - sxy * sxy) / (n * n);
  const double root = std::sqrt(std::max(0.0, trace * trace / 4 - det));
  const double major = trace / 2 + root, minor = std::max(0.0, trace / 2 - root);
  return 2.0 * std::sqrt(major) < kMinSpanMetres ||
         std::sqrt(minor) < kCollinearRatio * std::sqrt(major);
}

GroundFit FitGroundSimilarity(const std::vector<cv::Point2d>& canvas,
                              const std::vector<cv::Point2d>& ground, double minThresholdMetres) {
  GroundFit best;
  CV_Assert(canvas.size() == ground.size());
  const size_t n = canvas.size();
  if (n < kMinGroundPoints) {
    best.failure = "too few positions (" + std::to_string(n) + "; at least " +
                   std::to_string(kMinGroundPoints) + " are needed)";
    return best;
  }
  if (NearlyCollinear(ground)) {
    best.failure = "the positions lie on one line";
    return best;
  }
  double bestScore = HUGE_VAL;
  auto tryPair = [&](size_t i, size_t j) {
    GroundFit candidate;
    if (i == j || !LeastSquares(canvas, ground, {i, j}, &candidate))
      return;
    const double score = Median(Residuals(candidate, canvas, ground));
    if (score < bestScore) {
      bestScore = score;
      best = candidate;
    }
  };
  for (size_t i = 0; i < n; ++i) {
    if (n <= kAllPairsUpTo) {
      for (size_t j = i + 1; j < n; ++j)
        tryPair(i, j);
    } else {
      for (size_t s = 1; s <= kStrides; ++s)
        tryPair(i, (i + s * n / (kStrides + 1)) % n);
    }
  }
  if (!std::isfinite(bestScore)) {
    best.failure = "the positions fix no similarity";
    return best;
  }
  // Two rounds: the inliers of the pair's fit, then of their own fit.
  for (int round = 0; round < 2; ++round) {
    const std::vector<double> residuals = Residuals(best, canvas, ground);
    const double sigma = kMadToSigma * Median(residuals);
    const double threshold = std::max(kInlierSigmas * sigma, minThresholdMetres);
    std::vector<size_t> chosen;
    for (size_t i = 0; i < n; ++i) {
      if (residuals[i] <= threshold)
        chosen.push_back(i);
    }
    GroundFit refit = best;
    if (chosen.size() >= 2 && LeastSquares(canvas, ground, chosen, &refit))
      best = refit;
  }
  best.residuals = Residuals(best, canvas, ground);
  const double sigma = kMadToSigma * Median(best.residuals);
  const double threshold = std::max(kInlierSigmas * sigma, minThresholdMetres);
  double sum = 0.0;
  size_t count = 0;
  best.inliers.assign(n, false);
  for (size_t i = 0; i < n; ++i) {
    if (best.residuals[i] <= threshold) {
      best.inliers[i] = true;
      sum += best.residuals[i] * best.residuals[i];
      ++count;
    }
  }
  best.rmsMetres = count > 0 ? std::sqrt(sum / static_cast<double>(count)) : 0.0;
  best.ok = true;
  return best;
}

}  // namespace geometry
