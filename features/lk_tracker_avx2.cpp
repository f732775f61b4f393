// AVX2 kernel of the exact tracker: two points at a time, each in one 128-bit
// half of the 256-bit registers, and each half doing precisely the integer and
// float operations that OpenCV 4.6's tracker does for one point with 128-bit
// vectors (same fixed-point weights, same roundings, same float accumulators
// and the same order of additions). Elements 56 to 62 of each window row,
// which OpenCV sums one by one, are summed one by one here too, in the same
// order; the mean absolute difference is a sum of whole numbers below 2^24,
// exact in any order, so it is summed as integers.
//
// Built with -mavx2 and without floating-point contraction: a fused
// multiply-add would round differently.
#include <immintrin.h>

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "features/lk_kernels.hpp"

namespace lk {
namespace detail {
namespace {

constexpr int kChunks = 7;  // 8-element chunks at 0, 8, ..., 48 of the 63 elements of a row
constexpr int kTailX = 55;  // elements 55..62; 56..62 are the ones summed one by one
constexpr int kWBits = 14;
constexpr float kFltScale = 1.f / (1 << 20);
constexpr float kHalfWin = (kWindow - 1) * 0.5f;

// cvFloor: truncation, one less when that rounded up; a value out of the
// int range gives a position outside the image.
inline int Floor(float v) {
  const int i = _mm_cvtt_ss2si(_mm_set_ss(v));
  return static_cast<int>(static_cast<unsigned>(i) - (static_cast<float>(i) > v ? 1u : 0u));
}

inline int Round(float v) { return _mm_cvt_ss2si(_mm_set_ss(v)); }

struct Weights {
  int w00 = 0, w01 = 0, w10 = 0, w11 = 0;
};

inline Weights MakeWeights(float a, float b) {
  Weights w;
  w.w00 = Round((1.f - a) * (1.f - b) * (1 << kWBits));
  w.w01 = Round(a * (1.f - b) * (1 << kWBits));
  w.w10 = Round((1.f - a) * b * (1 << kWBits));
  w.w11 = (1 << kWBits) - w.w00 - w.w01 - w.w10;
  return w;
}

inline int PackPair(int lo, int hi) {
  return static_cast<int>((static_cast<unsigned>(lo) & 0xffffu) |
                          ((static_cast<unsigned>(hi) & 0xffffu) << 16));
}

// Weight vectors of two points: (w00, w01) and (w10, w11) repeated per half.
inline void PairWeights(const Weights& a, const Weights& b, __m256i* qw0, __m256i* qw1) {
  *qw0 = _mm256_set_m128i(_mm_set1_epi32(PackPair(b.w00, b.w01)),
                          _mm_set1_epi32(PackPair(a.w00, a.w01)));
  *qw1 = _mm256_set_m128i(_mm_set1_epi32(PackPair(b.w10, b.w11)),
                          _mm_set1_epi32(PackPair(a.w10, a.w11)));
}

// 16 bytes of each point: a in the low half, b in the high half (a load and a
// broadcast load blended, which keeps the shuffle port free).
inline __m256i Pair128(const void* a, const void* b) {
  return _mm256_blend_epi32(
      _mm256_castsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(a))),
      _mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(b))), 0xF0);
}

inline __m256i Bilinear(__m256i t00, __m256i t01, __m256i t10, __m256i t11, __m256i qw0,
                        __m256i qw1, __m256i delta, int shift) {
  __m256i t0 = _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(t00, qw0), delta),
                                _mm256_madd_epi16(t10, qw1));
  __m256i t1 = _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(t01, qw0), delta),
                                _mm256_madd_epi16(t11, qw1));
  t0 = _mm256_srai_epi32(t0, shift);
  t1 = _mm256_srai_epi32(t1, shift);
  return _mm256_packs_epi32(t0, t1);
}

