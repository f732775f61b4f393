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

}  // namespace detail
}  // namespace corners
