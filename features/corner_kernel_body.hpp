// Body of the minimum-eigenvalue kernels: cv::cornerMinEigenVal (OpenCV 4.6)
// for an 8-bit grey image, a 3x3 Sobel aperture and a 3x3 or 5x5 block, bit
// for bit. Included inside an anonymous namespace by each kernel unit, which
// compiles it for its own instruction set; it uses builtins only.
//
// OpenCV's arithmetic, step by step (reflected border throughout):
//  - Sobel as two separable passes, scaled by 1 / (4 * block * 255) through
//    the smoothing taps; the processors OpenCV runs its AVX2 code on apply
//    those taps with fused multiply-adds, the others with a product and a sum;
//  - the covariance products dx*dx, dx*dy, dy*dy in single precision;
//  - the box filter in double: each row's sum from left to right, then a
//    running sum down every column (add the row entering, subtract the row
//    leaving), rounded to single precision per output;
//  - min eigenvalue (a + c) - sqrt((a - c)^2 + b^2) with a and c halved.
// The running sums make a column depend on every row above it, so the work
// is split into bands of columns, which are independent.

inline int Reflect101(int p, int n) {
  return p < 0 ? -p : (p >= n ? 2 * n - 2 - p : p);
}

template <bool Fused>
inline float Smooth3(float a, float b, float c, float k0, float k1) {
  if (Fused)
    return __builtin_fmaf(c, k0, __builtin_fmaf(b, k1, a * k0));
  return (a * k0 + b * k1) + c * k0;
}

// The Sobel row pass over image row g, columns [e0, e1): rx the difference
// (exact in single precision), ry the smoothing.
template <bool Fused>
void RowPass(const std::uint8_t* g, int cols, int e0, int e1, float k0, float k1, float* rx,
             float* ry) {
  const int lo = e0 > 1 ? e0 : 1, hi = e1 < cols - 1 ? e1 : cols - 1;
  for (int x = e0; x < lo; ++x) {
    const float a = g[Reflect101(x - 1, cols)], b = g[x], c = g[x + 1];
    rx[x - e0] = c - a;
    ry[x - e0] = Smooth3<Fused>(a, b, c, k0, k1);
  }
  const std::uint8_t* src = g + lo;
  float* dx = rx + (lo - e0);
  float* dy = ry + (lo - e0);
  for (int i = 0; i < hi - lo; ++i) {
    const float a = src[i - 1], b = src[i], c = src[i + 1];
    dx[i] = c - a;
    dy[i] = Smooth3<Fused>(a, b, c, k0, k1);
  }
  for (int x = hi > lo ? hi : lo; x < e1; ++x) {
    const float a = g[x - 1], b = g[x], c = g[Reflect101(x + 1, cols)];
    rx[x - e0] = c - a;
    ry[x - e0] = Smooth3<Fused>(a, b, c, k0, k1);
  }
}

// The column pass and the covariance products of one row.
template <bool Fused>
void CovarianceRow(const float* __restrict__ rxUp, const float* __restrict__ rx,
                   const float* __restrict__ rxDown, const float* __restrict__ ryUp,
                   const float* __restrict__ ryDown, int n, float k0, float k1,
                   float* __restrict__ xx, float* __restrict__ xy, float* __restrict__ yy) {
  for (int i = 0; i < n; ++i) {
    const float dx = Fused ? __builtin_fmaf(rxUp[i] + rxDown[i], k0, rx[i] * k1)
                           : rx[i] * k1 + (rxUp[i] + rxDown[i]) * k0;
    const float dy = ryDown[i] - ryUp[i];
    xx[i] = dx * dx;
    xy[i] = dx * dy;
    yy[i] = dy * dy;
  }
}

template <int Radius>
void RowSums(const float* __restrict__ padded, int n, double* __restrict__ out) {
  for (int i = 0; i < n; ++i) {
    double s = static_cast<double>(padded[i]);
    for (int k = 1; k <= 2 * Radius; ++k)
      s += static_cast<double>(padded[i + k]);
    out[i] = s;
  }
}

// One output row: the running column sums (row `in` entering, `out` leaving;
// the same row near the top and bottom), then the eigenvalue.
inline void EigenRow(double* __restrict__ sum0, double* __restrict__ sum1,
                     double* __restrict__ sum2, const double* in0, const double* in1,
                     const double* in2, const double* out0, const double* out1, const double* out2,
                     int n, float* __restrict__ eig) {
  for (int i = 0; i < n; ++i) {
    const double s0 = sum0[i] + in0[i], s1 = sum1[i] + in1[i], s2 = sum2[i] + in2[i];
    sum0[i] = s0 - out0[i];
    sum1[i] = s1 - out1[i];
    sum2[i] = s2 - out2[i];
    const float a = static_cast<float>(s0) * 0.5f, b = static_cast<float>(s1),
                c = static_cast<float>(s2) * 0.5f;
    const float t = a - c;
    eig[i] = (a + c) - __builtin_sqrtf(b * b + t * t);
  }
}

// Running maxima of a row, eight interleaved lanes (a vector's worth).
inline void RowMax(const float* __restrict__ row, int n, float* __restrict__ lanes) {
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    for (int l = 0; l < 8; ++l)
      lanes[l] = row[i + l] > lanes[l] ? row[i + l] : lanes[l];
  }
  for (; i < n; ++i)
    lanes[0] = row[i] > lanes[0] ? row[i] : lanes[0];
}