// Byte shuffles that take 16 loaded bytes starting kSkip bytes before element
// x straight to the zipped, zero-extended pairs (p[x+k], p[x+k+3]) that the
// dot products need, elements 0..3 and 4..7.
template <int kSkip>
inline __m256i ZipLow() {
  constexpr char Z = static_cast<char>(0x80), s = kSkip;
  return _mm256_setr_epi8(s, Z, s + 3, Z, s + 1, Z, s + 4, Z, s + 2, Z, s + 5, Z, s + 3, Z, s + 6,
                          Z, s, Z, s + 3, Z, s + 1, Z, s + 4, Z, s + 2, Z, s + 5, Z, s + 3, Z,
                          s + 6, Z);
}
template <int kSkip>
inline __m256i ZipHigh() {
  constexpr char Z = static_cast<char>(0x80), s = kSkip;
  return _mm256_setr_epi8(s + 4, Z, s + 7, Z, s + 5, Z, s + 8, Z, s + 6, Z, s + 9, Z, s + 7, Z,
                          s + 10, Z, s + 4, Z, s + 7, Z, s + 5, Z, s + 8, Z, s + 6, Z, s + 9, Z,
                          s + 7, Z, s + 10, Z);
}

// Eight interpolated image elements (times 32) of each point, from element
// x; a and b point kSkip bytes before it (16 bytes are read from there).
template <int kSkip>
inline __m256i InterpImage(const std::uint8_t* a, const std::uint8_t* b, std::ptrdiff_t step,
                           __m256i qw0, __m256i qw1) {
  static_assert(kSkip + 10 < 16, "the pairs must lie in the 16 bytes read");
  const __m256i delta = _mm256_set1_epi32(1 << (kWBits - 5 - 1));
  const __m256i r0 = Pair128(a, b), r1 = Pair128(a + step, b + step);
  const __m256i lo = ZipLow<kSkip>(), hi = ZipHigh<kSkip>();
  return Bilinear(_mm256_shuffle_epi8(r0, lo), _mm256_shuffle_epi8(r0, hi),
                  _mm256_shuffle_epi8(r1, lo), _mm256_shuffle_epi8(r1, hi), qw0, qw1, delta,
                  kWBits - 5);
}

// The tail chunk reads bytes 50..65 of the row, the last one the window uses.
constexpr int kTailSkip = 5;
constexpr int kTailLoad = kTailX - kTailSkip;

// Four interpolated derivative elements of each point: Ix0 Iy0 ... Ix3 Iy3.
inline __m256i InterpDeriv(const std::int16_t* a, const std::int16_t* b, std::ptrdiff_t step,
                           __m256i qw0, __m256i qw1) {
  const __m256i delta = _mm256_set1_epi32(1 << (kWBits - 1));
  constexpr int kCn2 = 2 * kChannels;
  const __m256i v00 = Pair128(a, b), v01 = Pair128(a + kCn2, b + kCn2);
  const __m256i v10 = Pair128(a + step, b + step), v11 = Pair128(a + step + kCn2, b + step + kCn2);
  return Bilinear(_mm256_unpacklo_epi16(v00, v01), _mm256_unpackhi_epi16(v00, v01),
                  _mm256_unpacklo_epi16(v10, v11), _mm256_unpackhi_epi16(v10, v11), qw0, qw1,
                  delta, kWBits);
}

inline __m256 LowWords(__m256i v) {
  return _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16));
}
inline __m256 HighWords(__m256i v) { return _mm256_cvtepi32_ps(_mm256_srai_epi32(v, 16)); }

// The previous frame's window of two points, as the iterations read it.
struct alignas(32) Patch {
  __m256i img[kWindow][kChunks + 1];    // chunk kChunks holds elements 55..62
  __m256i deriv[kWindow][kChunks][2];   // Ix/Iy of a chunk, zipped for the dot products
  __m256 tail[kWindow][7];              // (Ix, Iy) of elements 56..62 in lanes 0 and 1
};

// Adds (X*X, X*Y, Y*Y) of the element at (lo, lo+1) of u = [X Y X' Y'].
template <int kHigh>
inline __m256 AccumulateTailA(__m256 acc, __m256 u, __m256* tail) {
  constexpr int x = kHigh ? 2 : 0, y = kHigh ? 3 : 1;
  *tail = _mm256_permute_ps(u, _MM_SHUFFLE(y, x, y, x));
  const __m256 l = _mm256_permute_ps(u, _MM_SHUFFLE(y, y, x, x));
  const __m256 r = _mm256_permute_ps(u, _MM_SHUFFLE(y, y, y, x));
  return _mm256_add_ps(acc, _mm256_mul_ps(l, r));
}

struct Sums {
  float a[8];
};

