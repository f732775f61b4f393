#include "geometry/global_adjustment.hpp"

#include <ceres/ceres.h>

#include <array>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

namespace geometry {
namespace {

// Each frame's placement is its starting homography followed by a correction
// (I + D) acting on frame coordinates scaled to [-1, 1]: the eight entries
// of D (the last stays 0) are then of one order of magnitude, which keeps
// the solve well conditioned, and zero means "unchanged".
constexpr int kCorrectionSize = 8;
using Correction = std::array<double, kCorrectionSize>;

cv::Matx33d FrameNormaliser(cv::Size size) {
  const double sx = 2.0 / std::max(size.width - 1, 1);
  const double sy = 2.0 / std::max(size.height - 1, 1);
  return cv::Matx33d(sx, 0, -1, 0, sy, -1, 0, 0, 1);
}

cv::Point2d Map(const cv::Matx33d& H, cv::Point2d p) {
  const cv::Vec3d q = H * cv::Vec3d(p.x, p.y, 1.0);
  return {q[0] / q[2], q[1] / q[2]};
}

// M = base * (I + D), all 3x3 row-major (D's last entry is 0).
template <typename T>
void Placement(const double* base, const T* d, T* M) {
  const T D[9] = {T(1) + d[0], d[1], d[2], d[3], T(1) + d[4], d[5], d[6], d[7], T(1)};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      M[3 * r + c] = base[3 * r] * D[c] + base[3 * r + 1] * D[3 + c] + base[3 * r + 2] * D[6 + c];
    }
  }
}

// One sampled point of a constraint: the "from" frame's point carried onto
// the reference plane by its placement and back into the "to" frame by the
// inverse of that one's should land where the measurement puts it. The error
// is taken in the "to" frame's pixels, not on the reference plane: there,
// shrinking all frames far from the reference would shrink it too.
//
// A long run samples hundreds of thousands of points: each refers to the two
// frames' starting placements (shared, row-major 3x3) instead of holding
// copies, and the solver is handed the points themselves, not copies.
struct TransferError {
  const double* fromBase;  // starting placement of "from" * normaliser^-1
  const double* toBase;
  cv::Point2d fromPoint;  // normalised coordinates in "from"
  cv::Point2d toPoint;    // the measured partner, normalised, in "to"
  cv::Point2d toPixels;   // pixels per normalised unit in "to"

  template <typename T>
  bool operator()(const T* dFrom, const T* dTo, T* residual) const {
    T A[9];
    T B[9];
    Placement(fromBase, dFrom, A);
    Placement(toBase, dTo, B);
    const T p[3] = {A[0] * fromPoint.x + A[1] * fromPoint.y + A[2],
                    A[3] * fromPoint.x + A[4] * fromPoint.y + A[5],
                    A[6] * fromPoint.x + A[7] * fromPoint.y + A[8]};
    // The adjugate of B: its inverse up to a factor, which dehomogenising removes.
    const T q0 = (B[4] * B[8] - B[5] * B[7]) * p[0] + (B[2] * B[7] - B[1] * B[8]) * p[1] +
                 (B[1] * B[5] - B[2] * B[4]) * p[2];
    const T q1 = (B[5] * B[6] - B[3] * B[8]) * p[0] + (B[0] * B[8] - B[2] * B[6]) * p[1] +
                 (B[2] * B[3] - B[0] * B[5]) * p[2];
    const T q2 = (B[3] * B[7] - B[4] * B[6]) * p[0] + (B[1] * B[6] - B[0] * B[7]) * p[1] +
                 (B[0] * B[4] - B[1] * B[3]) * p[2];
    residual[0] = (q0 / q2 - toPoint.x) * toPixels.x;
    residual[1] = (q1 / q2 - toPoint.y) * toPixels.y;
    return true;
  }
};

// The weak prior: how far the correction moves the four frame corners, in
// pixels, times the prior's weight.
struct CorrectionPrior {
  cv::Point2d weightedPixels;  // the weight times the pixels per normalised unit

