#include "features/lk_tracker.hpp"

#include <algorithm>
#include <cstring>
#include <opencv2/core/utility.hpp>
#include <opencv2/video/tracking.hpp>
#include <utility>

#include "features/lk_kernels.hpp"

namespace lk {

namespace {

// A pyramid with derivatives serves a frame as the previous frame of one pair
// and the current frame of another; three cover a pair and the key-frame
// tracking that follows it.
constexpr size_t kCachedPyramids = 3;
// Points per unit of parallel work (a multiple of the points per register).
constexpr int kPointsPerStripe = 16;

bool Avx2Supported() {
  return __builtin_cpu_supports("avx2");
}
bool Avx512Supported() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

struct Pyramid {
  std::vector<cv::Mat> levels;  // image and derivatives per level
  cv::Size window;
  int requestedLevels = 0;
  int builtLevels = 0;

  bool Holds(const cv::Mat& frame, cv::Size win, int maxLevel) const {
    if (window != win || requestedLevels != maxLevel || levels.empty())
      return false;
    const cv::Mat& level0 = levels[0];
    if (level0.type() != frame.type() || level0.size() != frame.size())
      return false;
    const size_t rowBytes = static_cast<size_t>(frame.cols) * frame.elemSize();
    for (int y = 0; y < frame.rows; ++y) {
      if (std::memcmp(level0.ptr(y), frame.ptr(y), rowBytes) != 0)
        return false;
    }
    return true;
  }
};

}  // namespace

struct Tracker::Cache {
  std::vector<std::shared_ptr<const Pyramid>> pyramids;  // most recent first