// Interpolates the previous frame's window and its derivatives for two points
// and returns, per half, the accumulators that give A11, A12, A22.
void ExtractPatch(const LevelData& L, const std::uint8_t* srcA, const std::uint8_t* srcB,
                  const std::int16_t* dA, const std::int16_t* dB, __m256i qw0, __m256i qw1,
                  Patch* patch, Sums* q11, Sums* q12, Sums* q22, Sums* tailSums) {
  __m256 qA11 = _mm256_setzero_ps(), qA12 = _mm256_setzero_ps(), qA22 = _mm256_setzero_ps();
  __m256 acc = _mm256_setzero_ps();
  for (int y = 0; y < kWindow; ++y) {
    const std::uint8_t* sa = srcA + y * L.prevStep;
    const std::uint8_t* sb = srcB + y * L.prevStep;
    const std::int16_t* da = dA + y * L.derivStep;
    const std::int16_t* db = dB + y * L.derivStep;
    for (int c = 0; c < kChunks; ++c) {
      const int x = 8 * c;
      patch->img[y][c] = InterpImage<0>(sa + x, sb + x, L.prevStep, qw0, qw1);
      __m256i p[2];
      for (int h = 0; h < 2; ++h) {
        p[h] = InterpDeriv(da + 2 * x + 8 * h, db + 2 * x + 8 * h, L.derivStep, qw0, qw1);
        const __m256 fy = HighWords(p[h]), fx = LowWords(p[h]);
        qA22 = _mm256_add_ps(_mm256_mul_ps(fy, fy), qA22);
        qA12 = _mm256_add_ps(_mm256_mul_ps(fx, fy), qA12);
        qA11 = _mm256_add_ps(_mm256_mul_ps(fx, fx), qA11);
      }
      patch->deriv[y][c][0] = _mm256_unpacklo_epi16(p[0], p[1]);
      patch->deriv[y][c][1] = _mm256_unpackhi_epi16(p[0], p[1]);
    }
    patch->img[y][kChunks] =
        InterpImage<kTailSkip>(sa + kTailLoad, sb + kTailLoad, L.prevStep, qw0, qw1);
    const __m256i p0 = InterpDeriv(da + 2 * kTailX, db + 2 * kTailX, L.derivStep, qw0, qw1);
    const __m256i p1 = InterpDeriv(da + 2 * kTailX + 8, db + 2 * kTailX + 8, L.derivStep, qw0, qw1);
    const __m256 fx0 = LowWords(p0), fy0 = HighWords(p0), fx1 = LowWords(p1), fy1 = HighWords(p1);
    const __m256 u0 = _mm256_unpacklo_ps(fx0, fy0), u1 = _mm256_unpackhi_ps(fx0, fy0);
    const __m256 u2 = _mm256_unpacklo_ps(fx1, fy1), u3 = _mm256_unpackhi_ps(fx1, fy1);
    __m256* t = patch->tail[y];
    acc = AccumulateTailA<1>(acc, u0, &t[0]);  // element 56
    acc = AccumulateTailA<0>(acc, u1, &t[1]);
    acc = AccumulateTailA<1>(acc, u1, &t[2]);
    acc = AccumulateTailA<0>(acc, u2, &t[3]);
    acc = AccumulateTailA<1>(acc, u2, &t[4]);
    acc = AccumulateTailA<0>(acc, u3, &t[5]);
    acc = AccumulateTailA<1>(acc, u3, &t[6]);  // element 62
  }
  _mm256_storeu_ps(q11->a, qA11);
  _mm256_storeu_ps(q12->a, qA12);
  _mm256_storeu_ps(q22->a, qA22);
  _mm256_storeu_ps(tailSums->a, acc);
}

template <int kLane>
inline __m256 Broadcast(__m256 v) {
  return _mm256_permute_ps(v, _MM_SHUFFLE(kLane, kLane, kLane, kLane));
}