  template <typename T>
  bool operator()(const T* d, T* residual) const {
    static constexpr double kCorners[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
    for (int k = 0; k < 4; ++k) {
      const double x = kCorners[k][0];
      const double y = kCorners[k][1];
      const T u = (T(1) + d[0]) * x + d[1] * y + d[2];
      const T v = d[3] * x + (T(1) + d[4]) * y + d[5];
      const T w = d[6] * x + d[7] * y + T(1);
      residual[2 * k] = (u / w - x) * weightedPixels.x;
      residual[2 * k + 1] = (v / w - y) * weightedPixels.y;
    }
    return true;
  }
};

// Twice the signed area of the quadrilateral's consecutive corner triangles,
// all of one sign for a convex outline.
std::array<double, 4> TurnSigns(const std::vector<cv::Point2d>& q) {
  std::array<double, 4> turns{};
  for (size_t k = 0; k < 4; ++k) {
    const cv::Point2d e1 = q[(k + 1) % 4] - q[k];
    const cv::Point2d e2 = q[(k + 2) % 4] - q[(k + 1) % 4];
    turns[k] = e1.x * e2.y - e1.y * e2.x;
  }
  return turns;
}

cv::Matx33d WithCorrection(const cv::Matx33d& base, const Correction& d) {
  const cv::Matx33d D(1 + d[0], d[1], d[2], d[3], 1 + d[4], d[5], d[6], d[7], 1);
  return base * D;
}

double MeanTransferError(const std::vector<TransferError>& points,
                         const std::vector<std::pair<int, int>>& ends,
                         const std::vector<Correction>& corrections) {
  if (points.empty())
    return 0.0;
  double sum = 0.0;
  for (size_t i = 0; i < points.size(); ++i) {
    double r[2];
    points[i](corrections[static_cast<size_t>(ends[i].first)].data(),
              corrections[static_cast<size_t>(ends[i].second)].data(), r);
    sum += std::hypot(r[0], r[1]);
  }
  return sum / static_cast<double>(points.size());
}

// Frames tied to the reference through constraints, by a breadth-first walk.
std::vector<bool> TiedToReference(int frames, int reference,
                                  const std::vector<std::pair<int, int>>& edges) {
  std::vector<std::vector<int>> neighbours(static_cast<size_t>(frames));
  for (const auto& e : edges) {
    neighbours[static_cast<size_t>(e.first)].push_back(e.second);
    neighbours[static_cast<size_t>(e.second)].push_back(e.first);
  }
  std::vector<bool> tied(static_cast<size_t>(frames), false);
  std::vector<int> queue{reference};
  tied[static_cast<size_t>(reference)] = true;
  for (size_t head = 0; head < queue.size(); ++head) {
    for (int n : neighbours[static_cast<size_t>(queue[head])]) {
      if (tied[static_cast<size_t>(n)])
        continue;
      tied[static_cast<size_t>(n)] = true;
      queue.push_back(n);
    }
  }
  return tied;
}

}  // namespace

bool PlacementAcceptable(const cv::Mat& start, const cv::Mat& adjusted, cv::Size frameSize,
                         double minimumDeterminant) {
  const cv::Matx33d S(start);
  const cv::Matx33d A(adjusted);
  if (!cv::checkRange(adjusted) || !cv::checkRange(start))
    return false;
  const double w = frameSize.width - 1.0;
  const double h = frameSize.height - 1.0;
  const cv::Point2d corners[4] = {{0, 0}, {w, 0}, {w, h}, {0, h}};
  std::vector<cv::Point2d> before;
  std::vector<cv::Point2d> after;
  for (const cv::Point2d& c : corners) {
    const cv::Vec3d s = S * cv::Vec3d(c.x, c.y, 1.0);
    const cv::Vec3d a = A * cv::Vec3d(c.x, c.y, 1.0);
    // In front of the camera: the sign the starting placement gives.
    if (!(a[2] * s[2] > 0.0))
      return false;
    before.emplace_back(s[0] / s[2], s[1] / s[2]);
    after.emplace_back(a[0] / a[2], a[1] / a[2]);
  }
  const std::array<double, 4> turnsBefore = TurnSigns(before);
  const std::array<double, 4> turnsAfter = TurnSigns(after);
  for (size_t k = 0; k < 4; ++k) {
    if (!(turnsAfter[k] * turnsBefore[0] > 0.0))
      return false;
  }
  const cv::Matx33d change = S.inv() * A;
  return change(2, 2) != 0.0 && cv::determinant(change * (1.0 / change(2, 2))) > minimumDeterminant;
}

