#include "composition/vignetting.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "geometry/pairwise_alignment.hpp"

namespace vignetting {

namespace {

// What the photometric fit is tuned by.
struct Tuning {
  // Samples per overlapping pair (a grid over the first frame).
  double samplesPerPair = 900.0;
  // Pixels too dark or too close to saturation say nothing about a ratio.
  float darkest = 12.0f, brightest = 243.0f;
  // A pair counts when it has at least this many usable samples.
  int minSamplesPerPair = 40;
  // Relative change per pixel at which a sample's weight halves: edges turn a
  // small placement error into a large ratio error.
  double edgeSlope = 0.04;
  // Rounds of the fit reweighted against outliers.
  int reweightings = 6;
  // A falloff outside these bounds anywhere in the frame is not a lens's.
  double lowestFalloff = 0.2, highestFalloff = 1.25;
  // Partners per frame: the nearest overlapping frames say all there is to say.
  size_t partners = 8;
  // A pair gets at least this many samples whatever the bound on all samples.
  double minSamplesPerBudget = 60.0;
  // Conjugate-gradient iterations at the most per solve.
  int solverIterations = 3000;
};
constexpr Tuning kTuning{};

// Robust scale of the residuals: the median absolute residual times 1.4826 is
// the standard deviation of normally distributed residuals (1 / the normal
// quantile at 3/4); the Cauchy weight's width is 2.385 of those, the usual
// choice for 95 % efficiency on normal data. The floor keeps a near-perfect
// fit (log-ratio residuals of a tenth of a percent) from weighting every
// residual down.
constexpr double kMadToSigma = 1.4826, kCauchyWidth = 2.385, kMinResidualScale = 1e-3;
// Ridges of the normal equations, relative to the total weight: strong enough
// on the log gains to hold a frame without ratios at zero, and weaker on the
// falloff terms, which every ratio informs.
constexpr double kGainRidge = 1e-6, kFalloffRidge = 1e-9;
// The solver stops when the squared residual falls below this share of the
// right-hand side's (the floor guards an all-zero right-hand side).
constexpr double kSolverTolerance = 1e-20, kSolverFloor = 1e-30;
// A pair is sampled when the second frame's centre lies within this share of
// the frame's width and height from the first's: less overlap gives few
// samples, all near the border where the falloff is least certain.
constexpr double kMaxCentreOffset = 0.8;
// The falloff is checked from the centre (rho^2 = 0) to the corners (1) in
// steps of this size.
constexpr double kPlausibleStep = 0.05;

// One ratio: log I_i(p) - log I_j(q) = g_i - g_j + sum_k c_k (rho_i^2k - rho_j^2k).
struct Ratio {
  std::int32_t i = 0;
  std::int32_t j = 0;
  float logRatio = 0.0f;
  float weight = 1.0f;
  // rho_i^2k - rho_j^2k for k = 1, 2, 3 (rho^2 of the sample in frame i and
  // in frame j), worked out once: the solver reads them on every iteration.
  std::array<double, 3> radial{};
  double Radial(int k) const { return radial[static_cast<size_t>(k)]; }
  void SetRadial(float rhoI, float rhoJ) {
    for (int k = 0; k < 3; ++k)
      radial[static_cast<size_t>(k)] =
          std::pow(double(rhoI), k + 1) - std::pow(double(rhoJ), k + 1);
  }
};

cv::Mat GreyLevels(const cv::Mat& image) {
  cv::Mat levels = geometry::FloatGrey(image);
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
void AddPair(const std::vector<cv::Mat>& levels, const std::vector<cv::Matx33d>& frameToRef, int i,
             int j, double samplesPerPair, std::vector<Ratio>* ratios) {
  const cv::Mat& a = levels[static_cast<size_t>(i)];
  const cv::Mat& b = levels[static_cast<size_t>(j)];
  const cv::Size size = a.size();
  const cv::Matx33d iToJ =
      frameToRef[static_cast<size_t>(j)].inv() * frameToRef[static_cast<size_t>(i)];
  const int step = std::max(1, static_cast<int>(std::sqrt(size.area() / samplesPerPair)));
  const size_t before = ratios->size();
  for (int y = 2; y < size.height - 2; y += step) {
    const float* row = a.ptr<float>(y);
    for (int x = 2; x < size.width - 2; x += step) {
      const cv::Vec3d q = iToJ * cv::Vec3d(x, y, 1.0);
      if (!(q[2] > 0))
        continue;
      const double qx = q[0] / q[2], qy = q[1] / q[2];
      if (!(qx >= 2 && qy >= 2 && qx < size.width - 3 && qy < size.height - 3))
        continue;
      const float va = row[x];
      const float vb = Bilinear(b, qx, qy);
      const auto unusable = [](float v) {
        return v < kTuning.darkest || v > kTuning.brightest;
      };
      if (unusable(va) || unusable(vb))
        continue;
      const double slope = std::max(std::abs(row[x + 1] - row[x - 1]),
                                    std::abs(a.ptr<float>(y + 1)[x] - a.ptr<float>(y - 1)[x])) /
                           (2.0 * va);
      Ratio ratio;
      ratio.i = i;
      ratio.j = j;
      ratio.logRatio = std::log(va) - std::log(vb);
      ratio.SetRadial(static_cast<float>(RhoSquared(x, y, size)),
                      static_cast<float>(RhoSquared(qx, qy, size)));
      const double relative = slope / kTuning.edgeSlope;
      ratio.weight = static_cast<float>(1.0 / (1.0 + relative * relative));
      ratios->push_back(ratio);
    }
  }
  if (ratios->size() - before < static_cast<size_t>(kTuning.minSamplesPerPair)) {
    ratios->resize(before);
  }
}

// The normal equations of the weighted fit, applied without forming them
// (memory linear in frames and ratios): the log gains' sum is held at zero by
// a penalty, and a small ridge keeps frames without ratios at zero.
class Normal {
 public:
  Normal(const std::vector<Ratio>& ratios, const std::vector<double>& weights, int frames,
         bool withFalloff)
      : ratios_(ratios), weights_(weights), frames_(frames), withFalloff_(withFalloff) {
    double total = 0.0;
    for (double w : weights)
      total += w;
    gauge_ = std::max(total, 1.0);
  }
  int Size() const { return frames_ + 3; }
  // The row of one ratio: +1 at i, -1 at j, its radial terms.
  int Row(const Ratio& r, int index[5], double value[5]) const {
    index[0] = r.i, index[1] = r.j, index[2] = frames_, index[3] = frames_ + 1,
    index[4] = frames_ + 2;
    value[0] = 1.0, value[1] = -1.0;
    for (int k = 0; k < 3; ++k)
      value[2 + k] = r.Radial(k);
    return withFalloff_ ? 5 : 2;
  }
  std::vector<double> Apply(const std::vector<double>& x) const {
    std::vector<double> y(x.size(), 0.0);
    ForEachRow([&](size_t k, const int* index, const double* value, int used) {
      double dot = 0.0;
      for (int u = 0; u < used; ++u)
        dot += value[u] * x[static_cast<size_t>(index[u])];
      for (int u = 0; u < used; ++u)
        y[static_cast<size_t>(index[u])] += weights_[k] * dot * value[u];
    });
    double sum = 0.0;
    for (int u = 0; u < frames_; ++u)
      sum += x[static_cast<size_t>(u)];
    for (int u = 0; u < Size(); ++u) {
      const double ridge = (u < frames_ ? kGainRidge : kFalloffRidge) * gauge_;
      y[static_cast<size_t>(u)] +=
          ridge * x[static_cast<size_t>(u)] + (u < frames_ ? gauge_ * sum : 0.0);
    }
    return y;
  }
  std::vector<double> Rhs() const {
    std::vector<double> b(static_cast<size_t>(Size()), 0.0);
    ForEachRow([&](size_t k, const int* index, const double* value, int used) {
      for (int u = 0; u < used; ++u) {
        b[static_cast<size_t>(index[u])] += weights_[k] * value[u] * ratios_[k].logRatio;
      }
    });
    return b;
  }
  std::vector<double> Diagonal() const {
    std::vector<double> d(static_cast<size_t>(Size()), 0.0);
    ForEachRow([&](size_t k, const int* index, const double* value, int used) {
      for (int u = 0; u < used; ++u)
        d[static_cast<size_t>(index[u])] += weights_[k] * value[u] * value[u];
    });
    for (int u = 0; u < Size(); ++u)
      d[static_cast<size_t>(u)] +=
          (u < frames_ ? gauge_ + kGainRidge * gauge_ : kFalloffRidge * gauge_);
    return d;
  }

 private:
  // visit(k, index, value, used) with ratio k's row of the design matrix.
  template <class Visit>
  void ForEachRow(Visit&& visit) const {
    int index[5];
    double value[5];
    for (size_t k = 0; k < ratios_.size(); ++k) {
      visit(k, index, value, Row(ratios_[k], index, value));
    }
  }

  const std::vector<Ratio>& ratios_;
  const std::vector<double>& weights_;
  int frames_;
  bool withFalloff_;
  double gauge_ = 1.0;
};

double Dot(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0.0;
  for (size_t k = 0; k < a.size(); ++k)
    sum += a[k] * b[k];
  return sum;
}

// Conjugate gradients with a diagonal preconditioner, from x.
void SolveInPlace(const Normal& normal, std::vector<double>* x) {
  const std::vector<double> b = normal.Rhs(), diagonal = normal.Diagonal();
  std::vector<double> r = normal.Apply(*x);
  for (size_t k = 0; k < r.size(); ++k)
    r[k] = b[k] - r[k];
  std::vector<double> z(r.size()), p;
  for (size_t k = 0; k < r.size(); ++k)
    z[k] = r[k] / diagonal[k];
  p = z;
  double rz = Dot(r, z);
  const double stop = kSolverTolerance * std::max(Dot(b, b), kSolverFloor);
  for (int iteration = 0; iteration < kTuning.solverIterations && Dot(r, r) > stop; ++iteration) {
    const std::vector<double> q = normal.Apply(p);
    const double alpha = rz / Dot(p, q);
    for (size_t k = 0; k < r.size(); ++k) {
      (*x)[k] += alpha * p[k];
      r[k] -= alpha * q[k];
      z[k] = r[k] / diagonal[k];
    }
    const double next = Dot(r, z);
    for (size_t k = 0; k < r.size(); ++k)
      p[k] = z[k] + (next / rz) * p[k];
    rz = next;
  }
}

struct Fit {
  std::vector<double> logGains;
  cv::Vec3d c;
};

// Weighted least squares over the ratios, reweighted against outliers
// (moving objects, placement errors).
Fit Solve(const std::vector<Ratio>& ratios, int frames, bool withFalloff) {
  std::vector<double> weights(ratios.size());
  for (size_t k = 0; k < ratios.size(); ++k)
    weights[k] = ratios[k].weight;
  std::vector<double> x(static_cast<size_t>(frames + 3), 0.0);
  Fit fit{std::vector<double>(static_cast<size_t>(frames), 0.0), cv::Vec3d()};
  for (int round = 0; round < kTuning.reweightings; ++round) {
    SolveInPlace(Normal(ratios, weights, frames, withFalloff), &x);
    std::copy(x.begin(), x.begin() + frames, fit.logGains.begin());
    fit.c = withFalloff
                ? cv::Vec3d(x[static_cast<size_t>(frames)], x[static_cast<size_t>(frames + 1)],
                            x[static_cast<size_t>(frames + 2)])
                : cv::Vec3d();
    // Cauchy weights on the residuals, scaled by their median absolute value.
    std::vector<double> residuals(ratios.size());
    for (size_t k = 0; k < ratios.size(); ++k) {
      const Ratio& r = ratios[k];
      double model =
          fit.logGains[static_cast<size_t>(r.i)] - fit.logGains[static_cast<size_t>(r.j)];
      for (int t = 0; t < 3; ++t)
        model += fit.c[t] * r.Radial(t);
      residuals[k] = std::abs(r.logRatio - model);
    }
    std::vector<double> sorted = residuals;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2),
                     sorted.end());
    const double scale =
        std::max(kMadToSigma * sorted[sorted.size() / 2], kMinResidualScale) * kCauchyWidth;
    for (size_t k = 0; k < ratios.size(); ++k) {
      const double u = residuals[k] / scale;
      weights[k] = ratios[k].weight / (1.0 + u * u);
    }
  }
  return fit;
}

// Frame j overlaps frame i enough to be worth sampling: j's centre seen in
// i (jToI maps j's pixels onto i's) lies near i's centre
// (kMaxCentreOffset). The distance, or a negative value when it does not.
double CentreDistance(const cv::Matx33d& jToI, cv::Size size) {
  const cv::Vec3d c = jToI * cv::Vec3d((size.width - 1) / 2.0, (size.height - 1) / 2.0, 1.0);
  if (!(c[2] > 0))
    return -1.0;
  const double dx = c[0] / c[2] - (size.width - 1) / 2.0,
               dy = c[1] / c[2] - (size.height - 1) / 2.0;
  if (!(std::abs(dx) < kMaxCentreOffset * size.width &&
        std::abs(dy) < kMaxCentreOffset * size.height)) {
    return -1.0;
  }
  return std::hypot(dx, dy);
}

bool Plausible(const Falloff& falloff) {
  for (double rho2 = 0.0; rho2 <= 1.0 + kPlausibleStep / 2; rho2 += kPlausibleStep) {
    const double v = falloff.At(rho2);
    if (!(v >= kTuning.lowestFalloff && v <= kTuning.highestFalloff))
      return false;
  }
  return true;
}

}  // namespace