// One iteration's mismatch vector of two points: per half, the two float
// accumulators of the chunks (qb0 + qb1) and the one-by-one sums (b1, b2).
void Mismatch(const LevelData& L, const std::uint8_t* ja0, const std::uint8_t* jb0, __m256i qw0,
              __m256i qw1, const Patch& patch, Sums* qb, Sums* tailSums) {
  __m256 qb0 = _mm256_setzero_ps(), qb1 = _mm256_setzero_ps(), acc = _mm256_setzero_ps();
  const __m256i zip0 = _mm256_setr_epi8(0, 1, 8, 9, 0, 1, 8, 9, 2, 3, 10, 11, 2, 3, 10, 11, 0, 1,
                                        8, 9, 0, 1, 8, 9, 2, 3, 10, 11, 2, 3, 10, 11);
  const __m256i zip1 = _mm256_setr_epi8(4, 5, 12, 13, 4, 5, 12, 13, 6, 7, 14, 15, 6, 7, 14, 15, 4,
                                        5, 12, 13, 4, 5, 12, 13, 6, 7, 14, 15, 6, 7, 14, 15);
  for (int y = 0; y < kWindow; ++y) {
    const std::uint8_t* ja = ja0 + y * L.nextStep;
    const std::uint8_t* jb = jb0 + y * L.nextStep;
    for (int c = 0; c < kChunks; ++c) {
      const int x = 8 * c;
      const __m256i d0 = _mm256_subs_epi16(InterpImage<0>(ja + x, jb + x, L.nextStep, qw0, qw1),
                                           patch.img[y][c]);
      // (d0 d4 d0 d4 d1 d5 d1 d5) and (d2 d6 d2 d6 d3 d7 d3 d7): OpenCV's two zips.
      const __m256i u0 = _mm256_shuffle_epi8(d0, zip0), u1 = _mm256_shuffle_epi8(d0, zip1);
      qb0 = _mm256_add_ps(qb0, _mm256_cvtepi32_ps(_mm256_madd_epi16(u0, patch.deriv[y][c][0])));
      qb1 = _mm256_add_ps(qb1, _mm256_cvtepi32_ps(_mm256_madd_epi16(u1, patch.deriv[y][c][1])));
    }
    const __m256i dt = _mm256_subs_epi16(
        InterpImage<kTailSkip>(ja + kTailLoad, jb + kTailLoad, L.nextStep, qw0, qw1),
        patch.img[y][kChunks]);
    const __m256 f0 = HighWords(_mm256_unpacklo_epi16(dt, dt));  // elements 55..58
    const __m256 f1 = HighWords(_mm256_unpackhi_epi16(dt, dt));  // elements 59..62
    const __m256* t = patch.tail[y];
    acc = _mm256_add_ps(acc, _mm256_mul_ps(Broadcast<1>(f0), t[0]));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(Broadcast<2>(f0), t[1]));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(Broadcast<3>(f0), t[2]));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(Broadcast<0>(f1), t[3]));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(Broadcast<1>(f1), t[4]));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(Broadcast<2>(f1), t[5]));
    acc = _mm256_add_ps(acc, _mm256_mul_ps(Broadcast<3>(f1), t[6]));
  }
  _mm256_storeu_ps(qb->a, _mm256_add_ps(qb0, qb1));
  _mm256_storeu_ps(tailSums->a, acc);
}

// Sums of |J - I| over the window of two points (whole numbers).
void AbsDifference(const LevelData& L, const std::uint8_t* ja0, const std::uint8_t* jb0,
                   __m256i qw0, __m256i qw1, const Patch& patch, int* sumA, int* sumB) {
  const __m256i ones = _mm256_set1_epi16(1);
  // Element 55 of the tail chunk belongs to the last full chunk.
  const __m256i dropFirst = _mm256_set_epi16(-1, -1, -1, -1, -1, -1, -1, 0, -1, -1, -1, -1, -1,
                                             -1, -1, 0);
  __m256i sum = _mm256_setzero_si256();
  for (int y = 0; y < kWindow; ++y) {
    const std::uint8_t* ja = ja0 + y * L.nextStep;
    const std::uint8_t* jb = jb0 + y * L.nextStep;
    for (int c = 0; c < kChunks; ++c) {
      const __m256i d = _mm256_subs_epi16(
          InterpImage<0>(ja + 8 * c, jb + 8 * c, L.nextStep, qw0, qw1), patch.img[y][c]);
      sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_abs_epi16(d), ones));
    }
    const __m256i d = _mm256_and_si256(
        _mm256_subs_epi16(
            InterpImage<kTailSkip>(ja + kTailLoad, jb + kTailLoad, L.nextStep, qw0, qw1),
            patch.img[y][kChunks]),
        dropFirst);
    sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_abs_epi16(d), ones));
  }
  alignas(32) int s[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(s), sum);
  *sumA = s[0] + s[1] + s[2] + s[3];
  *sumB = s[4] + s[5] + s[6] + s[7];
}

