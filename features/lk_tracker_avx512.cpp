// AVX-512 kernel of the exact tracker: four points per 512-bit register, one per
// 128-bit group (see lk_kernel_body.hpp).
//
// Built with -mavx512f -mavx512bw and without floating-point contraction: a fused
// multiply-add would round differently.
#include <immintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "features/lk_kernels.hpp"

#define LK_SIMD_BITS 512

namespace lk {
namespace detail {
namespace {

#include "features/lk_kernel_body.hpp"

}  // namespace

void TrackLevelAvx512(const LevelData& level, const LevelSettings& settings,
                      const PointData& points, int begin, int end) {
  TrackLevel<Simd>(level, settings, points, begin, end);
}

}  // namespace detail
}  // namespace lk
