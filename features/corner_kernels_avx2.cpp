// AVX2 kernel of the exact corner detector (see corner_kernel_body.hpp).
//
// Built with -mavx2 -mfma and without floating-point contraction: only the
// multiply-adds the body asks for are fused.
#include <cstddef>
#include <cstdint>

#include "features/corner_kernels.hpp"

namespace corners {
namespace detail {
namespace {

#include "features/corner_kernel_body.hpp"

}  // namespace

void MinEigenBandAvx2(const EigenBand& band) {
  MinEigenBandAny(band);
}

void ZeroAndAcrossAvx2(const float* row, int cols, float threshold, float* zeroed, float* across) {
  ZeroAndAcrossAny(row, cols, threshold, zeroed, across);
}

void PeaksAvx2(const float* zeroed, const float* up, const float* mid, const float* down, int cols,
               float* peak) {
  PeaksAny(zeroed, up, mid, down, cols, peak);
}

}  // namespace detail
}  // namespace corners