// OpenCV's horizontal sum of a float32x4: (a0 + a2) + (a1 + a3).
inline float ReduceSum(const float* a) { return (a[0] + a[2]) + (a[1] + a[3]); }

struct Lane {
  int idx = -1;
  bool live = false;
  float nx = 0, ny = 0;  // current estimate, minus the half window while iterating
  float A11 = 0, A12 = 0, A22 = 0, D = 0;
  float pdx = 0, pdy = 0;
  int ix = 0, iy = 0;  // window corner in the frame being read
  Weights w;
};

inline bool Outside(int ix, int iy, const LevelData& L) {
  return ix < -kWindow || ix >= L.cols || iy < -kWindow || iy >= L.rows;
}

void TrackPair(const LevelData& L, const LevelSettings& S, const PointData& P, int i0, int i1) {
  Lane lanes[2];
  lanes[0].idx = i0;
  lanes[1].idx = i1;
  const float scale = static_cast<float>(1. / (1 << S.level));
  for (Lane& ln : lanes) {
    if (ln.idx < 0) continue;
    const int i = ln.idx;
    float px = P.prevPts[2 * i] * scale, py = P.prevPts[2 * i + 1] * scale;
    if (S.level == S.maxLevel) {
      if (S.useInitialFlow) {
        ln.nx = P.nextPts[2 * i] * scale;
        ln.ny = P.nextPts[2 * i + 1] * scale;
      } else {
        ln.nx = px;
        ln.ny = py;
      }
    } else {
      ln.nx = P.nextPts[2 * i] * 2.f;
      ln.ny = P.nextPts[2 * i + 1] * 2.f;
    }
    P.nextPts[2 * i] = ln.nx;
    P.nextPts[2 * i + 1] = ln.ny;
    px -= kHalfWin;
    py -= kHalfWin;
    ln.ix = Floor(px);
    ln.iy = Floor(py);
    if (Outside(ln.ix, ln.iy, L)) {
      if (S.level == 0) {
        P.status[i] = 0;
        P.err[i] = 0;
      }
      continue;
    }
    ln.w = MakeWeights(px - static_cast<float>(ln.ix), py - static_cast<float>(ln.iy));
    ln.live = true;
  }
  if (!lanes[0].live && !lanes[1].live) return;

  // A lane without a point borrows the other's window; its results are unused.
  const Lane& a = lanes[0].live ? lanes[0] : lanes[1];
  const Lane& b = lanes[1].live ? lanes[1] : lanes[0];
  __m256i qw0, qw1;
  PairWeights(a.w, b.w, &qw0, &qw1);
  Patch patch;
  Sums q11, q12, q22, tail;
  ExtractPatch(L, L.prev + a.iy * L.prevStep + a.ix * kChannels,
               L.prev + b.iy * L.prevStep + b.ix * kChannels,
               L.deriv + a.iy * L.derivStep + a.ix * 2 * kChannels,
               L.deriv + b.iy * L.derivStep + b.ix * 2 * kChannels, qw0, qw1, &patch, &q11, &q12,
               &q22, &tail);

  for (int h = 0; h < 2; ++h) {
    Lane& ln = lanes[h];
    if (!ln.live) continue;
    float iA11 = tail.a[4 * h], iA12 = tail.a[4 * h + 1], iA22 = tail.a[4 * h + 2];
    iA11 += ReduceSum(q11.a + 4 * h);
    iA12 += ReduceSum(q12.a + 4 * h);
    iA22 += ReduceSum(q22.a + 4 * h);
    ln.A11 = iA11 * kFltScale;
    ln.A12 = iA12 * kFltScale;
    ln.A22 = iA22 * kFltScale;
    const float A11 = ln.A11, A12 = ln.A12, A22 = ln.A22;
    const float D = A11 * A22 - A12 * A12;
    const float minEig =
        (A22 + A11 - std::sqrt((A11 - A22) * (A11 - A22) + 4.f * A12 * A12)) /
        (2 * kWindow * kWindow);
    if (minEig < S.minEigThreshold || D < FLT_EPSILON) {
      if (S.level == 0) P.status[ln.idx] = 0;
      ln.live = false;
      continue;
    }
    ln.D = 1.f / D;
    ln.nx -= kHalfWin;
    ln.ny -= kHalfWin;
  }

  for (int j = 0; j < S.maxCount; ++j) {
    for (Lane& ln : lanes) {
      if (!ln.live) continue;
      ln.ix = Floor(ln.nx);
      ln.iy = Floor(ln.ny);
      if (Outside(ln.ix, ln.iy, L)) {
        if (S.level == 0) P.status[ln.idx] = 0;
        ln.live = false;
        continue;
      }
      ln.w = MakeWeights(ln.nx - static_cast<float>(ln.ix), ln.ny - static_cast<float>(ln.iy));
    }
    if (!lanes[0].live && !lanes[1].live) break;
    const Lane& ja = lanes[0].live ? lanes[0] : lanes[1];
    const Lane& jb = lanes[1].live ? lanes[1] : lanes[0];
    PairWeights(ja.w, jb.w, &qw0, &qw1);
    Sums qb, tb;
    Mismatch(L, L.next + ja.iy * L.nextStep + ja.ix * kChannels,
             L.next + jb.iy * L.nextStep + jb.ix * kChannels, qw0, qw1, patch, &qb, &tb);
    for (int h = 0; h < 2; ++h) {
      Lane& ln = lanes[h];
      if (!ln.live) continue;
      const float* s = qb.a + 4 * h;
      float ib1 = tb.a[4 * h], ib2 = tb.a[4 * h + 1];
      ib1 += (s[0] + 0.f) + (s[2] + 0.f);
      ib2 += (s[1] + 0.f) + (s[3] + 0.f);
      const float b1 = ib1 * kFltScale, b2 = ib2 * kFltScale;
      const float dx = (ln.A12 * b2 - ln.A22 * b1) * ln.D;
      const float dy = (ln.A12 * b1 - ln.A11 * b2) * ln.D;
      ln.nx += dx;
      ln.ny += dy;
      float* out = P.nextPts + 2 * ln.idx;
      out[0] = ln.nx + kHalfWin;
      out[1] = ln.ny + kHalfWin;
      if (static_cast<double>(dx) * dx + static_cast<double>(dy) * dy <= S.epsilon) {
        ln.live = false;
        continue;
      }
      if (j > 0 && std::abs(dx + ln.pdx) < 0.01 && std::abs(dy + ln.pdy) < 0.01) {
        out[0] -= dx * 0.5f;
        out[1] -= dy * 0.5f;
        ln.live = false;
        continue;
      }
      ln.pdx = dx;
      ln.pdy = dy;
    }
  }

  if (S.level != 0) return;
  // The mean absolute difference at the final position.
  bool measure[2] = {false, false};
  for (int h = 0; h < 2; ++h) {
    Lane& ln = lanes[h];
    if (ln.idx < 0 || !P.status[ln.idx]) continue;
    const float nx = P.nextPts[2 * ln.idx] - kHalfWin, ny = P.nextPts[2 * ln.idx + 1] - kHalfWin;
    ln.ix = Floor(nx);
    ln.iy = Floor(ny);
    if (Outside(ln.ix, ln.iy, L)) {
      P.status[ln.idx] = 0;
      continue;
    }
    ln.w = MakeWeights(nx - static_cast<float>(ln.ix), ny - static_cast<float>(ln.iy));
    measure[h] = true;
  }
  if (!measure[0] && !measure[1]) return;
  const Lane& ea = measure[0] ? lanes[0] : lanes[1];
  const Lane& eb = measure[1] ? lanes[1] : lanes[0];
  PairWeights(ea.w, eb.w, &qw0, &qw1);
  int sums[2];
  AbsDifference(L, L.next + ea.iy * L.nextStep + ea.ix * kChannels,
                L.next + eb.iy * L.nextStep + eb.ix * kChannels, qw0, qw1, patch, &sums[0],
                &sums[1]);
  for (int h = 0; h < 2; ++h) {
    if (!measure[h]) continue;
    const float errval = static_cast<float>(sums[h]);
    P.err[lanes[h].idx] = errval * 1.f / (32 * kWindow * kChannels * kWindow);
  }
}

}  // namespace

void TrackLevelAvx2(const LevelData& level, const LevelSettings& settings, const PointData& points,
                    int begin, int end) {
  for (int i = begin; i < end; i += 2) {
    TrackPair(level, settings, points, points.order[i], i + 1 < end ? points.order[i + 1] : -1);
  }
}

}  // namespace detail
}  // namespace lk
