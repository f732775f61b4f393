#include "features/corner_detection.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "features/corner_kernels.hpp"

namespace corners {
namespace detail {
namespace {

#include "features/corner_kernel_body.hpp"

}  // namespace

void MinEigenBandPortable(const EigenBand& band) {
  MinEigenBandAny(band);
}

void ZeroAndAcrossPortable(const float* row, int cols, float threshold, float* zeroed,
                           float* across) {
  ZeroAndAcrossAny(row, cols, threshold, zeroed, across);
}

void PeaksPortable(const float* zeroed, const float* up, const float* mid, const float* down,
                   int cols, float* peak) {
  PeaksAny(zeroed, up, mid, down, cols, peak);
}

}  // namespace detail

namespace {

// Below this side OpenCV's borders reflect more than once; such images go to
// OpenCV.
constexpr int kMinSidePx = 8;
// Bands of columns per thread, so that an uneven share evens out.
constexpr int kBandsPerThread = 2;
constexpr int kMinBandPx = 64;

bool Reproduces() {
  // The library loaded at run time, which may not be the one built against.
  static const bool reproduced = cv::getVersionMajor() == 4 && cv::getVersionMinor() == 6;
  return reproduced;
}

bool Avx2Supported() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool Applies(const cv::Mat& grey, int maxCorners, double qualityLevel, double minDistance,
             int blockSize) {
  // A region of a larger image would be filtered with its surroundings as
  // border; invalid parameters get OpenCV's own error.
  return grey.dims == 2 && grey.type() == CV_8UC1 && !grey.isSubmatrix() &&
         grey.cols >= kMinSidePx && grey.rows >= kMinSidePx && maxCorners >= 0 &&
         qualityLevel > 0 && minDistance >= 0 && (blockSize == 3 || blockSize == 5);
}

// The map and its largest value. Every element is written; the map's memory
// is kept for the thread's next frame of that size, since a fresh map of a
// large frame costs a page fault for every 4 KiB of it.
cv::Mat MinEigenMap(const cv::Mat& grey, int blockSize, Kernel kernel, float* largest) {
  thread_local cv::Mat kept;
  kept.create(grey.size(), CV_32F);
  cv::Mat eig = kept;
  detail::EigenBand common{};
  common.grey = grey.ptr<std::uint8_t>();
  common.greyStep = static_cast<std::ptrdiff_t>(grey.step[0]);
  common.cols = grey.cols;
  common.rows = grey.rows;
  common.radius = blockSize / 2;
  const double scale = 1.0 / (4.0 * blockSize * 255.0);
  common.k0 = static_cast<float>(scale);
  common.k1 = 2.0f * common.k0;
  // OpenCV filters with its AVX2 code, whose multiply-adds are fused, when it
  // may use AVX2 (cv::setUseOptimized and OPENCV_CPU_DISABLE have their say).
  common.fused = cv::checkHardwareSupport(CV_CPU_AVX2);
  common.eig = eig.ptr<float>();
  common.eigStep = static_cast<std::ptrdiff_t>(eig.step[0] / sizeof(float));

  const int threads = std::max(1, cv::getNumThreads());
  int bandWidth = (grey.cols + kBandsPerThread * threads - 1) / (kBandsPerThread * threads);
  bandWidth = std::max(kMinBandPx, (bandWidth + 7) / 8 * 8);
  const int bands = (grey.cols + bandWidth - 1) / bandWidth;
  const auto run =
      kernel == Kernel::kAvx2 ? detail::MinEigenBandAvx2 : detail::MinEigenBandPortable;
  std::vector<float> bandMax(static_cast<size_t>(bands));
  cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& r) {
    for (int b = r.start; b < r.end; ++b) {
      detail::EigenBand band = common;
      band.x0 = b * bandWidth;
      band.x1 = std::min(grey.cols, band.x0 + bandWidth);
      const size_t extended = static_cast<size_t>(band.x1 - band.x0) + 4;
      std::vector<float> floats(14 * extended);
      std::vector<double> doubles(27 * extended);
      band.floats = floats.data();
      band.doubles = doubles.data();
      band.max = &bandMax[static_cast<size_t>(b)];
      run(band);
    }
  });
  *largest = *std::max_element(bandMax.begin(), bandMax.end());
  return eig;
}

// Orders by value, strongest first, then by position, last first: OpenCV
// sorts pointers into the map by value and, among equal values, by address.
std::uint64_t SortKey(float value, std::uint32_t index) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  bits = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
  return (static_cast<std::uint64_t>(bits) << 32) | index;
}

