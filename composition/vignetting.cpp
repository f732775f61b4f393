#include "composition/vignetting.hpp"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace vignetting {

namespace {

// Samples per overlapping pair (a grid over the first frame).
constexpr double kSamplesPerPair = 900.0;
// Pixels too dark or too close to saturation say nothing about a ratio.
constexpr float kDarkest = 12.0f;
constexpr float kBrightest = 243.0f;
// A pair counts when it has at least this many usable samples.
constexpr int kMinSamplesPerPair = 40;
// Relative change per pixel at which a sample's weight halves: edges turn a
// small placement error into a large ratio error.
constexpr double kEdgeSlope = 0.04;
constexpr int kReweightings = 6;
// A falloff outside these bounds anywhere in the frame is not a lens's.
constexpr double kLowestFalloff = 0.2;
constexpr double kHighestFalloff = 1.25;

// One ratio: log I_i(p) - log I_j(q) = g_i - g_j + sum_k c_k (rho_i^2k - rho_j^2k).
struct Ratio {
  int i = 0;
  int j = 0;
  double logRatio = 0.0;
  double radial[3] = {0.0, 0.0, 0.0};
  double weight = 1.0;
};

cv::Mat GreyLevels(const cv::Mat& image) {
  cv::Mat grey;
  if (image.channels() == 3) {
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
  } else {
    grey = image;
  }
  cv::Mat levels;
  grey.convertTo(levels, CV_32F);
  cv::GaussianBlur(levels, levels, cv::Size(5, 5), 1.0);
  return levels;
}

float Bilinear(const cv::Mat& image, double x, double y) {
  const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
  const float fx = static_cast<float>(x - x0), fy = static_cast<float>(y - y0);
  const float* r0 = image.ptr<float>(y0);
  const float* r1 = image.ptr<float>(y0 + 1);
  return (1 - fy) * ((1 - fx) * r0[x0] + fx * r0[x0 + 1]) +
         fy * ((1 - fx) * r1[x0] + fx * r1[x0 + 1]);
}

// The ratios of frame i's grid samples against frame j.
void AddPair(const std::vector<cv::Mat>& levels, const std::vector<cv::Matx33d>& frameToRef,
             int i, int j, std::vector<Ratio>* ratios) {
  const cv::Mat& a = levels[static_cast<size_t>(i)];
  const cv::Mat& b = levels[static_cast<size_t>(j)];
  const cv::Size size = a.size();
  const cv::Matx33d iToJ = frameToRef[static_cast<size_t>(j)].inv() * frameToRef[static_cast<size_t>(i)];
  // Pairs whose centres lie far apart share too little to be worth a look.
  const cv::Vec3d centre = iToJ * cv::Vec3d((size.width - 1) / 2.0, (size.height - 1) / 2.0, 1.0);
  if (!(centre[2] > 0)) return;
  const double cx = centre[0] / centre[2], cy = centre[1] / centre[2];
  if (!(std::abs(cx - (size.width - 1) / 2.0) < 0.8 * size.width &&
        std::abs(cy - (size.height - 1) / 2.0) < 0.8 * size.height)) {
    return;
  }
  const int step =
      std::max(1, static_cast<int>(std::sqrt(size.area() / kSamplesPerPair)));
  const size_t before = ratios->size();
  for (int y = 2; y < size.height - 2; y += step) {
    const float* row = a.ptr<float>(y);
    for (int x = 2; x < size.width - 2; x += step) {
      const cv::Vec3d q = iToJ * cv::Vec3d(x, y, 1.0);
      if (!(q[2] > 0)) continue;
      const double qx = q[0] / q[2], qy = q[1] / q[2];
      if (!(qx >= 2 && qy >= 2 && qx < size.width - 3 && qy < size.height - 3)) continue;
      const float va = row[x];
      const float vb = Bilinear(b, qx, qy);
      if (va < kDarkest || va > kBrightest || vb < kDarkest || vb > kBrightest) continue;
      const double slope =
          std::max(std::abs(row[x + 1] - row[x - 1]), std::abs(a.ptr<float>(y + 1)[x] -
                                                               a.ptr<float>(y - 1)[x])) /
          (2.0 * va);
      Ratio ratio;
      ratio.i = i;
      ratio.j = j;
      ratio.logRatio = std::log(va) - std::log(vb);
      const double ra = RhoSquared(x, y, size), rb = RhoSquared(qx, qy, size);
      double pa = 1.0, pb = 1.0;
      for (double& term : ratio.radial) {
        pa *= ra;
        pb *= rb;
        term = pa - pb;
      }
      ratio.weight = 1.0 / (1.0 + (slope / kEdgeSlope) * (slope / kEdgeSlope));
      ratios->push_back(ratio);
    }
  }
  if (ratios->size() - before < static_cast<size_t>(kMinSamplesPerPair)) ratios->resize(before);
}

struct Fit {
  std::vector<double> logGains;
  cv::Vec3d c;
};

// Weighted least squares over the ratios (reweighted against outliers: moving
// objects, placement errors), with the log gains summing to zero.
Fit Solve(const std::vector<Ratio>& ratios, int frames, bool withFalloff) {
  const int unknowns = frames + 3;
  std::vector<double> weights(ratios.size());
  for (size_t k = 0; k < ratios.size(); ++k) weights[k] = ratios[k].weight;
  Fit fit{std::vector<double>(static_cast<size_t>(frames), 0.0), cv::Vec3d()};
  for (int round = 0; round < kReweightings; ++round) {
    cv::Mat normal = cv::Mat::zeros(unknowns, unknowns, CV_64F);
    cv::Mat rhs = cv::Mat::zeros(unknowns, 1, CV_64F);
    double total = 0.0;
    for (size_t k = 0; k < ratios.size(); ++k) {
      const Ratio& r = ratios[k];
      const int index[5] = {r.i, r.j, frames, frames + 1, frames + 2};
      const double value[5] = {1.0, -1.0, r.radial[0], r.radial[1], r.radial[2]};
      const int used = withFalloff ? 5 : 2;
      for (int u = 0; u < used; ++u) {
        for (int v = 0; v < used; ++v) {
          normal.at<double>(index[u], index[v]) += weights[k] * value[u] * value[v];
        }
        rhs.at<double>(index[u]) += weights[k] * value[u] * r.logRatio;
      }
      total += weights[k];
    }
    const double gauge = std::max(total, 1.0);
    for (int u = 0; u < frames; ++u) {
      for (int v = 0; v < frames; ++v) normal.at<double>(u, v) += gauge;
      normal.at<double>(u, u) += 1e-6 * gauge;  // frames without ratios stay at 0
    }
    for (int u = frames; u < unknowns; ++u) normal.at<double>(u, u) += 1e-9 * gauge;
    cv::Mat x;
    if (!cv::solve(normal, rhs, x, cv::DECOMP_CHOLESKY)) cv::solve(normal, rhs, x, cv::DECOMP_SVD);
    for (int u = 0; u < frames; ++u) fit.logGains[static_cast<size_t>(u)] = x.at<double>(u);
    fit.c = withFalloff ? cv::Vec3d(x.at<double>(frames), x.at<double>(frames + 1),
                                    x.at<double>(frames + 2))
                        : cv::Vec3d();
    // Cauchy weights on the residuals, scaled by their median absolute value.
    std::vector<double> residuals(ratios.size());
    for (size_t k = 0; k < ratios.size(); ++k) {
      const Ratio& r = ratios[k];
      double model = fit.logGains[static_cast<size_t>(r.i)] - fit.logGains[static_cast<size_t>(r.j)];
      for (int t = 0; t < 3; ++t) model += fit.c[t] * r.radial[t];
      residuals[k] = std::abs(r.logRatio - model);
    }
    std::vector<double> sorted = residuals;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2),
                     sorted.end());
    const double scale = std::max(1.4826 * sorted[sorted.size() / 2], 1e-3) * 2.385;
    for (size_t k = 0; k < ratios.size(); ++k) {
      const double u = residuals[k] / scale;
      weights[k] = ratios[k].weight / (1.0 + u * u);
    }
  }
  return fit;
}