template <bool Fused, int Radius>
void MinEigenBand(const corners::detail::EigenBand& band) {
  const int cols = band.cols, rows = band.rows, x0 = band.x0, x1 = band.x1;
  const int e0 = x0 - Radius > 0 ? x0 - Radius : 0;
  const int e1 = x1 + Radius < cols ? x1 + Radius : cols;
  const int extended = e1 - e0, width = x1 - x0, padded = width + 2 * Radius;
  constexpr int kFilteredRows = 4, kSummedRows = 8;
  float* rxRing = band.floats;
  float* ryRing = rxRing + kFilteredRows * extended;
  float* cov = ryRing + kFilteredRows * extended;  // three rows of `extended`
  float* pad = cov + 3 * extended;                 // three rows of `padded`
  double* sumRing = band.doubles;                  // kSummedRows x three rows of `width`
  double* colSum = sumRing + kSummedRows * 3 * width;
  int filteredRow[kFilteredRows] = {-1, -1, -1, -1};
  int summedRow[kSummedRows] = {-1, -1, -1, -1, -1, -1, -1, -1};

  auto filtered = [&](int r) {
    const int slot = r % kFilteredRows;
    if (filteredRow[slot] != r) {
      RowPass<Fused>(band.grey + r * band.greyStep, cols, e0, e1, band.k0, band.k1,
                     rxRing + slot * extended, ryRing + slot * extended);
      filteredRow[slot] = r;
    }
    return slot;
  };
  // Row r's box sums along the row, three channels of `width` doubles.
  auto summed = [&](int r) {
    const int slot = r % kSummedRows;
    double* out = sumRing + slot * 3 * width;
    if (summedRow[slot] == r)
      return out;
    const int up = filtered(Reflect101(r - 1, rows)), down = filtered(Reflect101(r + 1, rows)),
              mid = filtered(r);
    CovarianceRow<Fused>(rxRing + up * extended, rxRing + mid * extended, rxRing + down * extended,
                         ryRing + up * extended, ryRing + down * extended, extended, band.k0,
                         band.k1, cov, cov + extended, cov + 2 * extended);
    for (int ch = 0; ch < 3; ++ch) {
      const float* c = cov + ch * extended;
      float* p = pad + ch * padded;
      // The columns of the band and its margins; beyond the image's edges,
      // reflected ones.
      for (int j = 0; j < padded; ++j) {
        const int x = x0 - Radius + j;
        if (x >= 0 && x < cols)
          break;
        p[j] = c[Reflect101(x, cols) - e0];
      }
      const int first = x0 - Radius < 0 ? Radius - x0 : 0;
      const int last = x1 + Radius > cols ? padded - (x1 + Radius - cols) : padded;
      for (int j = first; j < last; ++j)
        p[j] = c[x0 - Radius + j - e0];
      for (int j = last; j < padded; ++j)
        p[j] = c[Reflect101(x0 - Radius + j, cols) - e0];
      RowSums<Radius>(p, width, out + ch * width);
    }
    summedRow[slot] = r;
    return out;
  };

  for (int i = 0; i < 3 * width; ++i)
    colSum[i] = 0.0;
  for (int k = -Radius; k < Radius; ++k) {
    const double* s = summed(Reflect101(k, rows));
    for (int i = 0; i < 3 * width; ++i)
      colSum[i] += s[i];
  }
  float lanes[8];
  for (float& l : lanes)
    l = -__builtin_inff();
  for (int y = 0; y < rows; ++y) {
    const double* in = summed(Reflect101(y + Radius, rows));
    const double* out = summed(Reflect101(y - Radius, rows));
    EigenRow(colSum, colSum + width, colSum + 2 * width, in, in + width, in + 2 * width, out,
             out + width, out + 2 * width, width, band.eig + y * band.eigStep + x0);
    RowMax(band.eig + y * band.eigStep + x0, width, lanes);
  }
  float largest = lanes[0];
  for (const float l : lanes)
    largest = l > largest ? l : largest;
  *band.max = largest;
}

void ZeroAndAcrossAny(const float* __restrict__ row, int cols, float threshold,
                      float* __restrict__ zeroed, float* __restrict__ across) {
  for (int x = 0; x < cols; ++x)
    zeroed[x] = row[x] > threshold ? row[x] : 0.f;
  for (int x = 1; x < cols - 1; ++x) {
    const float m = zeroed[x - 1] > zeroed[x] ? zeroed[x - 1] : zeroed[x];
    across[x] = zeroed[x + 1] > m ? zeroed[x + 1] : m;
  }
}

void PeaksAny(const float* __restrict__ zeroed, const float* __restrict__ up,
              const float* __restrict__ mid, const float* __restrict__ down, int cols,
              float* __restrict__ peak) {
  for (int x = 1; x < cols - 1; ++x) {
    const float m = up[x] > mid[x] ? up[x] : mid[x];
    const float z = zeroed[x];
    peak[x] = z != 0.f && z == (down[x] > m ? down[x] : m) ? z : 0.f;
  }
}

void MinEigenBandAny(const corners::detail::EigenBand& band) {
  if (band.radius == 1) {
    band.fused ? MinEigenBand<true, 1>(band) : MinEigenBand<false, 1>(band);
  } else {
    band.fused ? MinEigenBand<true, 2>(band) : MinEigenBand<false, 2>(band);
  }
}
