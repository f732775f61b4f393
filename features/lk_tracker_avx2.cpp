// AVX2 kernel of the exact tracker: two points per 256-bit register, one per
// 128-bit half (see lk_kernel_body.hpp).
//
// Built with -mavx2 and without floating-point contraction: a fused
// multiply-add would round differently.
#include <immintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "features/lk_kernels.hpp"

#define LK_SIMD_BITS 256

namespace lk {
namespace detail {
namespace {

#include "features/lk_kernel_body.hpp"

}  // namespace

void TrackLevelAvx2(const LevelData& level, const LevelSettings& settings, const PointData& points,
                    int begin, int end) {
  TrackLevel<Simd>(level, settings, points, begin, end);
}

// Whole numbers well inside 16 bits at every step, so any order of the sums
// gives OpenCV's values.
void ScharrRowsAvx2(const std::uint8_t* src, std::ptrdiff_t srcStep, int cols, int rows,
                    std::int16_t* dst, std::ptrdiff_t dstStep, int y0, int y1,
                    std::int16_t* scratch) {
  constexpr int cn = kChannels;
  const int colsn = cols * cn;
  std::int16_t* __restrict__ smooth = scratch + cn;           // vertical [3 10 3]
  std::int16_t* __restrict__ diff = smooth + colsn + 2 * cn;  // vertical [-1 0 1]
  const int left = (cols > 1 ? 1 : 0) * cn, right = (cols > 1 ? cols - 2 : 0) * cn;
  for (int y = y0; y < y1; ++y) {
    const std::uint8_t* __restrict__ up = src + (y > 0 ? y - 1 : (rows > 1 ? 1 : 0)) * srcStep;
    const std::uint8_t* __restrict__ mid = src + y * srcStep;
    const std::uint8_t* __restrict__ down =
        src + (y < rows - 1 ? y + 1 : (rows > 1 ? rows - 2 : 0)) * srcStep;
    for (int x = 0; x < colsn; ++x) {
      smooth[x] = static_cast<std::int16_t>((up[x] + down[x]) * 3 + mid[x] * 10);
      diff[x] = static_cast<std::int16_t>(down[x] - up[x]);
    }
    for (int k = 0; k < cn; ++k) {
      smooth[k - cn] = smooth[left + k];
      smooth[colsn + k] = smooth[right + k];
      diff[k - cn] = diff[left + k];
      diff[colsn + k] = diff[right + k];
    }
    std::int16_t* __restrict__ out = dst + y * dstStep;
    for (int x = 0; x < colsn; ++x) {
      out[2 * x] = static_cast<std::int16_t>(smooth[x + cn] - smooth[x - cn]);
      out[2 * x + 1] = static_cast<std::int16_t>((diff[x + cn] + diff[x - cn]) * 3 + diff[x] * 10);
    }
  }
}

}  // namespace detail
}  // namespace lk