bool Plausible(const Falloff& falloff) {
  for (double rho2 = 0.0; rho2 <= 1.0001; rho2 += 0.05) {
    const double v = falloff.At(rho2);
    if (!(v >= kLowestFalloff && v <= kHighestFalloff)) return false;
  }
  return true;
}

}  // namespace

double Falloff::At(double rho2) const {
  return std::exp(rho2 * (c[0] + rho2 * (c[1] + rho2 * c[2])));
}

double RhoSquared(double x, double y, cv::Size size) {
  const double cx = (size.width - 1) / 2.0, cy = (size.height - 1) / 2.0;
  return ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (cx * cx + cy * cy);
}

Photometry EstimatePhotometry(const std::vector<cv::Mat>& images,
                              const std::vector<cv::Matx33d>& frameToRef) {
  CV_Assert(images.size() == frameToRef.size());
  const int frames = static_cast<int>(images.size());
  Photometry photometry;
  photometry.gains.assign(images.size(), 1.0);
  if (frames < 2) return photometry;
  std::vector<cv::Mat> levels;
  levels.reserve(images.size());
  for (const cv::Mat& image : images) {
    CV_Assert(image.depth() == CV_8U && image.size() == images.front().size());
    levels.push_back(GreyLevels(image));
  }
  if (levels.front().cols < 8 || levels.front().rows < 8) return photometry;
  std::vector<Ratio> ratios;
  for (int i = 0; i < frames; ++i) {
    for (int j = i + 1; j < frames; ++j) AddPair(levels, frameToRef, i, j, &ratios);
  }
  if (ratios.empty()) return photometry;
  Fit fit = Solve(ratios, frames, true);
  photometry.falloff.c = fit.c;
  if (!Plausible(photometry.falloff)) {
    photometry.falloff.c = cv::Vec3d();
    fit = Solve(ratios, frames, false);
  }
  for (int u = 0; u < frames; ++u) {
    photometry.gains[static_cast<size_t>(u)] = std::exp(fit.logGains[static_cast<size_t>(u)]);
  }
  return photometry;
}

}  // namespace vignetting