// Interior pixels above the threshold that no 3x3 neighbour exceeds (all
// values at or below the threshold count as zero), in row-major order.
std::vector<std::uint64_t> LocalMaxima(const cv::Mat& eig, float threshold, Kernel kernel) {
  const bool avx2 = kernel == Kernel::kAvx2;
  const auto zeroAndAcross = avx2 ? detail::ZeroAndAcrossAvx2 : detail::ZeroAndAcrossPortable;
  const auto peaks = avx2 ? detail::PeaksAvx2 : detail::PeaksPortable;
  const int cols = eig.cols, rows = eig.rows;
  constexpr int kRowsPerStripe = 64;
  const int stripes = (rows - 2 + kRowsPerStripe - 1) / kRowsPerStripe;
  std::vector<std::vector<std::uint64_t>> found(static_cast<size_t>(stripes));
  cv::parallel_for_(cv::Range(0, stripes), [&](const cv::Range& r) {
    const size_t n = static_cast<size_t>(cols);
    // Per row: the thresholded values and their maximum over 3 columns, for
    // the three rows around the current one.
    std::vector<float> zeroed(3 * n), across(3 * n), peak(n);
    for (int s = r.start; s < r.end; ++s) {
      std::vector<std::uint64_t>& out = found[static_cast<size_t>(s)];
      const int yBegin = 1 + s * kRowsPerStripe;
      const int yEnd = std::min(rows - 1, yBegin + kRowsPerStripe);
      const auto prepare = [&](int y) {
        zeroAndAcross(eig.ptr<float>(y), cols, threshold, &zeroed[static_cast<size_t>(y % 3) * n],
                      &across[static_cast<size_t>(y % 3) * n]);
      };
      prepare(yBegin - 1);
      prepare(yBegin);
      for (int y = yBegin; y < yEnd; ++y) {
        prepare(y + 1);
        const float* z = &zeroed[static_cast<size_t>(y % 3) * n];
        const float* up = &across[static_cast<size_t>((y + 2) % 3) * n];
        const float* mid = &across[static_cast<size_t>(y % 3) * n];
        const float* down = &across[static_cast<size_t>((y + 1) % 3) * n];
        peaks(z, up, mid, down, cols, peak.data());
        // Peaks are sparse: skip eight zeros at a time.
        for (int x = 1; x < cols - 1; ++x) {
          if (x + 8 <= cols - 1) {
            std::uint64_t words[4];
            std::memcpy(words, &peak[static_cast<size_t>(x)], sizeof words);
            if ((words[0] | words[1] | words[2] | words[3]) == 0) {
              x += 7;
              continue;
            }
          }
          if (peak[x] != 0.f)
            out.push_back(SortKey(peak[x], static_cast<std::uint32_t>(y * cols + x)));
        }
      }
    }
  });
  std::vector<std::uint64_t> all;
  for (const auto& part : found)
    all.insert(all.end(), part.begin(), part.end());
  return all;
}

// OpenCV's selection: strongest first, each kept unless a kept corner lies
// closer than minDistance (found through a grid of cells that wide).
class Selection {
 public:
  Selection(int cols, int rows, int maxCorners, double minDistance)
      : cols_(cols),
        maxCorners_(maxCorners),
        minDistance2_(minDistance * minDistance),
        useGrid_(minDistance >= 1),
        cell_(useGrid_ ? cvRound(minDistance) : 1),
        gridW_((cols + cell_ - 1) / cell_),
        gridH_((rows + cell_ - 1) / cell_),
        grid_(useGrid_ ? static_cast<size_t>(gridW_) * gridH_ : 0) {}

  bool Full() const { return maxCorners_ > 0 && static_cast<int>(corners_.size()) == maxCorners_; }

  // Offers keys in order, strongest first, until the limit is reached.
  void Offer(std::vector<std::uint64_t>::const_iterator begin,
             std::vector<std::uint64_t>::const_iterator end) {
    for (auto it = begin; it != end && !Full(); ++it) {
      const cv::Point p = Position(*it);
      if (!useGrid_ || FarFromKept(p)) {
        if (useGrid_)
          grid_[static_cast<size_t>(p.y / cell_) * gridW_ + p.x / cell_].emplace_back(p);
        corners_.emplace_back(p);
      }
    }
  }

