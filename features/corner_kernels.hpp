// Interface between the corner detector (corner_detection.cpp) and its
// minimum-eigenvalue kernels, one of which lives in a translation unit built
// for AVX2. Plain types only, for the reason given in lk_kernels.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corners {
namespace detail {

// One band of columns [x0, x1) of the minimum-eigenvalue map of a grey image
// at least 8 pixels a side, with the scratch the band needs (sizes from
// BandScratchFloats and BandScratchDoubles in corner_detection.cpp).
struct EigenBand {
  const std::uint8_t* grey;
  std::ptrdiff_t greyStep;  // bytes per row
  int cols;
  int rows;
  int radius;  // of the box filter: 1 (3x3) or 2 (5x5)
  float k0;    // Sobel smoothing taps: k0, k1, k0 (k1 = 2 k0)
  float k1;
  bool fused;  // the smoothing taps are applied with fused multiply-adds
  float* eig;
  std::ptrdiff_t eigStep;  // floats per row
  int x0;
  int x1;
  float* floats;    // scratch
  double* doubles;  // scratch
  float* max;       // set to the band's largest eigenvalue
};

void MinEigenBandPortable(const EigenBand& band);
void MinEigenBandAvx2(const EigenBand& band);

// Of one row of the map: `zeroed` the values above the threshold, the others
// 0; `across` at 1..cols-2 the largest zeroed value of each pixel and its left
// and right neighbours.
void ZeroAndAcrossPortable(const float* row, int cols, float threshold, float* zeroed,
                           float* across);
void ZeroAndAcrossAvx2(const float* row, int cols, float threshold, float* zeroed, float* across);
// At 1..cols-2: the zeroed value where it is not 0 and equals the largest of
// across over the rows above, at and below; 0 elsewhere.
void PeaksPortable(const float* zeroed, const float* up, const float* mid, const float* down,
                   int cols, float* peak);
void PeaksAvx2(const float* zeroed, const float* up, const float* mid, const float* down, int cols,
               float* peak);

}  // namespace detail
}  // namespace corners