double Falloff::At(double rho2) const {
  return std::exp(rho2 * (c[0] + rho2 * (c[1] + rho2 * c[2])));
}

double RhoSquared(double x, double y, cv::Size size) {
  const double cx = (size.width - 1) / 2.0, cy = (size.height - 1) / 2.0;
  const double corner = cx * cx + cy * cy;
  if (corner == 0.0)
    return 0.0;  // a 1x1 frame: its one pixel is the centre
  return ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / corner;
}

Photometry EstimatePhotometry(const std::vector<cv::Mat>& images,
                              const std::vector<cv::Matx33d>& frameToRef, size_t maxSamples) {
  CV_Assert(images.size() == frameToRef.size());
  const int frames = static_cast<int>(images.size());
  Photometry photometry;
  photometry.gains.assign(images.size(), 1.0);
  if (frames < 2)
    return photometry;
  std::vector<cv::Mat> levels;
  levels.reserve(images.size());
  for (const cv::Mat& image : images) {
    CV_Assert(image.depth() == CV_8U && image.size() == images.front().size());
    levels.push_back(GreyLevels(image));
  }
  if (levels.front().cols < 8 || levels.front().rows < 8)
    return photometry;
  // Each frame with its nearest overlapping partners.
  std::vector<std::pair<int, int>> pairs;
  for (int i = 0; i < frames; ++i) {
    const cv::Matx33d refToI = frameToRef[static_cast<size_t>(i)].inv();
    std::vector<std::pair<double, int>> partners;
    for (int j = 0; j < frames; ++j) {
      const double d = j == i ? -1.0
                              : CentreDistance(refToI * frameToRef[static_cast<size_t>(j)],
                                               levels.front().size());
      if (d >= 0)
        partners.emplace_back(d, j);
    }
    std::sort(partners.begin(), partners.end());
    if (partners.size() > kTuning.partners)
      partners.resize(kTuning.partners);
    for (const auto& partner : partners)
      pairs.emplace_back(std::min(i, partner.second), std::max(i, partner.second));
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  const double samplesPerPair =
      pairs.empty() ? 0.0
                    : std::clamp(static_cast<double>(maxSamples) / pairs.size(),
                                 kTuning.minSamplesPerBudget, kTuning.samplesPerPair);
  std::vector<Ratio> ratios;
  for (const auto& pair : pairs)
    AddPair(levels, frameToRef, pair.first, pair.second, samplesPerPair, &ratios);
  if (ratios.empty())
    return photometry;
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