  std::vector<cv::Point2f> Take() { return std::move(corners_); }

 private:
  cv::Point Position(std::uint64_t key) const {
    const auto index = static_cast<std::uint32_t>(key & 0xffffffffu);
    return cv::Point(static_cast<int>(index % static_cast<std::uint32_t>(cols_)),
                     static_cast<int>(index / static_cast<std::uint32_t>(cols_)));
  }

  bool FarFromKept(cv::Point p) const {
    const int cx = p.x / cell_, cy = p.y / cell_;
    for (int yy = std::max(0, cy - 1); yy <= std::min(gridH_ - 1, cy + 1); ++yy) {
      for (int xx = std::max(0, cx - 1); xx <= std::min(gridW_ - 1, cx + 1); ++xx) {
        for (const cv::Point2f& q : grid_[static_cast<size_t>(yy) * gridW_ + xx]) {
          const float dx = static_cast<float>(p.x) - q.x, dy = static_cast<float>(p.y) - q.y;
          if (dx * dx + dy * dy < minDistance2_)
            return false;
        }
      }
    }
    return true;
  }

  int cols_, maxCorners_;
  double minDistance2_;
  bool useGrid_;
  int cell_, gridW_, gridH_;
  std::vector<std::vector<cv::Point2f>> grid_;
  std::vector<cv::Point2f> corners_;
};

// Sorts only as far as the selection reads: a large frame has many times more
// local maxima than corners kept, so the keys are put in order a batch at a
// time, strongest first (the keys are distinct, so the order is the full
// sort's).
std::vector<cv::Point2f> SelectStrongest(std::vector<std::uint64_t> keys, int cols, int rows,
                                         int maxCorners, double minDistance) {
  Selection selection(cols, rows, maxCorners, minDistance);
  size_t batch = maxCorners > 0 ? 2 * static_cast<size_t>(maxCorners) : keys.size();
  for (auto begin = keys.begin(); begin != keys.end() && !selection.Full(); batch *= 2) {
    const auto end = static_cast<size_t>(keys.end() - begin) > batch
                         ? begin + static_cast<std::ptrdiff_t>(batch)
                         : keys.end();
    if (end != keys.end())
      std::nth_element(begin, end, keys.end(), std::greater<>());
    std::sort(begin, end, std::greater<>());
    selection.Offer(begin, end);
    begin = end;
  }
  return selection.Take();
}

}  // namespace

bool KernelAvailable(Kernel kernel) {
  switch (kernel) {
    case Kernel::kOpenCv:
    case Kernel::kWidest:
      return true;
    case Kernel::kPortable:
      return Reproduces();
    case Kernel::kAvx2:
      return Reproduces() && Avx2Supported();
  }
  return false;
}

Kernel WidestKernel() {
  if (KernelAvailable(Kernel::kAvx2))
    return Kernel::kAvx2;
  return KernelAvailable(Kernel::kPortable) ? Kernel::kPortable : Kernel::kOpenCv;
}

const char* KernelName(Kernel kernel) {
  switch (kernel) {
    case Kernel::kOpenCv:
      return "OpenCV";
    case Kernel::kPortable:
      return "portable";
    case Kernel::kAvx2:
      return "AVX2";
    case Kernel::kWidest:
      return KernelName(WidestKernel());
  }
  return "?";
}

std::vector<cv::Point2f> GoodFeaturesToTrack(const cv::Mat& grey, int maxCorners,
                                             double qualityLevel, double minDistance, int blockSize,
                                             Kernel kernel) {
  if (kernel == Kernel::kWidest)
    kernel = WidestKernel();
  if (kernel == Kernel::kOpenCv || !KernelAvailable(kernel) ||
      !Applies(grey, maxCorners, qualityLevel, minDistance, blockSize)) {
    std::vector<cv::Point2f> corners;
    cv::goodFeaturesToTrack(grey, corners, maxCorners, qualityLevel, minDistance, cv::noArray(),
                            blockSize, false);
    return corners;
  }
  float largest = 0.f;
  const cv::Mat eig = MinEigenMap(grey, blockSize, kernel, &largest);
  // cv::minMaxLoc's maximum, as a double.
  const double maxVal = largest;
  std::vector<std::uint64_t> keys =
      LocalMaxima(eig, static_cast<float>(maxVal * qualityLevel), kernel);
  return SelectStrongest(std::move(keys), grey.cols, grey.rows, maxCorners, minDistance);
}

}  // namespace corners