GlobalAdjustment AdjustPlacements(const std::vector<cv::Mat>& frameToReference, int reference,
                                  const std::vector<PairConstraint>& constraints,
                                  cv::Size frameSize, const GlobalAdjustmentSettings& settings) {
  const int frames = static_cast<int>(frameToReference.size());
  CV_Assert(reference >= 0 && reference < frames);
  GlobalAdjustment result;
  for (const cv::Mat& H : frameToReference)
    result.frameToReference.push_back(H.clone());

  const cv::Matx33d N = FrameNormaliser(frameSize);
  const cv::Matx33d NInverse = N.inv();
  std::vector<cv::Matx33d> base;
  for (const cv::Mat& H : frameToReference) {
    CV_Assert(H.rows == 3 && H.cols == 3 && H.type() == CV_64F);
    base.push_back(cv::Matx33d(H) * NInverse);
  }

  // Sample every constraint on its grid.
  std::vector<TransferError> points;
  std::vector<std::pair<int, int>> ends;  // per point: from, to
  std::vector<std::pair<int, int>> edges;
  const size_t grid = static_cast<size_t>(std::max(settings.gridColumns * settings.gridRows, 0));
  points.reserve(grid * constraints.size());
  ends.reserve(grid * constraints.size());
  const cv::Rect2d inside(0, 0, frameSize.width - 1.0, frameSize.height - 1.0);
  const cv::Point2d pixelsPerUnit(1.0 / N(0, 0), 1.0 / N(1, 1));
  for (const PairConstraint& c : constraints) {
    CV_Assert(c.from >= 0 && c.from < frames && c.to >= 0 && c.to < frames && c.from != c.to);
    const cv::Matx33d H(c.H);
    std::vector<TransferError> sampled;
    for (int r = 0; r < settings.gridRows; ++r) {
      for (int col = 0; col < settings.gridColumns; ++col) {
        const cv::Point2d x(inside.width * (col + 0.5) / settings.gridColumns,
                            inside.height * (r + 0.5) / settings.gridRows);
        const cv::Point2d y = Map(H, x);
        if (!(y.x >= 0 && y.y >= 0 && y.x <= inside.width && y.y <= inside.height))
          continue;
        sampled.push_back(TransferError{base[static_cast<size_t>(c.from)].val,
                                        base[static_cast<size_t>(c.to)].val, Map(N, x), Map(N, y),
                                        pixelsPerUnit});
      }
    }
    if (static_cast<int>(sampled.size()) < settings.minimumPoints)
      continue;
    ++result.constraintsUsed;
    edges.emplace_back(c.from, c.to);
    for (const TransferError& t : sampled) {
      points.push_back(t);
      ends.emplace_back(c.from, c.to);
    }
  }

  std::vector<Correction> corrections(static_cast<size_t>(frames), Correction{});
  result.residualBefore = MeanTransferError(points, ends, corrections);
  result.residualAfter = result.residualBefore;
  if (points.empty())
    return result;

  const std::vector<bool> free = TiedToReference(frames, reference, edges);
  ceres::Problem::Options problemOptions;
  problemOptions.loss_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
  ceres::Problem problem(problemOptions);
  ceres::HuberLoss loss(settings.robustScale);
  for (size_t i = 0; i < points.size(); ++i) {
    const auto [from, to] = ends[i];
    if (!free[static_cast<size_t>(from)] && !free[static_cast<size_t>(to)])
      continue;
    problem.AddResidualBlock(
        new ceres::AutoDiffCostFunction<TransferError, 2, kCorrectionSize, kCorrectionSize>(
            &points[i], ceres::DO_NOT_TAKE_OWNERSHIP),
        &loss, corrections[static_cast<size_t>(from)].data(),
        corrections[static_cast<size_t>(to)].data());
  }
  const cv::Point2d weightedPixels = pixelsPerUnit * settings.priorWeight;
  for (int f = 0; f < frames; ++f) {
    double* block = corrections[static_cast<size_t>(f)].data();
    if (!problem.HasParameterBlock(block))
      continue;
    if (f == reference || !free[static_cast<size_t>(f)]) {
      problem.SetParameterBlockConstant(block);
    } else if (settings.priorWeight > 0.0) {
      problem.AddResidualBlock(new ceres::AutoDiffCostFunction<CorrectionPrior, 8, kCorrectionSize>(
                                   new CorrectionPrior{weightedPixels}),
                               nullptr, block);
    }
  }

  ceres::Solver::Options options;
  options.max_num_iterations = settings.maxIterations;
  options.num_threads = 1;  // the same result on every run
  options.linear_solver_type = ceres::IsSparseLinearAlgebraLibraryTypeAvailable(ceres::SUITE_SPARSE)
                                   ? ceres::SPARSE_NORMAL_CHOLESKY
                                   : ceres::DENSE_NORMAL_CHOLESKY;
  options.logging_type = ceres::SILENT;
  options.minimizer_progress_to_stdout = false;
  ceres::Solver::Summary summary;
  ceres::Solve(options, &problem, &summary);
  if (!summary.IsSolutionUsable())
    return result;

  // The gate: a frame whose adjusted placement fails it keeps its start.
  std::vector<cv::Mat> adjusted = result.frameToReference;
  int refused = 0;
  for (int f = 0; f < frames; ++f) {
    const size_t i = static_cast<size_t>(f);
    if (f == reference || !free[i])
      continue;
    const cv::Matx33d H = WithCorrection(base[i], corrections[i]) * N;
    const cv::Mat candidate(H * (1.0 / H(2, 2)));
    if (PlacementAcceptable(frameToReference[i], candidate, frameSize,
                            settings.minimumDeterminant)) {
      adjusted[i] = candidate;
    } else {
      corrections[i] = Correction{};
      ++refused;
    }
  }
  result.placementsRefused = refused;
  const double after = MeanTransferError(points, ends, corrections);
  if (!std::isfinite(after) || after >= result.residualBefore)
    return result;
  result.residualAfter = after;
  result.adjusted = true;
  result.frameToReference = std::move(adjusted);
  return result;
}

}  // namespace geometry