  std::shared_ptr<const Pyramid> Get(const cv::Mat& frame, cv::Size window, int maxLevel) {
    for (size_t k = 0; k < pyramids.size(); ++k) {
      if (pyramids[k]->Holds(frame, window, maxLevel)) {
        std::rotate(pyramids.begin(), pyramids.begin() + static_cast<std::ptrdiff_t>(k),
                    pyramids.begin() + static_cast<std::ptrdiff_t>(k) + 1);
        return pyramids.front();
      }
    }
    auto built = std::make_shared<Pyramid>();
    built->window = window;
    built->requestedLevels = maxLevel;
    built->builtLevels = BuildPyramid(frame, window, maxLevel, &built->levels);
    pyramids.insert(pyramids.begin(), built);
    if (pyramids.size() > kCachedPyramids)
      pyramids.pop_back();
    return built;
  }
};

int BuildPyramid(const cv::Mat& frame, cv::Size window, int maxLevel,
                 std::vector<cv::Mat>* levels) {
  CV_Assert(levels != nullptr);
  if (frame.type() != CV_8UC3 || !KernelAvailable(Kernel::kAvx2)) {
    return cv::buildOpticalFlowPyramid(frame, *levels, window, maxLevel, true);
  }
  // The images as OpenCV builds them (reflected border); the derivatives in
  // rows of parallel stripes, with their zero border.
  std::vector<cv::Mat> images;
  const int built = cv::buildOpticalFlowPyramid(frame, images, window, maxLevel, false);
  levels->clear();
  for (const cv::Mat& image : images) {
    cv::Mat whole(image.rows + 2 * window.height, image.cols + 2 * window.width, CV_16SC(6));
    const size_t rowBytes = whole.cols * whole.elemSize();
    const size_t sideBytes = static_cast<size_t>(window.width) * whole.elemSize();
    for (int y = 0; y < whole.rows; ++y) {
      if (y < window.height || y >= window.height + image.rows) {
        std::memset(whole.ptr(y), 0, rowBytes);
      } else {
        std::memset(whole.ptr(y), 0, sideBytes);
        std::memset(whole.ptr(y) + rowBytes - sideBytes, 0, sideBytes);
      }
    }
    cv::Mat deriv = whole(cv::Rect(window.width, window.height, image.cols, image.rows));
    constexpr int kRowsPerStripe = 32;
    cv::parallel_for_(
        cv::Range(0, (image.rows + kRowsPerStripe - 1) / kRowsPerStripe), [&](const cv::Range& r) {
          std::vector<std::int16_t> scratch(2 * (image.cols + 2) * detail::kChannels);
          detail::ScharrRowsAvx2(image.ptr<std::uint8_t>(),
                                 static_cast<std::ptrdiff_t>(image.step[0]), image.cols, image.rows,
                                 deriv.ptr<std::int16_t>(),
                                 static_cast<std::ptrdiff_t>(deriv.step[0] / sizeof(std::int16_t)),
                                 r.start * kRowsPerStripe,
                                 std::min(image.rows, r.end * kRowsPerStripe), scratch.data());
        });
    levels->push_back(image);
    levels->push_back(deriv);
  }
  return built;
}

bool KernelsReproduce(int openCvMajor, int openCvMinor) {
  return openCvMajor == 4 && openCvMinor == 6;
}

bool KernelAvailable(Kernel kernel) {
  // The library loaded at run time, which may not be the one built against.
  static const bool reproduced = KernelsReproduce(cv::getVersionMajor(), cv::getVersionMinor());
  switch (kernel) {
    case Kernel::kOpenCv:
    case Kernel::kWidest:
      return true;
    case Kernel::kAvx2:
      return reproduced && Avx2Supported();
    case Kernel::kAvx512:
      return reproduced && Avx512Supported();
  }
  return false;
}

Kernel WidestKernel() {
  if (KernelAvailable(Kernel::kAvx512))
    return Kernel::kAvx512;
  return KernelAvailable(Kernel::kAvx2) ? Kernel::kAvx2 : Kernel::kOpenCv;
}

const char* KernelName(Kernel kernel) {
  switch (kernel) {
    case Kernel::kOpenCv:
      return "OpenCV";
    case Kernel::kAvx2:
      return "AVX2";
    case Kernel::kAvx512:
      return "AVX-512";
    case Kernel::kWidest:
      return KernelName(WidestKernel());
  }
  return "?";
}

Tracker::Tracker() : cache_(std::make_unique<Cache>()) {}
Tracker::~Tracker() = default;
Tracker::Tracker(Tracker&&) noexcept = default;
Tracker& Tracker::operator=(Tracker&&) noexcept = default;

namespace {

// Frames, window and flags the kernels reproduce OpenCV for.
bool KernelApplies(const cv::Mat& prev, const cv::Mat& next, size_t npoints,
                   const std::vector<cv::Point2f>& nextPts, cv::Size window, int maxLevel,
                   int flags) {
  if (prev.empty() || prev.dims != 2 || prev.type() != CV_8UC3 || next.type() != CV_8UC3 ||
      next.size() != prev.size() || next.dims != 2) {
    return false;
  }
  // A region of a larger image would be tracked with its surroundings as border.
  if (prev.isSubmatrix() || next.isSubmatrix())
    return false;
  if (window != cv::Size(detail::kWindow, detail::kWindow) || maxLevel < 0)
    return false;
  if (flags != 0 && flags != cv::OPTFLOW_USE_INITIAL_FLOW)
    return false;
  if (npoints == 0 || npoints > static_cast<size_t>(INT32_MAX / 2))
    return false;
  if ((flags & cv::OPTFLOW_USE_INITIAL_FLOW) && nextPts.size() != npoints)
    return false;
  return true;
}

// The points ordered by bands of rows, then by column: neighbours share the
// cache lines of their windows. Each point's result does not depend on the
// order in which points are tracked.
std::vector<int> SpatialOrder(const std::vector<cv::Point2f>& points) {
  constexpr float kLimit = 1e7f;
  auto band = [](float y) {
    return y > -kLimit && y < kLimit ? cvFloor(y * 0.0625f) : 0;
  };
  auto column = [](float x) {
    return x > -kLimit && x < kLimit ? x : 0.f;
  };
  std::vector<std::pair<std::pair<int, float>, int>> keyed;
  keyed.reserve(points.size());
  for (size_t k = 0; k < points.size(); ++k) {
    keyed.push_back({{band(points[k].y), column(points[k].x)}, static_cast<int>(k)});
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<int> order;
  order.reserve(points.size());
  for (const auto& entry : keyed)
    order.push_back(entry.second);
  return order;
}

}  // namespace

void Tracker::Track(const cv::Mat& prev, const cv::Mat& next,
                    const std::vector<cv::Point2f>& prevPts, std::vector<cv::Point2f>* nextPts,
                    std::vector<unsigned char>* status, std::vector<float>* err, cv::Size window,
                    int maxLevel, const cv::TermCriteria& criteria, int flags,
                    double minEigThreshold, Kernel kernel) {
  CV_Assert(nextPts != nullptr && status != nullptr && err != nullptr);
  if (kernel == Kernel::kWidest)
    kernel = WidestKernel();
  if (kernel != Kernel::kOpenCv &&
      (!KernelAvailable(kernel) ||
       !KernelApplies(prev, next, prevPts.size(), *nextPts, window, maxLevel, flags))) {
    kernel = Kernel::kOpenCv;
  }
  lastKernel_ = kernel;
  if (kernel == Kernel::kOpenCv) {
    cv::calcOpticalFlowPyrLK(prev, next, prevPts, *nextPts, *status, *err, window, maxLevel,
                             criteria, flags, minEigThreshold);
    return;
  }

  const std::shared_ptr<const Pyramid> prevPyr = cache_->Get(prev, window, maxLevel);
  const std::shared_ptr<const Pyramid> nextPyr = cache_->Get(next, window, maxLevel);
  const int levels = std::min(prevPyr->builtLevels, nextPyr->builtLevels);

  const int npoints = static_cast<int>(prevPts.size());
  if (!(flags & cv::OPTFLOW_USE_INITIAL_FLOW))
    nextPts->resize(prevPts.size());
  status->assign(prevPts.size(), 1);
  err->resize(prevPts.size());

  detail::LevelSettings settings{};
  settings.maxLevel = levels;
  settings.useInitialFlow = (flags & cv::OPTFLOW_USE_INITIAL_FLOW) != 0;
  // The criteria as OpenCV reads them.
  settings.maxCount = (criteria.type & cv::TermCriteria::COUNT) == 0
                          ? 30
                          : std::min(std::max(criteria.maxCount, 0), 100);
  double epsilon = (criteria.type & cv::TermCriteria::EPS) == 0
                       ? 0.01
                       : std::min(std::max(criteria.epsilon, 0.), 10.);
  settings.epsilon = epsilon * epsilon;
  settings.minEigThreshold = static_cast<float>(minEigThreshold);

  detail::PointData points{};
  points.prevPts = reinterpret_cast<const float*>(prevPts.data());
  points.nextPts = reinterpret_cast<float*>(nextPts->data());
  points.status = status->data();
  points.err = err->data();
  const std::vector<int> order = SpatialOrder(prevPts);
  points.order = order.data();
  points.count = npoints;

  const auto trackLevel =
      kernel == Kernel::kAvx512 ? detail::TrackLevelAvx512 : detail::TrackLevelAvx2;
  const int stripes = (npoints + kPointsPerStripe - 1) / kPointsPerStripe;
  for (int level = levels; level >= 0; --level) {
    const cv::Mat& I = prevPyr->levels[static_cast<size_t>(2 * level)];
    const cv::Mat& dI = prevPyr->levels[static_cast<size_t>(2 * level + 1)];
    const cv::Mat& J = nextPyr->levels[static_cast<size_t>(2 * level)];
    CV_Assert(I.size() == J.size() && dI.size() == I.size() && dI.type() == CV_16SC(6));
    detail::LevelData data{};
    data.prev = I.ptr<std::uint8_t>();
    data.prevStep = static_cast<std::ptrdiff_t>(I.step[0]);
    data.deriv = dI.ptr<std::int16_t>();
    data.derivStep = static_cast<std::ptrdiff_t>(dI.step[0] / sizeof(std::int16_t));
    data.next = J.ptr<std::uint8_t>();
    data.nextStep = static_cast<std::ptrdiff_t>(J.step[0]);
    data.cols = I.cols;
    data.rows = I.rows;
    settings.level = level;
    cv::parallel_for_(cv::Range(0, stripes), [&](const cv::Range& r) {
      const int begin = r.start * kPointsPerStripe;
      const int end = std::min(npoints, r.end * kPointsPerStripe);
      trackLevel(data, settings, points, begin, end);
    });
  }
}

}  // namespace lk
